// The archive's deletion: every step on descriptors, so that what was checked is what
// goes.

#include "platform/archive_removal.h"

#include "platform/dosfs.h"
#include "platform/volumes.h"

#include <QFile>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// One open descriptor, closed with its owner.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(Descriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

private:
    int m_fd;
};

Removal kept(RemovalStatus status, const QString& reason) {
    return Removal{status, reason};
}

Removal hostRefused(int hostErrno) {
    return kept(RemovalStatus::Failed, fromErrno(hostErrno).description);
}

bool holdsControlCharacter(const QString& name) {
    for (const QChar c : name)
        if (isControlCharacter(c.unicode()))
            return true;
    return false;
}

bool isLinkIn(int dirFd, const QByteArray& name) {
    struct stat st {};
    return ::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Whether the name in the folder still holds the plain file that was read; `st` receives
// what the name holds.
Removal checkFile(int dirFd, const QByteArray& name, const FileId& read, struct stat* st) {
    if (::fstatat(dirFd, name.constData(), st, AT_SYMLINK_NOFOLLOW) != 0)
        return hostRefused(errno);
    if (S_ISLNK(st->st_mode))
        return kept(RemovalStatus::IsLink, QStringLiteral("it is a link"));
    if (!S_ISREG(st->st_mode))
        return kept(RemovalStatus::NotAFile, QStringLiteral("it is not a plain file"));
    if (!(FileId{st->st_dev, st->st_ino} == read))
        return kept(RemovalStatus::Changed, QStringLiteral("it changed during extraction"));
    return {};
}

// Gives the owner write permission through the file itself, opened without following a
// link and checked to be the file that was read.
Removal clearReadOnly(int dirFd, const QByteArray& name, const FileId& read) {
    const Descriptor file(::openat(dirFd, name.constData(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.isOpen())
        return errno == ELOOP ? kept(RemovalStatus::IsLink, QStringLiteral("it is a link"))
                              : hostRefused(errno);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        return hostRefused(errno);
    if (!S_ISREG(st.st_mode) || !(FileId{st.st_dev, st.st_ino} == read))
        return kept(RemovalStatus::Changed, QStringLiteral("it changed during extraction"));
    if (::fchmod(file.get(), (st.st_mode & 07777) | S_IWUSR) != 0)
        return hostRefused(errno);
    return {};
}

} // namespace

std::optional<QStringList> namesBelow(const QString& sourceDir, const QString& dosPath) {
    QString prefix = sourceDir;
    if (prefix.isEmpty() || !isSeparator(prefix.back()))
        prefix += QLatin1Char('\\');
    if (dosPath.size() <= prefix.size())
        return std::nullopt;
    for (qsizetype i = 0; i < prefix.size(); ++i) {
        const QChar a = prefix.at(i);
        const QChar b = dosPath.at(i);
        if (isSeparator(a) ? !isSeparator(b) : a.toCaseFolded() != b.toCaseFolded())
            return std::nullopt;
    }
    QStringList names;
    qsizetype start = prefix.size();
    for (qsizetype i = start; i <= dosPath.size(); ++i) {
        if (i < dosPath.size() && !isSeparator(dosPath.at(i)))
            continue;
        const QString name = dosPath.mid(start, i - start);
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
            holdsControlCharacter(name))
            return std::nullopt;
        names.append(name);
        start = i + 1;
    }
    return names;
}

Removal removeArchive(const QString& sourceDir, const QString& dosPath,
                      const std::optional<FileId>& read) {
    const std::optional<QStringList> names = namesBelow(sourceDir, dosPath);
    if (!names)
        return kept(RemovalStatus::NotBelow,
                    QStringLiteral("it is not below the source directory"));
    if (!read)
        return kept(RemovalStatus::Changed, QStringLiteral("it is not known which file was read"));

    const Resolved source = resolve(sourceDir);
    if (source.error)
        return kept(RemovalStatus::Failed, errorText(source.error));
    Descriptor folder(
        ::open(QFile::encodeName(source.hostPath).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isOpen())
        return hostRefused(errno == ENOENT ? ENOTDIR : errno);
    for (qsizetype i = 0; i + 1 < names->size(); ++i) {
        const QByteArray name = QFile::encodeName(names->at(i));
        Descriptor child(::openat(folder.get(), name.constData(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child.isOpen()) {
            const int failure = errno;
            if (isLinkIn(folder.get(), name))
                return kept(RemovalStatus::FolderIsLink,
                            QStringLiteral("a folder on its path is a link"));
            return hostRefused(failure == ENOENT ? ENOTDIR : failure);
        }
        folder = std::move(child);
    }

    const QByteArray name = QFile::encodeName(names->back());
    struct stat st {};
    if (Removal verdict = checkFile(folder.get(), name, *read, &st))
        return verdict;
    // As on DOS, a read-only file is not deleted before its attribute is cleared.
    if (!(st.st_mode & S_IWUSR)) {
        if (Removal verdict = clearReadOnly(folder.get(), name, *read))
            return verdict;
        if (Removal verdict = checkFile(folder.get(), name, *read, &st))
            return verdict;
    }
    // POSIX has no "unlink if still this file": the name was checked just now, in a folder
    // reached without links, which is as close as the host allows.
    if (::unlinkat(folder.get(), name.constData(), 0) != 0)
        return hostRefused(errno);
    return {};
}

} // namespace platform
