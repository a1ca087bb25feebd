#include "windows/frm_dir.h"

#include "common/module1.h"
#include "platform/controls.h"
#include "tests/support/qt_app.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/test_drives.h"
#include "windows/twips_layout.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

class FrmDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ensureApplication();
        t = drives.addDrive('t');
        drives.addDrive('u');
        drives.addDrive('n', platform::DriveRemovable, {}, false);
        QDir(t).mkpath(QStringLiteral("zips/old"));
        drives.install(QStringLiteral("t:\\zips"));
        ChosenDir.clear();
        AbortFlag = 0;
    }
    void TearDown() override {
        ChosenDir.clear();
        AbortFlag = 0;
    }

    testsupport::TestDrives drives;
    testsupport::ScopedDialogs dialogs;
    QString t;
};

TEST_F(FrmDirTest, OpensOnTheCurrentDirectory) {
    FrmDir chooser;
    EXPECT_EQ(chooser.windowTitle(), QStringLiteral("Select a directory?"));
    EXPECT_EQ(chooser.FileDir1->path(), QStringLiteral("t:\\zips"));
    EXPECT_EQ(chooser.txtPath->text(), QStringLiteral("t:\\zips"));
    EXPECT_TRUE(chooser.Drive1->drive().startsWith(QStringLiteral("t:")));
}

TEST_F(FrmDirTest, ApplyHandsBackThePathEndingInABackslash) {
    struct Case {
        const char* typed;
        const char* chosen;
    };
    const Case cases[] = {
        {"c:\\zips", "c:\\zips\\"},
        {"c:\\zips\\", "c:\\zips\\"},
        {"", "\\"},
        {"//server/share/dir", "//server/share/dir\\"},
    };
    for (const Case& c : cases) {
        FrmDir chooser;
        chooser.show();
        chooser.txtPath->setText(QString::fromUtf8(c.typed));
        QTest::mouseClick(chooser.Command1, Qt::LeftButton);
        EXPECT_EQ(ChosenDir, QString::fromUtf8(c.chosen)) << c.typed;
        EXPECT_FALSE(chooser.isVisible());
        EXPECT_EQ(AbortFlag, 0);
    }
}

TEST_F(FrmDirTest, AHostPathTypedInThePathBoxIsAppliedAsItsDosPath) {
    struct Case {
        QString typed;
        const char* shown;
    };
    const std::vector<Case> cases = {
        {t + "/zips/old", "t:\\zips\\old"},
        {t + "/zips/not/yet/made/", "t:\\zips\\not\\yet\\made"},
        {drives.hostRoot('u'), "u:\\"},
    };
    for (const Case& c : cases) {
        FrmDir chooser;
        chooser.show();
        chooser.txtPath->setText(c.typed);
        QTest::mouseClick(chooser.Command1, Qt::LeftButton);
        const QString shown = QString::fromUtf8(c.shown);
        EXPECT_EQ(chooser.txtPath->text(), shown) << c.typed.toStdString();
        EXPECT_EQ(ChosenDir, shown.endsWith(u'\\') ? shown : shown + u'\\');
        EXPECT_FALSE(chooser.isVisible());
    }
    EXPECT_TRUE(dialogs->messages().empty());
}

TEST_F(FrmDirTest, AHostPathNoDosPathReachesIsRefusedAndTheWindowStays) {
    ChosenDir = QStringLiteral("t:\\before\\");
    struct Case {
        QString typed;
        QString message;
    };
    const std::vector<Case> cases = {
        {"/velmarch-nowhere/out",
         "Velmarch can not use /velmarch-nowhere/out: no drive reaches it"},
        {t + "/a\\b",
         "Velmarch can not use " + t +
             "/a\\b: the name \"a\\b\" holds a \"\\\", which a DOS path can not carry"},
    };
    for (const Case& c : cases) {
        dialogs->clear();
        FrmDir chooser;
        chooser.show();
        chooser.txtPath->setText(c.typed);
        QTest::keyClick(chooser.txtPath, Qt::Key_Return);
        ASSERT_EQ(dialogs->messages().size(), 1u) << c.typed.toStdString();
        const auto& message = dialogs->messages().front();
        EXPECT_EQ(message.text, c.message);
        EXPECT_EQ(message.title, QStringLiteral("Velmarch"));
        EXPECT_EQ(message.icon, testsupport::ScriptedDialogs::Icon::Critical);
        EXPECT_TRUE(chooser.isVisible()) << "the path can be put right";
        EXPECT_EQ(chooser.txtPath->text(), c.typed);
        EXPECT_EQ(ChosenDir, QStringLiteral("t:\\before\\"));
    }
}

TEST_F(FrmDirTest, AbortRaisesTheFlagAndKeepsTheLastChoice) {
    ChosenDir = QStringLiteral("t:\\before\\");
    FrmDir chooser;
    chooser.show();
    chooser.txtPath->setText(QStringLiteral("t:\\other"));
    QTest::mouseClick(chooser.Command2, Qt::LeftButton);
    EXPECT_EQ(AbortFlag, -1);
    EXPECT_EQ(ChosenDir, QStringLiteral("t:\\before\\"));
    EXPECT_FALSE(chooser.isVisible());
}

TEST_F(FrmDirTest, TheCloseBoxSetsNeither) {
    ChosenDir = QStringLiteral("t:\\before\\");
    FrmDir chooser;
    chooser.show();
    chooser.txtPath->setText(QStringLiteral("t:\\other"));
    chooser.close();
    EXPECT_EQ(AbortFlag, 0);
    EXPECT_EQ(ChosenDir, QStringLiteral("t:\\before\\"));
}

TEST_F(FrmDirTest, ChoosingADriveShowsItsDirectoryAtOnce) {
    FrmDir chooser;
    chooser.Drive1->setDrive(QStringLiteral("u"));
    EXPECT_EQ(chooser.FileDir1->path(), QStringLiteral("u:\\"));
    EXPECT_EQ(chooser.txtPath->text(), QStringLiteral("u:\\"));
    EXPECT_TRUE(dialogs->messages().empty());
}

TEST_F(FrmDirTest, ADriveWithoutMediumIsReportedAndTheListStays) {
    FrmDir chooser;
    chooser.Drive1->setDrive(QStringLiteral("n"));
    ASSERT_EQ(dialogs->messages().size(), 1u);
    const auto& message = dialogs->messages().front();
    EXPECT_EQ(message.text, QStringLiteral("Drive not ready! insert Disk/CD in drive"));
    EXPECT_EQ(message.title, QStringLiteral("Velmarch"));
    EXPECT_EQ(message.icon, testsupport::ScriptedDialogs::Icon::None);
    EXPECT_FALSE(message.yesNo);
    EXPECT_EQ(chooser.FileDir1->path(), QStringLiteral("t:\\zips"));
    EXPECT_EQ(chooser.txtPath->text(), QStringLiteral("t:\\zips"));
}

TEST_F(FrmDirTest, ThePathBoxCatchesUpOnTheNextPressOnTheList) {
    FrmDir chooser;
    chooser.show();
    // Opening a directory (as a double click does) leaves the path box alone...
    ASSERT_FALSE(chooser.FileDir1->setPath(QStringLiteral("t:\\zips\\old")));
    EXPECT_EQ(chooser.txtPath->text(), QStringLiteral("t:\\zips"));
    // ...and the next press shows the directory the list shows, not the entry pressed.
    QTest::mousePress(chooser.FileDir1->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(chooser.txtPath->text(), QStringLiteral("t:\\zips\\old"));
}

TEST_F(FrmDirTest, ResizeRuleInTwips) {
    FrmDir chooser;
    chooser.layoutFor(8160, 2355);
    // S = 288 + 252 + 255 + 400 = 1195.
    EXPECT_EQ(layout::twipsBox(chooser.FileDir1), QRect(0, 360, 7910, 1160));
    EXPECT_EQ(layout::twipsBox(chooser.Label1), QRect(0, 1520, 5052, 252));
    EXPECT_EQ(layout::twipsBox(chooser.txtPath), QRect(0, 1772, 5660, 288));
    EXPECT_EQ(layout::twipsBox(chooser.Command1), QRect(5760, 1772, 972, 255));
    EXPECT_EQ(layout::twipsBox(chooser.Command2), QRect(6860, 1772, 972, 255));
    EXPECT_EQ(layout::twipsBox(chooser.Drive1), QRect(0, 0, 7395, 315));
}

TEST_F(FrmDirTest, GrowingTheWindowMovesThePartsByTheSameAmount) {
    FrmDir chooser;
    auto boxes = [&] {
        return std::array<QRect, 5>{
            layout::twipsBox(chooser.FileDir1), layout::twipsBox(chooser.Label1),
            layout::twipsBox(chooser.txtPath), layout::twipsBox(chooser.Command1),
            layout::twipsBox(chooser.Command2)};
    };
    chooser.layoutFor(8160, 2355);
    const auto before = boxes();

    chooser.layoutFor(8160, 3355);
    auto after = boxes();
    EXPECT_EQ(after[0], before[0].adjusted(0, 0, 0, 1000)) << "list taller";
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(after[i], before[i].translated(0, 1000)) << "control " << i << " moves down";

    chooser.layoutFor(9160, 2355);
    after = boxes();
    EXPECT_EQ(after[0], before[0].adjusted(0, 0, 1000, 0)) << "list wider";
    EXPECT_EQ(after[1], before[1]) << "label stays";
    EXPECT_EQ(after[2], before[2].adjusted(0, 0, 1000, 0)) << "path box wider";
    EXPECT_EQ(after[3], before[3].translated(1000, 0));
    EXPECT_EQ(after[4], before[4].translated(1000, 0));
}

TEST_F(FrmDirTest, ResizingTheWindowAppliesTheRule) {
    FrmDir chooser;
    chooser.show();
    const QRect list = layout::twipsBox(chooser.FileDir1);
    const QRect path = layout::twipsBox(chooser.txtPath);
    chooser.resize(chooser.width() + 40, chooser.height() + 20);
    QCoreApplication::processEvents();
    const int scale = layout::twipsPerPixel(&chooser);
    EXPECT_EQ(layout::twipsBox(chooser.FileDir1).height(), list.height() + 20 * scale);
    EXPECT_EQ(layout::twipsBox(chooser.FileDir1).width(), list.width() + 40 * scale);
    EXPECT_EQ(layout::twipsBox(chooser.txtPath).top(), path.top() + 20 * scale);
}

TEST_F(FrmDirTest, AWindowSmallerThanItsFixedPartsKeepsNoNegativeSize) {
    FrmDir chooser;
    chooser.layoutFor(100, 100);
    for (QWidget* control :
         {static_cast<QWidget*>(chooser.FileDir1), static_cast<QWidget*>(chooser.txtPath)}) {
        const QRect box = layout::twipsBox(control);
        EXPECT_GE(box.width(), 0);
        EXPECT_GE(box.height(), 0);
    }
    EXPECT_EQ(layout::twipsBox(chooser.Label1).top(), 360) << "the label sits under an empty list";
    chooser.show();
    chooser.resize(1, 1);
    chooser.showMinimized();
    QCoreApplication::processEvents();
    chooser.showNormal();
    QCoreApplication::processEvents();
    EXPECT_GE(chooser.FileDir1->height(), 0);
}

TEST_F(FrmDirTest, FocusMovesInTheLayoutOrder) {
    FrmDir chooser;
    const QList<QWidget*> expected = {chooser.Drive1, chooser.FileDir1, chooser.Command1,
                                      chooser.Command2, chooser.txtPath};
    QWidget* w = chooser.Drive1;
    for (qsizetype i = 1; i < expected.size(); ++i) {
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus));
        EXPECT_EQ(w, expected.at(i)) << "position " << i;
    }
}

TEST_F(FrmDirTest, EnterPressesTheFocusedButtonAndAppliesFromThePathBox) {
    struct Case {
        const char* focus;
        bool applied;
        bool aborted;
    };
    const Case cases[] = {
        {"path", true, false},
        {"apply", true, false},
        {"abort", false, true},
        {"drive", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.focus);
        ChosenDir.clear();
        AbortFlag = 0;
        FrmDir chooser;
        chooser.show();
        chooser.txtPath->setText(QStringLiteral("t:\\typed"));
        const std::map<std::string, QWidget*> targets = {{"path", chooser.txtPath},
                                                         {"apply", chooser.Command1},
                                                         {"abort", chooser.Command2},
                                                         {"drive", chooser.Drive1}};
        QTest::keyClick(targets.at(c.focus), Qt::Key_Return);
        EXPECT_EQ(ChosenDir, c.applied ? QStringLiteral("t:\\typed\\") : QString());
        EXPECT_EQ(AbortFlag, c.aborted ? -1 : 0);
        EXPECT_EQ(chooser.isVisible(), !c.applied && !c.aborted);
    }
}

TEST_F(FrmDirTest, ColoursComeFromThePalette) {
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Text, QColor(220, 220, 220));
    dark.setColor(QPalette::ButtonText, QColor(220, 220, 220));
    QApplication::setPalette(dark);
    {
        FrmDir chooser;
        for (QWidget* list :
             {static_cast<QWidget*>(chooser.Drive1), static_cast<QWidget*>(chooser.FileDir1)}) {
            EXPECT_EQ(list->palette().color(QPalette::Base), QColor(30, 30, 30));
            EXPECT_EQ(list->palette().color(QPalette::Text), QColor(220, 220, 220));
            EXPECT_EQ(list->palette().color(QPalette::ButtonText), QColor(220, 220, 220));
        }
    }
    QApplication::setPalette(before);
}

TEST_F(FrmDirTest, ThePathBoxIsNamedByItsLabel) {
    FrmDir chooser;
    EXPECT_EQ(chooser.Label1->buddy(), chooser.txtPath);
}

} // namespace
