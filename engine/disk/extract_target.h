#pragma once

// The host side of writing an archive's entries: directories opened one component at a
// time below a destination, never through a symbolic link; output written to a
// temporary file in its folder and moved into place under a name nobody holds yet.

#include "disk/durable_set.h"
#include "disk/fd.h"
#include "disk/fs_traits.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace archive_engine::disk {

enum class TargetStatus {
    Ok,
    ThroughLink,   // a folder on the way is a symbolic link
    NotADirectory, // a folder on the way is a file (or something else)
    NoSpace,       // disk full or quota exceeded
    Unsupported,   // the file system cannot do what was asked
    NameTooLong,   // a name longer than the file system holds
    Failed,        // any other error (permissions, I/O ...)
};

// The host's error (errno) behind the last status other than Ok that this thread was
// given, for telling the user why; 0 after clearLastError() until then.
int lastError();
void clearLastError();

// What a name in a folder currently is, without following a link.
enum class ExistingKind { None, File, Directory, Link, Other };

class TargetDir {
public:
    TargetDir() = default;
    TargetDir(TargetDir&& other) noexcept;
    TargetDir& operator=(TargetDir&& other) noexcept;
    TargetDir(const TargetDir&) = delete;
    TargetDir& operator=(const TargetDir&) = delete;

    // The destination itself; a link here is followed, since the user chose the path.
    static TargetDir openRoot(const QString& hostPath, TargetStatus* status);

    bool isOpen() const { return m_fd.isOpen(); }
    int fd() const { return m_fd.get(); }

    // Opens the folder `name`, creating it when missing. `unixMode` (when >= 0) gives a
    // created folder its permission bits; the owner always keeps full access.
    TargetDir openChild(const QString& name, int unixMode, TargetStatus* status) const;
    // Opens the folder `name` only if it exists as a real folder: creates nothing.
    TargetDir openExistingChild(const QString& name, TargetStatus* status) const;
    // Another descriptor of the same folder, for another thread to own.
    TargetDir duplicate(TargetStatus* status) const;
    ExistingKind kindOf(const QString& name) const;
    // Whether `name` is a symbolic link whose target is exactly `target`.
    bool isLinkTo(const QString& name, const QByteArray& target) const;
    // Creates a symbolic link; fails with `taken` set when the name exists.
    TargetStatus createLink(const QString& name, const QByteArray& target,
                            std::optional<std::int64_t> mtime, bool* taken) const;
    // Whether the host lets us create entries here.
    bool writable() const;
    // The folder's identity, read once.
    std::optional<FileId> id() const;
    // The file system it is on, read once.
    const FileSystemId& fileSystem() const;

private:
    explicit TargetDir(int fd) : m_fd(fd) {}
    Fd m_fd;
    mutable std::optional<std::optional<FileId>> m_id;
    mutable std::optional<FileSystemId> m_fileSystem;
};

// Whether a symbolic link to `target`, about to be created in `folder` (plain names below
// `root`, created as real folders by the caller), resolves inside `root`, the destination
// read as it stands: every link already there is followed, within `root` only. Refused:
// absolute targets, ".." above the root or after a name that is missing or not a folder
// (a later entry could make it a link), more than 40 links on the way, a NUL.
bool linkStaysInside(const TargetDir& root, const QStringList& folder, const QByteArray& target);

// A temporary file in a target folder: unnamed where the file system allows it, so that
// not even a killed process leaves it behind; removed unless placed. Where the file system
// lacks unnamed files it has a hidden name of our own (see leftovers.h), and the first
// such file in a folder removes those a killed run left there.
class TempOutput {
public:
    TempOutput() = default;
    ~TempOutput();
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    TargetStatus create(const TargetDir& dir);
    // Only an unnamed file: fails with Unsupported where the file system (or /proc) lacks
    // them, instead of falling back to a named one.
    TargetStatus createUnnamed(const TargetDir& dir);
    TargetStatus write(const char* data, std::size_t size);
    // Permission bits (when >= 0; the owner keeps read and write) and modification time.
    // Neither is an error where the file system cannot keep them.
    TargetStatus finish(int unixMode, std::optional<std::int64_t> mtime);
    bool finished() const { return m_finished; }
    // The file is to be placed through `folder`, which must be the very folder it was made
    // in (opened again, perhaps by another thread): false, and nothing changed, when it is
    // not. A file takes its group, access list and label from the folder it is made in, so
    // it is never moved to another.
    bool moveTo(const TargetDir& folder);
    // Whether `name` in the folder is a plain file holding exactly the bytes written.
    bool sameContentAs(const QString& name) const;
    // Moves the file to `name` unless something already holds it (`taken` then set).
    // Never replaces a file, and never leaves part of one under `name`, on any file system.
    TargetStatus placeAs(const QString& name, bool* taken);
    void discard();

private:
    TargetStatus createIn(int dirFd, bool unnamedOnly);
    TargetStatus createNamed();
    // An O_TMPFILE file, open until placed; a named one is closed by finish.
    bool unnamed() const { return m_fd.isOpen() && m_name.isEmpty(); }
    TargetStatus place(const QByteArray& name, bool* taken);
    TargetStatus placeOverPlaceholder(const QByteArray& name, bool* taken);
    TargetStatus placeUnnamed(const QByteArray& name, bool* taken);
    // Links the open file under `name`; errno says why not.
    bool linkUnnamed(const QByteArray& name);

    int m_dirFd = -1;              // borrowed from the TargetDir
    std::optional<FileId> m_dirId; // the folder it was made in
    FileSystemId m_fileSystem;     // for what it was found to lack
    Fd m_fd;
    QByteArray m_name;
    std::uint64_t m_size = 0;
    // An unnamed file's identity, read by finish: a placed name that has to be taken back
    // is only unlinked while it still leads to this file.
    std::optional<FileId> m_id;
    bool m_finished = false;
};

// Size and modification time of an open file: tells whether it was written to since.
struct FileStamp {
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};
std::optional<FileStamp> stampOf(int fd);
// The identity of an open file.
std::optional<FileId> fileIdOf(int fd);

// statvfs: bytes available to an unprivileged user below a host path.
std::optional<std::uint64_t> hostFreeBytes(const QString& hostPath);
// Whether a host path is an existing directory (following links).
bool hostIsDirectory(const QString& hostPath);
// Whether anything (even a dangling link) exists under a host path.
bool hostExists(const QString& hostPath);
// Creates a host directory and every missing folder above it.
bool makeHostDirectories(const QString& hostPath);

} // namespace archive_engine::disk
