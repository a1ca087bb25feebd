#include "disk/fs_traits.h"

#include <map>
#include <mutex>

namespace archive_engine::disk {

namespace {

// One entry per file system written to: a handful, whatever the archives hold.
struct Learned {
    std::mutex mutex;
    std::map<std::uint64_t, unsigned> lacking;
};

Learned& learned() {
    static Learned instance;
    return instance;
}

} // namespace

bool mayUse(std::uint64_t device, Feature feature) {
    Learned& l = learned();
    const std::lock_guard lock(l.mutex);
    const auto found = l.lacking.find(device);
    return found == l.lacking.end() || (found->second & unsigned(feature)) == 0;
}

void learnLacking(std::uint64_t device, Feature feature) {
    Learned& l = learned();
    const std::lock_guard lock(l.mutex);
    l.lacking[device] |= unsigned(feature);
}

void presumeLacking(std::uint64_t device, unsigned features) {
    Learned& l = learned();
    const std::lock_guard lock(l.mutex);
    l.lacking[device] = features;
}

} // namespace archive_engine::disk
