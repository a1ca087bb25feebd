#pragma once

// Folder modification times, set once everything inside a folder is in place: every
// name placed in a folder changes its time again.

#include "disk/extract_target.h"

#include <QString>

#include <cstdint>

namespace archive_engine::disk {

// Sets the modification time of folder `name` in `parent`, never through a link; false
// when `name` is not a folder or the time cannot be set.
bool setFolderTime(const TargetDir& parent, const QString& name, std::int64_t mtime);

} // namespace archive_engine::disk
