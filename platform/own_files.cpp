// The program's own files beside extracted ones, and its list lock's dead holders.

#include "platform/own_files.h"

#include "platform/volumes.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace platform {
namespace {

// Past this many numbered names the folder is taken to be full of others' files.
constexpr int kLastNumber = 9999;
constexpr qsizetype kFlushBytes = 64 * 1024;

// "c:\dir\name.ext" numbered n: "c:\dir\name (n).ext".
QString numbered(const QString& dosPath, int n) {
    const qsizetype cut =
        std::max(dosPath.lastIndexOf(QLatin1Char('\\')), dosPath.lastIndexOf(QLatin1Char('/')));
    const QString name = dosPath.mid(cut + 1);
    qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0)
        dot = name.size();
    return dosPath.left(cut + 1) + name.left(dot) + QStringLiteral(" (%1)").arg(n) + name.mid(dot);
}

FileId idOf(const struct stat& st) {
    return {st.st_dev, st.st_ino};
}

} // namespace

OwnFile::OwnFile(const QByteArray& purpose) : m_mark("user." + purpose) {}

OwnFile::~OwnFile() {
    close();
}

FsError OwnFile::create(const QString& dosPath, QString* opened) {
    close();
    for (int n = 1; n <= kLastNumber; ++n) {
        const QString candidate = n == 1 ? dosPath : numbered(dosPath, n);
        const Resolved resolved = resolve(candidate);
        if (resolved.error)
            return FsError::of(resolved.error);
        const QByteArray host = QFile::encodeName(resolved.hostPath);

        int fd =
            ::open(host.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        struct stat st {};
        if (fd >= 0) {
            // Without a place for the mark, only this object's memory tells the file.
            ::fsetxattr(fd, m_mark.constData(), "", 0, 0);
        } else {
            if (errno != EEXIST)
                return fromErrno(errno);
            // Only a plain file is opened, so that no device or pipe is ever touched, and
            // only the one looked at.
            struct stat found {};
            if (::lstat(host.constData(), &found) != 0 || !S_ISREG(found.st_mode))
                continue;
            fd = ::open(host.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            // The mark decides where the file system keeps one: a freed inode number is soon
            // given to a new file, an extracted one too.
            const bool own = ::fstat(fd, &st) == 0 && idOf(st) == idOf(found) &&
                             (::fgetxattr(fd, m_mark.constData(), nullptr, 0) >= 0 ||
                              (errno == ENOTSUP && m_made == idOf(st)));
            if (!own) {
                ::close(fd);
                continue;
            }
            if (::ftruncate(fd, 0) != 0) {
                const FsError error = fromErrno(errno);
                ::close(fd);
                return error;
            }
        }
        if (::fstat(fd, &st) != 0) {
            const FsError error = fromErrno(errno);
            ::close(fd);
            return error;
        }
        m_fd = fd;
        m_made = idOf(st);
        *opened = candidate;
        return FsError::none();
    }
    return FsError::of(ErrFileExists);
}

FsError OwnFile::writeLine(const QString& line) {
    if (m_fd < 0)
        return FsError::of(ErrBadFileName);
    m_pending += line.toUtf8() + "\r\n";
    return m_pending.size() >= kFlushBytes ? flush() : FsError::none();
}

FsError OwnFile::flush() {
    qsizetype done = 0;
    while (done < m_pending.size()) {
        const ssize_t written =
            ::write(m_fd, m_pending.constData() + done, size_t(m_pending.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_pending.clear();
            return fromErrno(written < 0 ? errno : ENOSPC);
        }
        done += written;
    }
    m_pending.clear();
    return FsError::none();
}

FsError OwnFile::close() {
    if (m_fd < 0)
        return FsError::none();
    FsError error = flush();
    if (::close(m_fd) != 0 && !error)
        error = fromErrno(errno);
    m_fd = -1;
    return error;
}

FsError clearDeadLock(const QString& lockHostPath) {
    const QByteArray path = QFile::encodeName(lockHostPath);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0)
        return errno == ENOENT ? FsError::none() : fromErrno(errno);
    const auto removed = [&](int result) {
        return result == 0 || errno == ENOENT ? FsError::none() : fromErrno(errno);
    };
    if (S_ISDIR(st.st_mode)) {
        // Whatever is inside is someone's: only an empty folder goes.
        if (::rmdir(path.constData()) == 0 || errno == ENOENT)
            return FsError::none();
        if (errno == ENOTEMPTY || errno == EEXIST)
            return {ErrPathFileAccess, QStringLiteral("it is a folder that is not empty")};
        return fromErrno(errno);
    }
    // A lock is only ever a plain file: a link, device or pipe in its place holds nothing.
    if (!S_ISREG(st.st_mode))
        return removed(::unlink(path.constData()));

    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A holder can always read the file it made.
        if (errno == EACCES)
            return removed(::unlink(path.constData()));
        return errno == ENOENT ? FsError::none() : fromErrno(errno);
    }
    // A live holder keeps its file locked for as long as it holds it (QLockFile does, from
    // just after making it): a file we can lock ourselves has no live holder. A holder
    // between making its file and locking it is the one gap, as in QLockFile's own
    // takeover. Where the file system has no such locks, the holder's id decides.
    struct stat opened {};
    struct stat now {};
    FsError result;
    if (::fstat(fd, &opened) == 0 && idOf(opened) == idOf(st) &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(path.constData(), &now) == 0 &&
        idOf(now) == idOf(st))
        result = removed(::unlink(path.constData()));
    ::close(fd);
    return result;
}

} // namespace platform
