#include "form1_fixture.h"

#include "windows/frm_about.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QTest>

namespace {

using Form1Test = Form1Fixture;

TEST_F(Form1Test, TheAboutWindowComesFirstAndAlone) {
    form = std::make_unique<Form1>();
    QString version;
    bool mainWindowVisible = true;
    QStringList visibleWindows;
    dialogs->queueModalAction([&](QWidget* window) {
        auto* about = qobject_cast<FrmAbout*>(window);
        ASSERT_NE(about, nullptr);
        version = about->TxtVersion->text();
        mainWindowVisible = form->isVisible();
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->isVisible())
                visibleWindows << top->windowTitle();
    });
    form->Form_Load();

    ASSERT_EQ(dialogs->modalWindowTitles().size(), 1u);
    EXPECT_EQ(dialogs->modalWindowTitles().front(), QStringLiteral("About Velmarch"));
    EXPECT_EQ(version, QStringLiteral("Velmarch v1.1"));
    EXPECT_FALSE(mainWindowVisible);
    EXPECT_EQ(visibleWindows, QStringList{QStringLiteral("About Velmarch")});
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Velmarch v1.1"));
    EXPECT_EQ(AppVersion, QStringLiteral("Velmarch v1.1"));
}

TEST_F(Form1Test, StartsInTheSelectingState) {
    Form1& f = start();
    EXPECT_TRUE(f.F1->isVisible());
    EXPECT_FALSE(f.F2->isVisible());
    EXPECT_FALSE(f.Todo->isVisible());
    EXPECT_FALSE(f.File1->isVisible());
    EXPECT_EQ(f.minimumSize(), f.maximumSize()) << "fixed size";
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMinMaxButtonsHint);
    EXPECT_FALSE(f.windowIcon().isNull());

    EXPECT_TRUE(f.Drive1->drive().startsWith(QStringLiteral("t:")));
    EXPECT_EQ(f.Dir1->path(), QStringLiteral("t:\\"));
    EXPECT_EQ(f.File1->path(), QStringLiteral("t:\\"));
    EXPECT_EQ(f.TxtStats->text(), QStringLiteral("Awaiting your command!"));
    EXPECT_EQ(f.TxtFile->text(), QStringLiteral("None"));
    EXPECT_EQ(f.F1->title(), QStringLiteral("Select Source"));
    EXPECT_EQ(f.F2->title(), QStringLiteral("Status"));
    EXPECT_TRUE(f.Check1->isChecked());
    EXPECT_TRUE(f.Check1->isEnabled());
    EXPECT_TRUE(f.Check2->isChecked());
    EXPECT_FALSE(f.Check3->isChecked());
    EXPECT_FALSE(f.Check4->isChecked());
    EXPECT_EQ(f.TxtSel->text(), QStringLiteral("10"));
    EXPECT_TRUE(f.txtDesc->text().isEmpty());
    EXPECT_EQ(f.PB1->maximum(), 100);
    EXPECT_EQ(f.PB2->maximum(), 100);
    EXPECT_EQ(f.Dir1->toolTip(),
              QStringLiteral("Select a directory where zip files exists and click unzip"));
    EXPECT_EQ(f.focusWidget(), f.Command1);
}

TEST_F(Form1Test, FocusMovesInTheLayoutOrderSkippingTheHiddenPanel) {
    Form1& f = start();
    auto order = [&] {
        QList<QWidget*> seen;
        QWidget* w = f.Command1;
        do {
            if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(&f) && w->isEnabled())
                seen << w;
            w = w->nextInFocusChain();
        } while (w != f.Command1);
        return seen;
    };
    EXPECT_EQ(order(), (QList<QWidget*>{f.Command1, f.Dir1, f.Drive1, f.Check1, f.Check2, f.TxtSel,
                                        f.Check3, f.txtDesc, f.Check4}));
    f.F1->hide();
    f.F2->show();
    EXPECT_EQ(order(), (QList<QWidget*>{f.Command1, f.List1, f.Command2}));
}

TEST_F(Form1Test, ACdRomDriveWithdrawsTheDeleteOption) {
    Form1& f = start();
    f.Drive1->setDrive(QStringLiteral("r"));
    EXPECT_EQ(f.Dir1->path(), QStringLiteral("r:\\"));
    EXPECT_FALSE(f.Check1->isEnabled());
    EXPECT_FALSE(f.Check1->isChecked());

    f.Drive1->setDrive(QStringLiteral("u"));
    EXPECT_EQ(f.Dir1->path(), QStringLiteral("u:\\"));
    EXPECT_TRUE(f.Check1->isEnabled());
    EXPECT_FALSE(f.Check1->isChecked()) << "a hard disk gives the option back, unchecked";
    EXPECT_TRUE(dialogs->messages().empty());
}

TEST_F(Form1Test, ADriveWithoutMediumIsReportedOnceAndTheListStays) {
    QDir(t).mkpath(QStringLiteral("zips"));
    Form1& f = start();
    selectSource(QStringLiteral("t:\\zips"));
    f.Drive1->setDrive(QStringLiteral("n"));

    ASSERT_EQ(dialogs->messages().size(), 1u);
    const auto& message = dialogs->messages().front();
    EXPECT_EQ(message.text, QStringLiteral("Drive not ready! insert Disk/CD in drive"));
    EXPECT_EQ(message.title, QStringLiteral("Velmarch"));
    EXPECT_EQ(message.icon, testsupport::ScriptedDialogs::Icon::None);
    EXPECT_FALSE(message.yesNo);
    EXPECT_EQ(f.Dir1->path(), QStringLiteral("t:\\zips"));
    EXPECT_EQ(f.File1->path(), QStringLiteral("t:\\zips"));
    EXPECT_TRUE(f.Drive1->drive().startsWith(QStringLiteral("n:")));
    EXPECT_TRUE(f.Check1->isEnabled());
}

TEST_F(Form1Test, APressOnTheDirectoryListCountsItsFiles) {
    QDir(t).mkpath(QStringLiteral("empty"));
    QDir(t).mkpath(QStringLiteral("full/sub"));
    for (int i = 0; i < 12; ++i)
        testsupport::writeFile(t + QStringLiteral("/full/f%1.dat").arg(i), "x");
    testsupport::writeFile(t + QStringLiteral("/full/.hidden"), "x");
    Form1& f = start();

    struct Case {
        const char* directory;
        const char* status;
    };
    const Case cases[] = {
        {"t:\\empty", "Total Files: 0"},
        {"t:\\full", "Total Files: 12"},
    };
    for (const Case& c : cases) {
        ASSERT_FALSE(f.Dir1->setPath(QString::fromUtf8(c.directory)));
        QTest::mousePress(f.Dir1->viewport(), Qt::LeftButton, {}, QPoint(4, 4));
        QTest::mouseRelease(f.Dir1->viewport(), Qt::LeftButton, {}, QPoint(4, 4));
        EXPECT_EQ(f.TxtStats->text(), QString::fromUtf8(c.status)) << c.directory;
    }
}

TEST_F(Form1Test, CheckingUseDestinationOpensTheChooserEachTimeAfresh) {
    QDir(t).mkpath(QStringLiteral("zips"));
    Form1& f = start();
    selectSource(QStringLiteral("t:\\zips"));
    QString firstPath;
    dialogs->queueModalAction([&](QWidget* window) {
        auto* chooser = qobject_cast<FrmDir*>(window);
        ASSERT_NE(chooser, nullptr);
        chooser->Drive1->setDrive(QStringLiteral("u"));
        firstPath = chooser->txtPath->text();
        chooser->Command1->click();
    });
    f.Check3->setChecked(true);
    EXPECT_EQ(firstPath, QStringLiteral("u:\\"));
    EXPECT_EQ(ChosenDir, QStringLiteral("u:\\"));
    EXPECT_EQ(f.txtDesc->text(), QStringLiteral("u:\\"));

    // Setting the value it already has does nothing; unchecking keeps the text.
    f.Check3->setChecked(true);
    f.Check3->setChecked(false);
    EXPECT_EQ(dialogs->modalWindowTitles().size(), 1u);
    EXPECT_EQ(f.txtDesc->text(), QStringLiteral("u:\\"));

    // The next opening starts on the current directory again; ABORT hands back the
    // last applied directory and raises the run-abort flag.
    QString secondPath;
    dialogs->queueModalAction([&](QWidget* window) {
        auto* chooser = qobject_cast<FrmDir*>(window);
        ASSERT_NE(chooser, nullptr);
        secondPath = chooser->txtPath->text();
        chooser->txtPath->setText(QStringLiteral("t:\\elsewhere"));
        chooser->Command2->click();
    });
    f.txtDesc->setText(QStringLiteral("typed"));
    QTest::mouseClick(f.Check3, Qt::LeftButton);
    EXPECT_TRUE(f.Check3->isChecked());
    EXPECT_EQ(dialogs->modalWindowTitles().size(), 2u);
    EXPECT_EQ(secondPath, QStringLiteral("t:\\"));
    EXPECT_EQ(f.txtDesc->text(), QStringLiteral("u:\\"));
    EXPECT_EQ(AbortFlag, -1);
}

TEST_F(Form1Test, EnterOnTheFocusedUnzipStartsARun) {
    Form1& f = start();
    f.Command1->setFocus();
    QTest::keyClick(f.Command1, Qt::Key_Return);
    EXPECT_TRUE(texts().contains(QStringLiteral("Pick a dir that has zips!")))
        << "the run searched";
}

TEST_F(Form1Test, EscapePressesAbortOnlyWhileTheStatusPanelShows) {
    Form1& f = start();
    int aborts = 0;
    QObject::connect(f.Command2, &QPushButton::clicked, [&] { ++aborts; });
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_Escape);
    EXPECT_EQ(aborts, 0);
    EXPECT_EQ(AbortFlag, 0);

    f.F1->hide();
    f.F2->show();
    QTest::keyClick(f.List1, Qt::Key_Escape);
    EXPECT_EQ(aborts, 1);
    EXPECT_EQ(AbortFlag, -1);
}

// A screen reader hears a window, not a filler in which the controls happen to sit.
TEST_F(Form1Test, ReadsAsAWindow) {
    Form1& f = start();
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&f);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->role(), QAccessible::Window);
    EXPECT_EQ(window->text(QAccessible::Name), QStringLiteral("Velmarch v1.1"));
    EXPECT_GE(window->indexOfChild(QAccessible::queryAccessibleInterface(f.Command1)), 0);
}

TEST_F(Form1Test, TheRunsHiddenListsAreNotAmongTheWindowsControls) {
    Form1& f = start();
    for (QWidget* hidden : {static_cast<QWidget*>(f.Todo), static_cast<QWidget*>(f.File1)}) {
        EXPECT_TRUE(hidden->isWindow());
        EXPECT_EQ(hidden->parentWidget(), &f) << "still owned by the window";
        EXPECT_FALSE(hidden->isVisible());
    }
}

TEST_F(Form1Test, LongArchiveNamesAndStatusTextsAreElidedInTheMiddle) {
    Form1& f = start();
    f.F1->hide();
    f.F2->show();
    const QString name = QStringLiteral("holiday-") + QString(120, u'x') + QStringLiteral(".zip");
    for (QLabel* label : {f.TxtFile, f.TxtStats}) {
        auto* elided = qobject_cast<platform::ElidedLabel*>(label);
        ASSERT_NE(elided, nullptr);
        label->setText(name);
        EXPECT_EQ(label->text(), name) << "the run reads the name back";
        EXPECT_TRUE(elided->shownText().startsWith(QStringLiteral("holiday-")));
        EXPECT_TRUE(elided->shownText().endsWith(QStringLiteral(".zip")));
        EXPECT_LT(elided->shownText().size(), name.size());
    }
}

} // namespace
