#pragma once

// The file systems that extracted content went to, so that it can be made durable before
// anything depends on it (the run deletes the archive it came from). One descriptor is
// kept per file system: syncing a file system writes out every file and folder on it.

#include "disk/fd.h"

#include <velmarch/engine.h>

#include <sys/types.h>

#include <map>

namespace archive_engine::disk {

class DurableSet {
public:
    DurableSet() = default;
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
    std::map<dev_t, Fd> m_fds;
};

} // namespace archive_engine::disk
