#include "engine_fixture.h"

#include <lzma.h>
#include <zstd.h>

#include <QDir>
#include <QFile>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace enginetest;
using testsupport::RawZip;

namespace {

// What every fixture archive in data/ holds as content.txt. The fixtures were made from it by:
//   7z a -tzip -mm=Deflate64 method-deflate64.zip content.txt
//   7z a -tzip -mm=BZip2 method-bzip2.zip content.txt
//   7z a -tzip -mm=LZMA method-lzma.zip content.txt
//   7z a -tzip -mm=XZ method-xz.zip content.txt
//   7z a -tzip -mm=PPMd method-ppmd.zip content.txt
//   7z a -tzip -mem=AES256 -psecret method-aes256.zip content.txt
//   zip -Z bzip2 method-bzip2-infozip.zip content.txt
// (7-Zip 26.02, Info-ZIP Zip 3.0.)
QByteArray fixtureContent() {
    QByteArray text;
    for (int i = 0; i < 1500; ++i) {
        text += "fixture line " + QByteArray::number(i) + ": the same words again and again, " +
                QByteArray::number(i * 7919 % 1000) + "\n";
    }
    return text;
}

QByteArray fixture(const char* name) {
    QFile file(QStringLiteral(ENGINE_TEST_DATA "/") + QLatin1String(name));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return file.readAll();
}

std::uint16_t le16(const QByteArray& bytes, qsizetype at) {
    return std::uint16_t(std::uint8_t(bytes[at]) | std::uint8_t(bytes[at + 1]) << 8);
}

// Where the first entry's stored data begins, from its local header.
qsizetype firstDataOffset(const QByteArray& archive) {
    return 30 + le16(archive, 26) + le16(archive, 28);
}

QByteArray zstdFrame(const QByteArray& content, int level = 3) {
    QByteArray out(qsizetype(ZSTD_compressBound(std::size_t(content.size()))), '\0');
    const std::size_t n = ZSTD_compress(out.data(), std::size_t(out.size()), content.constData(),
                                        std::size_t(content.size()), level);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(qsizetype(n));
    return out;
}

RawZip::Entry zstdEntry(const QByteArray& name, const QByteArray& content, const QByteArray& data) {
    RawZip::Entry e = RawZip::stored(name, content);
    e.method = 93;
    e.data = data;
    return e;
}

// An XZ stream whose block header asks for a 4 GiB window; the content repeats itself
// 200 KB back, so a window cut below the entry's size would not reach.
QByteArray xzAskingForFourGiB(const QByteArray& content) {
    QByteArray out = xzZipData(content);
    // The block header follows the 12-byte stream header: its LZMA2 filter flags are the
    // filter ID 0x21, a property size of 1 and the dictionary byte, 40 meaning 4 GiB - 1.
    const qsizetype header = 12;
    const qsizetype headerSize = (std::uint8_t(out[header]) + 1) * 4;
    const qsizetype filter = out.indexOf(QByteArray("\x21\x01", 2), header);
    EXPECT_TRUE(filter > header && filter + 2 < header + headerSize - 4);
    out[filter + 2] = char(40);
    const std::uint32_t crc =
        lzma_crc32(reinterpret_cast<const std::uint8_t*>(out.constData() + header),
                   std::size_t(headerSize - 4), 0);
    for (int i = 0; i < 4; ++i) {
        out[header + headerSize - 4 + i] = char(crc >> (8 * i));
    }
    return out;
}

} // namespace

TEST_F(EngineTest, FixturesOfEveryMethodDecodeByteExact) {
    const QByteArray content = fixtureContent();
    struct Case {
        const char* file;
        int result;
        std::vector<int> reasons;
    };
    const Case cases[] = {
        {"method-deflate64.zip", archive_engine::Success, {}},
        {"method-bzip2.zip", archive_engine::Success, {}},
        {"method-bzip2-infozip.zip", archive_engine::Success, {}},
        {"method-lzma.zip", archive_engine::Success, {}},
        {"method-xz.zip", archive_engine::Success, {}},
        {"method-ppmd.zip", archive_engine::Success, {}},
        {"method-aes256.zip", archive_engine::EntriesSkipped, {archive_engine::SkipBadPassword}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        QDir(outPath()).removeRecursively();
        testsupport::writeFile(archivePath(), fixture(c.file));
        const Outcome out = extract();
        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(out.reasons(), c.reasons);
        const std::map<QString, QByteArray> whole = {{"content.txt", content}};
        const std::map<QString, QByteArray> nothing;
        EXPECT_EQ(treeOf(outPath()), c.result == archive_engine::Success ? whole : nothing);
    }
}

TEST_F(EngineTest, DamagedStreamsOfEveryMethodLeaveNoFile) {
    const char* files[] = {"method-deflate64.zip", "method-bzip2.zip", "method-lzma.zip",
                           "method-xz.zip"};
    for (const char* file : files) {
        SCOPED_TRACE(file);
        QByteArray archive = fixture(file);
        const qsizetype data = firstDataOffset(archive);
        // A run of bytes in the middle of the compressed data overwritten.
        for (qsizetype i = data + 400; i < data + 440; ++i) {
            archive[i] = char(archive[i] ^ 0x5A);
        }
        testsupport::writeFile(archivePath(), archive);
        QDir(outPath()).removeRecursively();
        const Outcome out = extract();
        EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
        ASSERT_EQ(out.skips.size(), 1u);
        EXPECT_TRUE(out.skips[0].second == archive_engine::SkipBadCrc ||
                    out.skips[0].second == archive_engine::SkipCorrupted)
            << out.skips[0].second;
        EXPECT_TRUE(treeOf(outPath()).empty());
    }
}

TEST_F(EngineTest, DecodesZstdEntries) {
    const QByteArray text = fixtureContent();
    const QByteArray binary = noise(70000, 11);
    QByteArray damaged = zstdFrame(text);
    damaged[0] = char(damaged[0] ^ 0x40); // the frame's magic number
    RawZip::Entry oldNumber = zstdEntry("a.txt", text, zstdFrame(text));
    oldNumber.method = 20;
    struct Case {
        const char* label;
        RawZip::Entry entry;
        QByteArray content; // what lands, when nothing is skipped
        int reason;
    };
    const Case cases[] = {
        {"one frame", zstdEntry("a.txt", text, zstdFrame(text, 19)), text, 0},
        {"frames one after another",
         zstdEntry("a.txt", text + binary, zstdFrame(text) + zstdFrame(binary, 1)), text + binary,
         0},
        {"empty content", zstdEntry("a.txt", "", zstdFrame("")), "", 0},
        {"the number zstd had before 93", oldNumber, text, 0},
        {"damaged frame", zstdEntry("a.txt", text, damaged), {}, archive_engine::SkipCorrupted},
        {"frame cut short",
         zstdEntry("a.txt", text, zstdFrame(text).left(200)),
         {},
         archive_engine::SkipCorrupted},
        {"more content than declared",
         zstdEntry("a.txt", text.left(1000), zstdFrame(text)),
         {},
         archive_engine::SkipCorrupted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        RawZip().add(c.entry).write(archivePath());
        QDir(outPath()).removeRecursively();
        const Outcome out = extract();
        if (c.reason == 0) {
            EXPECT_EQ(out.result, archive_engine::Success);
            EXPECT_TRUE(out.skips.empty());
            EXPECT_EQ(treeOf(outPath()), (std::map<QString, QByteArray>{{"a.txt", c.content}}));
        } else {
            EXPECT_EQ(out.reasons(), std::vector<int>{c.reason});
            EXPECT_TRUE(treeOf(outPath()).empty());
        }
    }
}

TEST_F(EngineTest, XzWindowIsCutToTheEntrysSize) {
    const QByteArray half = noise(200000, 5);
    RawZip::Entry entry = RawZip::stored("wide.xz.bin", half + half);
    entry.method = 95;
    entry.data = xzAskingForFourGiB(half + half);
    RawZip().add(entry).write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::Success);
    EXPECT_EQ(treeOf(outPath()), (std::map<QString, QByteArray>{{"wide.xz.bin", half + half}}));

#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit below allows";
#else
    // The same archive in a process that may not map 1 GiB: a decoder that allocated the
    // window the header asks for would fail there.
    QDir(outPath()).removeRecursively();
    QDir().mkpath(outPath());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{1ul << 30, 1ul << 30};
        ::setrlimit(RLIMIT_AS, &limit);
        archive_engine::Engine engine;
        ::_exit(extractWith(engine, outPath()).result);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), archive_engine::Success);
#endif
}
