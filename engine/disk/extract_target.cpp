#include "disk/extract_target.h"

#include "disk/leftovers.h"

#include <QDir>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace archive_engine::disk {

namespace {

QByteArray hostName(const QString& name) {
    return name.toUtf8();
}

thread_local int t_lastError = 0;

TargetStatus statusOf(int error) {
    t_lastError = error;
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return TargetStatus::NoSpace;
    case ELOOP:
        return TargetStatus::ThroughLink;
    case ENOTDIR:
        return TargetStatus::NotADirectory;
    case ENAMETOOLONG:
        return TargetStatus::NameTooLong;
    case ENOSYS:
    case EOPNOTSUPP:
        return TargetStatus::Unsupported;
    default:
        return TargetStatus::Failed;
    }
}

std::optional<std::array<timespec, 2>> timesOf(std::optional<std::int64_t> mtime) {
    if (!mtime) {
        return std::nullopt;
    }
    timespec stamp{};
    stamp.tv_sec = time_t(*mtime);
    return std::array<timespec, 2>{stamp, stamp};
}

// The name under which the kernel lets an open file be linked into a folder.
QByteArray procPathOf(int fd) {
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// Whether an O_TMPFILE open failed only because the file system (or the kernel) lacks it.
bool lacksUnnamedFiles(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Whether a hard link failed only because the file system has none (FAT, exFAT, FUSE
// file systems without a link call).
bool lacksHardLinks(int error) {
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS;
}

// Whether fchmod of a file of our own failed only because the file system keeps no
// permission bits (FAT and exFAT, natively or through FUSE).
bool lacksModes(int error) {
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS;
}

// Whether the file open as `fd` can be named through /proc, which may not be mounted.
bool nameableThroughProc(int fd) {
    struct stat viaProc;
    struct stat own;
    return ::stat(procPathOf(fd).constData(), &viaProc) == 0 && ::fstat(fd, &own) == 0 &&
           viaProc.st_dev == own.st_dev && viaProc.st_ino == own.st_ino;
}

bool readFully(int fd, char* buffer, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, buffer, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        buffer += n;
        size -= std::size_t(n);
        offset += n;
    }
    return true;
}

} // namespace

int lastError() {
    return t_lastError;
}

void clearLastError() {
    t_lastError = 0;
}

TargetDir::TargetDir(TargetDir&& other) noexcept
    : m_fd(std::move(other.m_fd)), m_id(std::exchange(other.m_id, std::nullopt)),
      m_fileSystem(std::exchange(other.m_fileSystem, std::nullopt)) {}

TargetDir& TargetDir::operator=(TargetDir&& other) noexcept {
    if (this != &other) {
        m_fd = std::move(other.m_fd);
        m_id = std::exchange(other.m_id, std::nullopt);
        m_fileSystem = std::exchange(other.m_fileSystem, std::nullopt);
    }
    return *this;
}

TargetDir TargetDir::openRoot(const QString& hostPath, TargetStatus* status) {
    const int fd = ::open(hostName(hostPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *status = fd >= 0 ? TargetStatus::Ok : statusOf(errno);
    return TargetDir(fd);
}

TargetDir TargetDir::openChild(const QString& name, int unixMode, TargetStatus* status) const {
    const QByteArray n = hostName(name);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int opened = ::openat(fd(), n.constData(), flags);
    if (opened < 0 && errno == ENOENT) {
        const mode_t mode = unixMode >= 0 ? mode_t((unixMode & 0777) | 0700) : 0777;
        if (::mkdirat(fd(), n.constData(), mode) != 0 && errno != EEXIST) {
            *status = statusOf(errno);
            return {};
        }
        opened = ::openat(fd(), n.constData(), flags);
    }
    if (opened >= 0) {
        *status = TargetStatus::Ok;
        return TargetDir(opened);
    }
    const int error = errno;
    struct stat st;
    if (::fstatat(fd(), n.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) {
        *status = statusOf(error);
    } else {
        *status = S_ISLNK(st.st_mode) ? TargetStatus::ThroughLink : TargetStatus::NotADirectory;
    }
    return {};
}

TargetDir TargetDir::openExistingChild(const QString& name, TargetStatus* status) const {
    const int opened =
        ::openat(fd(), hostName(name).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    *status = opened >= 0 ? TargetStatus::Ok : statusOf(errno);
    return TargetDir(opened);
}

TargetDir TargetDir::duplicate(TargetStatus* status) const {
    const int copy = ::fcntl(fd(), F_DUPFD_CLOEXEC, 0);
    *status = copy >= 0 ? TargetStatus::Ok : statusOf(errno);
    return TargetDir(copy);
}

ExistingKind TargetDir::kindOf(const QString& name) const {
    struct stat st;
    if (::fstatat(fd(), hostName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? ExistingKind::None : ExistingKind::Other;
    }
    if (S_ISREG(st.st_mode)) {
        return ExistingKind::File;
    }
    if (S_ISDIR(st.st_mode)) {
        return ExistingKind::Directory;
    }
    return S_ISLNK(st.st_mode) ? ExistingKind::Link : ExistingKind::Other;
}

bool TargetDir::isLinkTo(const QString& name, const QByteArray& target) const {
    std::vector<char> buffer(std::size_t(target.size()) + 2);
    const ssize_t n = ::readlinkat(fd(), hostName(name).constData(), buffer.data(), buffer.size());
    return n == target.size() && QByteArray(buffer.data(), n) == target;
}

TargetStatus TargetDir::createLink(const QString& name, const QByteArray& target,
                                   std::optional<std::int64_t> mtime, bool* taken) const {
    const QByteArray n = hostName(name);
    *taken = false;
    if (::symlinkat(target.constData(), fd(), n.constData()) != 0) {
        *taken = errno == EEXIST;
        return statusOf(errno);
    }
    if (const auto times = timesOf(mtime)) {
        ::utimensat(fd(), n.constData(), times->data(), AT_SYMLINK_NOFOLLOW);
    }
    return TargetStatus::Ok;
}

bool TargetDir::writable() const {
    return ::faccessat(fd(), ".", W_OK | X_OK, AT_EACCESS) == 0;
}

std::optional<FileId> TargetDir::id() const {
    if (!m_id) {
        m_id.emplace(fileIdOf(fd()));
    }
    return *m_id;
}

const FileSystemId& TargetDir::fileSystem() const {
    if (!m_fileSystem) {
        m_fileSystem.emplace(fileSystemOf(fd()));
    }
    return *m_fileSystem;
}

TempOutput::~TempOutput() {
    discard();
}

TargetStatus TempOutput::create(const TargetDir& dir) {
    m_dirId = dir.id();
    m_fileSystem = dir.fileSystem();
    return createIn(dir.fd(), false);
}

TargetStatus TempOutput::createUnnamed(const TargetDir& dir) {
    m_dirId = dir.id();
    m_fileSystem = dir.fileSystem();
    return createIn(dir.fd(), true);
}

TargetStatus TempOutput::createIn(int dirFd, bool unnamedOnly) {
    discard();
    m_dirFd = dirFd;
    m_size = 0;
    m_id.reset();
    m_finished = false;
    if (mayUse(m_fileSystem, Feature::UnnamedFiles)) {
        // Unnamed until placed: nothing is left behind however the process ends.
        m_fd.reset(::openat(m_dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
        if (m_fd) {
            // /proc is there for the whole process or not at all: asked once, not per file.
            static const bool procNamesFiles = nameableThroughProc(m_fd.get());
            if (procNamesFiles) {
                return TargetStatus::Ok;
            }
            m_fd.reset();
        } else if (!lacksUnnamedFiles(errno)) {
            return statusOf(errno);
        }
        learnLacking(m_fileSystem, Feature::UnnamedFiles);
    }
    if (unnamedOnly) {
        return TargetStatus::Unsupported;
    }
    return createNamed();
}

TargetStatus TempOutput::createNamed() {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937 random{std::random_device{}()};
    // Only part of a name that O_EXCL guards anyway: asked once, not per file.
    static const pid_t pid = ::getpid();
    if (m_dirId) {
        removeLeftoversOnce(m_dirFd, *m_dirId);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        // A hidden name of our own that no entry is likely to carry; O_EXCL settles the
        // rare clash.
        const QByteArray name = temporaryName(pid, counter.fetch_add(1), random());
        m_fd.reset(::openat(m_dirFd, name.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (m_fd) {
            m_name = name;
            return TargetStatus::Ok;
        }
        if (errno != EEXIST) {
            return statusOf(errno);
        }
    }
    return TargetStatus::Failed;
}

TargetStatus TempOutput::write(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(m_fd.get(), data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return statusOf(errno);
        }
        data += n;
        size -= std::size_t(n);
        m_size += std::uint64_t(n);
    }
    return TargetStatus::Ok;
}

TargetStatus TempOutput::finish(int unixMode, std::optional<std::int64_t> mtime) {
    m_finished = true;
    struct stat st;
    const bool known = unnamed() && ::fstat(m_fd.get(), &st) == 0;
    if (known) {
        m_id = FileId{st.st_dev, st.st_ino};
    }
    if (unixMode >= 0 && mayUse(m_fileSystem, Feature::Modes)) {
        const mode_t wanted = mode_t((unixMode & 0777) | 0600);
        // The bits the file was created with are often the ones wanted already.
        if ((!known || (st.st_mode & 07777) != wanted) && ::fchmod(m_fd.get(), wanted) != 0) {
            if (!lacksModes(errno)) {
                return statusOf(errno);
            }
            learnLacking(m_fileSystem, Feature::Modes);
        }
    }
    // A time the file system cannot keep is no reason to lose the file.
    if (const auto times = timesOf(mtime)) {
        ::futimens(m_fd.get(), times->data());
    }
    if (unnamed()) {
        // Needs its descriptor until placed; placeAs closes it.
        return TargetStatus::Ok;
    }
    // Close before placing: a full disk or a failing network share can report a lost
    // write only now.
    return m_fd.close() ? TargetStatus::Ok : statusOf(errno);
}

bool TempOutput::moveTo(const TargetDir& folder) {
    if (folder.fd() != m_dirFd && (!m_dirId || folder.id() != m_dirId)) {
        return false;
    }
    m_dirFd = folder.fd();
    return true;
}

bool TempOutput::sameContentAs(const QString& name) const {
    struct stat st;
    const QByteArray n = hostName(name);
    if (::fstatat(m_dirFd, n.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        std::uint64_t(st.st_size) != m_size) {
        return false;
    }
    const Fd existing(::openat(m_dirFd, n.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    // A named file was written through a descriptor that cannot read, closed by now.
    const Fd reopened(
        unnamed() ? -1 : ::openat(m_dirFd, m_name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const int ours = unnamed() ? m_fd.get() : reopened.get();
    bool same = existing && ours >= 0;
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<char> a(same ? kChunk : 0);
    std::vector<char> b(same ? kChunk : 0);
    for (std::uint64_t offset = 0; same && offset < m_size; offset += kChunk) {
        const std::size_t size = std::size_t(std::min<std::uint64_t>(kChunk, m_size - offset));
        same = readFully(existing.get(), a.data(), size, off_t(offset)) &&
               readFully(ours, b.data(), size, off_t(offset)) &&
               std::equal(a.begin(), a.begin() + std::ptrdiff_t(size), b.begin());
    }
    return same;
}

TargetStatus TempOutput::placeAs(const QString& name, bool* taken) {
    return place(hostName(name), taken);
}

TargetStatus TempOutput::place(const QByteArray& n, bool* taken) {
    *taken = false;
    if (unnamed()) {
        return placeUnnamed(n, taken);
    }
    if (mayUse(m_fileSystem, Feature::NoReplaceRename)) {
        if (::renameat2(m_dirFd, m_name.constData(), m_dirFd, n.constData(), RENAME_NOREPLACE) ==
            0) {
            m_name.clear();
            return TargetStatus::Ok;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            *taken = errno == EEXIST;
            return statusOf(errno);
        }
        learnLacking(m_fileSystem, Feature::NoReplaceRename);
    }
    if (mayUse(m_fileSystem, Feature::HardLinks)) {
        // A hard link fails just as atomically when the name is held.
        if (::linkat(m_dirFd, m_name.constData(), m_dirFd, n.constData(), 0) == 0) {
            ::unlinkat(m_dirFd, m_name.constData(), 0);
            m_name.clear();
            return TargetStatus::Ok;
        }
        if (!lacksHardLinks(errno)) {
            *taken = errno == EEXIST;
            return statusOf(errno);
        }
        learnLacking(m_fileSystem, Feature::HardLinks);
    }
    return placeOverPlaceholder(n, taken);
}

// Without either, the name is claimed first by an empty file of our own, which O_EXCL
// refuses to make when anything holds the name (in any letter case, where the file
// system ignores case); the finished file then takes its place by a plain rename, which
// replaces that placeholder only and never follows a link.
TargetStatus TempOutput::placeOverPlaceholder(const QByteArray& name, bool* taken) {
    Fd placeholder(::openat(m_dirFd, name.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!placeholder) {
        *taken = errno == EEXIST;
        return statusOf(errno);
    }
    const std::optional<FileId> claimed = fileIdOf(placeholder.get());
    placeholder.reset();
    if (::renameat(m_dirFd, m_name.constData(), m_dirFd, name.constData()) == 0) {
        m_name.clear();
        return TargetStatus::Ok;
    }
    const int error = errno;
    // Given back only while it is still our empty placeholder.
    struct stat st;
    if (claimed && ::fstatat(m_dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_size == 0 && FileId{st.st_dev, st.st_ino} == *claimed) {
        ::unlinkat(m_dirFd, name.constData(), 0);
    }
    return statusOf(error);
}

TargetStatus TempOutput::placeUnnamed(const QByteArray& name, bool* taken) {
    if (!linkUnnamed(name)) {
        *taken = errno == EEXIST;
        return statusOf(errno);
    }
    const std::optional<FileId> placed = m_id ? m_id : fileIdOf(m_fd.get());
    // A full disk or a failing network share can report a lost write only at close: the
    // name just placed is taken back then, if it still holds this file.
    if (m_fd.close()) {
        return TargetStatus::Ok;
    }
    const int error = errno;
    struct stat now;
    if (placed && ::fstatat(m_dirFd, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        FileId{now.st_dev, now.st_ino} == *placed) {
        ::unlinkat(m_dirFd, name.constData(), 0);
    }
    return statusOf(error);
}

bool TempOutput::linkUnnamed(const QByteArray& name) {
    // Whether linkat takes the open file itself (AT_EMPTY_PATH): since Linux 6.10 for any
    // process that opened it, before only with CAP_DAC_READ_SEARCH. Otherwise the file is
    // linked through /proc, a path walk through procfs per file. Learned on first use.
    static std::atomic<int> linksByDescriptor{-1}; // unknown, no, yes
    const int known = linksByDescriptor.load(std::memory_order_relaxed);
    if (known != 0) {
        if (::linkat(m_fd.get(), "", m_dirFd, name.constData(), AT_EMPTY_PATH) == 0) {
            linksByDescriptor.store(1, std::memory_order_relaxed);
            return true;
        }
        if (known == 1 || (errno != ENOENT && errno != EPERM)) {
            return false;
        }
    }
    // Fails with EEXIST when the name is held, as the rename of a named file does.
    if (::linkat(AT_FDCWD, procPathOf(m_fd.get()).constData(), m_dirFd, name.constData(),
                 AT_SYMLINK_FOLLOW) != 0) {
        return false;
    }
    linksByDescriptor.store(0, std::memory_order_relaxed);
    return true;
}

void TempOutput::discard() {
    m_fd.reset();
    if (!m_name.isEmpty()) {
        ::unlinkat(m_dirFd, m_name.constData(), 0);
        m_name.clear();
    }
}

std::optional<FileStamp> stampOf(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    return FileStamp{std::int64_t(st.st_size),
                     std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::optional<FileId> fileIdOf(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    return FileId{st.st_dev, st.st_ino};
}

std::optional<std::uint64_t> hostFreeBytes(const QString& hostPath) {
    struct statvfs st;
    if (::statvfs(hostName(hostPath).constData(), &st) != 0) {
        return std::nullopt;
    }
    return std::uint64_t(st.f_bavail) * std::uint64_t(st.f_frsize);
}

bool hostIsDirectory(const QString& hostPath) {
    struct stat st;
    return ::stat(hostName(hostPath).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool hostExists(const QString& hostPath) {
    struct stat st;
    return ::lstat(hostName(hostPath).constData(), &st) == 0;
}

bool makeHostDirectories(const QString& hostPath) {
    return QDir().mkpath(hostPath);
}

} // namespace archive_engine::disk
