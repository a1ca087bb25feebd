#include "disk/durable_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace archive_engine::disk {

void DurableSet::add(int dirFd) {
    struct stat st;
    if (dirFd < 0 || ::fstat(dirFd, &st) != 0 || m_fds.contains(st.st_dev)) {
        return;
    }
    // A duplicate: the folder's own descriptor may be closed long before the sync.
    // Failing to keep one leaves a marker that makes sync() fail: durability unknown.
    m_fds.emplace(st.st_dev, Fd(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0)));
}

bool DurableSet::sync() {
    bool ok = true;
    for (const auto& [device, fd] : m_fds) {
        ok = fd.isOpen() && ::syncfs(fd.get()) == 0 && ok;
    }
    clear();
    return ok;
}

void DurableSet::clear() {
    m_fds.clear();
}

} // namespace archive_engine::disk
