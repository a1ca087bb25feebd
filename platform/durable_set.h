#pragma once

// The file systems that extracted content went to, so that it can be made durable before
// anything depends on it (the run deletes the archive it came from). One descriptor is
// kept per file system: syncing a file system writes out every file and folder on it.

#include <sys/types.h>

#include <map>

namespace platform {

// A file's identity on the host: it survives renames and tells a replacement apart.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId&) const = default;
};

class DurableSet {
public:
    DurableSet() = default;
    ~DurableSet();
    DurableSet(const DurableSet&) = delete;
    DurableSet& operator=(const DurableSet&) = delete;

    // Remembers the file system that holds the open folder `dirFd`.
    void add(int dirFd);
    // Writes out every remembered file system; false when any of them reports an error.
    // The set is empty afterwards either way.
    bool sync();
    void clear();
    bool empty() const { return m_fds.empty(); }

private:
    std::map<dev_t, int> m_fds;
};

} // namespace platform
