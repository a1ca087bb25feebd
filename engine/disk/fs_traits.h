#pragma once

// What a file system turned out to lack, learned per file system (its device number) the
// first time a call fails for want of it: a fallback then costs one failed call per file
// system, not one per file. Shared by every thread of the process.

#include <cstdint>

namespace archive_engine::disk {

enum class Feature : unsigned {
    UnnamedFiles = 1u << 0,    // O_TMPFILE, and a /proc to name such a file through
    NoReplaceRename = 1u << 1, // renameat2(RENAME_NOREPLACE)
    HardLinks = 1u << 2,       // linkat
    Modes = 1u << 3,           // fchmod: permission bits the file system keeps
};

// Whether `feature` is worth trying on `device`: not found lacking there yet.
bool mayUse(std::uint64_t device, Feature feature);
// Remembers that `device` lacks `feature`.
void learnLacking(std::uint64_t device, Feature feature);
// Sets what `device` is taken to lack (Feature bits, 0 for nothing), as if learned: lets a
// test take each fallback on a disk that has everything.
void presumeLacking(std::uint64_t device, unsigned features);

} // namespace archive_engine::disk
