#pragma once

// Drive letters, drive roots and DOS path texts mapped onto the host's mounts.
// Everything above this layer works on texts such as "c:\zips\a.zip"; only this
// layer knows that the host is POSIX.

#include "platform/separators.h"

#include <QChar>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct stat;

namespace platform {

// Drive types as GetDriveTypeA reports them.
enum DriveType : int {
    DriveUnknown = 0,
    DriveNoRootDir = 1,
    DriveRemovable = 2,
    DriveFixed = 3,
    DriveRemote = 4,
    DriveCdRom = 5,
    DriveRamDisk = 6,
};

struct Volume {
    QChar letter;       // lower case, 'c' .. 'z'
    QString mountPoint; // host path without trailing '/', except "/" itself
    QString fsType;     // "ext4", "nfs", "iso9660", ...
    QString source;     // device or share ("//server/share", "server:/export")
    int driveType = DriveFixed;
    bool ready = true; // false: no medium; every access fails with error 68
};

// The free and total bytes of a file system.
struct DiskSpace {
    std::uint64_t freeBytes = 0; // available to an unprivileged user
    std::uint64_t totalBytes = 0;
};
// statvfs of a host path.
std::optional<DiskSpace> hostDiskSpace(const QString& hostPath);

class VolumeTable {
public:
    // The host's table, from a mount table in /proc/self/mounts format.
    static VolumeTable
    fromMountTable(const QString& mountsFile = QStringLiteral("/proc/self/mounts"));

    void add(Volume volume);
    const std::vector<Volume>& volumes() const { return m_volumes; }
    const Volume* byLetter(QChar letter) const;
    // The volume whose mount point is the longest prefix of a host path.
    const Volume* containing(const QString& hostPath) const;

    // Where the space figures come from: asked with the volume that holds a host path and
    // that path. Unset: hostDiskSpace of the path.
    using SpaceQuery = std::function<std::optional<DiskSpace>(const Volume&, const QString&)>;
    void setSpaceQuery(SpaceQuery query) { m_spaceQuery = std::move(query); }
    // The space of the file system that holds a host path: that of its nearest existing
    // folder. The query is asked only where that folder is on its drive's own file system;
    // anything else (a path outside every drive, a mount below a drive without a letter of
    // its own) gets the statvfs of the folder.
    std::optional<DiskSpace> spaceAt(const QString& hostPath) const;

private:
    std::vector<Volume> m_volumes;
    SpaceQuery m_spaceQuery;
};

// The table in force, as a snapshot that never changes: a reader keeps the one it took for
// as long as it needs a consistent view. The program builds the host's on first use; an
// installed table replaces it as a whole for later readers.
std::shared_ptr<const VolumeTable> volumeTable();
void installVolumeTable(VolumeTable table);

// "c: [/]": the text a drive list shows for a drive.
QString driveText(const Volume& volume);
// The drive texts of every drive, in letter order.
QStringList driveTexts();

// Current drive ("c:") and current directory ("c:\work\main"), from the process's
// working directory. Another drive's current directory is its root.
QString currentDrive();
QString currentDirectory();
QString currentDirectoryOf(QChar letter);

// Error numbers of the old runtime that path resolution can give.
struct Resolved {
    QString hostPath; // valid when error == 0
    int error = 0;    // 0, 68 device unavailable, 76 path not found
};

// DOS path text to host path. "\" and "/" both separate; "." and ".." are resolved in
// the text and never climb above the drive root; "\x" is on the current drive; a
// relative path starts at the current directory; "\\server\share\dir" goes through the
// mounted share. Components are looked up ignoring case (an exact match first, then the
// first case-insensitive match in listing order, else the text as typed).
Resolved resolve(const QString& dosPath);
namespace detail {
// resolve() for the file operations of this layer: when the path exists with exactly
// the resolved spelling, *known is set and *status holds its lstat, sparing a second
// look-up of every entry a tree walk examines.
Resolved resolve(const QString& dosPath, struct ::stat* status, bool* known);
} // namespace detail
// Convenience: the host path, or an empty string when resolve() fails.
QString toHostPath(const QString& dosPath);
// Host path to DOS path: the longest lettered mount point, then the rest with "\".
// Empty when the host path holds a name with "\" that a DOS path cannot carry.
QString toDosPath(const QString& hostPath);

// Paths as the host writes them, which people on Linux type and paste: "/home/u/out",
// "~/out", "~". "//server/share" stays a network path.
bool isHostForm(const QString& typed);
// The host path a text in host form names: "~" is the home directory, "." and ".." are
// resolved in the text.
QString expandHostForm(const QString& typed);
// A path typed in host form, as the DOS path that reaches it.
struct DosForm {
    QString dosPath; // empty when refused
    QString refusal; // why no DOS path reaches the folder
};
// Refused: a name holds a character a DOS path cannot carry, no drive reaches the folder,
// or the DOS path, looked up ignoring case, would lead to another entry.
DosForm dosFormOf(const QString& typed);

// Stand-ins for kernel32's drive functions. GetDriveTypeA takes "x:\" or "x:" in any
// letter case; anything else is 1. GetDiskFreeSpaceA fails for an unknown or unready
// drive; its four figures multiply out to the free bytes exactly whenever 32-bit fields
// allow it (sectors per cluster grow for large drives; a figure with no fitting divisor
// loses less than one cluster).
int GetDriveTypeA(const QString& rootPath);
bool GetDiskFreeSpaceA(const QString& rootPath, std::uint32_t* sectorsPerCluster,
                       std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                       std::uint32_t* totalClusters);
// The same figure without the 32-bit fields: free bytes, or nothing for an unknown or
// unready drive.
std::optional<std::uint64_t> freeBytes(const QString& rootPath);
// Free bytes of the file system that holds a host path (see VolumeTable::spaceAt), from the
// table in force.
std::optional<std::uint64_t> freeBytesAt(const QString& hostPath);

} // namespace platform
