#include "form1_fixture.h"

#include <QGroupBox>
#include <QLabel>
#include <QLockFile>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QTimer>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Keeps a file from being deleted for the object's lifetime: a read-only directory for an
// ordinary user, the immutable flag for root (who ignores directory permissions).
class UndeletableFile {
public:
    explicit UndeletableFile(const QString& path) : m_path(path) {
        if (::geteuid() == 0) {
            m_immutable = setImmutable(true);
        } else {
            m_directory = QFileInfo(path).path();
            m_locked = QFile::setPermissions(m_directory, QFile::ReadOwner | QFile::ExeOwner);
        }
    }
    ~UndeletableFile() {
        if (m_immutable)
            setImmutable(false);
        if (m_locked)
            QFile::setPermissions(m_directory,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    UndeletableFile(const UndeletableFile&) = delete;
    UndeletableFile& operator=(const UndeletableFile&) = delete;

    bool active() const { return m_immutable || m_locked; }

private:
    bool setImmutable(bool on) const {
        const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }

    QString m_path;
    QString m_directory;
    bool m_immutable = false;
    bool m_locked = false;
};

const QString kDone = QStringLiteral("Done!");
const QString kNoZips = QStringLiteral("Pick a dir that has zips!");
const QString kCreate = QStringLiteral("Velmarch can not find that directory!  Create It?");

class RunTest : public Form1Fixture {
protected:
    // t:\src\a.zip, t:\src\sub\b.zip, t:\src\sub\deep\c.zip
    void makeTree() {
        makeArchive(t + QStringLiteral("/src/a.zip"), {"a1.txt", "docs/a2.txt"});
        makeArchive(t + QStringLiteral("/src/sub/b.zip"), {"b1.txt"});
        makeArchive(t + QStringLiteral("/src/sub/deep/c.zip"), {"c1.txt"});
        testsupport::writeFile(t + QStringLiteral("/src/readme.txt"), "not an archive");
    }

    // Runs with each archive going to its own directory.
    void runInPlace(const QString& source) {
        selectSource(source);
        form->txtDesc->setText(QStringLiteral("unused"));
        form->Command1_Click();
    }

    // A stored entry of incompressible bytes, large enough for many progress events.
    static void makeLargeArchive(const QString& hostPath) {
        QByteArray data(24 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator generator(7);
        generator.fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
        testsupport::ZipBuilder::Options stored;
        stored.method = testsupport::ZipBuilder::Stored;
        testsupport::ZipBuilder builder;
        builder.addFile("big.bin", data, stored);
        QDir().mkpath(QFileInfo(hostPath).path());
        builder.write(hostPath);
    }

    QStringList filesUnder(const QString& hostDir) const {
        QStringList names;
        const QDir dir(hostDir);
        for (const QFileInfo& info :
             dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
            names << info.fileName();
        return names;
    }
};

TEST_F(RunTest, ExtractsEveryArchiveIntoItsOwnDirectory) {
    makeTree();
    Form1& f = start();
    f.Check1->setChecked(false);
    runInPlace(QStringLiteral("t:\\src"));

    EXPECT_EQ(texts(), QStringList{kDone});
    EXPECT_EQ(dialogs->messages().back().icon, testsupport::ScriptedDialogs::Icon::None);
    EXPECT_EQ(dialogs->messages().back().title, QStringLiteral("Velmarch"));
    EXPECT_EQ(logLines(), (QStringList{QStringLiteral("a.zip Unziped Fine"),
                                       QStringLiteral("b.zip Unziped Fine"),
                                       QStringLiteral("c.zip Unziped Fine")}));
    EXPECT_EQ(read(t + QStringLiteral("/src/a1.txt")), "content of a1.txt");
    EXPECT_EQ(read(t + QStringLiteral("/src/docs/a2.txt")), "content of docs/a2.txt");
    EXPECT_EQ(read(t + QStringLiteral("/src/sub/b1.txt")), "content of b1.txt");
    EXPECT_EQ(read(t + QStringLiteral("/src/sub/deep/c1.txt")), "content of c1.txt");
    EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/a.zip"))) << "kept: Check1 unchecked";

    EXPECT_TRUE(f.F1->isVisible());
    EXPECT_FALSE(f.F2->isVisible());
    EXPECT_EQ(f.F2->title(), QStringLiteral("Total Files: 3"));
    EXPECT_EQ(f.PB2->maximum(), 3);
    EXPECT_EQ(f.PB2->value(), 2);
    EXPECT_EQ(f.PB1->value(), 100);
    EXPECT_EQ(f.TxtFile->text(), QStringLiteral("c.zip"));
    EXPECT_EQ(f.TxtStats->text(), QStringLiteral("..::Unziping Files::.."));
    EXPECT_EQ(f.Todo->count(), 3);
    EXPECT_EQ(read(programHost(QStringLiteral("unzip.tmp"))),
              "t:\\src\\a.zip\r\nt:\\src\\sub\\b.zip\r\nt:\\src\\sub\\deep\\c.zip\r\n");
    EXPECT_TRUE(f.savedLogFile().isEmpty());
}

TEST_F(RunTest, ExtractsEveryArchiveIntoOneDestinationAfterOfferingToCreateIt) {
    makeTree();
    Form1& f = start();
    selectSource(QStringLiteral("t:\\src"));
    chooseDestination(QStringLiteral("u:\\out"));
    ASSERT_EQ(f.txtDesc->text(), QStringLiteral("u:\\out\\"));

    bool statusShownAtQuestion = false;
    QString captionAtQuestion;
    dialogs->onMessage = [&](const testsupport::ScriptedDialogs::MessageRecord& message) {
        if (message.text == kCreate) {
            statusShownAtQuestion = f.F2->isVisible() && !f.F1->isVisible();
            captionAtQuestion = f.F2->title();
        }
    };
    dialogs->queueAnswer(platform::vbYes);
    f.Command1_Click();

    ASSERT_EQ(texts(), (QStringList{kCreate, kDone}));
    const auto& question = dialogs->messages().front();
    EXPECT_EQ(question.title, QStringLiteral("Create Directory"));
    EXPECT_TRUE(question.yesNo);
    EXPECT_TRUE(statusShownAtQuestion);
    EXPECT_EQ(captionAtQuestion, QStringLiteral("Status")) << "asked before the count is shown";
    for (const char* name : {"a1.txt", "docs/a2.txt", "b1.txt", "c1.txt"})
        EXPECT_EQ(read(u + QStringLiteral("/out/") + QLatin1String(name)),
                  QByteArray("content of ") + name);
    EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/a1.txt")));
    EXPECT_EQ(logLines().size(), 3);
}

TEST_F(RunTest, ADeclinedDestinationFailsEveryArchiveAndCreatesNothing) {
    makeTree();
    Form1& f = start();
    selectSource(QStringLiteral("t:\\src"));
    chooseDestination(QStringLiteral("u:\\out"));
    dialogs->queueAnswer(platform::vbNo);
    f.Command1_Click();

    EXPECT_EQ(texts(), (QStringList{kCreate, kDone}));
    EXPECT_EQ(logLines(), (QStringList{QStringLiteral("a.zip Could not unzip :("),
                                       QStringLiteral("b.zip Could not unzip :("),
                                       QStringLiteral("c.zip Could not unzip :(")}));
    EXPECT_FALSE(QFileInfo::exists(u + QStringLiteral("/out")));
    EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/a.zip"))) << "failed archives stay";
}

TEST_F(RunTest, ACdRomSourceIsRefusedWithOneMessage) {
    makeArchive(r + QStringLiteral("/zips/a.zip"), {"a1.txt"});
    Form1& f = start();
    selectSource(QStringLiteral("r:\\zips"));
    f.txtDesc->setText(QStringLiteral("u:\\"));
    f.Command1_Click();

    ASSERT_EQ(dialogs->messages().size(), 1u);
    const auto& m1 = dialogs->messages().front();
    EXPECT_EQ(m1.text,
              QStringLiteral("U New!?!? Can't use a CDRom as the Destination! Pick a new one!"));
    EXPECT_EQ(m1.icon, testsupport::ScriptedDialogs::Icon::None);
    EXPECT_EQ(m1.title, QStringLiteral("Velmarch"));
    EXPECT_TRUE(dialogs->modalWindowTitles().empty()) << "Check3 unchecked: no chooser";
    EXPECT_FALSE(QFile::exists(programHost(QStringLiteral("unzip.tmp"))));
    EXPECT_FALSE(QFile::exists(r + QStringLiteral("/zips/a1.txt")));
    EXPECT_TRUE(f.F1->isVisible());
    EXPECT_TRUE(logLines().isEmpty());

    // With a destination in use the chooser opens after the message.
    chooseDestination(QStringLiteral("u:\\dest"));
    dialogs->clear();
    f.Command1_Click();
    EXPECT_EQ(dialogs->messages().size(), 1u);
    EXPECT_EQ(dialogs->modalWindowTitles(),
              std::vector<QString>{QStringLiteral("Select a directory?")});
}

TEST_F(RunTest, AnEmptyDestinationAsksThenOpensTheChooserAndRuns) {
    makeTree();
    Form1& f = start();
    selectSource(QStringLiteral("t:\\src"));
    dialogs->queueModalAction([](QWidget* window) {
        auto* chooser = qobject_cast<FrmDir*>(window);
        ASSERT_NE(chooser, nullptr);
        chooser->txtPath->setText(QStringLiteral("u:\\dest"));
        chooser->Command1->click();
    });
    f.Command1_Click();

    ASSERT_GE(dialogs->messages().size(), 2u);
    const auto& m2 = dialogs->messages().front();
    EXPECT_EQ(m2.text, QStringLiteral("You must select a destination path"));
    EXPECT_EQ(m2.icon, testsupport::ScriptedDialogs::Icon::Critical);
    EXPECT_FALSE(m2.yesNo);
    EXPECT_EQ(texts(), (QStringList{m2.text, kDone})) << "u:\\dest exists: no creation question";
    EXPECT_TRUE(f.Check3->isChecked());
    EXPECT_EQ(f.txtDesc->text(), QStringLiteral("u:\\dest\\"));
    EXPECT_EQ(read(u + QStringLiteral("/dest/b1.txt")), "content of b1.txt");
    EXPECT_EQ(logLines().size(), 3);
}

TEST_F(RunTest, AnAbortedChooserStillSearchesButExtractsNothing) {
    makeTree();
    Form1& f = start();
    selectSource(QStringLiteral("t:\\src"));
    f.Check4->setChecked(true);
    dialogs->queueModalAction([](QWidget* window) {
        auto* chooser = qobject_cast<FrmDir*>(window);
        ASSERT_NE(chooser, nullptr);
        chooser->Command2->click();
    });
    f.Command1_Click();

    const QStringList shown = texts();
    ASSERT_FALSE(shown.isEmpty());
    EXPECT_EQ(shown.front(), QStringLiteral("You must select a destination path"));
    EXPECT_EQ(shown.back(), kDone);
    EXPECT_EQ(f.F2->title(), QStringLiteral("Total Files: 3"));
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/a1.txt")));
    EXPECT_EQ(read(programHost(QStringLiteral("velmarch.log"))),
              "Run ended: 0 extracted, 0 failed, 0 kept, 0 folders passed over\r\n");
    EXPECT_FALSE(f.savedLogFile().isEmpty()) << "the log is still written";
}

TEST_F(RunTest, ATreeWithoutArchivesSaysSoAndRestoresTheSelection) {
    testsupport::writeFile(t + QStringLiteral("/plain/readme.txt"), "text");
    Form1& f = start();
    bool statusShownAtMessage = false;
    dialogs->onMessage = [&](const testsupport::ScriptedDialogs::MessageRecord&) {
        statusShownAtMessage = f.F2->isVisible();
    };
    runInPlace(QStringLiteral("t:\\plain"));

    ASSERT_EQ(texts(), QStringList{kNoZips});
    EXPECT_EQ(dialogs->messages().front().icon, testsupport::ScriptedDialogs::Icon::None);
    EXPECT_TRUE(statusShownAtMessage) << "an empty list is found after the panels switched";
    EXPECT_TRUE(f.F1->isVisible());
    EXPECT_FALSE(f.F2->isVisible());
    EXPECT_EQ(f.F2->title(), QStringLiteral("Status"));
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_EQ(f.TxtStats->text(), QStringLiteral("..::Loading List::.."));
}

class GuardTest : public RunTest {
protected:
    // Two archives under t:\src, extracted into `drive`:\dest; `answers` go to the
    // questions of the run.
    void runGuarded(const QString& drive, const QString& megabytes,
                    std::initializer_list<int> answers = {}) {
        makeArchive(t + QStringLiteral("/src/a.zip"), {"a1.txt"});
        makeArchive(t + QStringLiteral("/src/b.zip"), {"b1.txt"});
        start();
        selectSource(QStringLiteral("t:\\src"));
        chooseDestination(drive + QStringLiteral(":\\dest"));
        form->Check2->setChecked(true);
        form->Check4->setChecked(true);
        form->TxtSel->setText(megabytes);
        dialogs->clear();
        for (int answer : answers)
            dialogs->queueAnswer(answer);
        form->Command1_Click();
    }

    int lowSpaceQuestions() {
        int count = 0;
        for (const auto& message : dialogs->messages())
            count += message.title == QStringLiteral("You Need More Megs Free!!");
        return count;
    }
};

TEST_F(GuardTest, AsksBelowTheThresholdAndNoEndsTheRun) {
    runGuarded(QStringLiteral("l"), QStringLiteral("10"), {platform::vbNo});

    ASSERT_EQ(texts(), QStringList{QStringLiteral("Diskspace Under 10 Megs")});
    const auto& m4 = dialogs->messages().front();
    EXPECT_EQ(m4.title, QStringLiteral("You Need More Megs Free!!"));
    EXPECT_TRUE(m4.yesNo);
    EXPECT_EQ(m4.icon, testsupport::ScriptedDialogs::Icon::Critical);
    EXPECT_EQ(m4.defaultButton, 1) << "Yes is the default";
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_FALSE(QFile::exists(l + QStringLiteral("/dest/a1.txt")));
    EXPECT_FALSE(QFile::exists(programHost(QStringLiteral("velmarch.log"))));
    EXPECT_TRUE(form->F1->isVisible());
    EXPECT_FALSE(form->F2->isVisible());
}

TEST_F(GuardTest, YesGoesOnAndAsksBeforeEveryArchive) {
    runGuarded(QStringLiteral("l"), QStringLiteral("10"), {platform::vbYes, platform::vbYes});
    EXPECT_EQ(lowSpaceQuestions(), 2);
    EXPECT_EQ(texts().back(), kDone);
    EXPECT_EQ(read(l + QStringLiteral("/dest/b1.txt")), "content of b1.txt");
}

TEST_F(GuardTest, FreeSpaceEqualToTheThresholdIsEnough) {
    runGuarded(QStringLiteral("e"), QStringLiteral("10"));
    EXPECT_EQ(lowSpaceQuestions(), 0);
    EXPECT_EQ(texts(), QStringList{kDone});
    EXPECT_EQ(logLines().size(), 2);
}

TEST_F(GuardTest, AFractionalThresholdCountsInMegabytes) {
    // 9.9999995 MB is 9,999,999.5 bytes: above what l: has, and shown as typed.
    runGuarded(QStringLiteral("l"), QStringLiteral("9.9999995"), {platform::vbNo});
    EXPECT_EQ(texts(), QStringList{QStringLiteral("Diskspace Under 9.9999995 Megs")});
}

TEST_F(GuardTest, BlanksInTheThresholdAreIgnoredButShown) {
    runGuarded(QStringLiteral("l"), QStringLiteral(" 1 0"), {platform::vbNo});
    EXPECT_EQ(texts(), QStringList{QStringLiteral("Diskspace Under  1 0 Megs")});
}

TEST_F(GuardTest, ALargeDiskIsNeverTooSmall) {
    runGuarded(QStringLiteral("u"), QStringLiteral("10"));
    EXPECT_EQ(lowSpaceQuestions(), 0);
}

TEST_F(RunTest, AFailedArchiveKeepsItsFileAndItsLine) {
    makeArchive(t + QStringLiteral("/src/good.zip"), {"good.txt"});
    testsupport::RawZip::Entry bad = testsupport::RawZip::stored("bad.txt", "twelve bytes");
    bad.crc ^= 0x5a5a5a5a;
    testsupport::RawZip().add(bad).write(t + QStringLiteral("/src/bad.zip"));
    testsupport::writeFile(t + QStringLiteral("/src/notzip.zip"), "this is no archive");
    Form1& f = start();
    f.Check1->setChecked(true);
    runInPlace(QStringLiteral("t:\\src"));

    EXPECT_EQ(logLines(), (QStringList{QStringLiteral("bad.zip Could not unzip :("),
                                       QStringLiteral("good.zip Unziped Fine"),
                                       QStringLiteral("notzip.zip Could not unzip :(")}));
    EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/bad.zip")));
    EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/notzip.zip")));
    EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/good.zip")));
    EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/bad.txt"))) << "nothing under its name";
    // The skip is shown to the user but never logged.
    const QString skip = QStringLiteral("File 'bad.txt' has a bad CRC. Skipping this file.");
    EXPECT_EQ(f.lastSkipMessage(), skip);
    EXPECT_EQ(f.TxtSkip->toolTip(), skip);
    EXPECT_FALSE(logLines().join(u'\n').contains(QStringLiteral("CRC")));
    EXPECT_EQ(texts(), QStringList{kDone});
}

TEST_F(RunTest, AGoodReadOnlyArchiveIsDeleted) {
    makeArchive(t + QStringLiteral("/src/ro.zip"), {"ro.txt"});
    QFile::setPermissions(t + QStringLiteral("/src/ro.zip"), QFile::ReadOwner | QFile::ReadGroup);
    Form1& f = start();
    f.Check1->setChecked(true);
    runInPlace(QStringLiteral("t:\\src"));

    EXPECT_EQ(logLines(), QStringList{QStringLiteral("ro.zip Unziped Fine")});
    EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/ro.zip")));
    EXPECT_EQ(read(t + QStringLiteral("/src/ro.txt")), "content of ro.txt");
    EXPECT_EQ(f.TxtStats->text(), QStringLiteral("Removing file..."));
}

TEST_F(RunTest, AnArchiveThatCannotBeDeletedIsReportedAndTheRunGoesOn) {
    makeArchive(t + QStringLiteral("/src/locked/a.zip"), {"a1.txt"});
    makeArchive(t + QStringLiteral("/src/z.zip"), {"z1.txt"});
    const UndeletableFile locked(t + QStringLiteral("/src/locked/a.zip"));
    if (!locked.active())
        GTEST_SKIP() << "this file system cannot protect a file from its owner";
    Form1& f = start();
    f.Check1->setChecked(true);
    selectSource(QStringLiteral("t:\\src"));
    chooseDestination(QStringLiteral("u:\\dest"));
    f.Command1_Click();

    EXPECT_EQ(logLines(), (QStringList{QStringLiteral("z.zip Unziped Fine"),
                                       QStringLiteral("a.zip Unziped Fine")}));
    EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/locked/a.zip")));
    EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/z.zip")));
    EXPECT_TRUE(f.TxtStats->text().startsWith(QStringLiteral("Could not remove a.zip: ")))
        << qPrintable(f.TxtStats->text());
    // The log says so too, and why, with the run's count of kept archives.
    const QStringList log = fullLog();
    ASSERT_EQ(log.size(), 4) << qPrintable(log.join(u'\n'));
    EXPECT_EQ(log.at(2), QStringLiteral("    kept a.zip: ") +
                             f.TxtStats->text().section(QStringLiteral(": "), 1));
    EXPECT_EQ(log.at(3),
              QStringLiteral("Run ended: 2 extracted, 0 failed, 1 kept, 0 folders passed over"));
    EXPECT_EQ(texts(), QStringList{kDone});
}

TEST_F(RunTest, AbortStopsTheArchiveInProgressAndTheRun) {
    makeLargeArchive(t + QStringLiteral("/src/big.zip"));
    makeArchive(t + QStringLiteral("/src/later.zip"), {"later.txt"});
    Form1& f = start();
    f.Check1->setChecked(true);
    f.Check4->setChecked(true);
    selectSource(QStringLiteral("t:\\src"));
    chooseDestination(QStringLiteral("u:\\dest"));

    // Pressed twice while the engine's worker is in the middle of the large entry; the
    // worker comes back at once, and the run waits for it however long that takes.
    testsupport::TestClock clock;
    f.XceedZip1.setClock(clock.clock());
    testsupport::WorkerGate gate([&] {
        f.Command2->click();
        f.Command2->click();
    });
    f.XceedZip1.setWorkerHook(gate.at(testsupport::firstProgressPastZero));
    f.Command1_Click();

    ASSERT_TRUE(gate.held());
    EXPECT_EQ(AbortFlag, -1);
    EXPECT_EQ(logLines(), QStringList{QStringLiteral("big.zip Could not unzip :(")});
    EXPECT_TRUE(filesUnder(u + QStringLiteral("/dest")).isEmpty())
        << "no partial output: " << qPrintable(filesUnder(u + QStringLiteral("/dest")).join(u' '));
    EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/big.zip"))) << "an aborted archive stays";
    EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/later.zip")));
    EXPECT_EQ(read(programHost(QStringLiteral("velmarch.log"))),
              "big.zip Could not unzip :(\r\n    stopped by Abort\r\n"
              "Run ended: 0 extracted, 1 failed, 0 kept, 0 folders passed over\r\n");
    EXPECT_EQ(texts(), QStringList{kDone});
    EXPECT_TRUE(f.F1->isVisible());
}

TEST_F(RunTest, ASecondUnzipPressDuringARunIsIgnored) {
    makeLargeArchive(t + QStringLiteral("/src/big.zip"));
    makeArchive(t + QStringLiteral("/src/later.zip"), {"later.txt"});
    Form1& f = start();
    bool pressed = false;
    QObject::connect(&f.XceedZip1, &ArchiveEngine::progress, &f, [&](qint16 percent) {
        if (percent > 0 && !pressed) {
            pressed = true;
            QMetaObject::invokeMethod(f.Command1, &QPushButton::click, Qt::QueuedConnection);
        }
    });
    f.Check1->setChecked(false);
    runInPlace(QStringLiteral("t:\\src"));

    ASSERT_TRUE(pressed);
    EXPECT_EQ(texts(), QStringList{kDone});
    EXPECT_EQ(logLines(), (QStringList{QStringLiteral("big.zip Unziped Fine"),
                                       QStringLiteral("later.zip Unziped Fine")}));
    EXPECT_EQ(f.Todo->count(), 2);
}

// Closing the window ends the run at once, also while the disk holds the engine's worker:
// the run does not wait for it past a moment, and what the worker was writing never gets
// a name.
TEST_F(RunTest, ClosingTheWindowDuringARunStopsItSilently) {
    makeLargeArchive(t + QStringLiteral("/src/big.zip"));
    makeArchive(t + QStringLiteral("/src/later.zip"), {"later.txt"});
    struct Case {
        const char* label;
        bool keepHeld;
    };
    const Case cases[] = {
        {"the worker comes back at once", false},
        {"the disk still holds the worker", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Form1& f = start();
        f.Check4->setChecked(true);
        selectSource(QStringLiteral("t:\\src"));
        chooseDestination(QStringLiteral("u:\\dest"));
        testsupport::TestClock clock;
        f.XceedZip1.setClock(clock.clock());
        testsupport::WorkerGate gate(
            [&] {
                f.close();
                if (c.keepHeld)
                    clock.advance(ArchiveEngine::kAbortGraceMs);
            },
            c.keepHeld);
        f.XceedZip1.setWorkerHook(gate.at(testsupport::firstProgressPastZero));
        f.Command1_Click();

        ASSERT_TRUE(gate.held());
        EXPECT_FALSE(f.isVisible());
        EXPECT_FALSE(f.isRunning());
        EXPECT_TRUE(dialogs->messages().empty()) << qPrintable(texts().join(u'|'));
        EXPECT_TRUE(filesUnder(u + QStringLiteral("/dest")).isEmpty()) << "no partial output";
        EXPECT_FALSE(QFile::exists(programHost(QStringLiteral("velmarch.log"))));
        EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/later.zip")));

        // Let go, the worker sees the abort and drops the entry; the engine's next call
        // waits for it.
        gate.open();
        f.XceedZip1.setWorkerHook({});
        f.XceedZip1.syncExtracted();
        EXPECT_TRUE(filesUnder(u + QStringLiteral("/dest")).isEmpty()) << "no partial output";
    }
}

// While the disk holds the run up, the status line says what it waits for, and afterwards
// what it said before.
TEST_F(RunTest, TheStatusLineSaysWhatTheRunWaitsForWhileTheDiskHoldsItUp) {
    struct Case {
        const char* label;
        bool syncing; // held in the step before the deletion, else in the middle of a write
        const char* waiting;
        const char* after;
    };
    const Case cases[] = {
        {"writing", false, "..::Waiting for the disk to catch up...::..", "..::Unziping Files::.."},
        {"syncing", true, "..::Waiting for the disk before removing the zip...::..",
         "Removing file..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        makeLargeArchive(t + QStringLiteral("/src/big.zip"));
        Form1& f = start();
        f.Check1->setChecked(c.syncing);
        testsupport::TestClock clock;
        f.XceedZip1.setClock(clock.clock());
        // Time passes while the worker is held; the window's next look at the clock sees it.
        testsupport::WorkerGate gate([&] { clock.advance(60'000); }, true);
        if (c.syncing)
            f.XceedZip1.setSyncStep(gate.syncStep(true));
        else
            f.XceedZip1.setWorkerHook(gate.at(testsupport::firstProgressPastZero));
        QStringList shown;
        QObject::connect(&f.XceedZip1, &ArchiveEngine::diskWait, &f,
                         [&](ArchiveEngine::DiskWait what) {
                             if (what == ArchiveEngine::DiskWait::None)
                                 return;
                             // Read once the window has handled the signal itself.
                             QMetaObject::invokeMethod(
                                 &f,
                                 [&] {
                                     shown << f.TxtStats->text();
                                     gate.open();
                                 },
                                 Qt::QueuedConnection);
                         });
        runInPlace(QStringLiteral("t:\\src"));

        EXPECT_EQ(shown, QStringList{QLatin1String(c.waiting)});
        EXPECT_EQ(f.TxtStats->text(), QLatin1String(c.after));
        EXPECT_EQ(logLines(), QStringList{QStringLiteral("big.zip Unziped Fine")});
        EXPECT_EQ(QFile::exists(t + QStringLiteral("/src/big.zip")), !c.syncing);
        QDir(t + QStringLiteral("/src")).removeRecursively();
    }
}

TEST_F(RunTest, AnAbortPressedBetweenRunsStopsNeitherRun) {
    makeArchive(t + QStringLiteral("/one/a.zip"), {"a1.txt"});
    Form1& f = start();
    f.Command2_Click();
    runInPlace(QStringLiteral("t:\\one"));
    EXPECT_EQ(logLines(), QStringList{QStringLiteral("a.zip Unziped Fine")});
}

TEST_F(RunTest, TwoRunsShareOneLogList) {
    makeArchive(t + QStringLiteral("/one/a.zip"), {"a1.txt"});
    makeArchive(t + QStringLiteral("/two/b.zip"), {"b1.txt"});
    Form1& f = start();
    f.Check4->setChecked(true);
    runInPlace(QStringLiteral("t:\\one"));
    const QByteArray first =
        "a.zip Unziped Fine\r\nRun ended: 1 extracted, 0 failed, 0 kept, 0 folders passed over\r\n";
    EXPECT_EQ(read(programHost(QStringLiteral("velmarch.log"))), first);

    runInPlace(QStringLiteral("t:\\two"));
    EXPECT_EQ(f.Todo->count(), 1) << "the archive list is the current run's";
    EXPECT_EQ(read(programHost(QStringLiteral("velmarch.log"))),
              first + "b.zip Unziped Fine\r\n"
                      "Run ended: 1 extracted, 0 failed, 0 kept, 0 folders passed over\r\n");
    EXPECT_EQ(texts(), (QStringList{kDone, kDone}));
    EXPECT_EQ(platform::toHostPath(f.savedLogFile()), programHost(QStringLiteral("velmarch.log")));
}

TEST_F(RunTest, ExtractingAgainIntoTheSameDestinationSkipsUpToDateFiles) {
    makeArchive(t + QStringLiteral("/src/a.zip"), {"a1.txt"});
    Form1& f = start();
    f.Check1->setChecked(false);
    selectSource(QStringLiteral("t:\\src"));
    chooseDestination(QStringLiteral("u:\\dest"));
    f.Command1_Click();
    f.Command1_Click();
    EXPECT_EQ(f.lastSkipMessage(),
              QStringLiteral("Not updating file 'a1.txt', it is already up to date."));
    EXPECT_EQ(logLines(), (QStringList{QStringLiteral("a.zip Unziped Fine"),
                                       QStringLiteral("a.zip Unziped Fine")}));
    EXPECT_EQ(filesUnder(u + QStringLiteral("/dest")), QStringList{QStringLiteral("a1.txt")});
}

TEST_F(RunTest, ALogFileThatCannotBeWrittenIsReportedAndTheRunStillEnds) {
    makeArchive(t + QStringLiteral("/src/a.zip"), {"a1.txt"});
    Form1& f = start();
    f.Check4->setChecked(true);
    // The program's folder is gone by the time the log is written.
    QObject::connect(&f.XceedZip1, &ArchiveEngine::finished, &f,
                     [&] { QDir(drives.programHostDirectory()).removeRecursively(); });
    runInPlace(QStringLiteral("t:\\src"));

    const QStringList shown = texts();
    ASSERT_EQ(shown.size(), 2);
    EXPECT_TRUE(shown.front().contains(QStringLiteral("velmarch.log")))
        << qPrintable(shown.front());
    EXPECT_TRUE(shown.front().contains(QStringLiteral("write the log file")));
    EXPECT_EQ(dialogs->messages().front().icon, testsupport::ScriptedDialogs::Icon::Critical);
    EXPECT_EQ(shown.back(), kDone);
    EXPECT_TRUE(f.savedLogFile().isEmpty());
    EXPECT_TRUE(f.F1->isVisible());
}

TEST_F(RunTest, ARunWaitsWhileAnotherCopyHoldsTheListFileAndSaysSo) {
    makeTree();
    QLockFile otherCopy(programHost(QStringLiteral("unzip.tmp.lock")));
    ASSERT_TRUE(otherCopy.tryLock(0));
    Form1& f = start();
    f.Check1->setChecked(false);
    QString whileWaiting;
    QTimer::singleShot(300, &f, [&] {
        whileWaiting = f.TxtStats->text();
        otherCopy.unlock();
    });
    runInPlace(QStringLiteral("t:\\src"));

    EXPECT_EQ(whileWaiting,
              QStringLiteral("..::Waiting for another Velmarch run to read its list...::.."));
    EXPECT_EQ(texts(), QStringList{kDone});
    EXPECT_EQ(logLines().size(), 3);
    EXPECT_FALSE(QFile::exists(programHost(QStringLiteral("unzip.tmp.lock"))))
        << "the lock goes once the list is read";
}

} // namespace
