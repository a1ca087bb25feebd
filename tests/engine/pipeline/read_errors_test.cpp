// The disk failing under the archive is told apart from an archive that is damaged: the
// user is to hear "could not read", with the host's error, never "corrupt".

#include "pipeline/decode_pipeline.h"
#include "zip/zip_directory.h"

#include "tests/support/zip_builder.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>

namespace archive_engine {
namespace {

// An archive file whose reads fail with EIO from a given offset on, as a disk with a bad
// sector does.
class FailingFile : public QFile {
public:
    FailingFile(const QString& path, qint64 failFrom) : QFile(path), m_failFrom(failFrom) {}

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        if (pos() >= m_failFrom) {
            errno = EIO;
            return -1;
        }
        return QFile::readData(data, std::min(maxSize, m_failFrom - pos()));
    }

private:
    const qint64 m_failFrom;
};

class ReadErrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        testsupport::RawZip zip;
        zip.add(testsupport::RawZip::stored("first.txt", "first"));
        zip.add(testsupport::RawZip::deflated("second.txt", QByteArray(5000, 's')));
        m_path = m_dir.filePath("a.zip");
        zip.write(m_path);
        QFile whole(m_path);
        ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
        m_directory = readZipDirectory(whole);
        ASSERT_EQ(m_directory.status, ZipDirectory::Ok);
    }

    QTemporaryDir m_dir;
    QString m_path;
    ZipDirectory m_directory;
};

TEST_F(ReadErrorTest, AFailedReadOfTheDirectoryIsNoDamage) {
    FailingFile file(m_path, 0);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    const ZipDirectory read = readZipDirectory(file);
    EXPECT_EQ(read.status, ZipDirectory::Unreadable);
    EXPECT_EQ(read.problem, ArchiveProblem::ReadError);
    EXPECT_EQ(read.readError, EIO);
}

// Entries whose bytes cannot be read come with a read error and the host's reason, the
// ones before them intact.
TEST_F(ReadErrorTest, AFailedReadOfAnEntryIsAReadError) {
    auto file = std::make_unique<FailingFile>(m_path, qint64(m_directory.entries[1].dataOffset));
    ASSERT_TRUE(file->open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    std::vector<DecodePipeline::Job> jobs;
    for (const ZipEntry& entry : m_directory.entries) {
        jobs.push_back({&entry, false});
    }
    disk::TargetStatus status;
    DecodeMemory memory;
    DecodePipeline pipeline(std::move(file), m_directory, std::move(jobs), memory,
                            disk::TargetDir::openRoot(m_dir.path(), &status),
                            DecodePipeline::SmallFiles::OnWritingThread);
    const std::pair<DecodeResult, int> expected[] = {{DecodeResult::Ok, 0},
                                                     {DecodeResult::ReadError, EIO}};
    for (const auto& [verdict, error] : expected) {
        DecodePipeline::Piece piece;
        do {
            ASSERT_TRUE(pipeline.next(&piece, std::chrono::seconds(30)));
        } while (!piece.last);
        EXPECT_EQ(piece.verdict, verdict);
        EXPECT_EQ(piece.systemError, error);
        pipeline.endJob();
    }
}

} // namespace
} // namespace archive_engine
