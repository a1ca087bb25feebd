// Small files, made by either thread: the rule that says which one is forced, so that each
// delivery is reached on purpose, and both must leave the same destination behind.

#include "disk/extract_target.h"
#include "pipeline/decode_pipeline.h"
#include "pipeline/extraction.h"

#include "skip_recorder.h"

#include "tests/support/test_drives.h"
#include "tests/support/zip_builder.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>

namespace archive_engine {
namespace {

using SmallFiles = DecodePipeline::SmallFiles;
using testsupport::readFile;

QByteArray contentOf(int i) {
    return "file " + QByteArray::number(i) + " " + QByteArray(i * 7, char('a' + i % 26));
}

class SmallFilesTest : public ::testing::TestWithParam<SmallFiles> {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_TRUE(QDir().mkpath(out()));
    }
    QString archive() const { return m_dir.filePath(QStringLiteral("a.zip")); }
    QString out() const { return m_dir.filePath(QStringLiteral("out")); }
    QString out(const QString& relative) const { return out() + QLatin1Char('/') + relative; }

    Result extract(SkipRecorder& sink) {
        ExtractionRequest request;
        request.archive = archive();
        request.destination = out();
        std::atomic<bool> abort{false};
        std::unique_ptr<DecodeMemory> memory;
        disk::DurableSet placed;
        Extraction extraction(request, sink, abort, memory, placed, GetParam());
        return extraction.run();
    }

    bool hasUnnamedFiles() const {
        disk::TargetStatus status;
        const disk::TargetDir dir = disk::TargetDir::openRoot(out(), &status);
        disk::TempOutput probe;
        return status == disk::TargetStatus::Ok &&
               probe.createUnnamed(dir) == disk::TargetStatus::Ok;
    }

    QTemporaryDir m_dir;
};

// Every job of the pipeline alone, taken in order: under each rule the files come made
// ahead exactly where that rule says, and hold their entry's bytes either way.
TEST_P(SmallFilesTest, EachRuleDeliversEveryJobItsWay) {
    if (!hasUnnamedFiles()) {
        GTEST_SKIP() << "the file system here has no unnamed files";
    }
    ASSERT_TRUE(QDir().mkpath(out("there/deeper")));
    testsupport::RawZip zip;
    std::vector<QByteArray> names;
    for (int i = 0; i < 120; ++i) {
        // The top folder, a folder that exists, and one that nobody made: content only.
        const char* folder = i % 3 == 0 ? "" : i % 3 == 1 ? "there/deeper/" : "missing/";
        names.push_back(folder + ("f" + QByteArray::number(i)));
        zip.add(i % 2 ? testsupport::RawZip::stored(names.back(), contentOf(i))
                      : testsupport::RawZip::deflated(names.back(), contentOf(i)));
    }
    zip.write(archive());

    auto file = std::make_unique<QFile>(archive());
    ASSERT_TRUE(file->open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    const ZipDirectory directory = readZipDirectory(*file);
    ASSERT_EQ(directory.status, ZipDirectory::Ok);
    std::vector<DecodePipeline::Job> jobs;
    for (const ZipEntry& entry : directory.entries) {
        jobs.push_back({&entry, true});
    }
    disk::TargetStatus status;
    disk::TargetDir root = disk::TargetDir::openRoot(out(), &status);
    DecodeMemory memory;
    DecodePipeline pipeline(std::move(file), directory, std::move(jobs), memory, std::move(root),
                            GetParam());

    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i].toStdString());
        QByteArray content;
        DecodePipeline::Piece piece;
        for (;;) {
            ASSERT_TRUE(pipeline.next(&piece, std::chrono::seconds(30)));
            if (piece.last) {
                break;
            }
            content.append(piece.data, qsizetype(piece.size));
        }
        ASSERT_EQ(piece.verdict, DecodeResult::Ok);
        // Made ahead wherever the folder is there, under the rule that says so; under the
        // shared rule, wherever the worker found the writing side behind.
        if (GetParam() != SmallFiles::Shared) {
            ASSERT_EQ(piece.file != nullptr,
                      GetParam() == SmallFiles::OnDecodingThread && i % 3 != 2);
        }
        if (piece.file) {
            ASSERT_NE(i % 3, 2u);
            EXPECT_TRUE(content.isEmpty());
            // Made in its own folder: placed through another descriptor of that folder.
            const QString folder = out(QString::fromUtf8(names[i]).section('/', 0, -2));
            const disk::TargetDir own = disk::TargetDir::openRoot(folder, &status);
            ASSERT_TRUE(piece.file->moveTo(own));
            if (!piece.file->finished()) {
                ASSERT_EQ(piece.file->finish(-1, std::nullopt), disk::TargetStatus::Ok);
            }
            bool taken = false;
            const QString leaf = QString::fromUtf8(names[i]).section('/', -1);
            ASSERT_EQ(piece.file->placeAs(leaf, &taken), disk::TargetStatus::Ok);
            content = readFile(folder + QLatin1Char('/') + leaf);
        }
        EXPECT_EQ(content, contentOf(int(i)));
        pipeline.endJob();
    }
}

// The whole extraction under each rule: folders made by entries, a file that is there
// already with the same bytes and one with others, a damaged entry, a deep folder. The
// destination and the skips are the same whichever thread made the files.
TEST_P(SmallFilesTest, EitherDeliveryLeavesTheSameDestination) {
    ASSERT_TRUE(QDir().mkpath(out("kept")));
    testsupport::writeFile(out("kept/same.txt"), "same");
    testsupport::writeFile(out("kept/other.txt"), "mine");
    QByteArray deep;
    for (int i = 0; i < 200; ++i) {
        deep += "d/";
    }
    testsupport::RawZip zip;
    zip.add(testsupport::RawZip::stored("made/", ""));
    std::map<QString, QByteArray> expected{
        {"kept/same.txt", "same"}, {"kept/other.txt", "mine"}, {"kept/other (2).txt", "theirs"}};
    for (int i = 0; i < 60; ++i) {
        const QByteArray name = (i % 2 ? "made/g" : "g") + QByteArray::number(i);
        zip.add(testsupport::RawZip::deflated(name, contentOf(i)));
        expected[QString::fromUtf8(name)] = contentOf(i);
    }
    zip.add(testsupport::RawZip::stored("kept/same.txt", "same"));
    zip.add(testsupport::RawZip::stored("kept/other.txt", "theirs"));
    testsupport::RawZip::Entry damaged = testsupport::RawZip::stored("made/bad", "bad bytes");
    damaged.crc ^= 1;
    zip.add(damaged);
    zip.add(testsupport::RawZip::stored(deep + "leaf", "deep"));
    expected[QString::fromUtf8(deep + "leaf")] = "deep";
    zip.write(archive());

    SkipRecorder sink;
    EXPECT_EQ(extract(sink), EntriesSkipped);
    EXPECT_EQ(sink.skips, (std::vector<std::pair<QString, SkipReason>>{
                              {"kept/same.txt", SkipUpToDate}, {"made/bad", SkipBadCrc}}));
    std::map<QString, QByteArray> files;
    const std::filesystem::path root(out().toStdString());
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) {
            files[QString::fromStdString(item.path().lexically_relative(root).string())] =
                readFile(QString::fromStdString(item.path().string()));
        }
    }
    EXPECT_EQ(files, expected);
}

// A file takes its group from the folder it is made in where that folder hands its own
// down (set-group-ID): made ahead in the top folder and linked into this one, it would
// carry the top folder's group instead.
TEST_P(SmallFilesTest, FilesTakeTheGroupOfTheirOwnFolder) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a folder another group needs root";
    }
    const gid_t group = 4242;
    ASSERT_TRUE(QDir().mkpath(out("shared")));
    const QByteArray shared = QFile::encodeName(out("shared"));
    ASSERT_EQ(::chown(shared.constData(), 0, group), 0);
    ASSERT_EQ(::chmod(shared.constData(), 02775), 0);
    testsupport::RawZip zip;
    for (int i = 0; i < 40; ++i) {
        zip.add(testsupport::RawZip::stored("shared/f" + QByteArray::number(i), contentOf(i)));
    }
    zip.write(archive());

    SkipRecorder sink;
    ASSERT_EQ(extract(sink), Success);
    for (int i = 0; i < 40; ++i) {
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(out("shared/f%1").arg(i)).constData(), &st), 0);
        EXPECT_EQ(st.st_gid, group) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Rule, SmallFilesTest,
                         ::testing::Values(SmallFiles::OnWritingThread,
                                           SmallFiles::OnDecodingThread, SmallFiles::Shared),
                         [](const auto& info) {
                             switch (info.param) {
                             case SmallFiles::OnWritingThread:
                                 return std::string("OnWritingThread");
                             case SmallFiles::OnDecodingThread:
                                 return std::string("OnDecodingThread");
                             case SmallFiles::Shared:
                                 break;
                             }
                             return std::string("Shared");
                         });

} // namespace
} // namespace archive_engine
