// Named temporaries a killed run left behind: which names are ours, which of them may go,
// and when a folder is swept.

#include "tests/engine/disk/disk_fixture.h"

#include "disk/fs_traits.h"
#include "disk/leftovers.h"

#include "tests/support/test_drives.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace archive_engine::disk;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// The pid of a process that has ended and been reaped.
pid_t gonePid() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    EXPECT_GT(child, 0);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    return child;
}

QByteArray leftoverOf(pid_t pid, const char* rest = "-1-0000abcd.part") {
    return ".velmarch-" + QByteArray::number(pid) + rest;
}

TEST(TemporaryNameTest, OnlyOurOwnExactNamesAreTemporaries) {
    struct Case {
        QByteArray name;
        std::optional<pid_t> owner;
    };
    const Case cases[] = {
        {".velmarch-1234-0-0000abcd.part", 1234},
        {".velmarch-1-4294967295-ffffffff.part", 1},
        {".velmarch-2147483647-7-01234567.part", 2147483647},
        {".velmarch-2147483648-7-01234567.part", std::nullopt},
        {".velmarch-1234-4294967296-0000abcd.part", std::nullopt},
        {".velmarch-0-1-0000abcd.part", std::nullopt},
        {".velmarch-01234-1-0000abcd.part", std::nullopt},
        {".velmarch-1234-01-0000abcd.part", std::nullopt},
        {".velmarch--1-1-0000abcd.part", std::nullopt},
        {".velmarch-1234--0000abcd.part", std::nullopt},
        {".velmarch-1234-1-0000ABCD.part", std::nullopt},
        {".velmarch-1234-1-000abcd.part", std::nullopt},
        {".velmarch-1234-1-00000abcd.part", std::nullopt},
        {".velmarch-1234-1-0000abcg.part", std::nullopt},
        {".velmarch-1234-1-0000abcd.part.txt", std::nullopt},
        {".velmarch-1234-1-0000abcd.PART", std::nullopt},
        {"velmarch-1234-1-0000abcd.part", std::nullopt},
        {".velmarch-1234-0000abcd.part", std::nullopt},
        {".velmarch- 1234-1-0000abcd.part", std::nullopt},
        {".velmarch-x.part", std::nullopt},
        {".velmarch-.part", std::nullopt},
        {"notes.part", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EXPECT_EQ(temporaryOwner(c.name), c.owner);
    }
    for (const pid_t pid : {1, 42, 4194304}) {
        for (const unsigned serial : {0u, 9u, 4294967295u}) {
            const QByteArray name = temporaryName(pid, serial, 0x00c0ffee);
            SCOPED_TRACE(name.toStdString());
            EXPECT_EQ(temporaryOwner(name), pid);
        }
    }
}

class LeftoversTest : public disktest::DiskTest {
protected:
    void SetUp() override {
        DiskTest::SetUp();
        m_fileSystem = fileSystem();
        forgetSweptFolders();
    }
    void TearDown() override { presumeLacking(m_fileSystem, 0); }

    FileSystemId m_fileSystem;
};

TEST_F(LeftoversTest, OnlyFilesOfRunsThatAreGoneAreRemoved) {
    const pid_t gone = gonePid();
    enum class Kind { File, LinkToFile, Folder };
    struct Case {
        QByteArray name;
        Kind kind;
        bool kept;
    };
    const Case cases[] = {
        {leftoverOf(gone), Kind::File, false},
        {leftoverOf(gone, "-0-ffffffff.part"), Kind::File, false},
        {leftoverOf(gone, "-2-0000abcd.part"), Kind::LinkToFile, true},
        {leftoverOf(gone, "-3-0000abcd.part"), Kind::Folder, true},
        {leftoverOf(::getpid()), Kind::File, true},
        {leftoverOf(::getppid()), Kind::File, true},
        {leftoverOf(1), Kind::File, true},
        {leftoverOf(gone, "-1-0000ABCD.part"), Kind::File, true},
        {".velmarch-x.part", Kind::File, true},
        {"notes.part", Kind::File, true},
    };
    const QString outside = m_tmp.filePath(QStringLiteral("outside"));
    writeFile(outside, "not ours");
    for (const Case& c : cases) {
        const QString name = QFile::decodeName(c.name);
        switch (c.kind) {
        case Kind::File:
            writeFile(path(name), "partial");
            break;
        case Kind::LinkToFile:
            link(name, QFile::encodeName(outside));
            break;
        case Kind::Folder:
            ASSERT_TRUE(QDir().mkpath(path(name)));
            writeFile(path(name + "/inside"), "kept");
            break;
        }
    }
    const TargetDir root = openRoot();
    EXPECT_EQ(removeLeftovers(root.fd()), 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EXPECT_EQ(QFileInfo::exists(path(QFile::decodeName(c.name))) ||
                      QFileInfo(path(QFile::decodeName(c.name))).isSymLink(),
                  c.kept);
    }
    EXPECT_EQ(readFile(outside), "not ours");
}

TEST_F(LeftoversTest, TheFirstNamedTemporaryInAFolderSweepsIt) {
    presumeLacking(m_fileSystem, unsigned(Feature::UnnamedFiles));
    const QString leftover = QFile::decodeName(leftoverOf(gonePid()));
    ASSERT_TRUE(QDir().mkpath(path("sub")));
    writeFile(path(leftover), "partial");
    writeFile(path("sub/" + leftover), "partial");
    const TargetDir root = openRoot();
    TempOutput first;
    ASSERT_EQ(first.create(root), TargetStatus::Ok);
    EXPECT_FALSE(QFile::exists(path(leftover)));
    // Only the folder written to.
    EXPECT_TRUE(QFile::exists(path("sub/" + leftover)));
    // Once per folder: afterwards only our own temporaries can appear in it.
    writeFile(path(leftover), "partial");
    TempOutput second;
    ASSERT_EQ(second.create(root), TargetStatus::Ok);
    EXPECT_TRUE(QFile::exists(path(leftover)));
}

TEST_F(LeftoversTest, UnnamedTemporariesLeaveTheFolderUnread) {
    if (!disktest::hostHasUnnamedFiles(m_root)) {
        GTEST_SKIP() << "the file system of the temporary folder makes no unnamed files";
    }
    const QString leftover = QFile::decodeName(leftoverOf(gonePid()));
    writeFile(path(leftover), "partial");
    const TargetDir root = openRoot();
    TempOutput temp;
    ASSERT_EQ(temp.create(root), TargetStatus::Ok);
    EXPECT_TRUE(QFile::exists(path(leftover)));
}

} // namespace
