#include "engine_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <functional>
#include <optional>
#include <tuple>

using namespace enginetest;
using testsupport::RawZip;
using testsupport::ZipBuilder;

namespace {

QByteArray repetitive(qsizetype size) {
    QByteArray bytes;
    bytes.reserve(size);
    for (int i = 0; bytes.size() < size; ++i) {
        bytes += "record " + QByteArray::number(i) + ";";
    }
    bytes.truncate(size);
    return bytes;
}

// Each damaged entry sits between two good ones: the damaged one is skipped with its
// reason and leaves nothing behind, the good ones are extracted, and the archive as a
// whole is not a success.
TEST_F(EngineTest, DamagedEntriesAreSkippedWithTheirReason) {
    const QByteArray content = repetitive(20000);
    auto withCrc = [&](RawZip::Entry e, std::uint32_t crc) {
        e.crc = crc;
        return e;
    };
    auto truncated = [&] {
        RawZip::Entry e = RawZip::deflated("bad.txt", content);
        e.data.truncate(e.data.size() / 2);
        return e;
    };
    auto garbage = [&] {
        RawZip::Entry e = RawZip::deflated("bad.txt", content);
        e.data = QByteArray(e.data.size(), '\xFF');
        return e;
    };
    auto method = [&](std::uint16_t m) {
        RawZip::Entry e = RawZip::stored("bad.txt", content);
        e.method = m;
        return e;
    };
    auto sizeLie = [&](RawZip::Entry e) {
        e.uncompressedSize = std::uint64_t(content.size() - 100);
        return e;
    };
    auto encryptedFlag = [&] {
        RawZip::Entry e = RawZip::stored("bad.txt", content);
        e.flags |= 0x0001;
        return e;
    };
    struct Case {
        const char* label;
        RawZip::Entry entry;
        int reason;
    };
    const Case cases[] = {
        {"stored, bad CRC", withCrc(RawZip::stored("bad.txt", content), 1234),
         archive_engine::SkipBadCrc},
        {"deflated, bad CRC", withCrc(RawZip::deflated("bad.txt", content), 1234),
         archive_engine::SkipBadCrc},
        {"truncated deflate stream", truncated(), archive_engine::SkipCorrupted},
        {"corrupt deflate stream", garbage(), archive_engine::SkipCorrupted},
        {"unknown method", method(77), archive_engine::SkipUnknownMethod},
        {"IBM LZ77, a method not read", method(19), archive_engine::SkipUnknownMethod},
        {"AES, its own method number",
         [&] {
             RawZip::Entry e = method(99);
             e.flags |= 0x0001;
             return e;
         }(),
         archive_engine::SkipBadPassword},
        {"deflated, more bytes than declared", sizeLie(RawZip::deflated("bad.txt", content)),
         archive_engine::SkipCorrupted},
        {"stored, more bytes than declared", sizeLie(RawZip::stored("bad.txt", content)),
         archive_engine::SkipCorrupted},
        {"encrypted", encryptedFlag(), archive_engine::SkipBadPassword},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        RawZip()
            .add(RawZip::deflated("first.txt", "first"))
            .add(c.entry)
            .add(RawZip::stored("last.txt", "last"))
            .write(archivePath());
        QDir(outPath()).removeRecursively();
        const Outcome out = extract();
        EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
        EXPECT_EQ(out.skips, (std::vector<std::pair<QString, int>>{{"bad.txt", c.reason}}));
        EXPECT_NE(out.progress.back(), 100);
        const std::map<QString, QByteArray> expected = {{"first.txt", "first"},
                                                        {"last.txt", "last"}};
        EXPECT_EQ(treeOf(outPath()), expected); // no "bad.txt", no temporary file
    }
}

TEST_F(EngineTest, EncryptedEntriesNeedAPassword) {
    ZipBuilder::Options secret;
    secret.password = "secret";
    ZipBuilder()
        .addFile("plain.txt", "plain")
        .addFile("hidden.txt", "hidden", secret)
        .write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
    EXPECT_EQ(out.reasons(), std::vector<int>{archive_engine::SkipBadPassword});
    EXPECT_EQ(treeOf(outPath()), (std::map<QString, QByteArray>{{"plain.txt", "plain"}}));
    EXPECT_EQ(out.findings.firstReason, archive_engine::SkipBadPassword);
    EXPECT_EQ(out.findings.firstSkipped, "hidden.txt");
    EXPECT_EQ(out.findings.skipped, (std::map<archive_engine::SkipReason, std::uint64_t>{
                                        {archive_engine::SkipBadPassword, 1}}));
}

TEST_F(EngineTest, UnsafeNamesNeverLeaveTheDestination) {
    const char* names[] = {
        "../evil.txt",          "..\\evil.txt",     "a/../../evil.txt", "a\\..\\..\\evil.txt",
        "/tmp/velmarch-evil",   "\\evil.txt",       "c:evil.txt",       "C:\\evil.txt",
        "\\\\server\\share\\x", "//server/share/x",
    };
    RawZip zip;
    for (const char* name : names) {
        zip.add(RawZip::stored(name, "evil"));
    }
    zip.add(RawZip::stored("good.txt", "good"));
    zip.write(host("a.zip"));
    // Extract one level down so that a climb out of the destination stays visible.
    const Outcome out = extract("out/x");
    EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
    ASSERT_EQ(out.skips.size(), std::size(names));
    for (std::size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(out.skips[i].first, names[i]);
        EXPECT_EQ(out.skips[i].second, archive_engine::SkipUnsafePath);
    }
    EXPECT_EQ(treeOf(outPath()),
              (std::map<QString, QByteArray>{{"x", "<dir>"}, {"x/good.txt", "good"}}));
    expectNothingOutsideDestination();
    EXPECT_FALSE(QFileInfo::exists("/tmp/velmarch-evil"));
}

TEST_F(EngineTest, LinksStayInsideAndAreNeverWrittenThrough) {
    QDir().mkpath(host("outside"));
    QDir().mkpath(outPath());
    // A link the user already has in the destination, pointing elsewhere.
    ASSERT_TRUE(QFile::link(host("outside"), host("out/mine")));
    ZipBuilder()
        .addFile("sub/file.txt", "inside")
        .addSymlink("ok", "sub/file.txt")
        .addSymlink("sub/up", "../ok")
        .addSymlink("escape", "../outside")
        .addSymlink("sub/escape", "../../outside/x")
        .addSymlink("absolute", "/etc/passwd")
        .addSymlink("dirlink", "sub")
        .addFile("dirlink/new.txt", "through our own link")
        .addFile("mine/new.txt", "through the user's link")
        .write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
    const std::vector<std::pair<QString, int>> expectedSkips = {
        {"escape", archive_engine::SkipLinkEscapes},
        {"sub/escape", archive_engine::SkipLinkEscapes},
        {"absolute", archive_engine::SkipLinkEscapes},
        {"dirlink/new.txt", archive_engine::SkipThroughLink},
        {"mine/new.txt", archive_engine::SkipThroughLink},
    };
    EXPECT_EQ(out.skips, expectedSkips);
    const std::map<QString, QByteArray> expected = {
        {"sub", "<dir>"},          {"sub/file.txt", "inside"},
        {"ok", "-> sub/file.txt"}, {"sub/up", "-> ../ok"},
        {"dirlink", "-> sub"},     {"mine", "-> " + host("outside").toUtf8()},
    };
    EXPECT_EQ(treeOf(outPath()), expected);
    EXPECT_TRUE(treeOf(host("outside")).empty());
    expectNothingOutsideDestination({"outside"});
}

TEST_F(EngineTest, OverlappingEntriesRefuseTheArchive) {
    // Several central entries sharing one local header and its data: the construction
    // that lets a small archive claim an enormous output.
    const QByteArray content = repetitive(100000);
    RawZip zip;
    zip.add(RawZip::deflated("kernel.txt", content));
    for (int i = 0; i < 3; ++i) {
        RawZip::Entry copy = RawZip::deflated("copy" + QByteArray::number(i) + ".txt", content);
        copy.sameHeaderAs = 0;
        zip.add(copy);
    }
    zip.write(archivePath());
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::CorruptArchive);
    EXPECT_TRUE(out.started.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(outPath()));
}

// An archive that states one thing in one place and another elsewhere is refused before
// anything is written: one of each kind of contradiction.
TEST_F(EngineTest, ArchivesThatContradictThemselvesAreRefusedWhole) {
    const auto entries = [] {
        return std::vector<RawZip::Entry>{RawZip::deflated("a.txt", repetitive(3000)),
                                          RawZip::stored("b.txt", "second"),
                                          RawZip::stored("c.txt", "third")};
    };
    const auto build = [&](const std::function<void(std::vector<RawZip::Entry>&, RawZip&)>& lie) {
        std::vector<RawZip::Entry> list = entries();
        RawZip zip;
        lie(list, zip);
        for (const RawZip::Entry& e : list) {
            zip.add(e);
        }
        return zip;
    };
    const auto listing = [](std::vector<std::size_t> indices) {
        RawZip::Directory d;
        d.entries = std::move(indices);
        return d;
    };
    RawZip::Directory miscounted = listing({0, 1, 2});
    miscounted.count = 2;
    RawZip::Directory contradicted = listing({0, 1, 2});
    contradicted.repeated32 = true;
    contradicted.skewed32 = RawZip::Field::Size;
    using Problem = archive_engine::ArchiveProblem;
    const std::tuple<const char*, RawZip, Problem> cases[] = {
        {"two end records", build([&](auto&, RawZip& zip) {
             zip.directory(listing({0})).directory(listing({0, 1, 2}));
         }),
         Problem::SecondEndRecord},
        {"a count short of the headers",
         build([&](auto&, RawZip& zip) { zip.directory(miscounted); }), Problem::CountMismatch},
        {"a ZIP64 record the 32-bit record contradicts",
         build([&](auto&, RawZip& zip) { zip.directory(contradicted).zip64(); }),
         Problem::Zip64Mismatch},
        {"a local name other than the central one",
         build([](auto& list, RawZip&) { list[1].local.name = "evil.txt"; }),
         Problem::LocalHeaderMismatch},
        {"a local size other than the central one",
         build([](auto& list, RawZip&) { list[0].local.compressedSize = 10; }),
         Problem::LocalHeaderMismatch},
        {"a descriptor that states another CRC", build([](auto& list, RawZip&) {
             list[2].flags |= 0x0008;
             list[2].descriptor = RawZip::Descriptor::Signed;
             list[2].descriptorCrc = 1;
         }),
         Problem::DescriptorMismatch},
    };
    for (const auto& [label, zip, problem] : cases) {
        SCOPED_TRACE(label);
        zip.write(archivePath());
        const Outcome out = extract();
        EXPECT_EQ(out.result, archive_engine::CorruptArchive);
        EXPECT_EQ(out.findings.archiveProblem, problem);
        EXPECT_TRUE(out.started.isEmpty());
        EXPECT_TRUE(out.skips.empty());
        EXPECT_FALSE(QFileInfo::exists(outPath()));
    }
}

TEST_F(EngineTest, DeclaredTotalMustFitTheFreeSpace) {
    ZipBuilder()
        .addFile("a.txt", repetitive(30000))
        .addFile("b.txt", repetitive(30000))
        .write(archivePath());
    ASSERT_TRUE(QDir().mkpath(outPath()));
    struct Case {
        const char* label;
        std::optional<std::uint64_t> freeBytes;
        int result;
    };
    const Case cases[] = {
        {"well short", 50000, archive_engine::InsufficientSpace},
        {"one byte short", 59999, archive_engine::InsufficientSpace},
        {"exactly enough", 60000, archive_engine::Success},
        {"unknown", std::nullopt, archive_engine::Success},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QDir(outPath()).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(outPath()));
        QStringList asked;
        m_request.freeSpace = [&](const QString& hostPath) {
            asked.append(hostPath);
            return c.freeBytes;
        };
        const Outcome out = extract();
        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(asked, QStringList{outPath()});
        if (c.result == archive_engine::Success) {
            EXPECT_EQ(treeOf(outPath()).size(), 2u);
        } else {
            EXPECT_TRUE(out.started.isEmpty());
            EXPECT_TRUE(treeOf(outPath()).empty());
        }
    }
}

TEST_F(EngineTest, AbortDiscardsTheEntryInProgressAndEndsWithTheCall) {
    const QByteArray big = repetitive(48 << 20);
    ZipBuilder()
        .addFile("small.txt", "small")
        .addFile("big.txt", big)
        .addFile("after.txt", "x")
        .write(archivePath());
    const Outcome out = extract("out", true, [](archive_engine::Engine& engine, int percent) {
        if (percent > 0) {
            engine.requestAbort();
        }
    });
    EXPECT_EQ(out.result, archive_engine::Aborted);
    EXPECT_EQ(out.skips,
              (std::vector<std::pair<QString, int>>{{"big.txt", archive_engine::SkipAborted}}));
    EXPECT_EQ(out.started, (QStringList{"small.txt", "big.txt"}));
    // Nothing under the aborted entry's name and no temporary file.
    EXPECT_EQ(treeOf(outPath()), (std::map<QString, QByteArray>{{"small.txt", "small"}}));
    EXPECT_FALSE(m_engine.abortRequested());

    // The next call is not stopped by the old request.
    const Outcome again = extract();
    EXPECT_EQ(again.result, archive_engine::Success);
    EXPECT_EQ(testsupport::readFile(host("out/big.txt")), big);
}

TEST_F(EngineTest, AbortRequestedBeforeTheCallStopsIt) {
    ZipBuilder().addFile("f.txt", "x").write(archivePath());
    m_engine.requestAbort();
    EXPECT_EQ(extract().result, archive_engine::Aborted);
    EXPECT_FALSE(QFileInfo::exists(host("out/f.txt")));
    EXPECT_EQ(extract().result, archive_engine::Success);
}

// A call made from the sink while an extraction runs: refused, and the running one goes on
// as if it had not been made.
TEST_F(EngineTest, ACallFromTheSinkIsRefusedAsBusy) {
    ZipBuilder().addFile("a.txt", "a").addFile("b.txt", "b").write(archivePath());
    std::vector<int> nested;
    m_onStarted = [&](const QString&) { nested.push_back(extract("other").result); };
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::Success);
    EXPECT_EQ(nested, (std::vector<int>{archive_engine::Busy, archive_engine::Busy}));
    EXPECT_EQ(out.started, (QStringList{"a.txt", "b.txt"}));
    EXPECT_EQ(treeOf(outPath()), (std::map<QString, QByteArray>{{"a.txt", "a"}, {"b.txt", "b"}}));
    EXPECT_FALSE(QFileInfo::exists(host("other")));
}

} // namespace

TEST_F(EngineTest, AFolderEntryThatCarriesContentFailsTheArchive) {
    // A folder holds no bytes of its own: whatever such an entry carries would be dropped
    // while the archive counted as extracted, and then deleted.
    for (const char* name : {"d/", "./"}) {
        SCOPED_TRACE(name);
        RawZip()
            .add(RawZip::stored("first.txt", "first"))
            .add(RawZip::stored(name, "the only copy of these bytes"))
            .write(archivePath());
        QDir(outPath()).removeRecursively();
        const Outcome out = extract();
        EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
        EXPECT_EQ(out.skips, (std::vector<std::pair<QString, int>>{
                                 {QString(name), archive_engine::SkipCorrupted}}));
    }
}
