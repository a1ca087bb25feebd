#include "disk/leftovers.h"

#include "disk/fd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace archive_engine::disk {

namespace {

constexpr char kPrefix[] = ".velmarch-";
constexpr char kSuffix[] = ".part";
constexpr int kRandomDigits = 8;

// A decimal number without a leading zero (a lone "0" aside) up to `limit`, from `at`
// up to the next `stop`; `at` is left on that character.
std::optional<std::uint64_t> number(const QByteArray& text, qsizetype& at, char stop,
                                    std::uint64_t limit) {
    const qsizetype begin = at;
    std::uint64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + std::uint64_t(text[at] - '0');
        if (value > limit) {
            return std::nullopt;
        }
        ++at;
    }
    const qsizetype digits = at - begin;
    if (digits == 0 || (digits > 1 && text[begin] == '0') || at >= text.size() ||
        text[at] != stop) {
        return std::nullopt;
    }
    return value;
}

bool isLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Whether `pid` names a process that exists, ours to signal or not.
bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// Folders swept by this process. Bounded: past the bound it starts afresh, and a folder
// swept twice costs a listing, nothing else.
struct Swept {
    static constexpr std::size_t kMaxFolders = 4096;
    std::mutex mutex;
    std::set<std::pair<std::uint64_t, std::uint64_t>> folders;
};

Swept& swept() {
    static Swept instance;
    return instance;
}

} // namespace

QByteArray temporaryName(pid_t pid, unsigned serial, std::uint32_t random) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%d-%u-%08x%s", kPrefix, int(pid), serial, unsigned(random),
                  kSuffix);
    return name;
}

std::optional<pid_t> temporaryOwner(const QByteArray& name) {
    constexpr qsizetype prefixSize = sizeof kPrefix - 1;
    constexpr qsizetype suffixSize = sizeof kSuffix - 1;
    if (!name.startsWith(kPrefix) || !name.endsWith(kSuffix)) {
        return std::nullopt;
    }
    qsizetype at = prefixSize;
    const auto pid = number(name, at, '-', std::uint64_t(INT32_MAX));
    if (!pid || *pid == 0) {
        return std::nullopt;
    }
    ++at;
    if (!number(name, at, '-', std::uint64_t(UINT32_MAX))) {
        return std::nullopt;
    }
    ++at;
    if (name.size() - at != kRandomDigits + suffixSize) {
        return std::nullopt;
    }
    for (qsizetype i = at; i < at + kRandomDigits; ++i) {
        if (!isLowerHex(name[i])) {
            return std::nullopt;
        }
    }
    return pid_t(*pid);
}

int removeLeftovers(int dirFd) {
    // A descriptor of its own: a listing moves the position of the one it reads.
    Fd listing(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) {
        return 0;
    }
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing.get()));
    if (!dir) {
        return 0;
    }
    listing.release();
    static const pid_t self = ::getpid();
    // Removed after the listing: some file systems lose their place in a folder that
    // changes while it is read.
    std::vector<QByteArray> gone;
    while (const dirent* entry = ::readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        const std::optional<pid_t> owner = temporaryOwner(name);
        if (owner && *owner != self && !alive(*owner)) {
            gone.push_back(name);
        }
    }
    int removed = 0;
    for (const QByteArray& name : gone) {
        struct stat st;
        // A link of that name goes nowhere near its target: unlinkat removes names only.
        // Only a regular file is taken for ours.
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && ::unlinkat(dirFd, name.constData(), 0) == 0) {
            ++removed;
        }
    }
    return removed;
}

void removeLeftoversOnce(int dirFd, const FileId& folder) {
    {
        Swept& s = swept();
        const std::lock_guard lock(s.mutex);
        if (s.folders.size() >= Swept::kMaxFolders) {
            s.folders.clear();
        }
        if (!s.folders.emplace(folder.device, folder.inode).second) {
            return;
        }
    }
    removeLeftovers(dirFd);
}

void forgetSweptFolders() {
    Swept& s = swept();
    const std::lock_guard lock(s.mutex);
    s.folders.clear();
}

} // namespace archive_engine::disk
