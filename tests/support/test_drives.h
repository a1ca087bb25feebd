#pragma once

// Test volume tables: drive letters mapped onto temporary directories, with chosen
// free-space figures, and the process working in one of them.

#include "platform/volumes.h"

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace testsupport {

// Builds a volume table of temporary directories. Add drives, then install(); the
// destructor puts the host's table and working directory back and forgets the pinned
// program directory.
//
//     TestDrives drives;
//     const QString t = drives.addDrive('t');            // fixed drive
//     drives.addDrive('r', platform::DriveCdRom);        // optical
//     drives.addDrive('n', 3, {}, false);                // no medium: error 68
//     drives.install();                                  // current directory "t:\"
class TestDrives {
public:
    TestDrives();
    ~TestDrives();
    TestDrives(const TestDrives&) = delete;
    TestDrives& operator=(const TestDrives&) = delete;

    // Adds a drive on a fresh temporary directory and returns that directory's host
    // path. `freeBytes` fixes the drive's free-space figure (total: the same, at least 1);
    // unset, the file system's is reported. `ready` false makes every access fail as a
    // drive without a medium.
    QString addDrive(QChar letter, int driveType = platform::DriveFixed,
                     std::optional<std::uint64_t> freeBytes = {}, bool ready = true);
    // The volume of an added drive, to adjust before install() (source of a network
    // share, mount point...).
    platform::Volume& volume(QChar letter);
    // Host path of an added drive's root.
    QString hostRoot(QChar letter) const;

    // Installs the table and makes `currentDirectory` (an existing directory), or the
    // first added drive's root, the process's working directory. The program directory
    // is a drive of its own, on the highest free letter, so that it never shows up inside
    // the test drives.
    void install(const QString& currentDirectory = QString());

    // The program directory's DOS path ("z:\") and host path, valid after install().
    QString programDirectory() const { return m_programDos; }
    QString programHostDirectory() const { return m_programDir.path(); }
    QChar programLetter() const { return m_programLetter; }

private:
    std::vector<std::unique_ptr<QTemporaryDir>> m_dirs;
    std::vector<platform::Volume> m_volumes;
    std::map<char16_t, std::uint64_t> m_freeBytes;
    QTemporaryDir m_programDir;
    QChar m_programLetter;
    QString m_programDos;
    QString m_previousWorkingDirectory;
    bool m_installed = false;
};

// Writes a host file, creating its folders; throws when that fails.
void writeFile(const QString& hostPath, const QByteArray& data = QByteArray());
// Reads a host file's bytes (empty when it cannot be read).
QByteArray readFile(const QString& hostPath);

} // namespace testsupport
