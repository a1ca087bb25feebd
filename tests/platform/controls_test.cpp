#include "platform/controls.h"

#include "platform/volumes.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_drives.h"

#include <QApplication>
#include <QDir>
#include <QMouseEvent>

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
