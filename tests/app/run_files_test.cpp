// The run's search and its own files: folders the search passed over, a source folder it
// cannot read, the lock on the list file, and the list file and log beside extracted files.

#include "form1_fixture.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLockFile>

#include <functional>
#include <ostream>

#include <sys/xattr.h>

// Readable failure messages for texts and lists of texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

const QString kDone = QStringLiteral("Done!");
const QString kNoZips = QStringLiteral("Pick a dir that has zips!");
const QString kWaiting =
    QStringLiteral("..::Waiting for another Velmarch run to read its list...::..");

class RunFilesTest : public Form1Fixture {
protected:
    // t:\src\a.zip and t:\src\sub\b.zip
    void makeTree() {
        makeArchive(t + QStringLiteral("/src/a.zip"), {"a1.txt"});
        makeArchive(t + QStringLiteral("/src/sub/b.zip"), {"b1.txt"});
    }

    // A fresh window running t:\src, each archive into its own directory and kept;
    // `beforeRun` acts on the window just before "Unzip" is pressed.
    Form1& runTree(bool saveLog = false, const std::function<void(Form1&)>& beforeRun = {}) {
        Form1& f = start();
        f.Check1->setChecked(false);
        f.Check4->setChecked(saveLog);
        selectSource(QStringLiteral("t:\\src"));
        f.txtDesc->setText(QStringLiteral("unused"));
        if (beforeRun)
            beforeRun(f);
        // A run that waited for the list unasked would wait for ever: its first yield stops
        // the wait, and the test fails on what the run did instead.
        QMetaObject::invokeMethod(
            &f,
            [&f] {
                if (f.TxtStats->text() == kWaiting)
                    f.Command2->click();
            },
            Qt::QueuedConnection);
        f.Command1_Click();
        return f;
    }

    // Every line of the log list, as the saved log holds them.
    QStringList listLines() const {
        QStringList lines;
        for (int i = 0; i < form->List1->count(); ++i)
            lines << form->List1->item(i)->text();
        return lines;
    }
    // The log's result lines, one an archive, without what explains them.
    QStringList resultLines() const {
        QStringList lines;
        for (const QString& line : listLines())
            if (line.endsWith(QLatin1String(" Unziped Fine")) ||
                line.endsWith(QLatin1String(" Could not unzip :(")))
                lines.append(line);
        return lines;
    }
    // The saved log holds the log list's lines.
    QByteArray savedLines() const {
        return (listLines().join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
    }

    const QStringList kTreeDone{QStringLiteral("a.zip Unziped Fine"),
                                QStringLiteral("b.zip Unziped Fine")};
};

TEST_F(RunFilesTest, FoldersTheSearchPassedOverAreNamedInTheLogAndTheSavedLog) {
    makeTree();
    makeArchive(t + QStringLiteral("/src/ro/c.zip"), {"c1.txt"});
    makeArchive(t + QStringLiteral("/src/.cache/d.zip"), {"d1.txt"});
    ASSERT_TRUE(
        QFile::setPermissions(t + QStringLiteral("/src/ro"), QFile::ReadOwner | QFile::ExeOwner));
    runTree(true);

    const QStringList passedOver{QStringLiteral("Not searched: t:\\src\\.cache (hidden)"),
                                 QStringLiteral("Not searched: t:\\src\\ro (read-only)")};
    EXPECT_EQ(listLines().mid(0, passedOver.size()), passedOver);
    EXPECT_EQ(resultLines(), kTreeDone);
    EXPECT_EQ(read(programHost(QStringLiteral("velmarch.log"))), savedLines());
    EXPECT_EQ(texts(), QStringList{kDone});
    QFile::setPermissions(t + QStringLiteral("/src/ro"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(RunFilesTest, ASourceFolderThatCannotBeReadIsNamedAndNothingElseIsSearched) {
    // Refused by the search, the source would give way to the program's own folder.
    makeArchive(programHost(QStringLiteral("other.zip")), {"other.txt"});
    struct Case {
        const char* name;
        bool atTheLastYield; // else before the run
    };
    for (const Case& c : {Case{"gone before the run", false},
                          Case{"gone at the last yield before the search", true}}) {
        SCOPED_TRACE(c.name);
        makeTree();
        runTree(false, [&](Form1& f) {
            const auto remove = [this] { QDir(t + QStringLiteral("/src")).removeRecursively(); };
            if (c.atTheLastYield)
                QMetaObject::invokeMethod(&f, remove, Qt::QueuedConnection);
            else
                remove();
        });

        EXPECT_EQ(texts(), QStringList{kNoZips});
        EXPECT_EQ(listLines(), QStringList{QStringLiteral(
                                   "Could not read the source folder t:\\src\\: Path not found")});
        EXPECT_TRUE(QFile::exists(programHost(QStringLiteral("other.zip"))));
        EXPECT_FALSE(QFile::exists(programHost(QStringLiteral("other.txt"))));
    }
}

TEST_F(RunFilesTest, ALockLeftByARunThatDiedIsClearedAndTheRunGoesOn) {
    const QString lock = programHost(QStringLiteral("unzip.tmp.lock"));
    const QString elsewhere = t + QStringLiteral("/elsewhere.txt");
    testsupport::writeFile(elsewhere, "not a lock");
    struct Case {
        const char* name;
        std::function<bool()> leave;
    };
    const Case cases[] = {
        {"an empty file", [&] { return QFile(lock).open(QIODevice::WriteOnly); }},
        // The file of a holder that was alive: nothing keeps it locked any more.
        {"a file that cannot be read",
         [&] {
             testsupport::writeFile(lock, QByteArray::number(QCoreApplication::applicationPid()) +
                                              "\nvelmarch\nhost\n");
             return QFile::setPermissions(lock, {});
         }},
        {"an empty folder", [&] { return QDir().mkdir(lock); }},
        {"a link to a file", [&] { return QFile::link(elsewhere, lock); }},
        {"a dangling link", [&] { return QFile::link(t + QStringLiteral("/nothing-here"), lock); }},
    };
    makeTree();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.leave());
        runTree();

        EXPECT_EQ(texts(), QStringList{kDone});
        EXPECT_EQ(resultLines(), kTreeDone);
        EXPECT_FALSE(QFileInfo::exists(lock) || QFileInfo(lock).isSymLink());
        EXPECT_EQ(read(elsewhere), "not a lock");
    }
}

TEST_F(RunFilesTest, ALockThatCannotBeTakenEndsTheRunWithAMessage) {
    const QString inside = programHost(QStringLiteral("unzip.tmp.lock/keep.txt"));
    const struct {
        const char* name;
        std::function<void()> leave;
        QString says;
    } cases[] = {
        {"a program folder that is gone",
         [&] { QDir(drives.programHostDirectory()).removeRecursively(); },
         QStringLiteral("could not make the lock ") + drives.programDirectory() +
             QStringLiteral("unzip.tmp.lock: Path/File access error")},
        {"a folder with something in it", [&] { testsupport::writeFile(inside, "kept"); },
         QStringLiteral("could not clear the lock ") + drives.programDirectory() +
             QStringLiteral("unzip.tmp.lock: it is a folder that is not empty")},
    };
    makeTree();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.leave();
        Form1& f = runTree();

        ASSERT_EQ(dialogs->messages().size(), 1u);
        EXPECT_TRUE(dialogs->messages().front().text.endsWith(c.says))
            << qPrintable(dialogs->messages().front().text);
        EXPECT_EQ(dialogs->messages().front().icon, testsupport::ScriptedDialogs::Icon::Critical);
        EXPECT_TRUE(listLines().isEmpty());
        EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/a1.txt")));
        EXPECT_TRUE(f.F1->isVisible());
    }
    EXPECT_EQ(read(inside), "kept");
}

TEST_F(RunFilesTest, TheWaitForAnotherRunEndsWhenTheUserSaysSo) {
    struct Case {
        const char* name;
        std::function<void(Form1&)> act;
        bool closes;
    };
    const Case cases[] = {
        {"closing the window", [](Form1& f) { f.close(); }, true},
        {"Abort", [](Form1& f) { f.Command2->click(); }, false},
    };
    makeTree();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QLockFile otherCopy(programHost(QStringLiteral("unzip.tmp.lock")));
        ASSERT_TRUE(otherCopy.tryLock(0));
        // The wait's first yield is the run's first.
        QString whileWaiting;
        bool abortShown = false;
        Form1& f = runTree(false, [&](Form1& form) {
            QMetaObject::invokeMethod(
                &form,
                [&] {
                    whileWaiting = form.TxtStats->text();
                    abortShown = form.Command2->isVisible();
                    c.act(form);
                },
                Qt::QueuedConnection);
        });

        EXPECT_EQ(whileWaiting, kWaiting);
        EXPECT_TRUE(abortShown);
        EXPECT_TRUE(dialogs->messages().empty());
        EXPECT_FALSE(QFile::exists(programHost(QStringLiteral("unzip.tmp")))) << "not searched";
        EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/a1.txt")));
        EXPECT_TRUE(QFile::exists(otherCopy.fileName())) << "the other copy's lock is its own";
        otherCopy.unlock();
        if (c.closes) {
            EXPECT_FALSE(f.isVisible());
            continue;
        }
        const QString stopped =
            QStringLiteral("Stopped waiting for another Velmarch run: nothing was searched");
        EXPECT_EQ(listLines(), QStringList{stopped});
        EXPECT_TRUE(f.F1->isVisible());
        // The abort that ended the wait does not stop the next run's first archive.
        f.Command1_Click();
        EXPECT_EQ(listLines().first(), stopped);
        EXPECT_EQ(resultLines(), kTreeDone);
    }
}

TEST_F(RunFilesTest, ALogAndListARunExtractedAreKeptAndTheProgramsGoBesideThem) {
    makeArchive(t + QStringLiteral("/src/a.zip"), {"velmarch.log", "unzip.tmp"});
    Form1& f = start();
    f.Check4->setChecked(true);
    selectSource(QStringLiteral("t:\\src"));
    chooseDestination(drives.programDirectory());
    f.Command1_Click();

    const QString z = drives.programDirectory();
    const QString moved = QStringLiteral("Log saved as ") + z +
                          QStringLiteral("velmarch (2).log: ") + z +
                          QStringLiteral("velmarch.log is not Velmarch's own log");
    EXPECT_FALSE(QFile::exists(t + QStringLiteral("/src/a.zip")));
    EXPECT_EQ(read(programHost(QStringLiteral("velmarch.log"))), "content of velmarch.log");
    EXPECT_EQ(read(programHost(QStringLiteral("unzip (2).tmp"))), "content of unzip.tmp");
    EXPECT_EQ(listLines().first(), QStringLiteral("a.zip Unziped Fine"));
    EXPECT_EQ(listLines().last(), moved);
    EXPECT_EQ(read(programHost(QStringLiteral("velmarch (2).log"))), savedLines());
    EXPECT_EQ(f.savedLogFile(), z + QStringLiteral("velmarch (2).log"));

    // The next run writes over the program's own list and log, and nothing else.
    makeArchive(t + QStringLiteral("/src/b.zip"), {"b.txt"});
    f.Command1_Click();
    EXPECT_EQ(read(programHost(QStringLiteral("velmarch.log"))), "content of velmarch.log");
    EXPECT_EQ(read(programHost(QStringLiteral("unzip (2).tmp"))), "content of unzip.tmp");
    EXPECT_EQ(read(programHost(QStringLiteral("unzip.tmp"))), "t:\\src\\b.zip\r\n");
    EXPECT_FALSE(QFile::exists(programHost(QStringLiteral("velmarch (3).log"))));
    EXPECT_TRUE(listLines().contains(QStringLiteral("b.zip Unziped Fine")));
    EXPECT_EQ(listLines().count(moved), 2);
    EXPECT_EQ(read(programHost(QStringLiteral("velmarch (2).log"))), savedLines());
}

TEST_F(RunFilesTest, WhatHoldsTheListFilesNameIsLeftAloneUnlessTheProgramMadeIt) {
    const QString list = programHost(QStringLiteral("unzip.tmp"));
    const QString elsewhere = t + QStringLiteral("/elsewhere.txt");
    const struct {
        const char* name;
        std::function<bool()> leave;
        std::function<bool()> kept;
    } cases[] = {
        {"a file",
         [&] {
             testsupport::writeFile(list, "t:\\src\\other.zip\r\n");
             return true;
         },
         [&] { return read(list) == "t:\\src\\other.zip\r\n"; }},
        {"a folder", [&] { return QDir().mkdir(list); }, [&] { return QFileInfo(list).isDir(); }},
        {"a link to a file",
         [&] {
             testsupport::writeFile(elsewhere, "elsewhere");
             return QFile::link(elsewhere, list);
         },
         [&] { return QFileInfo(list).isSymLink() && read(elsewhere) == "elsewhere"; }},
    };
    makeTree();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.leave());
        runTree();

        EXPECT_EQ(resultLines(), kTreeDone);
        EXPECT_TRUE(c.kept());
        EXPECT_EQ(read(programHost(QStringLiteral("unzip (2).tmp"))),
                  "t:\\src\\a.zip\r\nt:\\src\\sub\\b.zip\r\n");
        QFile::remove(list);
        QDir().rmdir(list);
    }
}

TEST_F(RunFilesTest, TheListAndLogOfAnEarlierStartAreStillTheProgramsOwn) {
    const QByteArray dir = QFile::encodeName(drives.programHostDirectory());
    if (::setxattr(dir.constData(), "user.velmarch.test", "", 0, 0) != 0)
        GTEST_SKIP() << "the file system keeps no marks on files";
    makeTree();
    for (const char* run : {"first start", "second start"}) {
        SCOPED_TRACE(run);
        runTree(true);
        EXPECT_EQ(resultLines(), kTreeDone);
        EXPECT_EQ(read(programHost(QStringLiteral("velmarch.log"))), savedLines());
    }
    EXPECT_FALSE(QFile::exists(programHost(QStringLiteral("velmarch (2).log"))));
    EXPECT_FALSE(QFile::exists(programHost(QStringLiteral("unzip (2).tmp"))));
}

} // namespace
