#include "platform/volumes.h"

#include "tests/support/test_drives.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace platform;
using testsupport::TestDrives;
using testsupport::writeFile;

namespace {

VolumeTable tableFromText(const QByteArray& text) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("mounts"));
    writeFile(file, text);
    return VolumeTable::fromMountTable(file);
}

struct ExpectedVolume {
    char letter;
    const char* mountPoint;
    int driveType;
};

TEST(MountTable, KeepsRealFileSystemsInMountPointOrder) {
    const VolumeTable table =
        tableFromText("/dev/vdz2 / ext4 rw,relatime 0 0\n"
                      "proc /proc proc rw 0 0\n"
                      "sysfs /sys sysfs rw 0 0\n"
                      "tmpfs /run tmpfs rw 0 0\n"
                      "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
                      "devpts /dev/pts devpts rw 0 0\n"
                      "mqueue /dev/mqueue mqueue rw 0 0\n"
                      "overlay /var/lib/containers/x/merged overlay rw 0 0\n"
                      "/dev/vdz3 /velmarch-test/home ext4 rw 0 0\n"
                      "//fileserver/public /velmarch-test/mnt/public cifs rw 0 0\n"
                      "nas:/export/media /velmarch-test/mnt/media nfs4 rw 0 0\n"
                      "/dev/loop7 /velmarch-test/media/cd\\040image iso9660 ro 0 0\n"
                      "/dev/sr9 /velmarch-test/media/cdrom udf ro 0 0\n"
                      "user@host:/data /velmarch-test/mnt/remote fuse.sshfs rw 0 0\n"
                      "debugfs /sys/kernel/debug debugfs rw 0 0\n");

    const std::vector<ExpectedVolume> expected = {
        {'c', "/", DriveFixed},
        {'d', "/velmarch-test/home", DriveFixed},
        {'e', "/velmarch-test/media/cd image", DriveCdRom},
        {'f', "/velmarch-test/media/cdrom", DriveCdRom},
        {'g', "/velmarch-test/mnt/media", DriveRemote},
        {'h', "/velmarch-test/mnt/public", DriveRemote},
        {'i', "/velmarch-test/mnt/remote", DriveRemote},
    };
    ASSERT_EQ(table.volumes().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Volume& volume = table.volumes().at(i);
        SCOPED_TRACE(expected[i].mountPoint);
        EXPECT_EQ(volume.letter, QLatin1Char(expected[i].letter));
        EXPECT_EQ(volume.mountPoint, QString::fromUtf8(expected[i].mountPoint));
        EXPECT_EQ(volume.driveType, expected[i].driveType);
    }
    EXPECT_EQ(table.byLetter('H')->source, QStringLiteral("//fileserver/public"));
}

TEST(MountTable, OverlayRootIsFixedAndLaterMountHidesEarlier) {
    const VolumeTable table = tableFromText("overlay / overlay rw 0 0\n"
                                            "/dev/vdz1 /velmarch-test/data ext4 rw 0 0\n"
                                            "//srv/share /velmarch-test/data cifs rw 0 0\n");
    ASSERT_EQ(table.volumes().size(), 2u);
    EXPECT_EQ(table.volumes()[0].driveType, DriveFixed);
    EXPECT_EQ(table.volumes()[1].fsType, QStringLiteral("cifs"));
}

TEST(MountTable, LettersStopAtZ) {
    QByteArray text = "/dev/vdz1 / ext4 rw 0 0\n";
    for (int i = 0; i < 30; ++i)
        text += "/dev/vdz" + QByteArray::number(i + 2) + " /velmarch-test/m" +
                QByteArray::number(100 + i) + " ext4 rw 0 0\n";
    const VolumeTable table = tableFromText(text);
    ASSERT_EQ(table.volumes().size(), 24u); // c .. z
    EXPECT_EQ(table.volumes().back().letter, QLatin1Char('z'));
    EXPECT_EQ(table.volumes().back().mountPoint, QStringLiteral("/velmarch-test/m122"));
}

TEST(MountTable, MissingFileStillHasTheRootDrive) {
    const VolumeTable table = VolumeTable::fromMountTable(QStringLiteral("/nonexistent/mounts"));
    ASSERT_EQ(table.volumes().size(), 1u);
    EXPECT_EQ(driveText(table.volumes().front()), QStringLiteral("c: [/]"));
}

class PathMapping : public ::testing::Test {
protected:
    void SetUp() override {
        t = drives.addDrive('t');
        u = drives.addDrive('u');
        n = drives.addDrive('n', DriveRemote);
        drives.volume('n').source = QStringLiteral("//testserver/share");
        m = drives.addDrive('m', DriveRemote);
        drives.volume('m').source = QStringLiteral("nas:/export/media");
        drives.addDrive('r', DriveCdRom, {}, false);
        QDir(t).mkpath(QStringLiteral("work/Sub"));
        writeFile(t + QStringLiteral("/work/Sub/File.TXT"));
        drives.install(QStringLiteral("t:\\work"));
    }

    TestDrives drives;
    QString t, u, n, m;
};

TEST_F(PathMapping, ResolvesDosPathsToHostPaths) {
    struct Case {
        const char* dos;
        QString host;
    };
    const std::vector<Case> cases = {
        {"t:\\", t},
        {"T:", t + "/work"},
        {"t:\\work\\Sub\\File.TXT", t + "/work/Sub/File.TXT"},
        {"t:/work/Sub/File.TXT", t + "/work/Sub/File.TXT"},
        {"t:\\WORK\\sub\\file.txt", t + "/work/Sub/File.TXT"},
        {"t:\\work\\sub\\new\\deeper.zip", t + "/work/Sub/new/deeper.zip"},
        {"t:\\..\\..\\work", t + "/work"},
        {"t:\\work\\.\\Sub\\..\\..\\..\\x", t + "/x"},
        {"Sub", t + "/work/Sub"},
        {"..\\..\\..", t},
        {"t:sub\\file.txt", t + "/work/Sub/File.TXT"},
        {"\\x\\y", t + "/x/y"},
        {"", t + "/work"},
        {"u:rel", u + "/rel"},
        {"u:\\a\\\\b\\", u + "/a/b"},
        {"\\\\testserver\\share\\dir", n + "/dir"},
        {"//TESTSERVER/Share/dir/", n + "/dir"},
        {"\\\\testserver\\share\\..\\..\\x", n + "/x"},
        {"\\\\nas\\export\\media\\film", m + "/film"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dos);
        const Resolved resolved = resolve(QString::fromUtf8(c.dos));
        EXPECT_EQ(resolved.error, 0);
        EXPECT_EQ(resolved.hostPath, c.host);
    }
}

TEST_F(PathMapping, ReportsUnknownAndUnreadyDrives) {
    struct Case {
        const char* dos;
        int error;
    };
    const std::vector<Case> cases = {
        {"q:\\x", 76},
        {"q:", 76},
        {"1:\\x", 76},
        {"r:\\x", 68},
        {"R:", 68},
        {"\\\\otherserver\\share\\x", 76},
        {"\\\\testserver\\other\\x", 76},
        {"\\\\nas\\export", 76}, // shorter than the exported path
        {"\\\\testserver", 76},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dos);
        const Resolved resolved = resolve(QString::fromUtf8(c.dos));
        EXPECT_EQ(resolved.error, c.error);
        EXPECT_TRUE(resolved.hostPath.isEmpty());
        EXPECT_TRUE(toHostPath(QString::fromUtf8(c.dos)).isEmpty());
    }
}

TEST_F(PathMapping, ExactSpellingWinsOverOtherCaseVariants) {
    QDir(t).mkpath(QStringLiteral("Data"));
    QDir(t).mkpath(QStringLiteral("data"));
    writeFile(t + QStringLiteral("/data/x"));
    EXPECT_EQ(toHostPath(QStringLiteral("t:\\data\\x")), t + QStringLiteral("/data/x"));
    EXPECT_EQ(toHostPath(QStringLiteral("t:\\Data")), t + QStringLiteral("/Data"));
    // No exact match: the first in listing order, where "Data" sorts before "data".
    EXPECT_EQ(toHostPath(QStringLiteral("t:\\DATA")), t + QStringLiteral("/Data"));
    // The component that only exists as "data/x" is corrected below the right one.
    EXPECT_EQ(toHostPath(QStringLiteral("t:\\data\\X")), t + QStringLiteral("/data/x"));
}

TEST_F(PathMapping, HostPathsMapBackToDrivesAndCurrentDirectories) {
    EXPECT_EQ(toDosPath(t), QStringLiteral("t:\\"));
    EXPECT_EQ(toDosPath(t + QStringLiteral("/work/Sub/File.TXT")),
              QStringLiteral("t:\\work\\Sub\\File.TXT"));
    EXPECT_EQ(toDosPath(t + QStringLiteral("//work/./Sub/../Sub/")),
              QStringLiteral("t:\\work\\Sub"));
    EXPECT_EQ(toDosPath(t + QStringLiteral("/a\\b")), QString());
    EXPECT_EQ(toDosPath(QStringLiteral("/velmarch-nowhere")), QString()); // no "/" drive here

    for (const char* dos : {"t:\\work\\Sub\\File.TXT", "u:\\", "n:\\x\\y"})
        EXPECT_EQ(toDosPath(toHostPath(QString::fromUtf8(dos))), QString::fromUtf8(dos));

    EXPECT_EQ(currentDrive(), QStringLiteral("t:"));
    EXPECT_EQ(currentDirectory(), QStringLiteral("t:\\work"));
    EXPECT_EQ(currentDirectoryOf('T'), QStringLiteral("t:\\work"));
    EXPECT_EQ(currentDirectoryOf('u'), QStringLiteral("u:\\"));
    EXPECT_EQ(driveTexts().first(), QStringLiteral("m: [") + m + QStringLiteral("]"));
}

TEST(HostForm, PathsTheHostWritesAreTold) {
    struct Case {
        const char* typed;
        bool hostForm;
    };
    const Case cases[] = {
        {"/home/u/out", true},  {"/", true},     {"~", true},         {"~/out", true},
        {"//srv/share", false}, {"~out", false}, {"c:\\zips", false}, {"\\zips", false},
        {"zips/old", false},    {"", false},     {" /home", false},   {"\\\\srv\\x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isHostForm(QString::fromUtf8(c.typed)), c.hostForm) << c.typed;
}

TEST_F(PathMapping, HostFormBecomesTheDosPathThatReachesItOrSaysWhyNot) {
    QDir(t).mkpath(QStringLiteral("Taken"));
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(u + QStringLiteral("/home")));
    struct Case {
        QString typed;
        const char* dos;
        QString refusal;
    };
    const std::vector<Case> cases = {
        {t + "/work/Sub", "t:\\work\\Sub", {}},
        {t + "/work/not/yet/made/", "t:\\work\\not\\yet\\made", {}},
        {t + "/work/./Sub/../x", "t:\\work\\x", {}},
        {t, "t:\\", {}},
        {"~/docs", "u:\\home\\docs", {}},
        {"~", "u:\\home", {}},
        {t + "/a\\b/c", "", "the name \"a\\b\" holds a \"\\\", which a DOS path can not carry"},
        {t + "/line\nbreak", "",
         "the name \"line?break\" holds a control character, which a DOS path can not carry"},
        {"/velmarch-nowhere/x", "", "no drive reaches it"},
        {drives.hostRoot('r') + "/x", "", "its drive r: is not ready"},
        // Looked up ignoring case, "taken" would be the folder that is there.
        {t + "/taken", "", "its DOS path t:\\taken would lead to " + t + "/Taken"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        const DosForm form = dosFormOf(c.typed);
        EXPECT_EQ(form.dosPath, QString::fromUtf8(c.dos));
        EXPECT_EQ(form.refusal, c.refusal);
    }
    qputenv("HOME", home);
}

TEST(PathMappingNested, LongestLetteredMountPointWins) {
    VolumeTable table;
    for (const auto& [letter, mount] : std::vector<std::pair<char, const char*>>{
             {'c', "/"}, {'d', "/srv"}, {'e', "/srv/data"}, {'f', "/srv/database"}}) {
        Volume volume;
        volume.letter = QLatin1Char(letter);
        volume.mountPoint = QString::fromLatin1(mount);
        table.add(volume);
    }
    installVolumeTable(table);
    EXPECT_EQ(toDosPath(QStringLiteral("/srv/data/x")), QStringLiteral("e:\\x"));
    EXPECT_EQ(toDosPath(QStringLiteral("/srv/database")), QStringLiteral("f:\\"));
    EXPECT_EQ(toDosPath(QStringLiteral("/srv/dat")), QStringLiteral("d:\\dat"));
    EXPECT_EQ(toDosPath(QStringLiteral("/etc/hosts")), QStringLiteral("c:\\etc\\hosts"));
    installVolumeTable(VolumeTable::fromMountTable());
}

TEST(VolumeTableInForce, AReaderKeepsItsSnapshotWhenAnotherTableIsInstalled) {
    const auto tableOf = [](char letter, const char* mount) {
        VolumeTable table;
        Volume volume;
        volume.letter = QLatin1Char(letter);
        volume.mountPoint = QString::fromLatin1(mount);
        table.add(volume);
        return table;
    };
    installVolumeTable(tableOf('t', "/srv/first"));
    const std::shared_ptr<const VolumeTable> held = volumeTable();
    const Volume* heldVolume = held->byLetter('t');
    installVolumeTable(tableOf('u', "/srv/second"));

    ASSERT_EQ(held->volumes().size(), 1u);
    EXPECT_EQ(held->byLetter('t'), heldVolume);
    EXPECT_EQ(heldVolume->mountPoint, QStringLiteral("/srv/first"));
    EXPECT_EQ(held->byLetter('u'), nullptr);
    EXPECT_EQ(toDosPath(QStringLiteral("/srv/second/x")), QStringLiteral("u:\\x"));
    installVolumeTable(VolumeTable::fromMountTable());
}

TEST_F(PathMapping, DriveTypesOfRoots) {
    struct Case {
        const char* root;
        int type;
    };
    const std::vector<Case> cases = {
        {"t:\\", DriveFixed},         {"T:", DriveFixed},      {"t:/", DriveFixed},
        {"n:\\", DriveRemote},        {"r:\\", DriveCdRom},    {"q:\\", DriveNoRootDir},
        {"t:\\work", DriveNoRootDir}, {"t: ", DriveNoRootDir}, {"", DriveNoRootDir},
        {"t", DriveNoRootDir},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.root);
        EXPECT_EQ(GetDriveTypeA(QString::fromUtf8(c.root)), c.type);
    }
}

TEST(DiskFreeSpace, OverriddenFiguresMultiplyOutExactly) {
    for (std::uint64_t figure :
         {std::uint64_t(9'999'999), std::uint64_t(80'000'000'000), std::uint64_t(80) << 30,
          std::uint64_t(10'000'000'000'000), std::uint64_t(0), std::uint64_t(511)}) {
        SCOPED_TRACE(figure);
        TestDrives drives;
        drives.addDrive('t', DriveFixed, figure);
        drives.install();
        std::uint32_t spc = 0, bps = 0, freeClusters = 0, totalClusters = 0;
        ASSERT_TRUE(
            GetDiskFreeSpaceA(QStringLiteral("t:\\"), &spc, &bps, &freeClusters, &totalClusters));
        EXPECT_EQ(std::uint64_t(spc) * bps * freeClusters, figure);
        EXPECT_GE(totalClusters, freeClusters);
        EXPECT_EQ(freeBytes(QStringLiteral("T:")), figure);
    }
}

TEST(DiskFreeSpace, FigureWithoutAFittingDivisorLosesLessThanOneCluster) {
    const std::uint64_t prime = (std::uint64_t(1) << 61) - 1;
    TestDrives drives;
    drives.addDrive('t', DriveFixed, prime);
    drives.install();
    std::uint32_t spc = 0, bps = 0, freeClusters = 0, totalClusters = 0;
    ASSERT_TRUE(
        GetDiskFreeSpaceA(QStringLiteral("t:\\"), &spc, &bps, &freeClusters, &totalClusters));
    const std::uint64_t cluster = std::uint64_t(spc) * bps;
    EXPECT_LE(cluster * freeClusters, prime);
    EXPECT_LT(prime - cluster * freeClusters, cluster);
    EXPECT_EQ(freeBytes(QStringLiteral("t:\\")), prime);
}

TEST(DiskFreeSpace, HostFigureIsWithinOneCluster) {
    TestDrives drives;
    drives.addDrive('t');
    drives.install();
    // The host's disk is shared with whatever else runs (other tests write to it too): the
    // figure is read between two exact ones, again until the disk holds still across it.
    std::uint32_t spc = 0, bps = 0, freeClusters = 0, totalClusters = 0;
    std::optional<std::uint64_t> before, after;
    for (int attempt = 0; attempt < 50 && (attempt == 0 || before != after); ++attempt) {
        before = freeBytes(QStringLiteral("t:\\"));
        ASSERT_TRUE(
            GetDiskFreeSpaceA(QStringLiteral("t:\\"), &spc, &bps, &freeClusters, &totalClusters));
        after = freeBytes(QStringLiteral("t:\\"));
        ASSERT_TRUE(before.has_value() && after.has_value());
    }
    const std::uint64_t cluster = std::uint64_t(spc) * bps;
    const std::uint64_t reported = cluster * freeClusters;
    ASSERT_GT(cluster, 0u);
    EXPECT_LE(reported, std::max(*before, *after));
    if (freeClusters < std::numeric_limits<std::uint32_t>::max()) {
        EXPECT_LT(std::min(*before, *after), reported + cluster);
    }
    EXPECT_GT(totalClusters, 0u);
}

TEST(DiskFreeSpace, HostPathsBelowADriveGetTheTablesFigure) {
    TestDrives drives;
    const QString t = drives.addDrive('t', DriveFixed, 12'345);
    const QString u = drives.addDrive('u');
    drives.install();
    EXPECT_EQ(freeBytesAt(t + QStringLiteral("/not/yet/made")), std::uint64_t(12'345));
    EXPECT_EQ(freeBytesAt(t), std::uint64_t(12'345));
    const std::optional<std::uint64_t> host = freeBytesAt(u);
    ASSERT_TRUE(host.has_value());
    EXPECT_NE(*host, std::uint64_t(12'345));
    // Outside every drive the nearest existing folder is asked ("/" here).
    EXPECT_TRUE(freeBytesAt(QStringLiteral("/velmarch-nowhere/not/made")).has_value());
    EXPECT_FALSE(freeBytesAt(QString()).has_value());
}

TEST(DiskFreeSpace, FailsForUnknownAndUnreadyDrives) {
    TestDrives drives;
    drives.addDrive('t');
    drives.addDrive('r', DriveCdRom, std::uint64_t(1000), false);
    // A drive whose mount point is gone: the folder above it is another file system.
    const QString g = drives.addDrive('g', DriveFixed, std::uint64_t(1000));
    drives.install();
    ASSERT_TRUE(QDir(g).removeRecursively());
    for (const char* root : {"r:\\", "q:\\", "t:\\work", "", "g:\\"}) {
        SCOPED_TRACE(root);
        std::uint32_t spc = 7, bps = 7, freeClusters = 7, totalClusters = 7;
        EXPECT_FALSE(
            GetDiskFreeSpaceA(QString::fromUtf8(root), &spc, &bps, &freeClusters, &totalClusters));
        EXPECT_FALSE(freeBytes(QString::fromUtf8(root)).has_value());
    }
}

} // namespace
