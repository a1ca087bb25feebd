#include "disk/extract_target.h"

#include <QDir>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
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

// The name under which the kernel lets an open file be linked into a folder.
QByteArray procPathOf(int fd) {
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// Whether an O_TMPFILE open failed only because the file system (or the kernel) lacks it.
bool lacksUnnamedFiles(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
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

// The kernel's own bound on the links one path may go through.
constexpr int kMaxLinkExpansions = 40;

// Folders from the root down to where a walk stands, opened one at a time without
// following a link; the root's descriptor is borrowed.
class FolderStack {
public:
    explicit FolderStack(int rootFd) : m_fds{rootFd} {}
    ~FolderStack() {
        while (!atRoot()) {
            ascend();
        }
    }
    FolderStack(const FolderStack&) = delete;
    FolderStack& operator=(const FolderStack&) = delete;

    int top() const { return m_fds.back(); }
    bool atRoot() const { return m_fds.size() == 1; }
    bool descend(const QByteArray& name) {
        const int fd =
            ::openat(top(), name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        m_fds.push_back(fd);
        return true;
    }
    void ascend() {
        ::close(m_fds.back());
        m_fds.pop_back();
    }

private:
    std::vector<int> m_fds;
};

// A target another system would read with "\" as a separator as absolute or climbing.
// The host reads "\" as a plain character, but refusing such a target costs nothing.
bool climbsElsewhere(const QByteArray& target) {
    if (target.startsWith('\\')) {
        return true;
    }
    for (const QByteArray& part : target.split('/')) {
        if (part.contains('\\') && part.split('\\').contains(QByteArrayLiteral(".."))) {
            return true;
        }
    }
    return false;
}

} // namespace

// Why links accepted one by one never resolve outside together, whatever their order:
// nothing the engine makes replaces or removes a name, so what the walk below saw stays as
// it saw it (folders stay folders, links keep their targets). The walk takes the kernel's
// steps over those names and never climbs above the root. Past a name that is missing or
// not a folder, later entries may still make anything, links included, so from there on
// it accepts descents only. A later resolution of the link therefore repeats the walk up
// to that name and then only descends: into a real folder, still inside, or through a
// link made later, which was accepted in its turn from the folder it sits in, the very
// folder the resolution stands in; the same argument on that shorter resolution keeps it
// inside. Missing folders of the link's own path are made as real folders before the
// link, so ".." may climb back out of them.
bool linkStaysInside(const TargetDir& root, const QStringList& folder, const QByteArray& target) {
    if (target.isEmpty() || target.contains('\0') || target.startsWith('/') ||
        climbsElsewhere(target)) {
        return false;
    }
    FolderStack at(root.fd());
    struct stat st;
    qsizetype toCreate = 0;
    for (const QString& component : folder) {
        const QByteArray name = hostName(component);
        if (name.isEmpty() || name == "." || name == ".." || name.contains('/')) {
            return false;
        }
        if (toCreate > 0) {
            ++toCreate;
        } else if (::fstatat(at.top(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                return false;
            }
            toCreate = 1;
        } else if (!S_ISDIR(st.st_mode) || !at.descend(name)) {
            // A link or a file: the link could not be made inside a real folder here.
            return false;
        }
    }
    // Components still to walk, the next one last.
    std::vector<QByteArray> pending;
    const auto prepend = [&pending](const QByteArray& path) {
        const QList<QByteArray> parts = path.split('/');
        pending.insert(pending.end(), parts.rbegin(), parts.rend());
    };
    prepend(target);
    int expansions = 0;
    bool pastMissing = false;
    while (!pending.empty()) {
        const QByteArray name = std::move(pending.back());
        pending.pop_back();
        if (name.isEmpty() || name == ".") {
            continue;
        }
        if (name == "..") {
            if (pastMissing || (toCreate == 0 && at.atRoot())) {
                return false;
            }
            if (toCreate > 0) {
                --toCreate;
            } else {
                at.ascend();
            }
            continue;
        }
        if (pastMissing) {
            continue;
        }
        if (toCreate > 0) {
            pastMissing = true;
            continue;
        }
        if (::fstatat(at.top(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                return false;
            }
            pastMissing = true;
        } else if (S_ISDIR(st.st_mode)) {
            if (!at.descend(name)) {
                return false;
            }
        } else if (S_ISLNK(st.st_mode)) {
            if (++expansions > kMaxLinkExpansions) {
                return false;
            }
            std::array<char, PATH_MAX> buffer;
            const ssize_t n =
                ::readlinkat(at.top(), name.constData(), buffer.data(), buffer.size());
            if (n <= 0 || std::size_t(n) >= buffer.size() || buffer[0] == '/') {
                return false;
            }
            // Relative to the folder holding the link: where the walk stands.
            prepend(QByteArray(buffer.data(), n));
        } else {
            pastMissing = true;
        }
    }
    return true;
}

TargetDir::~TargetDir() {
    closeFd(m_fd);
}

TargetDir::TargetDir(TargetDir&& other) noexcept
    : m_fd(other.m_fd), m_id(std::move(other.m_id)) {
    other.m_fd = -1;
    other.m_id.reset();
}

TargetDir& TargetDir::operator=(TargetDir&& other) noexcept {
    if (this != &other) {
        closeFd(m_fd);
        m_fd = other.m_fd;
        m_id = std::move(other.m_id);
        other.m_fd = -1;
        other.m_id.reset();
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

TargetDir TargetDir::openExistingChild(const QString& name, TargetStatus* status) const {
    const int fd = ::openat(m_fd, hostName(name).constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    *status = fd >= 0 ? TargetStatus::Ok : statusOf(errno);
    return TargetDir(fd);
}

TargetDir TargetDir::duplicate(TargetStatus* status) const {
    const int fd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    *status = fd >= 0 ? TargetStatus::Ok : statusOf(errno);
    return TargetDir(fd);
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

std::optional<FileId> TargetDir::id() const {
    if (!m_id) {
        m_id.emplace(fileIdOf(m_fd));
    }
    return *m_id;
}

TempOutput::~TempOutput() {
    discard();
}

TargetStatus TempOutput::create(const TargetDir& dir) {
    const TargetStatus status = createIn(dir.fd(), false);
    m_dirId = dir.id();
    return status;
}

TargetStatus TempOutput::createUnnamed(const TargetDir& dir) {
    const TargetStatus status = createIn(dir.fd(), true);
    m_dirId = dir.id();
    return status;
}

TargetStatus TempOutput::createIn(int dirFd, bool unnamedOnly) {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937 random{std::random_device{}()};
    // Only part of a name that O_EXCL guards anyway: asked once, not per file.
    static const int pid = int(::getpid());
    discard();
    m_dirFd = dirFd;
    m_size = 0;
    m_id.reset();
    m_finished = false;
    // Unnamed until placed: nothing is left behind however the process ends.
    m_fd = ::openat(m_dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (m_fd >= 0) {
        // /proc is there for the whole process or not at all: asked once, not per file.
        static const bool procNamesFiles = nameableThroughProc(m_fd);
        if (procNamesFiles) {
            return TargetStatus::Ok;
        }
    }
    if (m_fd < 0 && !lacksUnnamedFiles(errno)) {
        return statusOf(errno);
    }
    closeFd(m_fd);
    if (unnamedOnly) {
        return TargetStatus::Unsupported;
    }
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
    m_finished = true;
    struct stat st;
    const bool known = unnamed() && ::fstat(m_fd, &st) == 0;
    if (known) {
        m_id = FileId{st.st_dev, st.st_ino};
    }
    if (unixMode >= 0) {
        const mode_t wanted = mode_t((unixMode & 0777) | 0600);
        // The bits the file was created with are often the ones wanted already.
        if ((!known || (st.st_mode & 07777) != wanted) && ::fchmod(m_fd, wanted) != 0) {
            return statusOf(errno);
        }
    }
    if (const auto times = timesOf(mtime)) {
        ::futimens(m_fd, times->data());
    }
    if (unnamed()) {
        // Needs its descriptor until placed; placeAs closes it.
        return TargetStatus::Ok;
    }
    // Close before placing: a full disk or a failing network share can report a lost
    // write only now.
    const int result = ::close(m_fd);
    m_fd = -1;
    return result == 0 ? TargetStatus::Ok : statusOf(errno);
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
    const int existing = ::openat(m_dirFd, n.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int ours =
        unnamed() ? m_fd : ::openat(m_dirFd, m_name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
    if (ours >= 0 && ours != m_fd) {
        ::close(ours);
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

TargetStatus TempOutput::placeUnnamed(const QByteArray& name, bool* taken) {
    if (!linkUnnamed(name)) {
        *taken = errno == EEXIST;
        return statusOf(errno);
    }
    const std::optional<FileId> placed = m_id ? m_id : fileIdOf(m_fd);
    // A full disk or a failing network share can report a lost write only at close: the
    // name just placed is taken back then, if it still holds this file.
    const int result = ::close(m_fd);
    m_fd = -1;
    if (result == 0) {
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
        if (::linkat(m_fd, "", m_dirFd, name.constData(), AT_EMPTY_PATH) == 0) {
            linksByDescriptor.store(1, std::memory_order_relaxed);
            return true;
        }
        if (known == 1 || (errno != ENOENT && errno != EPERM)) {
            return false;
        }
    }
    // Fails with EEXIST when the name is held, as the rename of a named file does.
    if (::linkat(AT_FDCWD, procPathOf(m_fd).constData(), m_dirFd, name.constData(),
                 AT_SYMLINK_FOLLOW) != 0) {
        return false;
    }
    linksByDescriptor.store(0, std::memory_order_relaxed);
    return true;
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

} // namespace archive_engine::disk
