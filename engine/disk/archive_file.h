#pragma once

// The archive being extracted, opened once with two descriptors of the same open file:
// one for the decoding thread to read through, one for the writing thread to watch for
// changes with. Neither thread touches the other's.

#include "disk/fd.h"

#include <QFile>
#include <QString>

#include <memory>
#include <optional>

namespace archive_engine::disk {

struct ArchiveFile {
    Fd watch;
    std::unique_ptr<QFile> reader; // unbuffered; owns its descriptor
};

// Nothing when the file cannot be opened for reading.
std::optional<ArchiveFile> openArchiveFile(const QString& hostPath);

} // namespace archive_engine::disk
