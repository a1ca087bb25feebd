// The extraction target on its own, without archives: files, folders and links placed
// under names nobody holds, never in place of what is there, and output that has no name
// until it is placed.

#include "tests/engine/disk/disk_fixture.h"

#include "tests/support/test_drives.h"

#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>

using namespace archive_engine::disk;
using disktest::statOf;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class ExtractTargetTest : public disktest::DiskTest {};

enum class Make { File, Folder, Link };

// What a name holds before the disk writer is asked to place something there.
enum class Held { Nothing, File, Folder, LinkToFile, LinkToFolder };

// What a name holds, as text: "none", "folder", "file:<content>", "link:<target>".
std::string describe(const QString& hostPath) {
    const QByteArray host = QFile::encodeName(hostPath);
    struct stat st;
    if (::lstat(host.constData(), &st) != 0) {
        return "none";
    }
    if (S_ISDIR(st.st_mode)) {
        return "folder";
    }
    if (S_ISLNK(st.st_mode)) {
        char target[256];
        const ssize_t n = ::readlink(host.constData(), target, sizeof target);
        return "link:" + std::string(target, std::size_t(std::max<ssize_t>(n, 0)));
    }
    return "file:" + readFile(hostPath).toStdString();
}

std::string describe(Make make) {
    return make == Make::File ? "file:new" : make == Make::Folder ? "folder" : "link:other";
}

std::string describe(Held held) {
    switch (held) {
    case Held::Nothing:
        return "none";
    case Held::File:
        return "file:held";
    case Held::Folder:
        return "folder";
    case Held::LinkToFile:
        return "link:other";
    case Held::LinkToFolder:
        return "link:..";
    }
    return {};
}

TEST_F(ExtractTargetTest, PlacesUnderFreeNamesOnlyAndKeepsWhatIsThere) {
    const QString tooLong(300, u'n');
    struct Case {
        Make make;
        Held held;
        QString name;
        TargetStatus status;
        bool taken;
    };
    const Case cases[] = {
        {Make::File, Held::Nothing, QStringLiteral("f"), TargetStatus::Ok, false},
        {Make::File, Held::File, QStringLiteral("f"), TargetStatus::Failed, true},
        {Make::File, Held::Folder, QStringLiteral("f"), TargetStatus::Failed, true},
        {Make::File, Held::LinkToFile, QStringLiteral("f"), TargetStatus::Failed, true},
        {Make::File, Held::Nothing, tooLong, TargetStatus::NameTooLong, false},
        {Make::Folder, Held::Nothing, QStringLiteral("f"), TargetStatus::Ok, false},
        {Make::Folder, Held::Folder, QStringLiteral("f"), TargetStatus::Ok, false},
        {Make::Folder, Held::File, QStringLiteral("f"), TargetStatus::NotADirectory, false},
        {Make::Folder, Held::LinkToFolder, QStringLiteral("f"), TargetStatus::ThroughLink, false},
        {Make::Folder, Held::Nothing, tooLong, TargetStatus::NameTooLong, false},
        {Make::Link, Held::Nothing, QStringLiteral("f"), TargetStatus::Ok, false},
        {Make::Link, Held::File, QStringLiteral("f"), TargetStatus::Failed, true},
        {Make::Link, Held::LinkToFile, QStringLiteral("f"), TargetStatus::Failed, true},
        {Make::Link, Held::Nothing, tooLong, TargetStatus::NameTooLong, false},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << row);
        const QString folder = QStringLiteral("case%1").arg(row++);
        const QString at = path(folder + "/" + c.name);
        ASSERT_TRUE(QDir().mkpath(path(folder)));
        writeFile(path(folder + "/other"), "held");
        switch (c.held) {
        case Held::Nothing:
            break;
        case Held::File:
            writeFile(at, "held");
            break;
        case Held::Folder:
            ASSERT_TRUE(QDir().mkpath(at));
            break;
        case Held::LinkToFile:
            link(folder + "/" + c.name, "other");
            break;
        case Held::LinkToFolder:
            link(folder + "/" + c.name, "..");
            break;
        }
        const QStringList before = entries(folder);
        TargetStatus status;
        const TargetDir dir = openRoot().openChild(folder, -1, &status);
        ASSERT_EQ(status, TargetStatus::Ok);
        bool taken = false;
        switch (c.make) {
        case Make::File: {
            TempOutput temp;
            ASSERT_EQ(temp.create(dir), TargetStatus::Ok);
            ASSERT_EQ(temp.write("new", 3), TargetStatus::Ok);
            ASSERT_EQ(temp.finish(-1, std::nullopt), TargetStatus::Ok);
            status = temp.placeAs(c.name, &taken);
            break;
        }
        case Make::Folder:
            dir.openChild(c.name, 0755, &status);
            break;
        case Make::Link:
            status = dir.createLink(c.name, "other", std::nullopt, &taken);
            break;
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(taken, c.taken);
        const bool made = c.status == TargetStatus::Ok && c.held == Held::Nothing;
        EXPECT_EQ(describe(at), made ? describe(c.make) : describe(c.held));
        EXPECT_EQ(readFile(path(folder + "/other")), "held");
        EXPECT_EQ(entries(folder).size(), before.size() + (made ? 1 : 0));
    }
}

TEST_F(ExtractTargetTest, OutputHasNoNameUntilPlaced) {
    if (!disktest::hostHasUnnamedFiles(m_root)) {
        GTEST_SKIP() << "the file system of the temporary folder makes no unnamed files";
    }
    const TargetDir root = openRoot();
    TempOutput temp;
    ASSERT_EQ(temp.create(root), TargetStatus::Ok);
    ASSERT_EQ(temp.write("content", 7), TargetStatus::Ok);
    ASSERT_EQ(temp.finish(0640, 1000000000), TargetStatus::Ok);
    EXPECT_TRUE(entries().isEmpty()) << entries().join(' ').toStdString();
    bool taken = true;
    ASSERT_EQ(temp.placeAs(QStringLiteral("placed.txt"), &taken), TargetStatus::Ok);
    EXPECT_FALSE(taken);
    EXPECT_EQ(entries(), QStringList{QStringLiteral("placed.txt")});
    EXPECT_EQ(readFile(path("placed.txt")), "content");
    const struct stat st = statOf(path("placed.txt"));
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(st.st_nlink, 1u);
}

} // namespace
