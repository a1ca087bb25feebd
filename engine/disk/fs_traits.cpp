#include "disk/fs_traits.h"

#include <cstring>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace archive_engine::disk {

namespace {

// One entry per file system written to: a handful, whatever the archives hold.
struct Learned {
    std::mutex mutex;
    std::map<FileSystemId, unsigned> lacking;
};

Learned& learned() {
    static Learned instance;
    return instance;
}

} // namespace

FileSystemId fileSystemOf(int fd) {
    struct stat st;
    struct statfs fs;
    if (::fstat(fd, &st) != 0 || ::fstatfs(fd, &fs) != 0) {
        return {};
    }
    std::uint64_t id = 0;
    static_assert(sizeof fs.f_fsid <= sizeof id);
    std::memcpy(&id, &fs.f_fsid, sizeof fs.f_fsid);
    return {std::uint64_t(st.st_dev), std::uint64_t(fs.f_type), id};
}

bool mayUse(const FileSystemId& fileSystem, Feature feature) {
    Learned& l = learned();
    const std::lock_guard lock(l.mutex);
    const auto found = l.lacking.find(fileSystem);
    return found == l.lacking.end() || (found->second & unsigned(feature)) == 0;
}

void learnLacking(const FileSystemId& fileSystem, Feature feature) {
    Learned& l = learned();
    const std::lock_guard lock(l.mutex);
    l.lacking[fileSystem] |= unsigned(feature);
}

void presumeLacking(const FileSystemId& fileSystem, unsigned features) {
    Learned& l = learned();
    const std::lock_guard lock(l.mutex);
    l.lacking[fileSystem] = features;
}

} // namespace archive_engine::disk
