// A destination that fills up or turns read-only under a real run: the failing archive
// is kept and logged, nothing half-written is left, and the run goes on.

#include "fault_support.h"
#include "tests/app/form1_fixture.h"

#include <QLabel>

#include <unistd.h>

namespace {

const QString kDone = QStringLiteral("Done!");

QString failed(const char* archive) {
    return QLatin1String(archive) + QStringLiteral(" Could not unzip :(");
}
QString fine(const char* archive) {
    return QLatin1String(archive) + QStringLiteral(" Unziped Fine");
}

// d: is a small tmpfs with a folder "out"; its free space is the file system's own.
class DestinationFaultTest : public Form1Fixture {
protected:
    void SetUp() override {
        Form1Fixture::SetUp();
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to mount a tmpfs as the destination";
        disk = drives.addDrive('d');
        drives.install();
        // 4 MiB: the archives below are sized against it.
        if (!mount.mountTmpfs(disk, "4m"))
            GTEST_SKIP() << "cannot mount a tmpfs here: " << qPrintable(mount.error());
        ASSERT_TRUE(QDir(disk).mkdir(QStringLiteral("out")));
        out = disk + QStringLiteral("/out");
    }

    // Every archive of t:\src into d:\out, archives deleted after success.
    void runIntoOut() {
        form->Check1->setChecked(true);
        // The low-space guard would ask about the small disk before every archive.
        form->Check2->setChecked(false);
        selectSource(QStringLiteral("t:\\src"));
        chooseDestination(QStringLiteral("d:\\out"));
        dialogs->clear();
        form->Command1_Click();
    }

    QString src(const char* name) const {
        return t + QStringLiteral("/src/") + QLatin1String(name);
    }

    QString disk;
    QString out;
    faults::ScopedMount mount;
};

TEST_F(DestinationFaultTest, ADiskFillingUpDuringAnEntryFailsThatArchiveAndLeavesNoPart) {
    // 3 MiB and 64 KiB declared: the free-space check passes at the start.
    const QByteArray first = faults::noise(64 * 1024, 1);
    QDir().mkpath(t + QStringLiteral("/src"));
    testsupport::ZipBuilder()
        .addFile("first.bin", first)
        .addFile("big.bin", QByteArray(3 << 20, 'z'))
        .write(src("fill.zip"));
    makeArchive(src("later.zip"), {"later.txt"});
    start();

    // Fills the disk from outside once the big entry has its first MiB on disk, while the
    // engine's worker waits there.
    std::int64_t filler = -1;
    QStringList atTheFill;
    testsupport::WorkerGate gate([&] {
        atTheFill = faults::filesBelow(out);
        filler = faults::fillDisk(disk, QStringLiteral("filler"), 256 * 1024);
    });
    form->XceedZip1.setWorkerHook(gate.at([](const ArchiveEngine::Report& report) {
        return report.kind == ArchiveEngine::Report::Progress && report.number >= 10;
    }));
    runIntoOut();

    ASSERT_GT(filler, 0) << "the disk was never filled";
    // big.bin is being written to a file with no name yet: only first.bin is visible.
    ASSERT_EQ(atTheFill, QStringList{QStringLiteral("first.bin")})
        << "filled while big.bin was half-written: " << qPrintable(atTheFill.join(u' '));
    EXPECT_EQ(logLines(), (QStringList{failed("fill.zip"), fine("later.zip")}));
    EXPECT_EQ(fullLog().value(1), QStringLiteral("    the disk is full (writing big.bin)"));
    EXPECT_TRUE(QFile::exists(src("fill.zip"))) << "a failed archive stays";
    EXPECT_FALSE(QFile::exists(src("later.zip")));
    EXPECT_EQ(faults::filesBelow(out),
              (QStringList{QStringLiteral("first.bin"), QStringLiteral("later.txt")}));
    EXPECT_EQ(read(out + QStringLiteral("/first.bin")), first) << "complete entries stay whole";
    EXPECT_EQ(read(out + QStringLiteral("/later.txt")), "content of later.txt");
    EXPECT_EQ(texts(), QStringList{kDone});
}

TEST_F(DestinationFaultTest, AnArchiveLargerThanTheSpaceLeftFailsBeforeWritingAnything) {
    // a.zip takes 3 of the 4 MiB; b.zip declares 2 MiB more and is refused whole.
    QDir().mkpath(t + QStringLiteral("/src"));
    testsupport::ZipBuilder().addFile("a.bin", QByteArray(3 << 20, 'a')).write(src("a.zip"));
    testsupport::ZipBuilder()
        .addFile("b-small.txt", "fits on its own")
        .addFile("b.bin", QByteArray(2 << 20, 'b'))
        .write(src("b.zip"));
    makeArchive(src("c.zip"), {"c.txt"});
    start();
    runIntoOut();

    EXPECT_EQ(logLines(), (QStringList{fine("a.zip"), failed("b.zip"), fine("c.zip")}));
    EXPECT_EQ(fullLog().value(2),
              QStringLiteral("    not enough free space on the destination for what it holds"));
    EXPECT_TRUE(QFile::exists(src("b.zip")));
    EXPECT_FALSE(QFile::exists(src("a.zip")));
    EXPECT_FALSE(QFile::exists(src("c.zip")));
    EXPECT_EQ(faults::filesBelow(out),
              (QStringList{QStringLiteral("a.bin"), QStringLiteral("c.txt")}))
        << "not even the entry that would fit";
    EXPECT_EQ(QFileInfo(out + QStringLiteral("/a.bin")).size(), 3 << 20);
    EXPECT_EQ(texts(), QStringList{kDone});
}

TEST_F(DestinationFaultTest, SmallEntriesBoundForAnotherFileSystemBelowTheDestinationLandThere) {
    // out/mnt is a file system of its own: files made ahead in out cannot be linked there.
    const QString below = out + QStringLiteral("/mnt");
    ASSERT_TRUE(QDir().mkdir(below));
    faults::ScopedMount inner;
    ASSERT_TRUE(inner.mountTmpfs(below, "1m")) << qPrintable(inner.error());
    makeArchive(src("a.zip"), {"top.txt", "mnt/in.txt", "mnt/deep/x.txt"});
    start();
    runIntoOut();

    EXPECT_EQ(logLines(), QStringList{fine("a.zip")});
    EXPECT_FALSE(QFile::exists(src("a.zip")));
    EXPECT_EQ(faults::filesBelow(below),
              (QStringList{QStringLiteral("deep/x.txt"), QStringLiteral("in.txt")}));
    EXPECT_EQ(read(below + QStringLiteral("/in.txt")), "content of mnt/in.txt");
    EXPECT_EQ(read(below + QStringLiteral("/deep/x.txt")), "content of mnt/deep/x.txt");
    EXPECT_EQ(QFileInfo(below + QStringLiteral("/in.txt")).lastModified(),
              QFileInfo(out + QStringLiteral("/top.txt")).lastModified());
}

TEST_F(DestinationFaultTest, AReadOnlyDestinationFailsEveryArchiveAndKeepsThem) {
    makeArchive(src("a.zip"), {"a1.txt", "docs/a2.txt"});
    makeArchive(src("b.zip"), {"b1.txt"});
    ASSERT_TRUE(mount.setReadOnly(true)) << qPrintable(mount.error());
    start();
    runIntoOut();

    const QString readOnly =
        QStringLiteral("    cannot write to the destination folder: read-only file system");
    EXPECT_EQ(fullLog(),
              (QStringList{failed("a.zip"), readOnly, failed("b.zip"), readOnly,
                           QStringLiteral("Run ended: 0 extracted, 2 failed, 0 kept, 0 folders "
                                          "passed over")}));
    EXPECT_TRUE(QFile::exists(src("a.zip")));
    EXPECT_TRUE(QFile::exists(src("b.zip")));
    EXPECT_TRUE(faults::filesBelow(out).isEmpty());
    EXPECT_EQ(texts(), QStringList{kDone});
}

TEST_F(DestinationFaultTest, ADestinationTurningReadOnlyMidArchiveFailsOnlyThatArchive) {
    // Entries too large for the decoding thread to write ahead itself: the kernel refuses
    // to make a mount read-only while files made ahead are open for writing on it.
    const QByteArray one = faults::noise(256 * 1024, 2);
    QDir().mkpath(t + QStringLiteral("/src"));
    testsupport::ZipBuilder()
        .addFile("one.txt", one)
        .addFile("sub/two.txt", faults::noise(256 * 1024, 3))
        .addFile("three.txt", faults::noise(256 * 1024, 4))
        .write(src("a.zip"));
    makeArchive(src("b.zip"), {"b1.txt"});
    start();

    // Read-only from a.zip's second entry until a.zip has its result.
    bool turned = false;
    testsupport::WorkerGate gate([&] { turned = mount.setReadOnly(true); });
    form->XceedZip1.setWorkerHook(gate.at([](const ArchiveEngine::Report& report) {
        return report.kind == ArchiveEngine::Report::EntryStarted &&
               report.name == QStringLiteral("sub/two.txt");
    }));
    QObject::connect(&form->XceedZip1, &ArchiveEngine::finished, form.get(), [&](int) {
        if (turned) {
            EXPECT_TRUE(mount.setReadOnly(false)) << qPrintable(mount.error());
        }
    });
    runIntoOut();

    ASSERT_TRUE(turned) << qPrintable(mount.error());
    EXPECT_EQ(logLines(), (QStringList{failed("a.zip"), fine("b.zip")}));
    EXPECT_TRUE(QFile::exists(src("a.zip")));
    EXPECT_FALSE(QFile::exists(src("b.zip")));
    EXPECT_EQ(faults::filesBelow(out),
              (QStringList{QStringLiteral("b1.txt"), QStringLiteral("one.txt")}));
    EXPECT_EQ(read(out + QStringLiteral("/one.txt")), one);
}

// Archives extracted where they lie: one lies in a read-only directory, the next does not.
class InPlaceReadOnlyTest : public Form1Fixture {
protected:
    faults::ScopedMount mount;
};

TEST_F(InPlaceReadOnlyTest, AnArchiveInAReadOnlyDirectoryFailsAndTheNextIsExtracted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to bind-mount a directory read-only";
    const QString shelf = t + QStringLiteral("/src/a-shelf");
    makeArchive(shelf + QStringLiteral("/old.zip"), {"old.txt"});
    makeArchive(t + QStringLiteral("/src/b-fresh/new.zip"), {"new.txt"});
    if (!mount.bindReadOnly(shelf))
        GTEST_SKIP() << "cannot bind-mount here: " << qPrintable(mount.error());
    start();
    form->Check1->setChecked(true);
    selectSource(QStringLiteral("t:\\src"));
    form->txtDesc->setText(QStringLiteral("unused"));
    form->Command1_Click();

    EXPECT_EQ(logLines(), (QStringList{failed("old.zip"), fine("new.zip")}));
    EXPECT_EQ(faults::filesBelow(shelf), QStringList{QStringLiteral("old.zip")});
    EXPECT_EQ(faults::filesBelow(t + QStringLiteral("/src/b-fresh")),
              QStringList{QStringLiteral("new.txt")});
    EXPECT_EQ(texts(), QStringList{kDone});
}

} // namespace
