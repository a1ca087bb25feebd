#include "engine_fixture.h"

#include <lzma.h>

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

using namespace enginetest;
using testsupport::RawZip;
using testsupport::ZipBuilder;

namespace {

QByteArray textLike(int lines) {
    QByteArray text;
    for (int i = 0; i < lines; ++i) {
        text += "line " + QByteArray::number(i) + " of a rather repetitive text file\n";
    }
    return text;
}

// The zip form of an LZMA entry: version, properties size, properties, raw LZMA1 data.
// `dictionarySize`, when given, replaces the window size the header asks for.
QByteArray lzmaZipData(const QByteArray& content,
                       std::optional<std::uint32_t> dictionarySize = std::nullopt) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::uint32_t propsSize = 0;
    lzma_properties_size(&propsSize, &filters[0]);
    QByteArray props(qsizetype(propsSize), '\0');
    lzma_properties_encode(&filters[0], reinterpret_cast<std::uint8_t*>(props.data()));
    if (dictionarySize) {
        for (int i = 0; i < 4; ++i) {
            props[1 + i] = char(*dictionarySize >> (8 * i));
        }
    }
    QByteArray out(content.size() + 1024, '\0');
    std::size_t outPos = 0;
    EXPECT_EQ(lzma_raw_buffer_encode(
                  filters, nullptr, reinterpret_cast<const std::uint8_t*>(content.constData()),
                  std::size_t(content.size()), reinterpret_cast<std::uint8_t*>(out.data()), &outPos,
                  std::size_t(out.size())),
              LZMA_OK);
    out.resize(qsizetype(outPos));
    return QByteArray("\x10\x02\x05\x00", 4) + props + out;
}

TEST_F(EngineTest, ExtractsEachMethodIntact) {
    const QByteArray text = textLike(5000);
    const QByteArray binary = noise(300000, 7);
    struct Case {
        const char* label;
        ZipBuilder::Method method;
    };
    for (const Case& c : {Case{"stored", ZipBuilder::Stored}, Case{"deflate", ZipBuilder::Deflate},
                          Case{"bzip2", ZipBuilder::Bzip2}}) {
        SCOPED_TRACE(c.label);
        ZipBuilder::Options options;
        options.method = c.method;
        ZipBuilder()
            .addFile("text.txt", text, options)
            .addFile("deep/er/noise.bin", binary, options)
            .addFile("empty.txt", {}, options)
            .write(archivePath());
        const QString dir = QStringLiteral("out_") + c.label;
        const Outcome out = extract(dir);
        EXPECT_EQ(out.result, archive_engine::Success);
        EXPECT_TRUE(out.skips.empty());
        const std::map<QString, QByteArray> expected = {{"text.txt", text},
                                                        {"deep", "<dir>"},
                                                        {"deep/er", "<dir>"},
                                                        {"deep/er/noise.bin", binary},
                                                        {"empty.txt", ""}};
        EXPECT_EQ(treeOf(host(dir)), expected);
        ASSERT_FALSE(out.progress.empty());
        EXPECT_EQ(out.progress.front(), 0);
        EXPECT_EQ(out.progress.back(), 100);
        EXPECT_TRUE(std::is_sorted(out.progress.begin(), out.progress.end()));
        EXPECT_EQ(out.started.size(), 3);
    }
}

TEST_F(EngineTest, DecodesLzmaXzAndLargeDeflateStreams) {
    // A deflate stream of many chunks, its matches reaching across chunk boundaries.
    const QByteArray big = textLike(900000);
    ASSERT_GT(big.size(), 33 << 20);
    const QByteArray small = textLike(3000);
    RawZip::Entry lzma = RawZip::stored("packed.lzma.txt", small);
    lzma.method = 14;
    lzma.flags = 0x0002; // end-of-stream marker present
    lzma.data = lzmaZipData(small);
    // A header asking for a 4 GiB window over content whose second half repeats its first,
    // 200 KB back: the window is cut to the entry's length, which must still reach.
    const QByteArray half = noise(200000, 3);
    RawZip::Entry wide = RawZip::stored("wide.lzma.bin", half + half);
    wide.method = 14;
    wide.flags = 0x0002;
    wide.data = lzmaZipData(half + half, 0xFFFFFFFFu);
    const QByteArray other = textLike(2000);
    RawZip::Entry xz = RawZip::stored("packed.xz.txt", other);
    xz.method = 95;
    xz.data = xzZipData(other);
    RawZip().add(lzma).add(wide).add(xz).add(RawZip::deflated("big.txt", big)).write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::Success);
    EXPECT_TRUE(out.skips.empty());
    const std::map<QString, QByteArray> expected = {{"packed.lzma.txt", small},
                                                    {"wide.lzma.bin", half + half},
                                                    {"packed.xz.txt", other},
                                                    {"big.txt", big}};
    EXPECT_EQ(treeOf(outPath()), expected);
}

TEST_F(EngineTest, ReadsZip64Records) {
    const QByteArray content = textLike(100);
    RawZip()
        .add(RawZip::stored("one.txt", content))
        .add(RawZip::deflated("two.txt", content + "2"))
        .zip64()
        .write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::Success);
    const std::map<QString, QByteArray> expected = {{"one.txt", content},
                                                    {"two.txt", content + "2"}};
    EXPECT_EQ(treeOf(outPath()), expected);
}

TEST_F(EngineTest, EmptyArchiveHasNothingToExtract) {
    RawZip().write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::NothingToExtract);
    EXPECT_EQ(out.progress, (std::vector<int>{0, 100}));
    EXPECT_TRUE(treeOf(outPath()).empty());
}

TEST_F(EngineTest, DirectoryEntriesCreateDirectories) {
    ZipBuilder().addDirectory("a/").addDirectory("a/b/").addDirectory("c\\").write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::Success);
    const std::map<QString, QByteArray> expected = {
        {"a", "<dir>"}, {"a/b", "<dir>"}, {"c", "<dir>"}};
    EXPECT_EQ(treeOf(outPath()), expected);
}

TEST_F(EngineTest, DecodesNamesByTheirFlag) {
    ZipBuilder()
        .addFile("grüße/naïve.txt", "utf8")
        .addRawCp437File("\x81"
                         "ber\\\x9B"
                         "cent.txt",
                         "cp437")
        .addFile("back\\slash\\name.txt", "backslash")
        .write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::Success);
    const std::map<QString, QByteArray> expected = {{QString::fromUtf8("grüße"), "<dir>"},
                                                    {QString::fromUtf8("grüße/naïve.txt"), "utf8"},
                                                    {QString::fromUtf8("über"), "<dir>"},
                                                    {QString::fromUtf8("über/¢cent.txt"), "cp437"},
                                                    {"back", "<dir>"},
                                                    {"back/slash", "<dir>"},
                                                    {"back/slash/name.txt", "backslash"}};
    EXPECT_EQ(treeOf(outPath()), expected);
}

TEST_F(EngineTest, UnicodePathFieldNamesAnUnflaggedEntry) {
    RawZip::Entry entry = RawZip::stored("caf\x82.txt", "x");
    const QByteArray utf8 = QString::fromUtf8("café.txt").toUtf8();
    const std::uint32_t crc = testsupport::crc32Of(entry.name);
    QByteArray field("\x75\x70", 2);
    field += char(5 + utf8.size()) + QByteArray(1, '\0') + QByteArray(1, '\x01');
    for (int i = 0; i < 4; ++i) {
        field += char((crc >> (8 * i)) & 0xFF);
    }
    entry.centralExtra = field + utf8;
    RawZip().add(entry).write(archivePath());
    EXPECT_EQ(extract().result, archive_engine::Success);
    EXPECT_EQ(testsupport::readFile(host(QString::fromUtf8("out/café.txt"))), "x");
}

TEST_F(EngineTest, AppliesTimesAndUnixPermissions) {
    ZipBuilder::Options executable;
    executable.mtime = 1262304000; // 2010-01-01
    executable.unixMode = 0755;
    ZipBuilder::Options readOnly;
    readOnly.unixMode = 0400;
    ZipBuilder::Options special;
    special.unixMode = 04777; // set-uid is not carried over
    ZipBuilder()
        .addFile("run.sh", "#!/bin/sh\n", executable)
        .addFile("locked.txt", "x", readOnly)
        .addFile("suid", "x", special)
        .write(archivePath());
    ASSERT_EQ(extract().result, archive_engine::Success);
    struct stat st;
    ASSERT_EQ(::stat(host("out/run.sh").toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_mtime, 1262304000);
    // The owner can always delete and rewrite what we wrote.
    ASSERT_EQ(::stat(host("out/locked.txt").toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat(host("out/suid").toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
}

TEST_F(EngineTest, FilesTakeTheGroupTheirFolderHandsDown) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a folder a group of its own";
    }
    // out/shared is there already, set-group-ID with a group of its own.
    constexpr gid_t kShared = 4242;
    ASSERT_TRUE(QDir().mkpath(host("out/shared")));
    const QByteArray shared = host("out/shared").toUtf8();
    ASSERT_EQ(::chown(shared.constData(), uid_t(-1), kShared), 0);
    ASSERT_EQ(::chmod(shared.constData(), 02775), 0);
    ZipBuilder()
        .addFile("shared/small.txt", "x")
        .addFile("shared/sub/deeper.txt", "y")
        .addFile("top.txt", "z")
        .write(archivePath());
    ASSERT_EQ(extract().result, archive_engine::Success);
    struct stat st;
    for (const char* path : {"out/shared/small.txt", "out/shared/sub/deeper.txt"}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(::stat(host(QString::fromUtf8(path)).toUtf8().constData(), &st), 0);
        EXPECT_EQ(st.st_gid, kShared);
    }
    ASSERT_EQ(::stat(host("out/top.txt").toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_gid, ::getegid());
}

TEST_F(EngineTest, FoldersKeepTheirTimesAfterTheirContentIsPlaced) {
    // Folder entries come first, as archivers write them; the files placed in them later
    // would move a time set on creation to now.
    auto folder = [](const QByteArray& name, std::uint32_t mtime) {
        RawZip::Entry e = RawZip::stored(name, "");
        e.centralExtra = QByteArray("\x55\x54\x05\x00\x01", 5);
        for (int i = 0; i < 4; ++i) {
            e.centralExtra += char(mtime >> (8 * i));
        }
        return e;
    };
    RawZip()
        .add(folder("d/", 1262304000))
        .add(folder("d/e/", 1293840000))
        .add(RawZip::stored("d/e/f.txt", "f"))
        .add(RawZip::stored("d/g.txt", "g"))
        .write(archivePath());
    ASSERT_EQ(extract().result, archive_engine::Success);
    struct stat st;
    ASSERT_EQ(::lstat(host("out/d").toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1262304000);
    ASSERT_EQ(::lstat(host("out/d/e").toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1293840000);
}

TEST_F(EngineTest, IdenticalFileIsUpToDateAndDifferentOneIsKept) {
    ZipBuilder()
        .addFile("same.txt", "same")
        .addFile("notes.txt", "from the archive")
        .addFile("README", "new readme")
        .write(archivePath());
    testsupport::writeFile(host("out/same.txt"), "same");
    testsupport::writeFile(host("out/notes.txt"), "mine");
    testsupport::writeFile(host("out/notes (2).txt"), "also mine");
    testsupport::writeFile(host("out/README"), "old readme");

    const Outcome first = extract();
    EXPECT_EQ(first.result, archive_engine::Success);
    EXPECT_EQ(first.skips,
              (std::vector<std::pair<QString, int>>{{"same.txt", archive_engine::SkipUpToDate}}));
    const std::map<QString, QByteArray> expected = {
        {"same.txt", "same"},           {"notes.txt", "mine"},
        {"notes (2).txt", "also mine"}, {"notes (3).txt", "from the archive"},
        {"README", "old readme"},       {"README (2)", "new readme"}};
    EXPECT_EQ(treeOf(outPath()), expected);

    // Extracting again finds every entry already there, under whichever name it took.
    const Outcome second = extract();
    EXPECT_EQ(second.result, archive_engine::Success);
    EXPECT_EQ(second.reasons(), std::vector<int>(3, archive_engine::SkipUpToDate));
    EXPECT_EQ(treeOf(outPath()), expected);
}

TEST_F(EngineTest, MissingDestinationIsCreatedOnlyWhenAnswered) {
    ZipBuilder().addFile("f.txt", "x").write(archivePath());

    const Outcome refused = extract("new/deeper", false);
    EXPECT_EQ(refused.result, archive_engine::DestinationMissing);
    EXPECT_EQ(refused.questions, 1);
    EXPECT_TRUE(refused.started.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(host("new")));

    const Outcome created = extract("new/deeper", true);
    EXPECT_EQ(created.result, archive_engine::Success);
    EXPECT_EQ(created.questions, 1);
    EXPECT_EQ(testsupport::readFile(host("new/deeper/f.txt")), "x");
}

TEST_F(EngineTest, DestinationProblemsFailWithoutWriting) {
    ZipBuilder().addFile("f.txt", "x").write(archivePath());
    testsupport::writeFile(host("plainfile"), "x");
    ASSERT_TRUE(QFile::link(host("nowhere"), host("dangling")));
    struct Case {
        const char* label;
        std::optional<QString> destination;
        int result;
        int systemError;
    };
    const Case cases[] = {
        {"an empty path", QString(), archive_engine::DestinationEmpty, 0},
        {"no place on this machine", std::nullopt, archive_engine::DestinationMissing, 0},
        {"a file", host("plainfile"), archive_engine::DestinationNotWritable, ENOTDIR},
        {"a dangling link", host("dangling"), archive_engine::DestinationNotWritable, ENOTDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Outcome out = extractWith(m_engine, c.destination);
        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(out.findings.systemError, c.systemError);
        EXPECT_EQ(out.questions, 0);
        EXPECT_TRUE(out.started.isEmpty());
    }
    const std::map<QString, QByteArray> expected = {{"a.zip", testsupport::readFile(archivePath())},
                                                    {"plainfile", "x"},
                                                    {"dangling", "-> " + host("nowhere").toUtf8()}};
    EXPECT_EQ(treeOf(m_dir.path()), expected);
}

TEST_F(EngineTest, UnreadableArchivesCannotBeOpened) {
    const std::pair<const char*, QByteArray> cases[] = {
        {"not a zip", "just some text, no directory anywhere"},
        {"empty file", ""},
    };
    for (const auto& [label, bytes] : cases) {
        SCOPED_TRACE(label);
        testsupport::writeFile(archivePath(), bytes);
        const Outcome out = extract();
        EXPECT_EQ(out.result, archive_engine::CannotOpenArchive);
        EXPECT_EQ(out.findings.archiveProblem, archive_engine::ArchiveProblem::NoEndRecord);
        EXPECT_EQ(out.findings.systemError, 0);
    }
    QFile::remove(archivePath());
    const Outcome missing = extract();
    EXPECT_EQ(missing.result, archive_engine::CannotOpenArchive);
    EXPECT_EQ(missing.findings.systemError, ENOENT);
    EXPECT_FALSE(QFileInfo::exists(outPath()));
}

TEST_F(EngineTest, SelectionAndRecurseChooseEntries) {
    ZipBuilder()
        .addFile("a.txt", "a")
        .addFile("b.doc", "b")
        .addFile("sub/c.txt", "c")
        .write(archivePath());
    QStringList asked;
    m_request.selects = [&asked](const QString& name) {
        asked.append(name);
        return name.endsWith(".txt");
    };
    const Outcome all = extract("all");
    EXPECT_EQ(all.result, archive_engine::Success);
    EXPECT_EQ(asked, (QStringList{"a.txt", "b.doc", "c.txt"})); // the last component only
    EXPECT_EQ(treeOf(host("all")), (std::map<QString, QByteArray>{
                                       {"a.txt", "a"}, {"sub", "<dir>"}, {"sub/c.txt", "c"}}));

    m_request.recurse = false;
    const Outcome top = extract("top");
    EXPECT_EQ(top.result, archive_engine::Success);
    EXPECT_EQ(treeOf(host("top")), (std::map<QString, QByteArray>{{"a.txt", "a"}}));

    m_request.selects = [](const QString&) { return false; };
    EXPECT_EQ(extract().result, archive_engine::NothingToExtract);
}

} // namespace
