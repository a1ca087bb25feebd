#pragma once

// Deleting an archive after its extraction, the most destructive thing the program does.
// The archive is reached from the source directory one folder at a time, never through a
// symbolic link, and goes only if its name still holds the very file that was read: a
// name renamed over, or a folder swapped for a link, during the extraction keeps it.

#include <QString>
#include <QStringList>

#include <optional>

#include <sys/types.h>

namespace platform {

// A file's identity on the host: it survives renames and tells a replacement apart.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId&) const = default;
};

// The names below `sourceDir` that lead to `dosPath`, folders first and the file last;
// nothing when `dosPath` does not name something below that directory. Both are DOS path
// texts, compared ignoring case; "\" and "/" both separate. Empty, "." and ".." names and
// names with control characters, which no listing gives, are refused.
std::optional<QStringList> namesBelow(const QString& sourceDir, const QString& dosPath);

enum class RemovalStatus {
    Removed,
    NotBelow,     // not a file below the source directory
    FolderIsLink, // a folder on the way is a symbolic link
    IsLink,       // the name is a symbolic link
    NotAFile,     // the name holds a folder, a device ...
    Changed,      // the name holds another file than the one read
    Failed,       // the host refused (permissions, missing, I/O ...)
};

struct Removal {
    RemovalStatus status = RemovalStatus::Removed;
    QString reason; // why the archive was kept; empty when it was removed

    explicit operator bool() const { return status != RemovalStatus::Removed; }
};

// Deletes the archive `dosPath` below `sourceDir` if it is a plain file with the identity
// `read` (unset: nothing is known to have been read, so nothing goes). The source
// directory is opened as the user named it, links included; every folder below it and the
// file itself are taken by their exact host names, without following links. A read-only
// archive has its attribute cleared first, through the file found, never through a name.
Removal removeArchive(const QString& sourceDir, const QString& dosPath,
                      const std::optional<FileId>& read);

} // namespace platform
