// velmarch-bench-abort: how long an abort takes to stop the archive engine, and how the
// window fares meanwhile. A user presses "Abort" and waits for the run to stop; the engine
// promises to see the request at least every MiB of output and between entries, and the
// program's adapter, whose worker may be held by a slow disk, to return at most a grace
// after the request.
//
// Writes two archives into SCRATCH (a large deflated entry, and many small files), then
// for each one runs Extract() RUNS times. Another thread raises the abort at a random
// moment within the extraction's expected time and notes when; the time from there to
// Extract()'s return is the latency. Prints the median and the worst per archive, and
// checks every aborted extraction left neither temporary nor partial files.
//
// Then the same through the program's adapter (ArchiveEngine, the engine on a worker
// thread), the abort raised by a timer on the window's thread, in three conditions: the
// disk as it is; a disk that holds a write for 300 ms now and then (a seam sleeps in the
// worker at every tenth report); another thread writing a large file to SCRATCH all along. Besides
// the abort latency it prints the longest the window's thread went without handling a 5 ms timer,
// and the longest gap between progress signals, in the extractions left to finish.
//
//   velmarch-bench-abort SCRATCH [RUNS]

#include "app/archive_engine.h"
#include "platform/volumes.h"

#include <velmarch/engine.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

// Text-like bytes: deflate shrinks them about threefold, as it does real documents.
QByteArray textLike(std::mt19937& random, qsizetype size) {
    static const char* const words[] = {"archive ", "velmarch ", "extract ", "folder ",
                                        "entry ",   "deflate ",  "batch ",   "\n"};
    QByteArray out;
    out.reserve(size + 16);
    while (out.size() < size) {
        out.append(words[random() % 8]);
        out.append(QByteArray::number(quint32(random() % 100000)));
    }
    out.truncate(size);
    return out;
}

bool writeArchive(const QString& path, const std::vector<std::pair<QString, QByteArray>>& files) {
    int error = 0;
    zip_t* z = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!z) {
        return false;
    }
    for (const auto& [name, data] : files) {
        zip_source_t* source = zip_source_buffer(z, data.constData(), zip_uint64_t(data.size()), 0);
        if (!source || zip_file_add(z, name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(source);
            zip_discard(z);
            return false;
        }
    }
    return zip_close(z) == 0;
}

bool leftovers(const QString& destination) {
    QDirIterator it(destination, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileName().endsWith(QStringLiteral(".part"))) {
            return true;
        }
    }
    return false;
}

struct Run {
    double fullSeconds = 0; // an extraction left to finish
    std::vector<double> latencies;
    int notAborted = 0;
    bool clean = true;
};

class QuietSink : public archive_engine::ExtractionSink {
public:
    void progress(int) override {}
    void entryStarted(const QString&) override {}
    void skipped(const QString&, archive_engine::SkipReason) override {}
    bool createDestination() override { return true; }
};

double extractOnce(archive_engine::Engine& engine, const QString& archive,
                   const QString& destination, int* result) {
    QDir(destination).removeRecursively();
    archive_engine::ExtractionRequest request;
    request.archive = archive;
    request.destination = destination;
    QuietSink sink;
    QElapsedTimer timer;
    timer.start();
    *result = engine.extract(request, sink);
    return double(timer.nsecsElapsed()) / 1e9;
}

Run measure(const QString& archive, const QString& destination, int runs, std::mt19937& random) {
    archive_engine::Engine engine;
    Run run;
    int result = 0;
    run.fullSeconds = extractOnce(engine, archive, destination, &result);
    if (result != archive_engine::Success) {
        std::fprintf(stderr, "extraction failed with %d\n", result);
        std::exit(1);
    }
    std::uniform_real_distribution<double> when(0.05, 0.9);
    for (int i = 0; i < runs; ++i) {
        const auto delay = std::chrono::duration<double>(when(random) * run.fullSeconds);
        std::chrono::steady_clock::time_point raised;
        std::thread presser([&] {
            std::this_thread::sleep_for(delay);
            raised = std::chrono::steady_clock::now();
            engine.requestAbort();
        });
        extractOnce(engine, archive, destination, &result);
        const auto returned = std::chrono::steady_clock::now();
        presser.join();
        if (result != archive_engine::Aborted) {
            // Finished before the request came: no latency to count.
            ++run.notAborted;
            engine.withdrawAbort();
            continue;
        }
        run.latencies.push_back(std::chrono::duration<double>(returned - raised).count());
        run.clean = run.clean && !leftovers(destination);
    }
    QDir(destination).removeRecursively();
    return run;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Writes a large file over and over below `folder` while it lives, without syncing: the
// kernel's dirty pages of another program, which slow writes down and which a sync of the
// file system has to write out as well.
class CompetingWriter {
public:
    explicit CompetingWriter(const QString& folder)
        : m_thread([this, path = folder + QStringLiteral("/competitor.bin")] {
              const QByteArray block(4 << 20, 'x');
              while (!m_stop.load()) {
                  QFile file(path);
                  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                      return;
                  }
                  for (int i = 0; i < 256 && !m_stop.load(); ++i) { // 1 GiB a round
                      file.write(block);
                  }
              }
              QFile::remove(path);
          }) {}
    ~CompetingWriter() {
        m_stop.store(true);
        m_thread.join();
    }
    CompetingWriter(const CompetingWriter&) = delete;
    CompetingWriter& operator=(const CompetingWriter&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct WindowRun {
    double fullSeconds = 0;
    std::vector<double> latencies;
    int notAborted = 0;
    double worstEventGapMs = 0;    // the window's thread, between two 5 ms timer events
    double worstProgressGapMs = 0; // between progress signals, extractions left to finish
    double syncSeconds = 0;        // the durability step after the full extraction
};

// One Extract() through the adapter; `abortAfter` < 0 lets it finish.
int extractThroughWindow(ArchiveEngine& engine, const QString& destination, double abortAfter,
                         WindowRun& run, std::chrono::steady_clock::time_point* raised) {
    QDir(destination).removeRecursively();
    QDir().mkpath(destination);
    engine.ExtractDirectory = platform::toDosPath(destination);
    QElapsedTimer sinceEvent;
    QElapsedTimer sinceProgress;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        run.worstEventGapMs =
            std::max(run.worstEventGapMs, double(sinceEvent.nsecsElapsed()) / 1e6);
        sinceEvent.restart();
    });
    QObject context;
    if (abortAfter < 0) {
        QObject::connect(&engine, &ArchiveEngine::progress, &context, [&](qint16) {
            if (sinceProgress.isValid()) {
                run.worstProgressGapMs =
                    std::max(run.worstProgressGapMs, double(sinceProgress.nsecsElapsed()) / 1e6);
            }
            sinceProgress.restart();
        });
    } else {
        QTimer::singleShot(int(abortAfter * 1000), &context, [&] {
            *raised = std::chrono::steady_clock::now();
            engine.setAbort(true);
        });
    }
    probe.start(5);
    sinceEvent.start();
    const int result = engine.Extract();
    probe.stop();
    return result;
}

WindowRun measureWindow(const QString& archive, const QString& destination, int runs,
                        std::mt19937& random, bool slowDisk, bool competitor) {
    ArchiveEngine engine;
    engine.ZipFileName = platform::toDosPath(archive);
    if (slowDisk) {
        // Every tenth report: a run of a few seconds spends most of its time held.
        engine.setWorkerHook(
            [count = std::make_shared<int>(0)](const ArchiveEngine::Report& report) {
                if (report.kind == ArchiveEngine::Report::Progress && ++*count % 10 == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                }
            });
    }
    std::optional<CompetingWriter> writer;
    if (competitor) {
        writer.emplace(QFileInfo(destination).path());
    }
    WindowRun run;
    std::chrono::steady_clock::time_point raised;
    QElapsedTimer timer;
    timer.start();
    if (extractThroughWindow(engine, destination, -1, run, &raised) != archive_engine::Success) {
        std::fprintf(stderr, "extraction through the window failed\n");
        std::exit(1);
    }
    run.fullSeconds = double(timer.nsecsElapsed()) / 1e9;
    timer.restart();
    engine.syncExtracted();
    run.syncSeconds = double(timer.nsecsElapsed()) / 1e9;
    std::uniform_real_distribution<double> when(0.05, 0.9);
    for (int i = 0; i < runs; ++i) {
        const int result =
            extractThroughWindow(engine, destination, when(random) * run.fullSeconds, run, &raised);
        const auto returned = std::chrono::steady_clock::now();
        if (result != archive_engine::Aborted) {
            ++run.notAborted;
            continue;
        }
        run.latencies.push_back(std::chrono::duration<double>(returned - raised).count());
    }
    // The last worker a slow disk held may still be dropping its entry: wait for it.
    engine.setWorkerHook({});
    engine.syncExtracted();
    QDir(destination).removeRecursively();
    return run;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fputs("usage: velmarch-bench-abort SCRATCH [RUNS]\n", stderr);
        return 2;
    }
    const QString scratch = QFileInfo(args.at(1)).absoluteFilePath();
    const int runs = args.size() > 2 ? std::max(1, args.at(2).toInt()) : 20;
    QDir().mkpath(scratch);

    std::mt19937 random(20261207);
    const QString large = scratch + QStringLiteral("/large.zip");
    const QString small = scratch + QStringLiteral("/small.zip");
    if (!QFileInfo::exists(large) &&
        !writeArchive(large, {{QStringLiteral("large.txt"), textLike(random, 300 << 20)}})) {
        std::fputs("cannot write the large archive\n", stderr);
        return 1;
    }
    if (!QFileInfo::exists(small)) {
        std::vector<std::pair<QString, QByteArray>> files;
        for (int i = 0; i < 5000; ++i) {
            files.emplace_back(QStringLiteral("d%1/f%2.txt").arg(i % 50).arg(i),
                               textLike(random, 1000 + qsizetype(random() % 9000)));
        }
        if (!writeArchive(small, files)) {
            std::fputs("cannot write the small-file archive\n", stderr);
            return 1;
        }
    }

    bool clean = true;
    std::printf("%-34s %9s %7s %12s %12s\n", "archive", "full s", "aborts", "median ms",
                "worst ms");
    for (const auto& [label, archive] :
         {std::pair{"one 300 MiB entry", large}, std::pair{"5,000 files of 1 to 10 KB", small}}) {
        const Run run = measure(archive, scratch + QStringLiteral("/out"), runs, random);
        const double worst = run.latencies.empty()
                                 ? 0
                                 : *std::max_element(run.latencies.begin(), run.latencies.end());
        std::printf("%-34s %9.3f %7zu %12.1f %12.1f\n", label, run.fullSeconds,
                    run.latencies.size(), median(run.latencies) * 1e3, worst * 1e3);
        if (run.notAborted) {
            std::printf("  (%d runs finished before the abort came)\n", run.notAborted);
        }
        clean = clean && run.clean;
    }
    std::printf(clean ? "no temporary or partial file was left by any aborted run\n"
                      : "TEMPORARY FILES LEFT BEHIND\n");

    std::printf("\nthrough the window's adapter\n%-34s %-20s %8s %7s %10s %10s %10s %10s %8s\n",
                "archive", "disk", "full s", "aborts", "median ms", "worst ms", "window ms",
                "progr. ms", "sync s");
    struct Condition {
        const char* label;
        bool slowDisk;
        bool competitor;
    };
    for (const Condition& condition :
         {Condition{"as it is", false, false}, Condition{"writes held 300 ms", true, false},
          Condition{"another writer", false, true}}) {
        for (const auto& [label, archive] : {std::pair{"one 300 MiB entry", large},
                                             std::pair{"5,000 files of 1 to 10 KB", small}}) {
            const WindowRun run = measureWindow(archive, scratch + QStringLiteral("/out"),
                                                condition.slowDisk ? std::min(runs, 5) : runs,
                                                random, condition.slowDisk, condition.competitor);
            const double worst = run.latencies.empty() ? 0
                                                       : *std::max_element(run.latencies.begin(),
                                                                           run.latencies.end());
            std::printf("%-34s %-20s %8.3f %7zu %10.1f %10.1f %10.1f %10.1f %8.3f\n", label,
                        condition.label, run.fullSeconds, run.latencies.size(),
                        median(run.latencies) * 1e3, worst * 1e3, run.worstEventGapMs,
                        run.worstProgressGapMs, run.syncSeconds);
        }
    }
    return clean ? 0 : 1;
}
