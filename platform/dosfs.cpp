#include "platform/dosfs.h"

#include "platform/folder_read.h"
#include "platform/volumes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QByteArray encoded(const QString& hostPath) {
    return QFile::encodeName(hostPath);
}

// A missing name is "file not found" when its directory exists, else "path not found".
FsError missingError(const QString& hostPath) {
    const qsizetype slash = hostPath.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash <= 0 ? QStringLiteral("/") : hostPath.left(slash);
    struct stat st {};
    if (::stat(encoded(parent).constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return FsError::of(ErrFileNotFound);
    return FsError::of(ErrPathNotFound);
}

FsError errorForPath(int hostErrno, const QString& hostPath) {
    if (hostErrno == ENOENT)
        return missingError(hostPath);
    if (hostErrno == ENOTDIR)
        return FsError::of(ErrPathNotFound);
    return fromErrno(hostErrno);
}

// Resolves a DOS path; on failure `error` receives the runtime's error.
bool resolveTo(const QString& dosPath, QString* hostPath, FsError* error) {
    const Resolved resolved = resolve(dosPath);
    if (resolved.error) {
        *error = FsError::of(resolved.error);
        return false;
    }
    *hostPath = resolved.hostPath;
    return true;
}

QString& programDirectoryOverride() {
    static QString path;
    return path;
}

} // namespace

FsError FsError::of(int number) {
    FsError error;
    error.number = number;
    error.description = errorText(number);
    return error;
}

QString trimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' '))
        ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' '))
        --last;
    return text.mid(first, last - first);
}

QString fileNamePart(const QString& path) {
    for (qsizetype i = path.size() - 2; i >= 0; --i) {
        if (path.at(i) == QLatin1Char('\\'))
            return path.mid(i + 1);
    }
    return path;
}

QString errorText(int number) {
    switch (number) {
    case ErrNone:
        return {};
    case ErrBadFileName:
        return QStringLiteral("Bad file name or number");
    case ErrFileNotFound:
        return QStringLiteral("File not found");
    case ErrFileAlreadyOpen:
        return QStringLiteral("File already open");
    case ErrDeviceIo:
        return QStringLiteral("Device I/O error");
    case ErrFileExists:
        return QStringLiteral("File already exists");
    case ErrDiskFull:
        return QStringLiteral("Disk full");
    case ErrDeviceUnavailable:
        return QStringLiteral("Device unavailable");
    case ErrPermissionDenied:
        return QStringLiteral("Permission denied");
    case ErrDiskNotReady:
        return QStringLiteral("Disk not ready");
    case ErrPathFileAccess:
        return QStringLiteral("Path/File access error");
    case ErrPathNotFound:
        return QStringLiteral("Path not found");
    default:
        return QStringLiteral("Application-defined or object-defined error");
    }
}

// Refusals to modify (permissions, read-only mounts) are "Path/File access error", the
// number the old runtime gave for read-only files and shares; "Permission denied" is
// kept for files held busy by someone else.
FsError fromErrno(int hostErrno) {
    switch (hostErrno) {
    case 0:
        return FsError::none();
    case ENOENT:
        return FsError::of(ErrFileNotFound);
    case ENOTDIR:
        return FsError::of(ErrPathNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ENOTEMPTY:
    case EEXIST:
        return FsError::of(ErrPathFileAccess);
    case EBUSY:
    case ETXTBSY:
        return FsError::of(ErrPermissionDenied);
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return FsError::of(ErrDiskFull);
    case EIO:
        return FsError::of(ErrDeviceIo);
    case ENOMEDIUM:
        return FsError::of(ErrDiskNotReady);
    case ENODEV:
    case ENXIO:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
    case ETIMEDOUT:
    case ESTALE:
        return FsError::of(ErrDeviceUnavailable);
    case ENAMETOOLONG:
    case EINVAL:
    case EBADF:
        return FsError::of(ErrBadFileName);
    default:
        return FsError::of(ErrPathFileAccess);
    }
}

DirListing::DirListing(const QString& fileSpec, int attributes) {
    qsizetype cut = fileSpec.size() - 1;
    while (cut >= 0 && !isSeparator(fileSpec.at(cut)))
        --cut;
    QString directory;
    QString pattern;
    if (cut >= 0) {
        directory = fileSpec.left(cut + 1);
        pattern = fileSpec.mid(cut + 1);
    } else if (fileSpec.size() >= 2 && fileSpec.at(1) == QLatin1Char(':')) {
        directory = fileSpec.left(2);
        pattern = fileSpec.mid(2);
    } else {
        pattern = fileSpec;
    }
    if (pattern.isEmpty())
        pattern = QStringLiteral("*");

    QString hostDir;
    if (!resolveTo(directory, &hostDir, &m_error))
        return;
    const int dirFd = ::open(encoded(hostDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        const int failure = errno;
        m_error = (failure == ENOENT || failure == ENOTDIR) ? FsError::of(ErrPathNotFound)
                                                            : fromErrno(failure);
        return;
    }
    const bool wantDirectories = attributes & AttrDirectory;
    detail::ReadRequest request;
    request.pattern = pattern;
    request.folders = wantDirectories;
    request.hidden = attributes & AttrHidden;
    std::vector<detail::Listed> entries;
    detail::FolderReader().read(dirFd, request, &entries);
    ::close(dirFd);
    detail::sortCaseBlind(&entries);
    if (wantDirectories && !detail::isDriveRoot(hostDir)) {
        for (const QString& dot : {QStringLiteral("."), QStringLiteral("..")})
            if (matchesPattern(dot, pattern)) {
                m_names.append(dot);
                m_directories.insert(dot);
            }
    }
    m_names.reserve(m_names.size() + qsizetype(entries.size()));
    for (detail::Listed& entry : entries) {
        if (entry.what.kind == detail::EntryKind::Folder)
            m_directories.insert(entry.name);
        m_names.append(std::move(entry.name));
    }
}

int getAttributes(const QString& path, FsError* error) {
    struct stat st {};
    bool known = false;
    const Resolved resolved = detail::resolve(path, &st, &known);
    if (resolved.error) {
        if (error)
            *error = FsError::of(resolved.error);
        return 0;
    }
    const QString& host = resolved.hostPath;
    if (!known && ::lstat(encoded(host).constData(), &st) != 0) {
        if (error)
            *error = errorForPath(errno, host);
        return 0;
    }
    int attributes = AttrNormal;
    if (S_ISLNK(st.st_mode)) {
        struct stat target {};
        if (::stat(encoded(host).constData(), &target) == 0)
            attributes = detail::attributesOf(target);
        attributes |= AttrReparsePoint;
    } else {
        attributes = detail::attributesOf(st);
    }
    const QString name = host.mid(host.lastIndexOf(QLatin1Char('/')) + 1);
    if (name.startsWith(QLatin1Char('.')) && !detail::isDriveRoot(host))
        attributes |= AttrHidden;
    if (error)
        *error = FsError::none();
    return attributes;
}

FsError setAttributes(const QString& path, int attributes) {
    FsError error;
    QString host;
    if (!resolveTo(path, &host, &error))
        return error;
    const QByteArray name = encoded(host);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return errorForPath(errno, host);
    // A link has no attributes of its own; its target, wherever it is, is left alone.
    if (S_ISLNK(st.st_mode))
        return FsError::none();
    const mode_t mode = st.st_mode & 07777;
    // Read-only takes every write permission away; normal gives the owner write
    // permission back and leaves the rest as the user set it.
    const mode_t wanted =
        (attributes & AttrReadOnly) ? mode_t(mode & ~0222) : mode_t(mode | S_IWUSR);
    if (wanted == mode)
        return FsError::none();
    // Not following a link here either: the name may have become one since the look.
    if (::fchmodat(AT_FDCWD, name.constData(), wanted, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == EOPNOTSUPP ? FsError::none() : fromErrno(errno);
    return FsError::none();
}

FsError deleteFile(const QString& path) {
    FsError error;
    QString host;
    if (!resolveTo(path, &host, &error))
        return error;
    const QByteArray name = encoded(host);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return errorForPath(errno, host);
    // Directories are never files to delete, and a read-only file must have its
    // attribute cleared first, as on DOS.
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)))
        return FsError::of(ErrPathFileAccess);
    if (::unlink(name.constData()) != 0)
        return errorForPath(errno, host);
    return FsError::none();
}

namespace {

thread_local MakeDirectoryWatch* innermostWatch = nullptr;

} // namespace

MakeDirectoryWatch::MakeDirectoryWatch() : m_outer(innermostWatch) {
    innermostWatch = this;
}

MakeDirectoryWatch::~MakeDirectoryWatch() {
    innermostWatch = m_outer;
}

FsError makeDirectory(const QString& path) {
    FsError error;
    int failure = 0;
    QString host;
    if (resolveTo(path, &host, &error) && ::mkdir(encoded(host).constData(), 0777) != 0) {
        failure = errno;
        error = failure == ENOENT ? FsError::of(ErrPathNotFound) : fromErrno(failure);
    }
    if (error && innermostWatch)
        innermostWatch->m_lastFailure = MakeDirectoryWatch::Failure{path, error, failure};
    return error;
}

TextWriter::~TextWriter() {
    if (m_file)
        std::fclose(m_file);
}

FsError TextWriter::open(const QString& path) {
    if (m_file)
        return FsError::of(ErrFileAlreadyOpen);
    FsError error;
    QString host;
    if (!resolveTo(path, &host, &error))
        return error;
    struct stat st {};
    if (::stat(encoded(host).constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return FsError::of(ErrPathFileAccess);
    m_file = std::fopen(encoded(host).constData(), "wb");
    if (!m_file) {
        const int failure = errno;
        return failure == ENOENT ? FsError::of(ErrPathNotFound) : fromErrno(failure);
    }
    return FsError::none();
}

FsError TextWriter::writeLine(const QString& line) {
    if (!m_file)
        return FsError::of(ErrBadFileName);
    QByteArray bytes = line.toUtf8();
    bytes.append("\r\n", 2);
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_file) != size_t(bytes.size()))
        return fromErrno(errno);
    return FsError::none();
}

FsError TextWriter::close() {
    if (!m_file)
        return FsError::none();
    // Buffered lines reach the disk here; a full disk shows up now, not earlier.
    const int result = std::fclose(m_file);
    m_file = nullptr;
    return result == 0 ? FsError::none() : fromErrno(errno);
}

FsError readLines(const QString& path, QStringList* lines) {
    lines->clear();
    FsError error;
    QString host;
    if (!resolveTo(path, &host, &error))
        return error;
    struct stat st {};
    if (::stat(encoded(host).constData(), &st) != 0)
        return errorForPath(errno, host);
    if (S_ISDIR(st.st_mode))
        return FsError::of(ErrPathFileAccess);
    QFile file(host);
    if (!file.open(QIODevice::ReadOnly))
        return FsError::of(ErrPathFileAccess);
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return FsError::of(ErrDeviceIo);
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        const qsizetype next = end < 0 ? data.size() : end + 1;
        if (end < 0)
            end = data.size();
        qsizetype stop = end;
        if (stop > start && data.at(stop - 1) == '\r')
            --stop;
        lines->append(QString::fromUtf8(data.constData() + start, stop - start));
        start = next;
    }
    return FsError::none();
}

QString programDirectory() {
    const QString& pinned = programDirectoryOverride();
    if (!pinned.isEmpty())
        return pinned;
    const QString executableDir = QCoreApplication::instance()
                                      ? QCoreApplication::applicationDirPath()
                                      : QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    QString dos = toDosPath(executableDir);
    if (!dos.isEmpty() && ::access(encoded(executableDir).constData(), W_OK) == 0)
        return dos.size() > 3 && dos.endsWith(QLatin1Char('\\')) ? dos.chopped(1) : dos;
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(dataDir);
    dos = toDosPath(dataDir);
    return dos.isEmpty() ? currentDirectory() : dos;
}

void setProgramDirectory(const QString& dosPath) {
    QString path = dosPath;
    while (path.size() > 3 && path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    programDirectoryOverride() = path;
}

} // namespace platform
