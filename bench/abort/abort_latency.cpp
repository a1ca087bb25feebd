// velmarch-bench-abort: how long an abort takes to stop the archive engine. A user presses
// "Abort" and waits for the run to stop; the engine promises to see the request at least
// every MiB of output and between entries.
//
// Writes two archives into SCRATCH (a large deflated entry, and many small files), then
// for each one runs Extract() RUNS times. Another thread raises the abort at a random
// moment within the extraction's expected time and notes when; the time from there to
// Extract()'s return is the latency. Prints the median and the worst per archive, and
// checks every aborted extraction left neither temporary nor partial files.
//
//   velmarch-bench-abort SCRATCH [RUNS]

#include <velmarch/engine.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>

#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    return clean ? 0 : 1;
}
