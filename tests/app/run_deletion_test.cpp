// The run's deletion step through the real window: only the archive that was extracted, only
// inside the source tree, never through a link.

#include "form1_fixture.h"

#include <QLabel>

#include <functional>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t modeOf(const QString& hostPath) {
    struct stat st {};
    EXPECT_EQ(::lstat(QFile::encodeName(hostPath).constData(), &st), 0) << qPrintable(hostPath);
    return st.st_mode & 07777;
}

QStringList namesIn(const QString& hostDir) {
    return QDir(hostDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                   QDir::NoDotAndDotDot);
}

class RunDeletionTest : public Form1Fixture {
protected:
    // Deletion on, each archive extracted in place.
    void runDeleting(const QString& source) {
        form->Check1->setChecked(true);
        selectSource(source);
        form->txtDesc->setText(QStringLiteral("unused"));
        form->Command1_Click();
    }

    // Runs `action` once, when the engine starts on the first entry of the archive
    // `archiveName`.
    void duringExtractionOf(const QString& archiveName, std::function<void()> action) {
        auto done = std::make_shared<bool>(false);
        QObject::connect(&form->XceedZip1, &ArchiveEngine::entryStarted, form.get(),
                         [this, archiveName, action, done](const QString&) {
                             if (*done || !form->XceedZip1.ZipFileName.endsWith(archiveName))
                                 return;
                             *done = true;
                             action();
                         });
    }

    QString status() const { return form->TxtStats->text(); }
};

// A name with a line break once put "t:\victim\report.docx" on a line of its own in the list
// file; the run then extracted that file and deleted it. No such name may reach the list.
TEST_F(RunDeletionTest, NamesADosPathCannotHoldNeverReachTheListOrTheRun) {
    struct Case {
        const char* what;
        QChar character;
    };
    const std::vector<Case> cases = {
        {"line feed", u'\n'},  {"carriage return", u'\r'}, {"tab", u'\t'},
        {"0x01", QChar(0x01)}, {"0x1F", QChar(0x1F)},      {"delete", QChar(0x7F)},
    };
    start();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        const QString source = QStringLiteral("src%1").arg(i);
        const QString victimDir = QStringLiteral("victim%1").arg(i);
        const QString victim = t + u'/' + victimDir + QStringLiteral("/report.docx");
        makeArchive(victim, {"v.txt"});
        const QByteArray victimBytes = read(victim);
        // The folder "a<c>t:" holding victimN\, and in it "report.docx<c>z.zip".
        const QString trap = t + u'/' + source + QStringLiteral("/a") + c.character +
                             QStringLiteral("t:/") + victimDir;
        makeArchive(trap + QStringLiteral("/report.docx") + c.character + QStringLiteral("z.zip"),
                    {"trap.txt"});
        makeArchive(t + u'/' + source + QStringLiteral("/x") + c.character + QStringLiteral(".zip"),
                    {"x.txt"});
        makeArchive(t + u'/' + source + QStringLiteral("/good.zip"), {"good.txt"});

        runDeleting(QStringLiteral("t:\\") + source);

        EXPECT_EQ(read(programHost(QStringLiteral("unzip.tmp"))).toStdString(),
                  "t:\\" + source.toStdString() + "\\good.zip\r\n");
        EXPECT_TRUE(read(victim) == victimBytes) << "the outside file is untouched";
        EXPECT_EQ(namesIn(QFileInfo(victim).path()).join(u'|').toStdString(), "report.docx")
            << "nothing extracted outside the tree";
        EXPECT_EQ(logLines().back().toStdString(), "good.zip Unziped Fine");
        EXPECT_FALSE(QFile::exists(t + u'/' + source + QStringLiteral("/good.zip")));
    }
}

// The name now holds a file the engine never read: it stays, and the status line says why.
TEST_F(RunDeletionTest, AnArchiveRenamedOverDuringItsExtractionIsKept) {
    const QString archive = t + QStringLiteral("/src/x.zip");
    makeArchive(archive, {"x1.txt", "x2.txt"});
    start();
    duringExtractionOf(QStringLiteral("x.zip"), [&] {
        const QString replacement = t + QStringLiteral("/src/incoming");
        testsupport::writeFile(replacement, "never extracted");
        ASSERT_EQ(::rename(QFile::encodeName(replacement).constData(),
                           QFile::encodeName(archive).constData()),
                  0);
    });
    runDeleting(QStringLiteral("t:\\src"));

    EXPECT_EQ(logLines(), QStringList{QStringLiteral("x.zip Unziped Fine")});
    EXPECT_EQ(read(archive).toStdString(), "never extracted");
    EXPECT_EQ(status().toStdString(), "Could not remove x.zip: it changed during extraction");
}

TEST_F(RunDeletionTest, AFolderSwappedForALinkDuringTheRunKeepsTheArchiveItLeadsTo) {
    makeArchive(t + QStringLiteral("/src/a.zip"), {"a1.txt"});
    makeArchive(t + QStringLiteral("/src/sub/b.zip"), {"b1.txt"});
    const QString outside = t + QStringLiteral("/outside/b.zip");
    makeArchive(outside, {"o1.txt"});
    start();
    form->Check1->setChecked(true);
    selectSource(QStringLiteral("t:\\src"));
    chooseDestination(QStringLiteral("u:\\dest"));
    duringExtractionOf(QStringLiteral("a.zip"), [&] {
        ASSERT_TRUE(QDir(t).rename(QStringLiteral("src/sub"), QStringLiteral("src/sub.old")));
        ASSERT_TRUE(QFile::link(t + QStringLiteral("/outside"), t + QStringLiteral("/src/sub")));
    });
    form->Command1_Click();

    EXPECT_EQ(logLines(), (QStringList{QStringLiteral("a.zip Unziped Fine"),
                                       QStringLiteral("b.zip Unziped Fine")}));
    EXPECT_TRUE(QFile::exists(outside));
    EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/sub.old/b.zip")));
    EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/a.zip")));
    EXPECT_EQ(status().toStdString(), "Could not remove b.zip: a folder on its path is a link");
}

// Clearing the read-only attribute of a link once made its target writable.
TEST_F(RunDeletionTest, ALinkToAnArchiveOutsideTheTreeLeavesThatArchiveAlone) {
    const QString outside = t + QStringLiteral("/outside/w.zip");
    makeArchive(outside, {"w1.txt"});
    ASSERT_EQ(::chmod(QFile::encodeName(outside).constData(), 0444), 0);
    QDir(t).mkpath(QStringLiteral("src"));
    ASSERT_TRUE(QFile::link(outside, t + QStringLiteral("/src/w.zip")));
    start();
    runDeleting(QStringLiteral("t:\\src"));

    EXPECT_EQ(logLines(), QStringList{QStringLiteral("w.zip Unziped Fine")});
    EXPECT_EQ(modeOf(outside), mode_t(0444));
    EXPECT_TRUE(QFile::exists(outside));
    EXPECT_TRUE(QFileInfo(t + QStringLiteral("/src/w.zip")).isSymLink());
    EXPECT_EQ(status().toStdString(), "Could not remove w.zip: it is a link");
}

// An archive goes only once what came out of it is on the disk: when the disk cannot
// confirm that, or the user stops the run while the disk still holds the step up, it stays.
TEST_F(RunDeletionTest, AnArchiveWhoseContentIsNotConfirmedOnTheDiskIsKept) {
    struct Case {
        const char* label;
        bool abortWhileHeld; // else the disk reports a failure
        const char* reason;
        bool runGoesOn;
    };
    const Case cases[] = {
        {"the disk reports a failure", false, "what was extracted could not be written to the disk",
         true},
        {"Abort while the disk holds the step up", true,
         "stopped before what was extracted was on the disk", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        makeArchive(t + QStringLiteral("/src/a.zip"), {"a1.txt"});
        makeArchive(t + QStringLiteral("/src/b.zip"), {"b1.txt"});
        start();
        testsupport::TestClock clock;
        form->XceedZip1.setClock(clock.clock());
        testsupport::WorkerGate gate(
            [&] {
                form->Command2->click();
                clock.advance(ArchiveEngine::kAbortGraceMs);
            },
            true);
        if (c.abortWhileHeld)
            form->XceedZip1.setSyncStep(gate.syncStep(true));
        else
            form->XceedZip1.setSyncStep([] { return false; });
        runDeleting(QStringLiteral("t:\\src"));
        // Let go, the step left behind ends; the engine's next call waits for it.
        gate.open();
        form->XceedZip1.setSyncStep({});
        form->XceedZip1.syncExtracted();

        EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/a.zip")));
        EXPECT_EQ(read(t + QStringLiteral("/src/a1.txt")), "content of a1.txt");
        EXPECT_EQ(fullLog().mid(0, 2),
                  (QStringList{QStringLiteral("a.zip Unziped Fine"),
                               QStringLiteral("    kept a.zip: ") + QLatin1String(c.reason)}));
        EXPECT_EQ(QFile::exists(t + QStringLiteral("/src/b1.txt")), c.runGoesOn);
        QDir(t + QStringLiteral("/src")).removeRecursively();
    }
}

} // namespace
