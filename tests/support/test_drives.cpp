#include "test_drives.h"

#include "platform/dosfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <stdexcept>

namespace testsupport {

namespace {

QString fsTypeFor(int driveType) {
    switch (driveType) {
    case platform::DriveCdRom:
        return QStringLiteral("iso9660");
    case platform::DriveRemote:
        return QStringLiteral("cifs");
    case platform::DriveRamDisk:
        return QStringLiteral("tmpfs");
    default:
        return QStringLiteral("ext4");
    }
}

// Temporary directories may sit behind a symbolic link (/tmp on some systems); the
// table holds the real path so that host paths map back to their drive.
QString realPath(const QTemporaryDir& dir) {
    const QString canonical = QFileInfo(dir.path()).canonicalFilePath();
    return canonical.isEmpty() ? dir.path() : canonical;
}

} // namespace

void writeFile(const QString& hostPath, const QByteArray& data) {
    QDir().mkpath(QFileInfo(hostPath).path());
    QFile file(hostPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        throw std::runtime_error("cannot write test file " + hostPath.toStdString());
}

QByteArray readFile(const QString& hostPath) {
    QFile file(hostPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TestDrives::TestDrives() = default;

TestDrives::~TestDrives() {
    if (m_installed) {
        QDir::setCurrent(m_previousWorkingDirectory);
        platform::installVolumeTable(platform::VolumeTable::fromMountTable());
        platform::setProgramDirectory(QString());
    }
}

QString TestDrives::addDrive(QChar letter, int driveType, std::optional<std::uint64_t> freeBytes,
                             bool ready) {
    auto dir = std::make_unique<QTemporaryDir>();
    if (!dir->isValid())
        throw std::runtime_error("cannot create a temporary directory for a test drive");
    platform::Volume volume;
    volume.letter = letter.toLower();
    volume.mountPoint = realPath(*dir);
    volume.fsType = fsTypeFor(driveType);
    volume.source = driveType == platform::DriveRemote
                        ? QStringLiteral("//testserver/") + letter.toLower()
                        : QStringLiteral("/dev/test") + letter.toLower();
    volume.driveType = driveType;
    volume.ready = ready;
    std::erase_if(m_volumes, [&](const platform::Volume& v) { return v.letter == volume.letter; });
    if (freeBytes)
        m_freeBytes[volume.letter.unicode()] = *freeBytes;
    else
        m_freeBytes.erase(volume.letter.unicode());
    m_volumes.push_back(volume);
    m_dirs.push_back(std::move(dir));
    return volume.mountPoint;
}

platform::Volume& TestDrives::volume(QChar letter) {
    for (platform::Volume& volume : m_volumes)
        if (volume.letter == letter.toLower())
            return volume;
    throw std::out_of_range("no such test drive");
}

QString TestDrives::hostRoot(QChar letter) const {
    for (const platform::Volume& volume : m_volumes)
        if (volume.letter == letter.toLower())
            return volume.mountPoint;
    return {};
}

void TestDrives::install(const QString& currentDirectory) {
    platform::VolumeTable table;
    for (const platform::Volume& volume : m_volumes)
        table.add(volume);
    m_programLetter = QChar();
    for (char16_t letter = u'z'; letter >= u'c'; --letter)
        if (!table.byLetter(QChar(letter))) {
            m_programLetter = QChar(letter);
            break;
        }
    if (m_programLetter.isNull())
        throw std::runtime_error("no free letter for the program directory");
    platform::Volume program;
    program.letter = m_programLetter;
    program.mountPoint = realPath(m_programDir);
    program.fsType = QStringLiteral("ext4");
    program.source = QStringLiteral("/dev/testprogram");
    table.add(program);

    table.setSpaceQuery(
        [figures = m_freeBytes](const platform::Volume& volume, const QString& hostPath) {
            const auto chosen = figures.find(volume.letter.unicode());
            if (chosen == figures.end())
                return platform::hostDiskSpace(hostPath);
            return std::optional(
                platform::DiskSpace{chosen->second, std::max<std::uint64_t>(chosen->second, 1)});
        });
    platform::installVolumeTable(std::move(table));
    if (!m_installed)
        m_previousWorkingDirectory = QDir::currentPath();
    m_installed = true;
    m_programDos = m_programLetter + QStringLiteral(":\\");
    platform::setProgramDirectory(m_programDos);

    QString current = currentDirectory;
    if (current.isEmpty())
        current = (m_volumes.empty() ? m_programLetter : m_volumes.front().letter) +
                  QStringLiteral(":\\");
    const QString currentHost = platform::toHostPath(current);
    if (currentHost.isEmpty() || !QDir::setCurrent(currentHost))
        throw std::runtime_error("cannot work in " + current.toStdString());
}

} // namespace testsupport
