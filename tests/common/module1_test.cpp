#include "common/module1.h"

#include "tests/support/qt_app.h"
#include "tests/support/test_drives.h"

#include <QDir>
#include <QStringList>

#include <gtest/gtest.h>

#include <iterator>
#include <vector>

namespace {

struct PathCase {
    const char* path;
    const char* file;
    const char* folder;
};

// The final character is never taken as the separator: a trailing "\" stays with the
// last name, and a lone "\" is a file part of its own.
const PathCase kPathCases[] = {
    {"c:\\zips\\a.zip", "a.zip", "c:\\zips\\"},
    {"a.zip", "a.zip", ""},
    {"c:\\zips\\", "zips\\", "c:\\"},
    {"\\", "\\", ""},
    {"", "", ""},
    {"c:\\", "c:\\", ""},
    {"c:\\zips\\old\\b.ZIP", "b.ZIP", "c:\\zips\\old\\"},
    {"\\\\server\\share\\a.zip", "a.zip", "\\\\server\\share\\"},
    {"c:/zips/a.zip", "c:/zips/a.zip", ""},
};

TEST(Module1Paths, FilePartAndPathPartSplitAtTheLastBackslash) {
    for (const PathCase& c : kPathCases) {
        const QString path = QString::fromUtf8(c.path);
        EXPECT_EQ(FilePart(path), QString::fromUtf8(c.file)) << c.path;
        EXPECT_EQ(PathPart(path), QString::fromUtf8(c.folder)) << c.path;
    }
}

TEST(Module1Status, SetStatusFramesTheTextForTheStatusLineHook) {
    struct Case {
        const char* text;
        const char* shown;
    };
    const Case cases[] = {
        {"Loading List", "..::Loading List::.."},
        {"", "..::::.."},
        {" padded ", "..:: padded ::.."},
    };
    QStringList shown;
    setStatusLine([&shown](const QString& text) { shown.append(text); });
    for (const Case& c : cases)
        SetStatus(QString::fromUtf8(c.text));
    setStatusLine(nullptr);
    SetStatus(QStringLiteral("after the window closed")); // reaches no hook
    ASSERT_EQ(shown.size(), qsizetype(std::size(cases)));
    for (qsizetype i = 0; i < shown.size(); ++i)
        EXPECT_EQ(shown.at(i), QString::fromUtf8(cases[i].shown)) << cases[i].text;
}

class Module1Drives : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ensureApplication();
        drives.addDrive('t', platform::DriveFixed, 9'999'999);
        drives.addDrive('f', platform::DriveFixed, 3ull * 1024 * 1024 * 1024);
        drives.addDrive('g', platform::DriveFixed, 80ull * 1024 * 1024 * 1024);
        drives.addDrive('r', platform::DriveCdRom);
        drives.addDrive('n', platform::DriveRemovable, 5'000'000, false);
        drives.install();
    }
    testsupport::TestDrives drives;
};

TEST_F(Module1Drives, DiskFreeBytesReadsTheDriveOfTheFirstNonBlankCharacter) {
    struct Case {
        const char* drive;
        double bytes;
    };
    const Case cases[] = {
        {"t", 9'999'999},
        {"t:\\any\\path", 9'999'999},
        {"  t:\\data", 9'999'999},
        {"T", 9'999'999},
        // Figures above 2 GB are exact, not wrapped around 32 bits.
        {"f", 3221225472.0},
        {"g:\\", 85899345920.0},
        {"", -1},
        {"   ", -1},
        {"q", -1}, // no such drive
        {"n", -1}, // no medium
    };
    for (const Case& c : cases)
        EXPECT_EQ(DiskFreeBytes(QString::fromUtf8(c.drive)), c.bytes) << '"' << c.drive << '"';
}

TEST_F(Module1Drives, DestinationFreeBytesAsksTheNearestExistingFolderOfThePath) {
    const QString t = drives.hostRoot('t');
    QDir(t).mkpath(QStringLiteral("out"));
    struct Case {
        QString destination;
        double bytes;
    };
    const std::vector<Case> cases = {
        {"t:\\", 9'999'999},
        {"t:\\out\\", 9'999'999},
        {"t:\\not\\yet\\made", 9'999'999},
        {"f:\\x", 3221225472.0},
        // Host form, whose first character names no drive.
        {t + "/out", 9'999'999},
        {t + "/not/yet/made", 9'999'999},
        {"", -1},
        {"   ", -1},
        {"q:\\x", -1}, // no such drive
        {"n:\\x", -1}, // no medium
    };
    for (const Case& c : cases)
        EXPECT_EQ(destinationFreeBytes(c.destination), c.bytes) << c.destination.toStdString();
}

TEST_F(Module1Drives, TypedFolderPathsInHostFormBecomeDosPaths) {
    const QString t = drives.hostRoot('t');
    struct Case {
        QString typed;
        QString path;
        QString refusal;
    };
    const std::vector<Case> cases = {
        {"t:\\zips", "t:\\zips", {}},
        {"//server/share/dir", "//server/share/dir", {}},
        {"\\zips", "\\zips", {}},
        {"", "", {}},
        {t + "/zips/new", "t:\\zips\\new", {}},
        {"/velmarch-nowhere", "", "Velmarch can not use /velmarch-nowhere: no drive reaches it"},
        {t + "/a\\b", "",
         "Velmarch can not use " + t +
             "/a\\b: the name \"a\\b\" holds a \"\\\", which a DOS path can not carry"},
    };
    for (const Case& c : cases) {
        QString refusal = QStringLiteral("left from before");
        EXPECT_EQ(typedFolderPath(c.typed, &refusal), c.path) << c.typed.toStdString();
        EXPECT_EQ(refusal, c.refusal) << c.typed.toStdString();
    }
}

TEST_F(Module1Drives, IsCDRomDriveLooksAtTheFirstThreeCharacters) {
    struct Case {
        const char* path;
        bool cdrom;
    };
    const Case cases[] = {
        {"r:\\", true},
        {"r:\\games\\x", true},
        {"r:", true},
        {"t:\\", false},
        {"q:\\", false},
        {"", false},
        {"r", false},
        // The drive list's text is no root: the program passes the root instead.
        {"r: [/media/cd]", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsCDRomDrive(QString::fromUtf8(c.path)), c.cdrom) << c.path;
}

} // namespace
