#include "platform/dialogs.h"

#include "tests/support/qt_app.h"
#include "tests/support/scripted_dialogs.h"

#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

using namespace platform;
using testsupport::ScopedDialogs;
using testsupport::ScriptedDialogs;

namespace {

using Icon = ScriptedDialogs::Icon;

// Counts the show events the window receives, as a window's load handler would.
class CountingWindow : public QWidget {
public:
    int shows = 0;

protected:
    void showEvent(QShowEvent* event) override {
        ++shows;
        QWidget::showEvent(event);
    }
};

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override { testsupport::ensureApplication(); }
};

TEST_F(Dialogs, ScriptedMessageBoxesAnswerTheirDefaultButton) {
    struct Case {
        int buttons;
        const char* title;
        const char* shownTitle;
        Icon icon;
        bool yesNo;
        int defaultButton;
        int answer;
    };
    const std::vector<Case> cases = {
        {vbOKOnly, "", "Velmarch", Icon::None, false, 1, vbOK},
        {vbYesNo | vbQuestion, "Create Directory", "Create Directory", Icon::Question, true, 1,
         vbYes},
        {vbYesNo | vbCritical | vbDefaultButton2, "", "Velmarch", Icon::Critical, true, 2, vbNo},
        {vbExclamation, "Qorva OCX 6.5", "Qorva OCX 6.5", Icon::Exclamation, false, 1, vbOK},
        {vbInformation | vbDefaultButton2, "", "Velmarch", Icon::Information, false, 1, vbOK},
    };
    ScopedDialogs scripted;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buttons);
        EXPECT_EQ(MsgBox(QStringLiteral("text"), c.buttons, QString::fromUtf8(c.title)), c.answer);
        const ScriptedDialogs::MessageRecord& record = scripted->messages().back();
        EXPECT_EQ(record.text, QStringLiteral("text"));
        EXPECT_EQ(record.title, QString::fromUtf8(c.shownTitle));
        EXPECT_EQ(record.buttons, c.buttons);
        EXPECT_EQ(record.icon, c.icon);
        EXPECT_EQ(record.yesNo, c.yesNo);
        EXPECT_EQ(record.defaultButton, c.defaultButton);
        EXPECT_EQ(record.answer, c.answer);
    }
    EXPECT_EQ(scripted->messages().size(), cases.size());
}

TEST_F(Dialogs, ScriptedAnswersAreUsedInOrderAndReported) {
    ScopedDialogs scripted;
    scripted->queueAnswer(vbNo);
    scripted->queueAnswer(vbYes);
    std::vector<int> seen;
    scripted->onMessage = [&](const ScriptedDialogs::MessageRecord& record) {
        seen.push_back(record.answer);
    };
    EXPECT_EQ(MsgBox(QStringLiteral("a"), vbYesNo), vbNo);
    EXPECT_EQ(MsgBox(QStringLiteral("b"), vbYesNo | vbDefaultButton2), vbYes);
    EXPECT_EQ(MsgBox(QStringLiteral("c"), vbYesNo | vbDefaultButton2), vbNo);
    EXPECT_EQ(seen, (std::vector<int>{vbNo, vbYes, vbNo}));
    scripted->clear();
    EXPECT_TRUE(scripted->messages().empty());
}

TEST_F(Dialogs, InstallingAndRemovingTheScriptedSeam) {
    {
        ScopedDialogs scripted;
        EXPECT_EQ(&dialogs(), &scripted.get());
    }
    EXPECT_NE(dynamic_cast<QtDialogs*>(&dialogs()), nullptr);
}

TEST_F(Dialogs, ScriptedModalWindowRunsItsActionThenCloses) {
    ScopedDialogs scripted;
    CountingWindow window;
    window.setWindowTitle(QStringLiteral("Select a directory?"));
    auto* edit = new QLineEdit(&window);
    bool visibleDuringAction = false;
    scripted->queueModalAction([&](QWidget* shown) {
        visibleDuringAction = shown->isVisible() && shown->windowModality() == Qt::ApplicationModal;
        shown->findChild<QLineEdit*>()->setText(QStringLiteral("t:\\zips"));
    });
    scripted->showModal(&window);
    EXPECT_TRUE(visibleDuringAction);
    EXPECT_EQ(window.shows, 1);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(edit->text(), QStringLiteral("t:\\zips"));

    // Without an action the window is shown and closed as by its close box.
    scripted->showModal(&window);
    EXPECT_EQ(window.shows, 2);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(scripted->modalWindowTitles(),
              (std::vector<QString>{"Select a directory?", "Select a directory?"}));
}

TEST_F(Dialogs, ScriptedModalWindowThatDeletesItselfIsGoneAfterwards) {
    ScopedDialogs scripted;
    QPointer<QWidget> window = new QWidget;
    window->setAttribute(Qt::WA_DeleteOnClose);
    scripted->showModal(window);
    EXPECT_TRUE(window.isNull());

    QPointer<QWidget> closing = new QWidget;
    closing->setAttribute(Qt::WA_DeleteOnClose);
    scripted->queueModalAction([](QWidget* shown) { shown->close(); });
    scripted->showModal(closing);
    EXPECT_TRUE(closing.isNull());
}

TEST_F(Dialogs, ScriptedFileDialogRecordsRequests) {
    ScopedDialogs scripted;
    scripted->queueFileName(QStringLiteral("t:\\a.zip"));
    EXPECT_EQ(dialogs().fileDialog({QStringLiteral("Open"), 4, 1}), QStringLiteral("t:\\a.zip"));
    EXPECT_EQ(dialogs().fileDialog({QStringLiteral("Save"), 0, 2}), QString());
    ASSERT_EQ(scripted->fileDialogs().size(), 2u);
    EXPECT_EQ(scripted->fileDialogs()[0].flags, 4);
    EXPECT_EQ(scripted->fileDialogs()[1].action, 2);
}

TEST(MsgBoxShapes, ButtonsDefaultAndCloseAnswerFollowTheStyleBits) {
    struct Case {
        int buttons;
        QList<int> answers;
        int defaultButton;
        int closeAnswer;
    };
    const std::vector<Case> cases = {
        {vbOKOnly, {vbOK}, 1, vbOK},
        {vbOKOnly | vbDefaultButton2, {vbOK}, 1, vbOK},
        {1, {vbOK, vbCancel}, 1, vbCancel},
        {3 | vbDefaultButton2, {vbYes, vbNo, vbCancel}, 2, vbCancel},
        {3 | 512, {vbYes, vbNo, vbCancel}, 3, vbCancel},
        {vbYesNo | 512, {vbYes, vbNo}, 2, vbNo},
        {vbYesNo | vbQuestion, {vbYes, vbNo}, 1, vbNo},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buttons);
        const MsgBoxShape shape = msgBoxShape(c.buttons);
        EXPECT_EQ(shape.answers, c.answers);
        EXPECT_EQ(shape.defaultButton, c.defaultButton);
        EXPECT_EQ(shape.closeAnswer(), c.closeAnswer);
    }
}

// The Qt implementation, driven by a timer that acts on the box once it is shown.
TEST_F(Dialogs, QtMessageBoxShowsTheStyleAndReturnsTheButtonPressed) {
    QtDialogs qt;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool noIsDefault = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        icon = box->icon();
        noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
        box->button(QMessageBox::No)->click();
    });
    EXPECT_EQ(
        qt.msgBox(QStringLiteral("Go on?"), vbYesNo | vbCritical | vbDefaultButton2, QString()),
        vbNo);
    EXPECT_EQ(title, QStringLiteral("Velmarch"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(noIsDefault);

    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        box->close();
    });
    EXPECT_EQ(qt.msgBox(QStringLiteral("Done"), vbOKOnly, QStringLiteral("T")), vbOK);

    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        box->close();
    });
    EXPECT_EQ(qt.msgBox(QStringLiteral("Create it?"), vbYesNo, QString()), vbNo);
}

// What a screen reader hears for the icon, and the size of the text beside it: the size of
// the window it came from, which is smaller than the desktop's only where the window had
// to shrink to fit its screen.
TEST_F(Dialogs, QtMessageBoxIconsSayWhatTheyMeanInTheWindowsFont) {
    QWidget window;
    QFont small = window.font();
    small.setPointSizeF(small.pointSizeF() - 2);
    window.setFont(small);
    window.show();
    struct Case {
        int buttons;
        const char* heard;
    };
    const Case cases[] = {{vbCritical, "Error"},
                          {vbYesNo | vbQuestion, "Question"},
                          {vbExclamation, "Warning"},
                          {vbInformation, "Information"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.heard);
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        QString heard;
        qreal points = 0;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            auto* icon = box->findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"));
            ASSERT_NE(icon, nullptr);
            heard = QAccessible::queryAccessibleInterface(icon)->text(QAccessible::Name);
            points =
                box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->font().pointSizeF();
            box->close();
        });
        QtDialogs().msgBox(QStringLiteral("text"), c.buttons, QString());
        EXPECT_EQ(heard, QString::fromUtf8(c.heard));
        EXPECT_EQ(points, small.pointSizeF());
    }
}

TEST_F(Dialogs, QtShowModalReturnsWhenTheWindowCloses) {
    QtDialogs qt;
    CountingWindow window;
    QTimer::singleShot(0, &window, [&] {
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(QApplication::activeModalWidget(), &window);
        window.close();
    });
    qt.showModal(&window);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.shows, 1);

    QPointer<QWidget> deleting = new QWidget;
    deleting->setAttribute(Qt::WA_DeleteOnClose);
    QTimer::singleShot(0, deleting, [&] { deleting->close(); });
    qt.showModal(deleting);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(deleting.isNull());

    QDialog dialog;
    QTimer::singleShot(0, &dialog, [&] { dialog.accept(); });
    qt.showModal(&dialog);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

} // namespace
