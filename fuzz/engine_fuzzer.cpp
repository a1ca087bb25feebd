// libFuzzer target: arbitrary bytes as an archive, extracted into a scratch directory.
// Beyond the sanitizers' findings it checks the engine's promise that nothing is ever
// written outside the destination and that no temporary file is left behind.

#include <velmarch/engine.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

struct Scratch {
    QTemporaryDir root;
    QString archive;
    QString destination;

    Scratch() {
        if (!root.isValid()) {
            std::abort();
        }
        archive = root.filePath(QStringLiteral("input.zip"));
        destination = root.filePath(QStringLiteral("out"));
    }
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

// Everything under `dir` other than the archive and the destination tree.
bool onlyExpectedEntries(const QString& dir, const QString& archive, const QString& destination) {
    const QStringList entries =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : entries) {
        const QString path = QDir(dir).filePath(name);
        if (path != archive && path != destination) {
            std::fprintf(stderr, "written outside the destination: %s\n", qPrintable(path));
            return false;
        }
    }
    return true;
}

bool noTemporaryLeft(const QString& destination) {
    QDirIterator it(destination,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().startsWith(QStringLiteral(".velmarch-")) &&
            it.fileName().endsWith(QStringLiteral(".part"))) {
            std::fprintf(stderr, "temporary file left: %s\n", qPrintable(path));
            return false;
        }
    }
    return true;
}

class QuietSink : public archive_engine::ExtractionSink {
public:
    void progress(int) override {}
    void entryStarted(const QString&) override {}
    void skipped(const QString&, archive_engine::SkipReason) override {}
    bool createDestination() override { return true; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int argc = 1;
    static char name[] = "engine_fuzzer";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    Scratch& s = scratch();
    {
        QFile file(s.archive);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            std::abort();
        }
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    QDir(s.destination).removeRecursively();
    QDir().mkpath(s.destination);

    // One engine for the whole run, as the program keeps one: what one archive leaves in
    // its buffers must not leak into the next.
    static archive_engine::Engine engine;
    archive_engine::ExtractionRequest request;
    request.archive = s.archive;
    request.destination = s.destination;
    QuietSink sink;
    const int result = engine.extract(request, sink);
    if (result < 0) {
        std::abort();
    }
    if (!onlyExpectedEntries(s.root.path(), s.archive, s.destination) ||
        !noTemporaryLeft(s.destination)) {
        std::abort();
    }
    return 0;
}
