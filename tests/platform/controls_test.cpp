#include "platform/controls.h"

#include "platform/volumes.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_drives.h"

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

using namespace platform;
using testsupport::TestDrives;
using testsupport::writeFile;

namespace {

QStringList itemTexts(const QListWidget& list) {
    QStringList texts;
    for (int i = 0; i < list.count(); ++i)
        texts.append(list.item(i)->text());
    return texts;
}

// Counts how often a signal fires.
struct Counter {
    int count() const { return hits; }
    int hits = 0;
};

template <typename Sender, typename Signal>
std::unique_ptr<Counter> countSignal(Sender* sender, Signal signal) {
    auto counter = std::make_unique<Counter>();
    QObject::connect(sender, signal, [c = counter.get()] { ++c->hits; });
    return counter;
}

void sendMouse(QListWidget* list, QEvent::Type type, int row) {
    const QPoint at = list->visualItemRect(list->item(row)).center();
    QMouseEvent event(type, at, list->viewport()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &event);
}

// What a real double click delivers: press, release, double click, release.
void doubleClick(QListWidget* list, int row) {
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                              QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease})
        sendMouse(list, type, row);
}

class Controls : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ensureApplication();
        t = drives.addDrive('t');
        u = drives.addDrive('u');
        drives.addDrive('r', DriveCdRom, {}, false);
        QDir(t).mkpath(QStringLiteral("zips/Old"));
        QDir(t).mkpath(QStringLiteral("zips/new"));
        QDir(t).mkpath(QStringLiteral("zips/.cache"));
        writeFile(t + QStringLiteral("/zips/a.zip"));
        writeFile(t + QStringLiteral("/zips/B.ZIP"));
        writeFile(t + QStringLiteral("/zips/notes.txt"));
        writeFile(t + QStringLiteral("/zips/.hidden.zip"));
        writeFile(t + QStringLiteral("/zips/ro.zip"));
        QFile::setPermissions(t + QStringLiteral("/zips/ro.zip"), QFile::ReadOwner);
        drives.install(QStringLiteral("t:\\zips"));
    }

    TestDrives drives;
    QString t, u;
};

TEST_F(Controls, DriveListStartsOnTheCurrentDriveAndReportsChanges) {
    DriveListBox list;
    EXPECT_EQ(list.count(), int(driveTexts().size()));
    EXPECT_EQ(list.drive(), QStringLiteral("t: [") + t + QStringLiteral("]"));
    EXPECT_EQ(list.driveRoot(), QStringLiteral("t:\\"));

    auto changes = countSignal(&list, &DriveListBox::Change);
    list.setDrive(QStringLiteral("U: [whatever]"));
    EXPECT_EQ(list.driveRoot(), QStringLiteral("u:\\"));
    EXPECT_EQ(changes->count(), 1);
    list.setDrive(QStringLiteral("u"));
    EXPECT_EQ(changes->count(), 1);
    list.setDrive(QStringLiteral("q:"));
    EXPECT_EQ(list.driveRoot(), QStringLiteral("u:\\"));
    EXPECT_EQ(changes->count(), 1);
}

TEST_F(Controls, DirListShowsAncestorsAboveVisibleSubdirectories) {
    DirListBox list;
    EXPECT_EQ(list.path(), QStringLiteral("t:\\zips"));
    EXPECT_EQ(itemTexts(list), (QStringList{"t:\\", "zips", "new", "Old"}));
    EXPECT_EQ(list.currentItem()->text(), QStringLiteral("zips"));

    auto changes = countSignal(&list, &DirListBox::Change);
    EXPECT_FALSE(list.setPath(QStringLiteral("T:\\ZIPS\\old")));
    EXPECT_EQ(list.path(), QStringLiteral("t:\\zips\\Old"));
    EXPECT_EQ(itemTexts(list), (QStringList{"t:\\", "zips", "Old"}));
    EXPECT_EQ(changes->count(), 1);
    EXPECT_FALSE(list.setPath(QStringLiteral("t:\\zips\\Old\\")));
    EXPECT_EQ(changes->count(), 1); // same directory, no change

    EXPECT_FALSE(list.setPath(QStringLiteral("t:\\")));
    EXPECT_EQ(itemTexts(list), (QStringList{"t:\\", "zips"}));
    EXPECT_FALSE(list.setPath(QStringLiteral("u: [") + u + QStringLiteral("]")));
    EXPECT_EQ(list.path(), QStringLiteral("u:\\"));
    EXPECT_FALSE(list.setPath(QStringLiteral("t:")));
    EXPECT_EQ(list.path(), QStringLiteral("t:\\zips"));
    EXPECT_EQ(changes->count(), 4);
}

TEST_F(Controls, DirListKeepsItsPathWhenTheTargetFails) {
    DirListBox list;
    auto changes = countSignal(&list, &DirListBox::Change);
    struct Case {
        const char* path;
        int error;
    };
    for (const Case& c : std::vector<Case>{{"r:", ErrDeviceUnavailable},
                                           {"r: [/media/cdrom]", ErrDeviceUnavailable},
                                           {"t:\\missing", ErrPathNotFound},
                                           {"t:\\zips\\a.zip", ErrPathNotFound},
                                           {"q:\\", ErrPathNotFound}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(list.setPath(QString::fromUtf8(c.path)).number, c.error);
        EXPECT_EQ(list.path(), QStringLiteral("t:\\zips"));
        EXPECT_EQ(list.count(), 4);
    }
    EXPECT_EQ(changes->count(), 0);
}

TEST_F(Controls, DirListOpensOnDoubleClickAndSignalsPressesFirst) {
    DirListBox list;
    list.resize(300, 300);
    list.show();
    QCoreApplication::processEvents();
    auto changes = countSignal(&list, &DirListBox::Change);

    int rowAtPress = -2;
    QObject::connect(&list, &DirListBox::MouseDown, [&] { rowAtPress = list.currentRow(); });
    sendMouse(&list, QEvent::MouseButtonPress, 3);
    EXPECT_EQ(rowAtPress, 1); // still on "zips" when the press is reported
    EXPECT_EQ(list.currentRow(), 3);
    EXPECT_EQ(list.path(), QStringLiteral("t:\\zips")); // a single press only highlights
    sendMouse(&list, QEvent::MouseButtonRelease, 3);

    doubleClick(&list, 3);
    EXPECT_EQ(list.path(), QStringLiteral("t:\\zips\\Old"));
    EXPECT_EQ(changes->count(), 1);

    doubleClick(&list, 0);
    EXPECT_EQ(list.path(), QStringLiteral("t:\\"));
    EXPECT_EQ(changes->count(), 2);
}

TEST_F(Controls, DirListOpensTheHighlightedEntryOnEnterOrSpace) {
    struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char* path; // after the key, from "t:\zips" with "Old" highlighted
    };
    const Case cases[] = {
        {Qt::Key_Return, Qt::NoModifier, "t:\\zips\\Old"},
        {Qt::Key_Enter, Qt::KeypadModifier, "t:\\zips\\Old"},
        {Qt::Key_Space, Qt::NoModifier, "t:\\zips\\Old"},
        {Qt::Key_Down, Qt::NoModifier, "t:\\zips"},
        {Qt::Key_Return, Qt::ControlModifier, "t:\\zips"},
    };
    for (const Case& c : cases) {
        DirListBox list;
        list.setCurrentRow(3);
        QKeyEvent press(QEvent::KeyPress, c.key, c.modifiers);
        QCoreApplication::sendEvent(&list, &press);
        EXPECT_EQ(list.path(), QString::fromUtf8(c.path)) << c.key << " " << c.modifiers;
    }
}

// A keyboard user sees where Enter will go: the entry that has the focus is framed, in the
// colour of the text on it, when the list has the keyboard focus, and only then.
TEST_F(Controls, DirListFramesItsCurrentEntryWhileItHasTheFocus) {
    QWidget window;
    auto* list = new DirListBox(&window);
    auto* other = new QPushButton(QStringLiteral("elsewhere"), &window);
    list->setGeometry(0, 0, 200, 120);
    other->setGeometry(0, 130, 200, 30);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const QRect entry = list->visualItemRect(list->currentItem());
    const QColor frame = list->palette().color(QPalette::HighlightedText);
    // The top of the entry's outline, one pixel inside its edge, right of the icon and
    // the text.
    auto framedPixels = [&] {
        const QImage shot = list->viewport()->grab().toImage();
        int framed = 0;
        const int y = entry.top() + 1;
        for (int x = entry.center().x(); x < entry.right(); ++x)
            framed += shot.pixelColor(x, y) == frame;
        return framed;
    };
    list->setFocus(Qt::TabFocusReason);
    EXPECT_GT(framedPixels(), entry.width() / 6) << "focused";
    other->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(framedPixels(), 0) << "focus elsewhere";
}

TEST_F(Controls, DirListTooltipCoversItsEntries) {
    DirListBox list;
    list.setToolTip(QStringLiteral("whole list"));
    list.resize(300, 300);
    list.show();
    QCoreApplication::processEvents();
    const QPoint onEntry = list.visualItemRect(list.item(2)).center();
    QHelpEvent help(QEvent::ToolTip, onEntry, list.viewport()->mapToGlobal(onEntry));
    QCoreApplication::sendEvent(list.viewport(), &help);
    EXPECT_EQ(QToolTip::text(), QStringLiteral("whole list"));
    QToolTip::hideText();
}

TEST_F(Controls, ElidedLabelKeepsItsTextAndShowsItWholeInTheTooltip) {
    const QString longText = QStringLiteral("begin-") + QString(200, u'x') + QStringLiteral("-end");
    ElidedLabel label(longText);
    label.setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label.resize(120, 20);
    label.show();
    EXPECT_EQ(label.text(), longText);
    const QString shown = label.shownText();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("begin-"))) << qPrintable(shown);
    EXPECT_TRUE(shown.endsWith(QStringLiteral("-end"))) << qPrintable(shown);
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << qPrintable(shown);
    EXPECT_LE(label.fontMetrics().horizontalAdvance(shown), label.contentsRect().width());

    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), label.mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(&label, &help);
    EXPECT_EQ(QToolTip::text(), longText);
    QToolTip::hideText();

    label.setText(QStringLiteral("short"));
    EXPECT_EQ(label.shownText(), QStringLiteral("short"));
}

TEST(PressOnEnter, EnterPressesTheButtonAndOtherKeysDoNot) {
    testsupport::ensureApplication();
    QPushButton button(QStringLiteral("Go"));
    platform::pressOnEnter(&button);
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] { ++clicks; });
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_A}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(&button, &press);
    }
    EXPECT_EQ(clicks, 2);
    button.setEnabled(false);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(&button, &press);
    EXPECT_EQ(clicks, 2) << "a disabled button stays unpressed";
}

TEST_F(Controls, FileListCountsVisibleFilesMatchingThePattern) {
    FileListBox list;
    EXPECT_EQ(list.listCount(), 0);
    list.setPath(QStringLiteral("t:\\zips"));
    EXPECT_EQ(itemTexts(list), (QStringList{"a.zip", "B.ZIP", "notes.txt", "ro.zip"}));
    list.setPattern(QStringLiteral("*.ZIP"));
    EXPECT_EQ(list.listCount(), 3);
    list.setPattern(QStringLiteral("n*.txt;b.*"));
    EXPECT_EQ(itemTexts(list), (QStringList{"B.ZIP", "notes.txt"}));
    list.setPath(QStringLiteral("t:\\zips\\Old"));
    EXPECT_EQ(list.listCount(), 0);
    list.setPath(QStringLiteral("r:\\"));
    EXPECT_EQ(list.listCount(), 0);
}

} // namespace
