#pragma once

// What a file system turned out to lack, learned per file system the first time a call
// fails for want of it: a fallback then costs one failed call per file system, not one
// per file. Shared by every thread of the process.

#include <compare>
#include <cstdint>

namespace archive_engine::disk {

enum class Feature : unsigned {
    UnnamedFiles = 1u << 0,    // O_TMPFILE, and a /proc to name such a file through
    NoReplaceRename = 1u << 1, // renameat2(RENAME_NOREPLACE)
    HardLinks = 1u << 2,       // linkat
    Modes = 1u << 3,           // fchmod: permission bits the file system keeps
};

// A file system as mounted: its device number, and its type and id, which another file
// system given the same device number after an unmount (the next stick in the same port)
// does not share unless it is of the same kind.
struct FileSystemId {
    std::uint64_t device = 0;
    std::uint64_t type = 0;
    std::uint64_t id = 0;
    auto operator<=>(const FileSystemId&) const = default;
};

// The file system holding the open file or folder `fd`; all zero when unknown.
FileSystemId fileSystemOf(int fd);

// Whether `feature` is worth trying on `fileSystem`: not found lacking there yet.
bool mayUse(const FileSystemId& fileSystem, Feature feature);
// Remembers that `fileSystem` lacks `feature`.
void learnLacking(const FileSystemId& fileSystem, Feature feature);
// Sets what `fileSystem` is taken to lack (Feature bits, 0 for nothing), as if learned:
// lets a test take each fallback on a disk that has everything.
void presumeLacking(const FileSystemId& fileSystem, unsigned features);

} // namespace archive_engine::disk
