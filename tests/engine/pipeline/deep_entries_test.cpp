// Entries far deeper than any real tree: what they cost must not grow with the square of
// their depth, nor hold a descriptor per level, and an entry the host cannot hold must not
// take the archive's other entries with it.

#include "skip_recorder.h"

#include "tests/support/test_drives.h"
#include "tests/support/zip_builder.h"

#include <velmarch/engine.h>

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <filesystem>

namespace archive_engine {
namespace {

// Lowers the soft limit on open descriptors to a few more than are open now, for the
// test's duration.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t spare) {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                        std::filesystem::directory_iterator());
        rlimit lowered = m_saved;
        lowered.rlim_cur = rlim_t(open) + spare;
        m_set = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }
    bool set() const { return m_set; }

private:
    rlimit m_saved{};
    bool m_set = false;
};

std::size_t filesBelow(const QString& dir) {
    std::size_t count = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir.toStdString())) {
        count += item.is_regular_file() && !item.is_symlink() ? 1 : 0;
    }
    return count;
}

// Writes the archive and extracts it into "out" of a temporary folder.
class DeepEntries : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    Result extract(const testsupport::RawZip& zip) {
        ExtractionRequest request;
        request.archive = dir.filePath("a.zip");
        request.destination = dir.filePath("out");
        zip.write(*request.archive);
        return engine.extract(request, sink);
    }

    QTemporaryDir dir;
    SkipRecorder sink;
    Engine engine;
};

TEST_F(DeepEntries, ExtractWithAFewDescriptorsBesideOrdinaryOnes) {
    // Deep enough for a descriptor per level to run out many times over, shallow enough
    // for the checks below to name the files by path.
    QByteArray deep;
    for (int i = 0; i < 1500; ++i) {
        deep += "a/";
    }
    testsupport::RawZip zip;
    zip.add(testsupport::RawZip::stored("first.txt", "first"));
    zip.add(testsupport::RawZip::stored(deep + "leaf.txt", "deep"));
    // A folder entry with a time at that depth, a link beside the leaf, and a second
    // leaf below a sibling folder: each walks the whole depth again.
    zip.add(testsupport::RawZip::stored(deep + "b/", ""));
    testsupport::RawZip::Entry link = testsupport::RawZip::stored(deep + "link", "leaf.txt");
    link.versionMadeBy = (3 << 8) | 20;
    link.externalAttributes = 0120777u << 16;
    zip.add(link);
    zip.add(testsupport::RawZip::deflated(deep + "b/other.txt", "other"));
    zip.add(testsupport::RawZip::stored("last.txt", "last"));
    Result result;
    {
        const DescriptorLimit limit(48);
        ASSERT_TRUE(limit.set());
        result = extract(zip);
    }
    EXPECT_EQ(result, Success);
    EXPECT_TRUE(sink.skips.empty());
    EXPECT_EQ(filesBelow(dir.filePath("out")), 4u);
    const QString leafFolder = dir.filePath("out/") + QString::fromUtf8(deep);
    EXPECT_EQ(testsupport::readFile(leafFolder + "b/other.txt"), "other");
    EXPECT_EQ(QFile::symLinkTarget(leafFolder + "link"), leafFolder + "leaf.txt");
}

// A name longer than the file system holds is skipped with its own reason and the host's
// error, and the archive's other entries still extract.
TEST_F(DeepEntries, ANameTheHostCannotHoldIsSkippedAlone) {
    const QByteArray tooLong(300, 'n');
    testsupport::RawZip zip;
    zip.add(testsupport::RawZip::stored("first.txt", "first"));
    zip.add(testsupport::RawZip::stored(tooLong + "/inside.txt", "inside"));
    zip.add(testsupport::RawZip::stored("folder/" + tooLong, "leaf"));
    zip.add(testsupport::RawZip::stored("last.txt", "last"));
    EXPECT_EQ(extract(zip), EntriesSkipped);
    EXPECT_EQ(sink.skips, (std::vector<std::pair<QString, SkipReason>>{
                              {QString::fromLatin1(tooLong + "/inside.txt"), SkipNameTooLong},
                              {QString::fromLatin1("folder/" + tooLong), SkipNameTooLong}}));
    EXPECT_EQ(engine.findings().firstReason, SkipNameTooLong);
    EXPECT_EQ(engine.findings().systemError, ENAMETOOLONG);
    EXPECT_EQ(testsupport::readFile(dir.filePath("out/first.txt")), "first");
    EXPECT_EQ(testsupport::readFile(dir.filePath("out/last.txt")), "last");
}

} // namespace
} // namespace archive_engine
