// Extraction with content decoded ahead of the writing: many entries in flight at once.
// These tests are worth running repeatedly (--gtest_repeat) and under ThreadSanitizer.

#include "engine_fixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <functional>
#include <set>
#include <thread>

using namespace enginetest;
using testsupport::RawZip;

namespace {

QByteArray text(qsizetype size, unsigned seed) {
    QByteArray bytes;
    bytes.reserve(size + 64);
    for (unsigned i = seed; bytes.size() < size; ++i) {
        bytes += "entry " + QByteArray::number(seed) + " line " + QByteArray::number(i) + "\n";
    }
    bytes.truncate(size);
    return bytes;
}

using Tree = std::map<QString, QByteArray>;

// The folders above `paths`, as treeOf() lists them.
void addFolders(Tree* tree, const QStringList& paths) {
    for (const QString& path : paths) {
        for (qsizetype slash = path.indexOf('/'); slash > 0; slash = path.indexOf('/', slash + 1)) {
            (*tree)[path.left(slash)] = "<dir>";
        }
    }
}

void addFolders(Tree* tree) {
    QStringList paths;
    for (const auto& [path, content] : *tree) {
        paths.append(path);
    }
    addFolders(tree, paths);
}

QStringList temporaryFiles(const Tree& tree) {
    QStringList found;
    for (const auto& [path, content] : tree) {
        if (path.section('/', -1).startsWith(".velmarch")) {
            found.append(path);
        }
    }
    return found;
}

struct Item {
    QByteArray name;
    QByteArray content;
};

// Many entries over several folders, stored and deflated, small and a few over a MiB, so
// that the worker runs several entries ahead.
std::vector<Item> manyEntries(int count) {
    std::vector<Item> items;
    for (int i = 0; i < count; ++i) {
        const qsizetype size = i % 10 == 9 ? (3 << 20) / 2 : 20000 + 3000 * (i % 7);
        items.push_back({"d" + QByteArray::number(i % 5) + "/f" + QByteArray::number(i) + ".dat",
                         i % 3 ? text(size, unsigned(i)) : noise(size, unsigned(i))});
    }
    return items;
}

void writeArchive(const std::vector<Item>& items, const QString& path) {
    RawZip zip;
    for (std::size_t i = 0; i < items.size(); ++i) {
        zip.add(i % 4 == 1 ? RawZip::stored(items[i].name, items[i].content)
                           : RawZip::deflated(items[i].name, items[i].content));
    }
    zip.write(path);
}

// An abort requested from the progress handler, at several points of a long archive: the
// entry in progress leaves nothing, every earlier entry is whole, nothing later is
// started, and no temporary file is left behind.
TEST_F(EngineTest, AbortFromProgressWithEntriesInFlightLeavesOnlyWholeEntries) {
    const std::vector<Item> items = manyEntries(60);
    writeArchive(items, archivePath());
    for (const int abortAt : {1, 30, 75, 95}) {
        SCOPED_TRACE(abortAt);
        QDir(outPath()).removeRecursively();
        const Outcome out =
            extract("out", true, [abortAt](archive_engine::Engine& engine, int percent) {
                if (percent >= abortAt) {
                    engine.requestAbort();
                }
            });
        EXPECT_EQ(out.result, archive_engine::Aborted);
        ASSERT_FALSE(out.started.isEmpty());
        ASSERT_LE(out.started.size(), qsizetype(items.size()));
        EXPECT_TRUE(std::is_sorted(out.progress.begin(), out.progress.end()));

        // Only the last entry started can have been cut short.
        const QString last = out.started.back();
        EXPECT_TRUE(out.skips.empty() || out.skips == (std::vector<std::pair<QString, int>>{
                                                          {last, archive_engine::SkipAborted}}));
        Tree expected;
        for (qsizetype i = 0; i < out.started.size(); ++i) {
            EXPECT_EQ(out.started.at(i), QString::fromUtf8(items[std::size_t(i)].name));
            if (i + 1 < out.started.size() || out.skips.empty()) {
                expected[items[std::size_t(i)].name] = items[std::size_t(i)].content;
            }
        }
        // The entry cut short had its folder made before it was stopped.
        addFolders(&expected, out.started);
        const Tree tree = treeOf(outPath());
        EXPECT_EQ(temporaryFiles(tree), QStringList());
        EXPECT_EQ(tree, expected);
    }
}

// Several times more tiny entries than the worker may decode ahead, a few with a wrong
// CRC: the worker stops for room and is woken again many times over, and every verdict
// still goes with its own entry.
TEST_F(EngineTest, TinyEntriesFarBeyondTheWorkersLeadKeepTheirOrderAndVerdicts) {
    RawZip zip;
    Tree expected;
    std::vector<std::pair<QString, int>> expectedSkips;
    QStringList names;
    for (int i = 0; i < 5000; ++i) {
        const QByteArray name = "d" + QByteArray::number(i % 4) + "/f" + QByteArray::number(i);
        const QByteArray content = i % 9 == 0 ? QByteArray() : "tiny " + QByteArray::number(i);
        RawZip::Entry e = i % 2 ? RawZip::stored(name, content) : RawZip::deflated(name, content);
        if (i % 1200 == 1199) {
            e.crc ^= 1;
            expectedSkips.emplace_back(QString::fromUtf8(name), archive_engine::SkipBadCrc);
        } else {
            expected[name] = content;
        }
        zip.add(e);
        names.append(QString::fromUtf8(name));
    }
    zip.write(archivePath());
    addFolders(&expected);
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
    EXPECT_EQ(out.started, names);
    EXPECT_EQ(out.skips, expectedSkips);
    EXPECT_EQ(treeOf(outPath()), expected);
}

// An abort set by another thread while an entry is being written.
TEST_F(EngineTest, AbortFromAnotherThreadDiscardsTheEntryInProgress) {
    std::vector<Item> items = manyEntries(12);
    items.insert(items.begin() + 4, Item{"big.txt", text(40 << 20, 99)});
    writeArchive(items, archivePath());
    m_onStarted = [this](const QString& name) {
        if (name == "big.txt") {
            std::thread([this] { m_engine.requestAbort(); }).join();
        }
    };
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::Aborted);
    EXPECT_EQ(out.skips,
              (std::vector<std::pair<QString, int>>{{"big.txt", archive_engine::SkipAborted}}));
    Tree expected;
    for (std::size_t i = 0; i < 4; ++i) {
        expected[items[i].name] = items[i].content;
    }
    addFolders(&expected);
    EXPECT_EQ(treeOf(outPath()), expected);
}

// Damaged entries between good ones, with name collisions and identical files: the
// skips come in entry order with their reasons, whatever the worker has read ahead.
TEST_F(EngineTest, SkipsAndNamesKeepEntryOrderWhileDecodingAhead) {
    const QByteArray content = text(50000, 1);
    auto badCrc = [&](const QByteArray& name) {
        RawZip::Entry e = RawZip::deflated(name, content);
        e.crc ^= 1;
        return e;
    };
    auto truncated = [&](const QByteArray& name) {
        RawZip::Entry e = RawZip::deflated(name, content);
        e.data.truncate(e.data.size() / 3);
        return e;
    };
    auto method = [&](const QByteArray& name) {
        RawZip::Entry e = RawZip::stored(name, content);
        e.method = 77;
        return e;
    };
    auto encrypted = [&](const QByteArray& name) {
        RawZip::Entry e = RawZip::stored(name, content);
        e.flags |= 0x0001;
        return e;
    };
    auto sizeLie = [&](const QByteArray& name) {
        RawZip::Entry e = RawZip::deflated(name, content);
        e.uncompressedSize = std::uint64_t(content.size() - 1);
        return e;
    };
    RawZip zip;
    std::vector<std::pair<QString, int>> expectedSkips;
    Tree expected;
    const std::pair<std::function<RawZip::Entry(const QByteArray&)>, int> damages[] = {
        {badCrc, archive_engine::SkipBadCrc},        {truncated, archive_engine::SkipCorrupted},
        {method, archive_engine::SkipUnknownMethod}, {encrypted, archive_engine::SkipBadPassword},
        {sizeLie, archive_engine::SkipCorrupted},
    };
    for (int i = 0; i < 40; ++i) {
        const QByteArray name = "s" + QByteArray::number(i % 3) + "/e" + QByteArray::number(i);
        if (i % 4 == 2) {
            const auto& [damage, reason] = damages[std::size_t(i / 4) % std::size(damages)];
            zip.add(damage(name + ".bad"));
            expectedSkips.emplace_back(name + ".bad", reason);
        } else {
            const QByteArray good = text(30000 + i * 100, unsigned(i));
            zip.add(i % 2 ? RawZip::stored(name + ".txt", good)
                          : RawZip::deflated(name + ".txt", good));
            expected[name + ".txt"] = good;
        }
    }
    // The same name three times: kept apart by number, and the repeat of identical
    // content found already there.
    zip.add(RawZip::deflated("dup.txt", "one"));
    zip.add(RawZip::stored("dup.txt", "two"));
    zip.add(RawZip::deflated("dup.txt", "one"));
    expectedSkips.emplace_back("dup.txt", archive_engine::SkipUpToDate);
    expected["dup.txt"] = "one";
    expected["dup (2).txt"] = "two";
    zip.write(archivePath());
    addFolders(&expected);

    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
    EXPECT_EQ(out.skips, expectedSkips);
    EXPECT_EQ(out.started.size(), 43);
    EXPECT_EQ(treeOf(outPath()), expected);
}

// Every call to the sink is made on the thread that called extract(), also when that is
// not the thread the engine was made on.
TEST_F(EngineTest, TheSinkIsCalledOnTheCallingThread) {
    RawZip zip;
    zip.add(RawZip::stored("folder/", {}));
    for (int i = 0; i < 30; ++i) {
        zip.add(RawZip::deflated("folder/f" + QByteArray::number(i), text(40000, unsigned(i))));
    }
    RawZip::Entry bad = RawZip::stored("bad.txt", "bad");
    bad.crc ^= 1;
    zip.add(bad);
    RawZip::Entry link = RawZip::stored("link", "folder/f1");
    link.versionMadeBy = (3 << 8) | 20;
    link.externalAttributes = 0120777u << 16;
    zip.add(link);
    zip.add(RawZip::stored("../unsafe", "x"));
    const QByteArray big = text(34 << 20, 7); // many chunks
    zip.add(RawZip::deflated("big.txt", big));
    zip.write(archivePath());

    for (const bool otherThread : {false, true}) {
        SCOPED_TRACE(otherThread ? "called from another thread" : "called from the test thread");
        QDir(outPath()).removeRecursively();
        Outcome out;
        std::thread::id caller;
        auto run = [&] {
            caller = std::this_thread::get_id();
            out = extract();
        };
        if (otherThread) {
            std::thread(run).join();
        } else {
            run();
        }
        EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
        EXPECT_EQ(out.questions, 1);
        EXPECT_EQ(out.started.size(), 35);
        EXPECT_EQ(out.skips.size(), 2u);
        EXPECT_EQ(out.threads, std::set<std::thread::id>{caller});
        EXPECT_EQ(testsupport::readFile(host("out/big.txt")), big);
    }
}

// The archive overwritten in place once extraction is under way: content the worker read
// before the change must not be placed as if the archive were intact, and the archive
// must not count as extracted (the program would delete it).
TEST_F(EngineTest, AnArchiveChangedDuringExtractionFailsTheEntriesAfterTheChange) {
    const std::vector<Item> items = manyEntries(8);
    struct Change {
        const char* label;
        std::function<void(QFile&)> apply;
    };
    const Change changes[] = {
        {"overwritten with zeros", [](QFile& f) { f.write(QByteArray(f.size(), '\0')); }},
        {"truncated", [](QFile& f) { f.resize(f.size() / 2); }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.label);
        writeArchive(items, archivePath());
        {
            // An archive written a while ago, as archives are: the change gets a newer time.
            QFile file(archivePath());
            ASSERT_TRUE(file.open(QIODevice::ReadWrite));
            ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                         QFileDevice::FileModificationTime));
        }
        QDir(outPath()).removeRecursively();
        m_onStarted = [&](const QString& name) {
            if (name == items[2].name) {
                QFile file(archivePath());
                ASSERT_TRUE(file.open(QIODevice::ReadWrite));
                change.apply(file);
            }
        };
        const Outcome out = extract();
        EXPECT_EQ(out.result, archive_engine::EntriesSkipped);
        ASSERT_EQ(out.skips.size(), items.size() - 2);
        for (std::size_t i = 2; i < items.size(); ++i) {
            EXPECT_EQ(out.skips[i - 2].first, items[i].name);
            EXPECT_NE(out.skips[i - 2].second, archive_engine::SkipUpToDate);
        }
        Tree expected = {{items[0].name, items[0].content}, {items[1].name, items[1].content}};
        addFolders(&expected, out.started); // skipped entries had their folders made

        EXPECT_EQ(treeOf(outPath()), expected);
    }
}

// More folders than the engine keeps open, visited in turn: every entry lands in its own.
TEST_F(EngineTest, EntriesAlternatingOverManyFoldersLandInTheirOwn) {
    RawZip zip;
    Tree expected;
    for (int i = 0; i < 400; ++i) {
        const QByteArray name = "a" + QByteArray::number(i % 90) + "/b" +
                                QByteArray::number(i % 7) + "/f" + QByteArray::number(i);
        const QByteArray content = "content " + QByteArray::number(i);
        zip.add(RawZip::stored(name, content));
        expected[name] = content;
    }
    zip.write(archivePath());
    addFolders(&expected);
    const Outcome out = extract();
    EXPECT_EQ(out.result, archive_engine::Success);
    EXPECT_EQ(treeOf(outPath()), expected);
}

} // namespace
