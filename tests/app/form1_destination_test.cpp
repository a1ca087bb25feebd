// The destination as the user types it: host paths taken as the DOS path that reaches them
// or refused with the reason, and a folder the run offers to create that cannot be made.

#include "form1_fixture.h"

#include <QTest>

#include <vector>

namespace {

const QString kDone = QStringLiteral("Done!");
const QString kCreate = QStringLiteral("Velmarch can not find that directory!  Create It?");

class DestinationTest : public Form1Fixture {
protected:
    // One archive under t:\src, into the destination `typed` in txtDesc with the guard on.
    void runInto(const QString& typed, std::initializer_list<int> answers = {}) {
        makeArchive(t + QStringLiteral("/src/a.zip"), {"a1.txt"});
        start();
        selectSource(QStringLiteral("t:\\src"));
        chooseDestination(QStringLiteral("u:\\dest"));
        form->txtDesc->setText(typed);
        form->Check2->setChecked(true);
        form->TxtSel->setText(QStringLiteral("10"));
        dialogs->clear();
        for (int answer : answers)
            dialogs->queueAnswer(answer);
        form->Command1_Click();
    }

    QString backslashRefusal() const {
        return QStringLiteral("Velmarch can not use ") + u +
               QStringLiteral("/a\\b: the name \"a\\b\" holds a \"\\\", which a DOS path can not "
                              "carry");
    }
};

TEST_F(DestinationTest, AHostPathTypedAsTheDestinationIsShownAsItsDosPath) {
    struct Case {
        QString typed;
        QString shown;
        QString message;
    };
    const std::vector<Case> cases = {
        {u + "/dest", "u:\\dest", {}},
        {u + "/new/deeper/", "u:\\new\\deeper", {}},
        {"u:\\dest", "u:\\dest", {}},
        {"//server/share/dir", "//server/share/dir", {}},
        {u + "/a\\b", u + "/a\\b", backslashRefusal()},
        {"/velmarch-nowhere", "/velmarch-nowhere",
         "Velmarch can not use /velmarch-nowhere: no drive reaches it"},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        dialogs->clear();
        form->txtDesc->setText(c.typed);
        QTest::keyClick(form->txtDesc, Qt::Key_Return);
        EXPECT_EQ(form->txtDesc->text(), c.shown);
        EXPECT_EQ(texts(), c.message.isEmpty() ? QStringList() : QStringList{c.message});
    }
}

TEST_F(DestinationTest, AHostPathDestinationIsExtractedIntoWithoutALowSpaceWarning) {
    // Its first character, "/", names no drive: the guard must not read it as one.
    runInto(u + QStringLiteral("/out"), {platform::vbYes});

    EXPECT_EQ(texts(), (QStringList{kCreate, kDone}));
    EXPECT_EQ(form->txtDesc->text(), QStringLiteral("u:\\out"));
    EXPECT_EQ(read(u + QStringLiteral("/out/a1.txt")), "content of a1.txt");
    EXPECT_EQ(logLines(), QStringList{QStringLiteral("a.zip Unziped Fine")});
}

TEST_F(DestinationTest, AHostPathNoDosPathReachesStopsTheRunBeforeItsFirstArchive) {
    runInto(u + QStringLiteral("/a\\b"));

    ASSERT_EQ(texts(), (QStringList{backslashRefusal(), kDone}));
    EXPECT_EQ(dialogs->messages().front().icon, testsupport::ScriptedDialogs::Icon::Critical);
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_EQ(form->txtDesc->text(), u + QStringLiteral("/a\\b"));
    EXPECT_FALSE(QFileInfo::exists(u + QStringLiteral("/a\\b")));
    EXPECT_TRUE(QFile::exists(t + QStringLiteral("/src/a.zip")));
    EXPECT_EQ(AbortFlag, -1);
}

TEST_F(DestinationTest, CreateItAnsweredYesThatCannotMakeTheFolderSaysWhy) {
    testsupport::writeFile(u + QStringLiteral("/file"), "in the way");
    runInto(QStringLiteral("u:\\file\\sub\\"), {platform::vbYes});

    ASSERT_EQ(texts(),
              (QStringList{kCreate,
                           QStringLiteral("Velmarch could not create the folder "
                                          "u:\\file\\sub: Path not found (Not a directory)"),
                           kDone}));
    EXPECT_EQ(dialogs->messages().at(1).icon, testsupport::ScriptedDialogs::Icon::Critical);
    EXPECT_EQ(logLines(), QStringList{QStringLiteral("a.zip Could not unzip :(")});
    EXPECT_EQ(read(u + QStringLiteral("/file")), "in the way");
}

} // namespace
