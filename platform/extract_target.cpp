#include "extract_target.h"

#include <QDir>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

QByteArray hostName(const QString& name) {
    return name.toUtf8();
}

TargetStatus statusOf(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return TargetStatus::NoSpace;
    case ELOOP:
        return TargetStatus::ThroughLink;
    case ENOTDIR:
        return TargetStatus::NotADirectory;
    default:
        return TargetStatus::Failed;
    }
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
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

TargetDir::~TargetDir() {
    closeFd(m_fd);
}

TargetDir::TargetDir(TargetDir&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
}

TargetDir& TargetDir::operator=(TargetDir&& other) noexcept {
    if (this != &other) {
        closeFd(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
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
    int fd = ::openat(m_fd, n.constData(), flags);
    if (fd < 0 && errno == ENOENT) {
        const mode_t mode = unixMode >= 0 ? mode_t((unixMode & 0777) | 0700) : 0777;
        if (::mkdirat(m_fd, n.constData(), mode) != 0 && errno != EEXIST) {
            *status = statusOf(errno);
            return {};
        }
        fd = ::openat(m_fd, n.constData(), flags);
    }
    if (fd >= 0) {
        *status = TargetStatus::Ok;
        return TargetDir(fd);
    }
    const int error = errno;
    const ExistingKind kind = kindOf(name);
    *status = kind == ExistingKind::Link ? TargetStatus::ThroughLink
              : kind == ExistingKind::None || kind == ExistingKind::Directory
                  ? statusOf(error)
                  : TargetStatus::NotADirectory;
    return {};
}

ExistingKind TargetDir::kindOf(const QString& name) const {
    struct stat st;
    if (::fstatat(m_fd, hostName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
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
    const ssize_t n = ::readlinkat(m_fd, hostName(name).constData(), buffer.data(), buffer.size());
    return n == target.size() && QByteArray(buffer.data(), n) == target;
}

TargetStatus TargetDir::createLink(const QString& name, const QByteArray& target,
                                   std::optional<std::int64_t> mtime, bool* taken) const {
    const QByteArray n = hostName(name);
    *taken = false;
    if (::symlinkat(target.constData(), m_fd, n.constData()) != 0) {
        *taken = errno == EEXIST;
        return statusOf(errno);
    }
    if (const auto times = timesOf(mtime)) {
        ::utimensat(m_fd, n.constData(), times->data(), AT_SYMLINK_NOFOLLOW);
    }
    return TargetStatus::Ok;
}

bool TargetDir::writable() const {
    return ::faccessat(m_fd, ".", W_OK | X_OK, AT_EACCESS) == 0;
}

TempOutput::~TempOutput() {
    discard();
}

TargetStatus TempOutput::create(const TargetDir& dir) {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937 random{std::random_device{}()};
    // Only part of a name that O_EXCL guards anyway: asked once, not per file.
    static const int pid = int(::getpid());
    discard();
    m_dirFd = dir.fd();
    m_size = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // A hidden name of our own that no entry is likely to carry; O_EXCL settles the
        // rare clash.
        char name[64];
        std::snprintf(name, sizeof name, ".velmarch-%d-%u-%08x.part", pid, counter.fetch_add(1),
                      unsigned(random()));
        m_fd = ::openat(m_dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
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
        const ssize_t n = ::write(m_fd, data, size);
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
    if (unixMode >= 0 && ::fchmod(m_fd, mode_t((unixMode & 0777) | 0600)) != 0) {
        return statusOf(errno);
    }
    if (const auto times = timesOf(mtime)) {
        ::futimens(m_fd, times->data());
    }
    // Close before placing: a full disk or a failing network share can report a lost
    // write only now.
    const int result = ::close(m_fd);
    m_fd = -1;
    return result == 0 ? TargetStatus::Ok : statusOf(errno);
}

bool TempOutput::sameContentAs(const QString& name) const {
    struct stat st;
    const QByteArray n = hostName(name);
    if (::fstatat(m_dirFd, n.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        std::uint64_t(st.st_size) != m_size) {
        return false;
    }
    const int existing = ::openat(m_dirFd, n.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int ours = ::openat(m_dirFd, m_name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool same = existing >= 0 && ours >= 0;
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<char> a(same ? kChunk : 0);
    std::vector<char> b(same ? kChunk : 0);
    for (std::uint64_t offset = 0; same && offset < m_size; offset += kChunk) {
        const std::size_t size = std::size_t(std::min<std::uint64_t>(kChunk, m_size - offset));
        same = readFully(existing, a.data(), size, off_t(offset)) &&
               readFully(ours, b.data(), size, off_t(offset)) &&
               std::equal(a.begin(), a.begin() + std::ptrdiff_t(size), b.begin());
    }
    if (existing >= 0) {
        ::close(existing);
    }
    if (ours >= 0) {
        ::close(ours);
    }
    return same;
}

TargetStatus TempOutput::placeAs(const QString& name, bool* taken) {
    const QByteArray n = hostName(name);
    *taken = false;
    if (::renameat2(m_dirFd, m_name.constData(), m_dirFd, n.constData(), RENAME_NOREPLACE) == 0) {
        m_name.clear();
        return TargetStatus::Ok;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        *taken = errno == EEXIST;
        return statusOf(errno);
    }
    // File systems without RENAME_NOREPLACE: a hard link fails just as atomically when
    // the name is held.
    if (::linkat(m_dirFd, m_name.constData(), m_dirFd, n.constData(), 0) != 0) {
        *taken = errno == EEXIST;
        return statusOf(errno);
    }
    ::unlinkat(m_dirFd, m_name.constData(), 0);
    m_name.clear();
    return TargetStatus::Ok;
}

void TempOutput::discard() {
    closeFd(m_fd);
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

} // namespace platform
