// ArchiveEngine as the program drives it: DOS paths through the volume table, the
// FilesToProcess patterns, its signals raised on the calling thread while a worker does the
// disk work, the abort property (also while the disk holds the worker) and the file it
// read. What the extraction itself does is the engine's, tested in tests/engine/.

#include "app/archive_engine.h"
#include "app/file_spec.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_drives.h"
#include "tests/support/zip_builder.h"
#include "worker_gate.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

using testsupport::ZipBuilder;

namespace {

struct Events {
    int result = -1;
    std::vector<int> progress;
    QStringList started;
    std::vector<std::pair<QString, int>> skips;
    QStringList questions;
    std::vector<int> finished;
    QString last; // the signal raised last
};

// The files below `hostDir`, relative and sorted.
QStringList filesIn(const QString& hostDir) {
    QStringList files;
    QDirIterator it(hostDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        files.append(QDir(hostDir).relativeFilePath(it.next()));
    }
    files.sort();
    return files;
}

class ArchiveEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ensureApplication();
        m_root = m_drives.addDrive('t');
        m_drives.install(); // the current directory is t:\ .
        ZipBuilder().addFile("a.txt", "a").addFile("sub/b.txt", "b").write(host("a.zip"));
    }

    QString host(const QString& relative) const { return m_root + "/" + relative; }

    // plain.txt, then hidden.txt, which is encrypted and so skipped.
    void writeWithSecret(const QString& relative) const {
        ZipBuilder::Options secret;
        secret.password = "secret";
        ZipBuilder()
            .addFile("plain.txt", "plain")
            .addFile("hidden.txt", "hidden", secret)
            .write(host(relative));
    }

    // Extract() with the given properties, answering the question with `answer`.
    Events extract(const QString& zipFileName = QStringLiteral("t:\\a.zip"),
                   const QString& extractDirectory = QStringLiteral("t:\\out"), qint16 answer = 1) {
        Events out;
        QObject context;
        QObject::connect(&m_engine, &ArchiveEngine::progress, &context, [&](qint16 percent) {
            out.progress.push_back(percent);
            out.last = "progress";
        });
        QObject::connect(&m_engine, &ArchiveEngine::entryStarted, &context,
                         [&](const QString& name) {
                             out.started.append(name);
                             out.last = "entryStarted";
                         });
        QObject::connect(&m_engine, &ArchiveEngine::skippingFile, &context,
                         [&](const QString& name, qint16 reason) {
                             out.skips.emplace_back(name, reason);
                             out.last = "skippingFile";
                         });
        QObject::connect(&m_engine, &ArchiveEngine::queryCreateDirectory, &context,
                         [&](const QString& directory, qint16& reply) {
                             out.questions.append(directory);
                             reply = answer;
                             out.last = "queryCreateDirectory";
                         });
        QObject::connect(&m_engine, &ArchiveEngine::finished, &context, [&](int result) {
            out.finished.push_back(result);
            out.last = "finished";
        });
        m_engine.ZipFileName = zipFileName;
        m_engine.ExtractDirectory = extractDirectory;
        out.result = m_engine.Extract();
        return out;
    }

    testsupport::TestDrives m_drives;
    QString m_root;
    ArchiveEngine m_engine;
};

const QStringList kWhole = {"a.txt", "sub/b.txt"};

TEST_F(ArchiveEngineTest, DosPathsAreResolvedThroughTheVolumeTable) {
    ASSERT_TRUE(QDir().mkpath(host("out")));
    struct Case {
        const char* zipFileName;
        const char* extractDirectory;
    };
    const Case cases[] = {
        {"t:\\a.zip", "t:\\out"},
        {"T:/A.ZIP", "t:\\OUT"},          // letter case ignored, either separator
        {"a.zip", "out\\sub\\.."},        // from the current directory, ".." in the text
        {"\\a.zip", "t:\\x\\..\\.\\out"}, // the current drive's root
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zipFileName) + " -> " + c.extractDirectory);
        QDir(host("out")).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(host("out")));
        const Events out = extract(c.zipFileName, c.extractDirectory);
        EXPECT_EQ(out.result, ArchiveEngine::Success);
        EXPECT_TRUE(out.questions.isEmpty());
        EXPECT_EQ(filesIn(host("out")), kWhole);
    }
    EXPECT_EQ(filesIn(m_root), (QStringList{"a.zip", "out/a.txt", "out/sub/b.txt"}));
}

TEST_F(ArchiveEngineTest, PathsNamingNoDriveFail) {
    struct Case {
        const char* zipFileName;
        const char* extractDirectory;
        int result;
    };
    const Case cases[] = {
        {"q:\\a.zip", "t:\\out", ArchiveEngine::CannotOpenArchive},
        {"t:\\a.zip", "q:\\out", ArchiveEngine::DestinationMissing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zipFileName) + " -> " + c.extractDirectory);
        const Events out = extract(c.zipFileName, c.extractDirectory);
        EXPECT_EQ(out.result, c.result);
        EXPECT_TRUE(out.questions.isEmpty());
        EXPECT_TRUE(out.started.isEmpty());
    }
    EXPECT_EQ(filesIn(m_root), QStringList{"a.zip"});
}

TEST_F(ArchiveEngineTest, BlankExtractDirectoryIsEmpty) {
    for (const char* directory : {"", "   ", "\t "}) {
        SCOPED_TRACE(directory);
        const Events out = extract("t:\\a.zip", directory);
        EXPECT_EQ(out.result, ArchiveEngine::DestinationEmpty);
        EXPECT_TRUE(out.questions.isEmpty());
    }
    EXPECT_EQ(QDir(m_root).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
              QStringList{"a.zip"});
}

TEST_F(ArchiveEngineTest, TheQuestionCarriesTheDirectoryAsGiven) {
    struct Case {
        qint16 answer;
        int result;
    };
    const Case cases[] = {
        {0, ArchiveEngine::DestinationMissing},
        {1, ArchiveEngine::Success},
        {-1, ArchiveEngine::Success}, // any answer but 0 is yes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        QDir(host("New")).removeRecursively();
        const QString given = QStringLiteral("t:/New\\deeper\\");
        const Events out = extract("t:\\a.zip", given, c.answer);
        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(out.questions, QStringList{given});
        EXPECT_EQ(filesIn(host("New/deeper")),
                  c.result == ArchiveEngine::Success ? kWhole : QStringList());
        EXPECT_EQ(QDir(host("New")).exists(), c.result == ArchiveEngine::Success);
    }
}

TEST_F(ArchiveEngineTest, FilesToProcessAndRecurseSelectEntries) {
    ZipBuilder()
        .addFile("a.txt", "a")
        .addFile("b.doc", "b")
        .addFile("sub/c.TXT", "c")
        .addFile("README", "r")
        .write(host("a.zip"));
    struct Case {
        const char* filesToProcess;
        bool recurse;
        int result;
        QStringList files;
    };
    const Case cases[] = {
        {"*.*", true, ArchiveEngine::Success, {"README", "a.txt", "b.doc", "sub/c.TXT"}},
        {"", true, ArchiveEngine::Success, {"README", "a.txt", "b.doc", "sub/c.TXT"}},
        {"*.txt", true, ArchiveEngine::Success, {"a.txt", "sub/c.TXT"}},
        {"*.txt", false, ArchiveEngine::Success, {"a.txt"}},
        {"*.txt; *.doc", true, ArchiveEngine::Success, {"a.txt", "b.doc", "sub/c.TXT"}},
        {"?.doc", true, ArchiveEngine::Success, {"b.doc"}},
        {"*.pdf", true, ArchiveEngine::NothingToExtract, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.filesToProcess) + (c.recurse ? ", recursing" : ""));
        QDir(host("out")).removeRecursively();
        m_engine.FilesToProcess = c.filesToProcess;
        m_engine.recurse = c.recurse;
        EXPECT_EQ(extract().result, c.result);
        EXPECT_EQ(filesIn(host("out")), c.files);
    }
}

TEST(FileSpecTest, MatchesAnyOfItsPatterns) {
    struct Case {
        const char* name;
        const char* patterns;
        bool matches;
    };
    const Case cases[] = {
        {"README", "*.*", true},         {"a.TXT", "*.txt", true},   {"a.doc", "*.txt", false},
        {"a.doc", "*.txt; *.doc", true}, {"a.doc", ";*.doc;", true}, {"anything", "", true},
        {"anything", " ; ", true}, // blank patterns select nothing away
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " against \"" + c.patterns + "\"");
        EXPECT_EQ(archive_engine::matchesFileSpec(c.name, c.patterns), c.matches);
    }
}

TEST_F(ArchiveEngineTest, FinishedIsRaisedLastWithTheResult) {
    writeWithSecret("skips.zip");
    struct Case {
        const char* zipFileName;
        int result;
        std::vector<std::pair<QString, int>> skips;
    };
    const Case cases[] = {
        {"t:\\a.zip", ArchiveEngine::Success, {}},
        {"t:\\skips.zip",
         ArchiveEngine::EntriesSkipped,
         {{"hidden.txt", ArchiveEngine::SkipBadPassword}}},
        {"t:\\missing.zip", ArchiveEngine::CannotOpenArchive, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zipFileName);
        QDir(host("out")).removeRecursively();
        const Events out = extract(c.zipFileName);
        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(out.finished, std::vector<int>{c.result});
        EXPECT_EQ(out.last, "finished");
        EXPECT_EQ(out.skips, c.skips);
    }
}

TEST_F(ArchiveEngineTest, AnAbortEndsWithTheCallItStopped) {
    struct Case {
        const char* label;
        std::function<void(ArchiveEngine&)> before;
        bool whileHeld;
        int result;
    };
    const Case cases[] = {
        {"set before the call", [](ArchiveEngine& e) { e.setAbort(true); }, false,
         ArchiveEngine::Aborted},
        {"set and taken back before the call",
         [](ArchiveEngine& e) {
             e.setAbort(true);
             e.setAbort(false);
         },
         false, ArchiveEngine::Success},
        {"set on the calling thread while the worker is at the first entry", [](ArchiveEngine&) {},
         true, ArchiveEngine::Aborted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QDir(host("out")).removeRecursively();
        c.before(m_engine);
        {
            testsupport::WorkerGate gate([this] { m_engine.setAbort(true); });
            if (c.whileHeld) {
                m_engine.setWorkerHook(gate.at([](const ArchiveEngine::Report& report) {
                    return report.kind == ArchiveEngine::Report::EntryStarted;
                }));
            }
            EXPECT_EQ(extract().result, c.result);
            m_engine.setWorkerHook({});
        }
        EXPECT_FALSE(m_engine.abort());
        // Seen at the latest between the entries.
        EXPECT_EQ(QFile::exists(host("out/sub/b.txt")), c.result == ArchiveEngine::Success);

        // The next call runs whole.
        QDir(host("out")).removeRecursively();
        EXPECT_EQ(extract().result, ArchiveEngine::Success);
        EXPECT_EQ(filesIn(host("out")), kWhole);
    }
}

TEST_F(ArchiveEngineTest, ArchiveReadIsTheFileThatWasOpened) {
    ASSERT_EQ(extract().result, ArchiveEngine::Success);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(host("a.zip")).constData(), &st), 0);
    // Another file under the name afterwards does not change which one was read.
    ASSERT_TRUE(QFile::rename(host("a.zip"), host("read.zip")));
    testsupport::writeFile(host("a.zip"), "a replacement");
    const std::optional<platform::FileId> id = m_engine.archiveRead();
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(*id, (platform::FileId{st.st_dev, st.st_ino}));

    EXPECT_EQ(extract("t:\\missing.zip").result, ArchiveEngine::CannotOpenArchive);
    EXPECT_FALSE(m_engine.archiveRead().has_value());
}

TEST_F(ArchiveEngineTest, ExtractFromItsOwnHandlerIsBusy) {
    std::vector<int> nested;
    QObject context;
    QObject::connect(&m_engine, &ArchiveEngine::entryStarted, &context,
                     [&] { nested.push_back(m_engine.Extract()); });
    const Events out = extract();
    EXPECT_EQ(nested, std::vector<int>(2, ArchiveEngine::Busy));
    EXPECT_EQ(out.result, ArchiveEngine::Success);
    EXPECT_TRUE(out.skips.empty());
    EXPECT_EQ(filesIn(host("out")), kWhole);
    EXPECT_EQ(testsupport::readFile(host("out/sub/b.txt")), "b");
}

// The free space the engine checks against is the volume table's figure for the drive.
TEST_F(ArchiveEngineTest, FreeSpaceComesFromTheVolumeTable) {
    struct Case {
        char letter;
        std::uint64_t freeBytes;
        int result;
    };
    const Case cases[] = {
        {'s', 59999, ArchiveEngine::InsufficientSpace},
        {'e', 60000, ArchiveEngine::Success},
    };
    testsupport::TestDrives drives;
    for (const Case& c : cases) {
        drives.addDrive(QChar(c.letter), platform::DriveFixed, c.freeBytes);
    }
    drives.install();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.freeBytes);
        const QString root = drives.hostRoot(QChar(c.letter));
        ZipBuilder()
            .addFile("a.bin", QByteArray(30000, 'a'))
            .addFile("b.bin", QByteArray(30000, 'b'))
            .write(root + "/a.zip");
        const QString drive = QChar(c.letter) + QStringLiteral(":\\");
        const Events out = extract(drive + "a.zip", drive);
        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(filesIn(root), c.result == ArchiveEngine::Success
                                     ? (QStringList{"a.bin", "a.zip", "b.bin"})
                                     : QStringList{"a.zip"});
    }
}

// The engine works on a thread of its own; every signal is raised on the calling thread,
// during the call, in the order the engine reported it.
TEST_F(ArchiveEngineTest, ReportsFromTheWorkerReachTheCallingThreadInOrder) {
    writeWithSecret("skips.zip");
    const auto describe = [](int kind, int number, const QString& name) {
        return QStringLiteral("%1 %2 %3").arg(kind).arg(number).arg(name);
    };
    std::mutex mutex;
    QStringList reported;
    bool reportedOffTheCallingThread = true;
    const std::thread::id callingThread = std::this_thread::get_id();
    m_engine.setWorkerHook([&](const ArchiveEngine::Report& report) {
        std::lock_guard lock(mutex);
        reported.append(describe(report.kind, report.number, report.name));
        reportedOffTheCallingThread &= std::this_thread::get_id() != callingThread;
    });
    QStringList raised;
    bool raisedOnTheCallingThread = true;
    QObject context;
    const auto record = [&](int kind, int number, const QString& name) {
        raised.append(describe(kind, number, name));
        raisedOnTheCallingThread &= std::this_thread::get_id() == callingThread;
    };
    QObject::connect(&m_engine, &ArchiveEngine::progress, &context,
                     [&](qint16 percent) { record(ArchiveEngine::Report::Progress, percent, {}); });
    QObject::connect(&m_engine, &ArchiveEngine::entryStarted, &context, [&](const QString& name) {
        record(ArchiveEngine::Report::EntryStarted, 0, name);
    });
    QObject::connect(&m_engine, &ArchiveEngine::skippingFile, &context,
                     [&](const QString& name, qint16 reason) {
                         record(ArchiveEngine::Report::Skipped, reason, name);
                     });
    QObject::connect(&m_engine, &ArchiveEngine::queryCreateDirectory, &context,
                     [&](const QString& directory, qint16&) {
                         record(ArchiveEngine::Report::Question, 0, directory);
                     });

    const Events out = extract("t:\\skips.zip", "t:\\new");
    m_engine.setWorkerHook({});

    EXPECT_EQ(out.result, ArchiveEngine::EntriesSkipped);
    EXPECT_EQ(out.finished, std::vector<int>{ArchiveEngine::EntriesSkipped});
    EXPECT_EQ(out.questions, QStringList{"t:\\new"}) << "the answer crossed back to the worker";
    EXPECT_EQ(filesIn(host("new")), QStringList{"plain.txt"});
    EXPECT_EQ(out.started, (QStringList{"plain.txt", "hidden.txt"}));
    EXPECT_EQ(raised.join(u'|'), reported.join(u'|')) << "the same reports, in the same order";
    EXPECT_EQ(raised.first(), describe(ArchiveEngine::Report::Question, 0, "t:\\new"));
    EXPECT_TRUE(raisedOnTheCallingThread);
    EXPECT_TRUE(reportedOffTheCallingThread);
}

// An abort requested while the disk holds the worker mid-entry ends the call as Aborted:
// at once when the worker comes back, or, when it does not, a grace after the request with
// the worker left behind; the next call waits for that worker. Nothing of the interrupted
// entry, or of those after it, ever appears under a name.
TEST_F(ArchiveEngineTest, AnAbortWhileTheDiskHoldsTheWorkerEndsTheCall) {
    QByteArray large(3 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32*>(large.data()), large.size() / 4);
    ZipBuilder::Options stored;
    stored.method = ZipBuilder::Stored;
    ZipBuilder().addFile("big.bin", large, stored).addFile("b.txt", "b").write(host("big.zip"));
    struct Case {
        const char* label;
        bool keepHeld; // the disk still holds the worker when the grace is over
    };
    const Case cases[] = {
        {"the worker comes back after the request", false},
        {"the worker is still held a grace after the request", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QDir(host("out")).removeRecursively();
        testsupport::TestClock clock;
        m_engine.setClock(clock.clock());
        testsupport::WorkerGate gate(
            [&] {
                m_engine.setAbort(true);
                if (c.keepHeld)
                    clock.advance(ArchiveEngine::kAbortGraceMs);
            },
            c.keepHeld);
        m_engine.setWorkerHook(gate.at(testsupport::firstProgressPastZero));

        const Events out = extract("t:\\big.zip");
        EXPECT_EQ(out.result, ArchiveEngine::Aborted);
        EXPECT_EQ(out.finished, std::vector<int>{ArchiveEngine::Aborted});
        EXPECT_TRUE(gate.held());
        EXPECT_FALSE(m_engine.abort());
        EXPECT_EQ(filesIn(host("out")), QStringList());

        gate.open();
        m_engine.setWorkerHook({});
        EXPECT_EQ(extract("t:\\a.zip", "t:\\after").result, ArchiveEngine::Success);
        EXPECT_EQ(filesIn(host("after")), kWhole);
        EXPECT_EQ(filesIn(host("out")), QStringList()) << "the interrupted entry was discarded";
        QDir(host("after")).removeRecursively();
    }
    m_engine.setClock(ArchiveEngine::Clock());
}

} // namespace
