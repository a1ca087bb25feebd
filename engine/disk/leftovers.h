#pragma once

// Named temporaries: where a file system lacks unnamed files, output is written under a
// hidden name of our own until it is placed. A killed run leaves such files behind; the
// next run that writes named temporaries into the same folder removes them.

#include <velmarch/engine.h>

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace archive_engine::disk {

// ".velmarch-<pid>-<serial>-<8 lower-case hex digits>.part": the process that owns it, a
// number it counts up, a random part.
QByteArray temporaryName(pid_t pid, unsigned serial, std::uint32_t random);
// The owner of `name` when it is exactly such a name (digits without leading zeros, a pid
// above 0); nothing for every other name.
std::optional<pid_t> temporaryOwner(const QByteArray& name);

// Removes, from the open folder `dirFd`, the regular files named as temporaries of
// processes that are gone. Names of a live process (another run writing here now) or of
// our own are kept, and so is anything that is not a regular file. Returns how many went.
int removeLeftovers(int dirFd);
// removeLeftovers once per folder per process: our own temporaries are the only ones
// that can appear in a folder afterwards, unless another run is killed meanwhile.
void removeLeftoversOnce(int dirFd, const FileId& folder);
// Every folder is swept again on its next use.
void forgetSweptFolders();

} // namespace archive_engine::disk
