// velmarch-extract: runs the archive engine on archives given as host paths, for tests by
// hand and for the benchmarks.

#include <velmarch/engine.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

namespace {

const char kUsage[] =
    "usage: velmarch-extract DEST ARCHIVE...\n"
    "\n"
    "Extracts each ARCHIVE into the host directory DEST with the archive engine, never\n"
    "overwriting anything (an identical file is left alone, a different one kept and the\n"
    "entry written as \"name (2).ext\"). DEST is created when missing.\n"
    "\n"
    "Prints, per archive, one line per skipped entry and then its result:\n"
    "  skip<TAB>REASON<TAB>ENTRY\n"
    "  result<TAB>NUMBER<TAB>ARCHIVE\n"
    "NUMBER 0 and 40 mean success (40: nothing to extract); anything else is a failure.\n"
    "\n"
    "Exit status: 0 when every archive was run (whatever the results), 2 on a usage error.\n";

void printLine(const QString& line) {
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

// Prints every skip; creates a missing destination without asking.
class PrintingSink : public archive_engine::ExtractionSink {
public:
    void progress(int) override {}
    void entryStarted(const QString&) override {}
    void skipped(const QString& entryName, archive_engine::SkipReason reason) override {
        printLine(QStringLiteral("skip\t%1\t%2").arg(int(reason)).arg(entryName));
    }
    bool createDestination() override { return true; }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.size() < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    archive_engine::ExtractionRequest request;
    request.destination = QFileInfo(args.takeFirst()).absoluteFilePath();
    request.freeSpace = archive_engine::freeBytesBelow;

    archive_engine::Engine engine;
    PrintingSink sink;
    for (const QString& archive : args) {
        request.archive = QFileInfo(archive).absoluteFilePath();
        const int result = engine.extract(request, sink);
        printLine(QStringLiteral("result\t%1\t%2").arg(result).arg(archive));
    }
    std::fflush(stdout);
    return 0;
}
