#include "platform/volumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <mutex>
#include <numeric>
#include <set>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace platform {

namespace {

// Whether anything (even a dangling link) exists under a host path.
bool hostExists(const QString& hostPath) {
    struct stat st;
    return ::lstat(QFile::encodeName(hostPath).constData(), &st) == 0;
}

// File systems that hold no user data of their own; they never get a drive letter.
const std::set<QString>& pseudoFileSystems() {
    static const std::set<QString> types = {
        QStringLiteral("proc"),        QStringLiteral("sysfs"),
        QStringLiteral("cgroup"),      QStringLiteral("cgroup2"),
        QStringLiteral("devpts"),      QStringLiteral("devtmpfs"),
        QStringLiteral("tmpfs"),       QStringLiteral("mqueue"),
        QStringLiteral("overlay"),     QStringLiteral("debugfs"),
        QStringLiteral("securityfs"),  QStringLiteral("tracefs"),
        QStringLiteral("pstore"),      QStringLiteral("bpf"),
        QStringLiteral("configfs"),    QStringLiteral("fusectl"),
        QStringLiteral("hugetlbfs"),   QStringLiteral("autofs"),
        QStringLiteral("binfmt_misc"), QStringLiteral("efivarfs"),
        QStringLiteral("nsfs"),        QStringLiteral("rpc_pipefs"),
        QStringLiteral("selinuxfs"),   QStringLiteral("ramfs"),
        QStringLiteral("squashfs"),    QStringLiteral("shm"),
        QStringLiteral("none"),        QStringLiteral("fuse.gvfsd-fuse"),
        QStringLiteral("fuse.portal"), QStringLiteral("nfsd"),
    };
    return types;
}

bool isOpticalFs(const QString& type) {
    return type == QLatin1String("iso9660") || type == QLatin1String("udf");
}

bool isNetworkFs(const QString& type) {
    static const std::set<QString> types = {
        QStringLiteral("nfs"),
        QStringLiteral("nfs4"),
        QStringLiteral("cifs"),
        QStringLiteral("smb3"),
        QStringLiteral("smbfs"),
        QStringLiteral("sshfs"),
        QStringLiteral("fuse.sshfs"),
        QStringLiteral("9p"),
        QStringLiteral("afs"),
        QStringLiteral("ceph"),
        QStringLiteral("fuse.glusterfs"),
    };
    return types.count(type) != 0;
}

// File systems whose source is not a device path but which hold real data.
bool isPoolFs(const QString& type) {
    return type == QLatin1String("zfs") || type == QLatin1String("btrfs");
}

// Mount tables escape blanks, tabs, newlines and backslashes as octal: "\040".
QString unescapeMountField(const QByteArray& field) {
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\\' && i + 3 < field.size() && field.at(i + 1) >= '0' && field.at(i + 1) <= '3' &&
            field.at(i + 2) >= '0' && field.at(i + 2) <= '7' && field.at(i + 3) >= '0' &&
            field.at(i + 3) <= '7') {
            out.append(char((field.at(i + 1) - '0') * 64 + (field.at(i + 2) - '0') * 8 +
                            (field.at(i + 3) - '0')));
            i += 3;
        } else {
            out.append(c);
        }
    }
    return QFile::decodeName(out);
}

// Whether the kernel marks the block device behind `source` as removable. Partitions
// carry the flag on their parent disk.
bool blockDeviceIsRemovable(const QString& source) {
    const QString device = QFileInfo(source).canonicalFilePath();
    if (!device.startsWith(QLatin1String("/dev/")))
        return false;
    const QString name = device.mid(5);
    const QString sysPath =
        QFileInfo(QStringLiteral("/sys/class/block/") + name).canonicalFilePath();
    if (sysPath.isEmpty())
        return false;
    QString flagFile = sysPath + QStringLiteral("/removable");
    if (QFileInfo::exists(sysPath + QStringLiteral("/partition")))
        flagFile = QFileInfo(sysPath).path() + QStringLiteral("/removable");
    QFile file(flagFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(1) == "1";
}

int driveTypeFor(const QString& fsType, const QString& source) {
    if (isOpticalFs(fsType) || source.startsWith(QLatin1String("/dev/sr")))
        return DriveCdRom;
    if (isNetworkFs(fsType))
        return DriveRemote;
    if (fsType == QLatin1String("tmpfs") || fsType == QLatin1String("ramfs") ||
        source.startsWith(QLatin1String("/dev/ram")) ||
        source.startsWith(QLatin1String("/dev/zram")))
        return DriveRamDisk;
    if (source.startsWith(QLatin1String("/dev/")) && blockDeviceIsRemovable(source))
        return DriveRemovable;
    return DriveFixed;
}

bool keepsMount(const QString& mountPoint, const QString& fsType, const QString& source) {
    if (mountPoint == QLatin1String("/"))
        return true;
    if (pseudoFileSystems().count(fsType) != 0)
        return false;
    if (!(source.startsWith(QLatin1Char('/')) || isNetworkFs(fsType) || isOpticalFs(fsType) ||
          isPoolFs(fsType)))
        return false;
    // Containers bind single files (/etc/hosts) from the host's disk; only directories
    // can be drives.
    struct stat st {};
    const QByteArray encoded = QFile::encodeName(mountPoint);
    if (::stat(encoded.constData(), &st) == 0 && !S_ISDIR(st.st_mode))
        return false;
    return true;
}

QString joinHost(const QString& dir, const QString& name) {
    return dir.endsWith(QLatin1Char('/')) ? dir + name : dir + QLatin1Char('/') + name;
}

// The entry of `dir` whose name equals `name` ignoring case; among several, the one a
// listing returns first (case-insensitive order, ties by exact spelling).
QString findIgnoringCase(const QString& dir, const QString& name) {
    const QByteArray encoded = QFile::encodeName(dir);
    DIR* handle = ::opendir(encoded.constData());
    if (!handle)
        return {};
    QString best;
    while (const dirent* entry = ::readdir(handle)) {
        const QString candidate = QFile::decodeName(entry->d_name);
        if (candidate.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (best.isNull() || candidate.compare(best, Qt::CaseSensitive) < 0)
            best = candidate;
    }
    ::closedir(handle);
    return best;
}

// Host path of `components` under `base`: the exact text when it exists, else each
// component corrected for letter case where an entry matches it. When the exact text
// exists, *known is set and *status holds its lstat.
QString lookUp(const QString& base, const QStringList& components, struct stat* status = nullptr,
               bool* known = nullptr) {
    if (known)
        *known = false;
    QString exact = base;
    for (const QString& component : components)
        exact = joinHost(exact, component);
    if (components.isEmpty() && !status)
        return exact;
    struct stat st {};
    if (::lstat(QFile::encodeName(exact).constData(), status ? status : &st) == 0) {
        if (known)
            *known = true;
        return exact;
    }
    if (components.isEmpty())
        return exact;

    QString current = base;
    bool scanning = true;
    for (const QString& component : components) {
        QString next = joinHost(current, component);
        if (scanning && !hostExists(next)) {
            const QString match = findIgnoringCase(current, component);
            if (match.isNull())
                scanning = false; // nothing below a missing name can exist
            else
                next = joinHost(current, match);
        }
        current = next;
    }
    return current;
}

// Appends the components of `text` to `stack`, resolving "." and ".." in the text;
// ".." at the root stays at the root.
void pushComponents(QStringList* stack, QStringView text) {
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isSeparator(text.at(i)))
            continue;
        const QStringView part = text.mid(start, i - start);
        start = i + 1;
        if (part.isEmpty() || part == u".")
            continue;
        if (part == u"..") {
            if (!stack->isEmpty())
                stack->removeLast();
            continue;
        }
        stack->append(part.toString());
    }
}

bool isDriveLetter(QChar c) {
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

// The share a network volume's source names, as components: "//srv/share" gives
// [srv, share], "srv:/export/home" gives [srv, export, home].
QStringList shareComponents(const Volume& volume) {
    QStringList result;
    const QString& source = volume.source;
    if (source.size() > 2 && isSeparator(source.at(0)) && isSeparator(source.at(1))) {
        pushComponents(&result, QStringView(source).mid(2));
        return result;
    }
    const qsizetype colon = source.indexOf(QLatin1String(":/"));
    if (colon > 0 && !source.left(colon).contains(QLatin1Char('/'))) {
        QString server = source.left(colon);
        const qsizetype at = server.lastIndexOf(QLatin1Char('@'));
        if (at >= 0)
            server = server.mid(at + 1);
        result.append(server);
        pushComponents(&result, QStringView(source).mid(colon + 1));
    }
    return result;
}

Resolved resolveNetworkPath(const VolumeTable& table, const QString& dosPath, struct stat* status,
                            bool* known) {
    // The parts as typed: the share is matched on them, and ".." after the share is
    // resolved separately so that it never climbs above the share.
    QStringList parts;
    for (QStringView part : QStringView(dosPath).mid(2).split(u'\\', Qt::SkipEmptyParts))
        for (QStringView piece : part.split(u'/', Qt::SkipEmptyParts))
            if (piece != u".")
                parts.append(piece.toString());
    const Volume* best = nullptr;
    qsizetype bestLength = 0;
    for (const Volume& volume : table.volumes()) {
        const QStringList share = shareComponents(volume);
        if (share.size() < 2 || share.size() > parts.size() || share.size() <= bestLength)
            continue;
        bool matches = true;
        for (qsizetype i = 0; i < share.size() && matches; ++i)
            matches = share.at(i).compare(parts.at(i), Qt::CaseInsensitive) == 0;
        if (matches) {
            best = &volume;
            bestLength = share.size();
        }
    }
    if (!best)
        return {QString(), 76};
    if (!best->ready)
        return {QString(), 68};
    QStringList components;
    pushComponents(&components, parts.mid(bestLength).join(QLatin1Char('\\')));
    return {lookUp(best->mountPoint, components, status, known), 0};
}

// The one owner of the table in force; the mutex guards the pointer, never the table,
// which is not changed once installed.
std::mutex& tableMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const VolumeTable>& tableSlot() {
    static std::shared_ptr<const VolumeTable> table;
    return table;
}

// Splits byte figures into sectors per cluster, bytes per sector and cluster counts
// that fit 32 bits each, exactly when the figures allow it.
void splitBytes(std::uint64_t freeBytes, std::uint64_t totalBytes, std::uint32_t* sectorsPerCluster,
                std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                std::uint32_t* totalClusters) {
    constexpr std::uint64_t max32 = std::numeric_limits<std::uint32_t>::max();
    const std::uint64_t common = std::gcd(freeBytes, totalBytes);
    std::uint64_t sector = 512;
    while (sector > 1 && common % sector != 0)
        sector /= 2;
    std::uint64_t cluster = 1; // sectors per cluster
    // The smallest cluster that divides both figures and brings them under 2^32; big
    // round figures find one at once, an awkward one falls back to a power of two.
    const std::uint64_t needed = (std::max(freeBytes, totalBytes) / sector + max32 - 1) / max32;
    bool found = false;
    const std::uint64_t start = std::max<std::uint64_t>(needed, 1);
    for (std::uint64_t k = start; k < start + 4096 && k <= max32; ++k) {
        if ((common / sector) % k == 0) {
            cluster = k;
            found = true;
            break;
        }
    }
    if (!found) {
        cluster = 1;
        while (cluster < needed && cluster < (std::uint64_t(1) << 31))
            cluster *= 2;
    }
    const std::uint64_t clusterBytes = cluster * sector;
    *sectorsPerCluster = std::uint32_t(cluster);
    *bytesPerSector = std::uint32_t(sector);
    *freeClusters = std::uint32_t(std::min(freeBytes / clusterBytes, max32));
    *totalClusters = std::uint32_t(std::min(totalBytes / clusterBytes, max32));
}

// The volume named by a drive root "x:\", "x:/" or "x:", any letter case.
const Volume* volumeOfRoot(const VolumeTable& table, const QString& rootPath) {
    if (rootPath.size() < 2 || rootPath.size() > 3 || !isDriveLetter(rootPath.at(0)) ||
        rootPath.at(1) != QLatin1Char(':'))
        return nullptr;
    if (rootPath.size() == 3 && !isSeparator(rootPath.at(2)))
        return nullptr;
    return table.byLetter(rootPath.at(0));
}

// The space of a drive root, or nothing for an unknown or unready drive, or one whose
// mount point is gone (its parent's figure would be another file system's).
std::optional<DiskSpace> rootSpace(const QString& rootPath) {
    const std::shared_ptr<const VolumeTable> table = volumeTable();
    const Volume* volume = volumeOfRoot(*table, rootPath);
    if (!volume || !volume->ready || !hostExists(volume->mountPoint))
        return std::nullopt;
    return table->spaceAt(volume->mountPoint);
}

// The nearest folder of a host path that exists, the path itself when it does, with its
// stat (links followed: a linked folder's files go where the link leads); empty when not
// even "/" can be seen.
QString nearestExisting(const QString& hostPath, struct stat* status) {
    QString path = QDir::cleanPath(QDir::current().absoluteFilePath(hostPath));
    while (::stat(QFile::encodeName(path).constData(), status) != 0) {
        if (path == QLatin1String("/"))
            return {};
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        path = slash <= 0 ? QStringLiteral("/") : path.left(slash);
    }
    return path;
}

QString dosPathIn(const VolumeTable& table, const QString& hostPath) {
    QString path = hostPath.isEmpty() ? QDir::currentPath() : hostPath;
    if (!path.startsWith(QLatin1Char('/')))
        path = QDir::currentPath() + QLatin1Char('/') + path;
    path = QDir::cleanPath(path);
    const Volume* volume = table.containing(path);
    if (!volume)
        return {};
    const QStringView rest = volume->mountPoint == QLatin1String("/")
                                 ? QStringView(path).mid(1)
                                 : QStringView(path).mid(volume->mountPoint.size());
    QString result = volume->letter + QStringLiteral(":\\");
    QStringList parts;
    for (QStringView part : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part.contains(QLatin1Char('\\')))
            return {};
        parts.append(part.toString());
    }
    return result + parts.join(QLatin1Char('\\'));
}

QString currentDirectoryIn(const VolumeTable& table) {
    const QString dos = dosPathIn(table, QDir::currentPath());
    if (!dos.isEmpty())
        return dos;
    // A working directory outside every drive: the first drive's root stands in.
    if (!table.volumes().empty())
        return table.volumes().front().letter + QStringLiteral(":\\");
    return QStringLiteral("c:\\");
}

QString currentDirectoryIn(const VolumeTable& table, QChar letter) {
    const QString current = currentDirectoryIn(table);
    if (!current.isEmpty() && current.at(0).toLower() == letter.toLower())
        return current;
    return letter.toLower() + QStringLiteral(":\\");
}

} // namespace

VolumeTable VolumeTable::fromMountTable(const QString& mountsFile) {
    struct Mount {
        QString mountPoint, fsType, source;
    };
    std::vector<Mount> mounts;
    QFile file(mountsFile);
    if (file.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const QByteArray& line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 3)
                continue;
            Mount mount{unescapeMountField(fields.at(1)), QString::fromUtf8(fields.at(2)),
                        unescapeMountField(fields.at(0))};
            if (mount.mountPoint.size() > 1 && mount.mountPoint.endsWith(QLatin1Char('/')))
                mount.mountPoint.chop(1);
            if (!mount.mountPoint.startsWith(QLatin1Char('/')))
                continue;
            // A later mount on the same point hides the earlier one.
            std::erase_if(mounts, [&](const Mount& m) { return m.mountPoint == mount.mountPoint; });
            mounts.push_back(std::move(mount));
        }
    }

    VolumeTable table;
    Volume root;
    root.letter = QLatin1Char('c');
    root.mountPoint = QStringLiteral("/");
    std::vector<Mount> others;
    for (const Mount& mount : mounts) {
        if (mount.mountPoint == QLatin1String("/")) {
            root.fsType = mount.fsType;
            root.source = mount.source;
        } else if (keepsMount(mount.mountPoint, mount.fsType, mount.source)) {
            others.push_back(mount);
        }
    }
    root.driveType =
        root.fsType.isEmpty() ? int(DriveFixed) : driveTypeFor(root.fsType, root.source);
    if (root.fsType == QLatin1String("overlay"))
        root.driveType = DriveFixed;
    table.add(root);

    std::sort(others.begin(), others.end(),
              [](const Mount& a, const Mount& b) { return a.mountPoint < b.mountPoint; });
    char16_t letter = u'd';
    for (const Mount& mount : others) {
        if (letter > u'z')
            break;
        Volume volume;
        volume.letter = QChar(letter++);
        volume.mountPoint = mount.mountPoint;
        volume.fsType = mount.fsType;
        volume.source = mount.source;
        volume.driveType = driveTypeFor(mount.fsType, mount.source);
        table.add(std::move(volume));
    }
    return table;
}

void VolumeTable::add(Volume volume) {
    volume.letter = volume.letter.toLower();
    if (volume.mountPoint.size() > 1 && volume.mountPoint.endsWith(QLatin1Char('/')))
        volume.mountPoint.chop(1);
    std::erase_if(m_volumes, [&](const Volume& v) { return v.letter == volume.letter; });
    auto at = std::lower_bound(m_volumes.begin(), m_volumes.end(), volume.letter,
                               [](const Volume& v, QChar l) { return v.letter < l; });
    m_volumes.insert(at, std::move(volume));
}

const Volume* VolumeTable::byLetter(QChar letter) const {
    const QChar lower = letter.toLower();
    for (const Volume& volume : m_volumes)
        if (volume.letter == lower)
            return &volume;
    return nullptr;
}

const Volume* VolumeTable::containing(const QString& hostPath) const {
    const Volume* best = nullptr;
    for (const Volume& volume : m_volumes) {
        const QString& mount = volume.mountPoint;
        const bool inside =
            mount == QLatin1String("/")
                ? hostPath.startsWith(QLatin1Char('/'))
                : hostPath.startsWith(mount) && (hostPath.size() == mount.size() ||
                                                 hostPath.at(mount.size()) == QLatin1Char('/'));
        if (inside && (!best || mount.size() > best->mountPoint.size()))
            best = &volume;
    }
    return best;
}

std::optional<DiskSpace> VolumeTable::spaceAt(const QString& hostPath) const {
    if (hostPath.isEmpty())
        return std::nullopt;
    struct stat folderStatus {};
    const QString folder = nearestExisting(hostPath, &folderStatus);
    if (folder.isEmpty())
        return std::nullopt;
    const Volume* volume = containing(folder);
    struct stat rootStatus {};
    if (volume && m_spaceQuery &&
        ::stat(QFile::encodeName(volume->mountPoint).constData(), &rootStatus) == 0 &&
        rootStatus.st_dev == folderStatus.st_dev)
        return m_spaceQuery(*volume, folder);
    return hostDiskSpace(folder);
}

std::optional<DiskSpace> hostDiskSpace(const QString& hostPath) {
    struct statvfs info {};
    if (::statvfs(QFile::encodeName(hostPath).constData(), &info) != 0)
        return std::nullopt;
    const std::uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    return DiskSpace{std::uint64_t(info.f_bavail) * unit, std::uint64_t(info.f_blocks) * unit};
}

std::shared_ptr<const VolumeTable> volumeTable() {
    std::lock_guard lock(tableMutex());
    std::shared_ptr<const VolumeTable>& slot = tableSlot();
    if (!slot)
        slot = std::make_shared<const VolumeTable>(VolumeTable::fromMountTable());
    return slot;
}

void installVolumeTable(VolumeTable table) {
    auto installed = std::make_shared<const VolumeTable>(std::move(table));
    std::lock_guard lock(tableMutex());
    tableSlot() = std::move(installed);
}

QString driveText(const Volume& volume) {
    return volume.letter + QStringLiteral(": [") + volume.mountPoint + QLatin1Char(']');
}

QStringList driveTexts() {
    QStringList texts;
    for (const Volume& volume : volumeTable()->volumes())
        texts.append(driveText(volume));
    return texts;
}

QString currentDirectory() {
    return currentDirectoryIn(*volumeTable());
}

QString currentDrive() {
    return currentDirectory().left(2).toLower();
}

QString currentDirectoryOf(QChar letter) {
    return currentDirectoryIn(*volumeTable(), letter);
}

Resolved resolve(const QString& dosPath) {
    return detail::resolve(dosPath, nullptr, nullptr);
}

Resolved detail::resolve(const QString& dosPath, struct stat* status, bool* known) {
    if (known)
        *known = false;
    const std::shared_ptr<const VolumeTable> table = volumeTable();
    if (dosPath.size() >= 2 && isSeparator(dosPath.at(0)) && isSeparator(dosPath.at(1)))
        return resolveNetworkPath(*table, dosPath, status, known);

    QChar letter;
    QStringView rest(dosPath);
    if (dosPath.size() >= 2 && dosPath.at(1) == QLatin1Char(':')) {
        if (!isDriveLetter(dosPath.at(0)))
            return {QString(), 76};
        letter = dosPath.at(0).toLower();
        rest = rest.mid(2);
    }

    QStringList components;
    const bool absolute = !rest.isEmpty() && isSeparator(rest.at(0));
    if (!absolute) {
        // Relative: start at the current directory of the drive (named or current).
        const QString base =
            letter.isNull() ? currentDirectoryIn(*table) : currentDirectoryIn(*table, letter);
        if (base.size() < 2 || base.at(1) != QLatin1Char(':'))
            return {QString(), 76};
        letter = base.at(0).toLower();
        pushComponents(&components, QStringView(base).mid(2));
    } else if (letter.isNull()) {
        letter = currentDirectoryIn(*table).at(0).toLower();
    }
    pushComponents(&components, rest);

    const Volume* volume = table->byLetter(letter);
    if (!volume)
        return {QString(), 76};
    if (!volume->ready)
        return {QString(), 68};
    return {lookUp(volume->mountPoint, components, status, known), 0};
}

QString toHostPath(const QString& dosPath) {
    const Resolved resolved = resolve(dosPath);
    return resolved.error ? QString() : resolved.hostPath;
}

QString toDosPath(const QString& hostPath) {
    return dosPathIn(*volumeTable(), hostPath);
}

bool isHostForm(const QString& typed) {
    if (typed.startsWith(QLatin1Char('/')))
        return !typed.startsWith(QLatin1String("//"));
    return typed == QLatin1String("~") || typed.startsWith(QLatin1String("~/"));
}

QString expandHostForm(const QString& typed) {
    const QString path =
        typed.startsWith(QLatin1Char('~')) ? QDir::homePath() + typed.mid(1) : typed;
    return QDir::cleanPath(path);
}

DosForm dosFormOf(const QString& typed) {
    const QString host = expandHostForm(typed);
    for (QStringView name : QStringView(host).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (name.contains(QLatin1Char('\\')))
            return {QString(), QStringLiteral("the name \"%1\" holds a \"\\\", which a DOS path "
                                              "can not carry")
                                   .arg(name)};
        QString shown = name.toString();
        bool control = false;
        for (QChar& c : shown) {
            if (isControlCharacter(c.unicode())) {
                c = QLatin1Char('?');
                control = true;
            }
        }
        if (control)
            return {QString(), QStringLiteral("the name \"%1\" holds a control character, which a "
                                              "DOS path can not carry")
                                   .arg(shown)};
    }
    const std::shared_ptr<const VolumeTable> table = volumeTable();
    const QString dos = dosPathIn(*table, host);
    if (dos.isEmpty())
        return {QString(), QStringLiteral("no drive reaches it")};
    const Volume* volume = table->byLetter(dos.at(0));
    if (!volume->ready)
        return {QString(), QStringLiteral("its drive %1 is not ready").arg(dos.left(2))};
    // Names are looked up ignoring case: an entry spelt otherwise would take the place of
    // one that is still to be made.
    const QString reached = toHostPath(dos);
    if (reached != host)
        return {QString(), QStringLiteral("its DOS path %1 would lead to %2").arg(dos, reached)};
    return {dos, QString()};
}

int GetDriveTypeA(const QString& rootPath) {
    const std::shared_ptr<const VolumeTable> table = volumeTable();
    const Volume* volume = volumeOfRoot(*table, rootPath);
    return volume ? volume->driveType : int(DriveNoRootDir);
}

bool GetDiskFreeSpaceA(const QString& rootPath, std::uint32_t* sectorsPerCluster,
                       std::uint32_t* bytesPerSector, std::uint32_t* freeClusters,
                       std::uint32_t* totalClusters) {
    const std::optional<DiskSpace> space = rootSpace(rootPath);
    if (!space)
        return false;
    std::uint32_t spc = 0, bps = 0, fc = 0, tc = 0;
    splitBytes(space->freeBytes, space->totalBytes, &spc, &bps, &fc, &tc);
    if (sectorsPerCluster)
        *sectorsPerCluster = spc;
    if (bytesPerSector)
        *bytesPerSector = bps;
    if (freeClusters)
        *freeClusters = fc;
    if (totalClusters)
        *totalClusters = tc;
    return true;
}

std::optional<std::uint64_t> freeBytes(const QString& rootPath) {
    const std::optional<DiskSpace> space = rootSpace(rootPath);
    return space ? std::optional(space->freeBytes) : std::nullopt;
}

std::optional<std::uint64_t> freeBytesAt(const QString& hostPath) {
    const std::optional<DiskSpace> space = volumeTable()->spaceAt(hostPath);
    return space ? std::optional(space->freeBytes) : std::nullopt;
}

} // namespace platform
