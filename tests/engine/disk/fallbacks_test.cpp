// Placing output on file systems that lack unnamed files, RENAME_NOREPLACE, hard links or
// permission bits (FAT, exFAT, NTFS through FUSE): every combination taken on purpose, on
// a disk that has them all, by presuming them lacking as if learned.

#include "tests/engine/disk/disk_fixture.h"

#include "disk/fs_traits.h"
#include "disk/leftovers.h"

#include "tests/support/test_drives.h"

#include <QFile>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace archive_engine::disk;
using disktest::statOf;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

QByteArray randomBytes(std::size_t size) {
    std::mt19937 random(size);
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    for (char& c : bytes) {
        c = char(random());
    }
    return bytes;
}

// More than one piece of the comparison.
const QByteArray kContent = randomBytes((3 << 20) / 2);

class FallbackTest : public disktest::DiskTest, public ::testing::WithParamInterface<unsigned> {
protected:
    void SetUp() override {
        DiskTest::SetUp();
        m_fileSystem = fileSystem();
        presumeLacking(m_fileSystem, GetParam());
    }
    void TearDown() override { presumeLacking(m_fileSystem, 0); }

    bool lacks(Feature feature) const { return (GetParam() & unsigned(feature)) != 0; }

    // The names of our own temporaries in the destination.
    QStringList temporaries() const {
        QStringList found;
        for (const QString& name : entries()) {
            if (temporaryOwner(QFile::encodeName(name))) {
                found << name;
            }
        }
        return found;
    }

    // A finished output holding `content`.
    void write(TempOutput& temp, const TargetDir& root, const QByteArray& content,
               int unixMode = -1) const {
        ASSERT_EQ(temp.create(root), TargetStatus::Ok);
        const qsizetype half = content.size() / 2;
        ASSERT_EQ(temp.write(content.constData(), std::size_t(half)), TargetStatus::Ok);
        ASSERT_EQ(temp.write(content.constData() + half, std::size_t(content.size() - half)),
                  TargetStatus::Ok);
        ASSERT_EQ(temp.finish(unixMode, 1000000000), TargetStatus::Ok);
    }

    FileSystemId m_fileSystem;
};

TEST_P(FallbackTest, PlacesTheBytesAndLeavesNoTemporary) {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    const TargetDir root = openRoot();
    TempOutput temp;
    write(temp, root, kContent, 0640);
    // Named only where unnamed files are lacking: the seam takes the fallback for real.
    EXPECT_EQ(temporaries().size(), lacks(Feature::UnnamedFiles) ? 1 : 0);
    bool taken = true;
    ASSERT_EQ(temp.placeAs(QStringLiteral("placed.bin"), &taken), TargetStatus::Ok);
    EXPECT_FALSE(taken);
    EXPECT_EQ(entries(), QStringList{QStringLiteral("placed.bin")});
    EXPECT_TRUE(readFile(path("placed.bin")) == kContent);
    const struct stat st = statOf(path("placed.bin"));
    EXPECT_EQ(st.st_mode & 0777, lacks(Feature::Modes) ? 0666u & ~mask : 0640u);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(st.st_nlink, 1u);
}

TEST_P(FallbackTest, HeldNamesAreNeverReplacedAndComparedByContent) {
    writeFile(path("same.bin"), kContent);
    writeFile(path("other.bin"), "held");
    QByteArray changed = kContent;
    changed[changed.size() - 1] = char(changed.back() ^ 1);
    writeFile(path("changed.bin"), changed);
    ASSERT_TRUE(QDir().mkpath(path("folder")));
    link("link", "other.bin");
    link("dangling", "nowhere");
    const QStringList before = entries();
    const TargetDir root = openRoot();
    TempOutput temp;
    write(temp, root, kContent);
    EXPECT_TRUE(temp.sameContentAs(QStringLiteral("same.bin")));
    for (const char* name : {"other.bin", "changed.bin", "folder", "link", "missing"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(temp.sameContentAs(QString::fromUtf8(name)));
    }
    for (const char* name : {"same.bin", "other.bin", "folder", "link", "dangling"}) {
        SCOPED_TRACE(name);
        bool taken = false;
        EXPECT_NE(temp.placeAs(QString::fromUtf8(name), &taken), TargetStatus::Ok);
        EXPECT_TRUE(taken);
    }
    EXPECT_EQ(readFile(path("other.bin")), "held");
    EXPECT_TRUE(readFile(path("changed.bin")) == changed);
    EXPECT_EQ(QFile::symLinkTarget(path("link")), path("other.bin"));
    EXPECT_FALSE(QFile::exists(path("nowhere")));
    EXPECT_TRUE(entries(QStringLiteral("folder")).isEmpty());
    bool taken = true;
    ASSERT_EQ(temp.placeAs(QStringLiteral("free.bin"), &taken), TargetStatus::Ok);
    EXPECT_TRUE(readFile(path("free.bin")) == kContent);
    QStringList expected = before;
    expected << QStringLiteral("free.bin");
    QStringList now = entries();
    expected.sort();
    now.sort();
    EXPECT_EQ(now, expected);
}

TEST_P(FallbackTest, AFailedPlaceLeavesNothing) {
    const QString tooLong(300, u'n');
    const TargetDir root = openRoot();
    {
        TempOutput temp;
        write(temp, root, kContent);
        bool taken = true;
        EXPECT_EQ(temp.placeAs(tooLong, &taken), TargetStatus::NameTooLong);
        EXPECT_FALSE(taken);
    }
    EXPECT_TRUE(entries().isEmpty()) << entries().join(' ').toStdString();
    if (!lacks(Feature::UnnamedFiles)) {
        return;
    }
    // The named file gone before it is placed: the rename fails after the name was
    // claimed, where it is claimed, and the claim is given back.
    TempOutput temp;
    write(temp, root, kContent);
    const QStringList named = temporaries();
    ASSERT_EQ(named.size(), 1);
    ASSERT_TRUE(QFile::remove(path(named.front())));
    bool taken = true;
    EXPECT_NE(temp.placeAs(QStringLiteral("gone.bin"), &taken), TargetStatus::Ok);
    EXPECT_FALSE(taken);
    EXPECT_TRUE(entries().isEmpty()) << entries().join(' ').toStdString();
}

TEST_P(FallbackTest, DiscardedOutputLeavesNothing) {
    const TargetDir root = openRoot();
    {
        TempOutput temp;
        ASSERT_EQ(temp.create(root), TargetStatus::Ok);
        ASSERT_EQ(temp.write("lost", 4), TargetStatus::Ok);
    }
    TempOutput finished;
    write(finished, root, kContent);
    finished.discard();
    EXPECT_TRUE(entries().isEmpty()) << entries().join(' ').toStdString();
}

// Another file system given the same device number (the next stick in the same port)
// is learned afresh unless it is of the same kind.
TEST(FileSystemTraitsTest, LearnedPerFileSystemNotPerDeviceNumber) {
    const FileSystemId fat{7, 0x4d44, 1};
    learnLacking(fat, Feature::Modes);
    EXPECT_FALSE(mayUse(fat, Feature::Modes));
    EXPECT_TRUE(mayUse(fat, Feature::HardLinks));
    EXPECT_TRUE(mayUse(FileSystemId{7, 0xef53, 1}, Feature::Modes));
    EXPECT_TRUE(mayUse(FileSystemId{7, 0x4d44, 2}, Feature::Modes));
    EXPECT_TRUE(mayUse(FileSystemId{8, 0x4d44, 1}, Feature::Modes));
    presumeLacking(fat, 0);
    EXPECT_TRUE(mayUse(fat, Feature::Modes));
}

std::string lackingName(const ::testing::TestParamInfo<unsigned>& info) {
    std::string name;
    const std::pair<Feature, const char*> features[] = {
        {Feature::UnnamedFiles, "NoUnnamedFiles"},
        {Feature::NoReplaceRename, "NoNoReplaceRename"},
        {Feature::HardLinks, "NoHardLinks"},
        {Feature::Modes, "NoModes"},
    };
    for (const auto& [feature, label] : features) {
        if (info.param & unsigned(feature)) {
            name += name.empty() ? label : std::string("_") + label;
        }
    }
    return name.empty() ? "Everything" : name;
}

INSTANTIATE_TEST_SUITE_P(EveryCombination, FallbackTest, ::testing::Range(0u, 16u), lackingName);

} // namespace
