#include "archive_engine.h"

#include "extraction.h"
#include "file_spec.h"

#include "platform/volumes.h"

namespace {

// The core's events, raised as the engine's signals.
class SignalSink : public archive_engine::ExtractionSink {
public:
    SignalSink(ArchiveEngine& engine, const QString& directoryAsGiven)
        : m_engine(engine), m_directory(directoryAsGiven) {}

    void progress(int percent) override { emit m_engine.progress(qint16(percent)); }
    void entryStarted(const QString& entryName) override { emit m_engine.entryStarted(entryName); }
    void skipped(const QString& entryName, archive_engine::SkipReason reason) override {
        emit m_engine.skippingFile(entryName, reason);
    }
    bool createDestination() override {
        qint16 answer = 0;
        emit m_engine.queryCreateDirectory(m_directory, answer);
        return answer != 0;
    }

private:
    ArchiveEngine& m_engine;
    const QString m_directory;
};

std::optional<QString> hostPathOf(const QString& dosPath) {
    const platform::Resolved resolved = platform::resolve(dosPath);
    return resolved.error == 0 ? std::optional(resolved.hostPath) : std::nullopt;
}

} // namespace

ArchiveEngine::ArchiveEngine(QObject* parent) : QObject(parent) {}

ArchiveEngine::~ArchiveEngine() = default;

int ArchiveEngine::Extract() {
    archive_engine::ExtractionRequest request;
    request.archive = hostPathOf(ZipFileName);
    request.destination =
        ExtractDirectory.trimmed().isEmpty() ? QString() : hostPathOf(ExtractDirectory);
    // "*.*" takes every entry: no pattern to match each one against.
    if (FilesToProcess.trimmed() != QLatin1String("*.*")) {
        request.selects = [spec = FilesToProcess](const QString& name) {
            return archive_engine::matchesFileSpec(name, spec);
        };
    }
    request.recurse = recurse;
    // Through the volume table, so the engine's check and the program's own guard see one
    // figure.
    request.freeSpace = platform::freeBytesAt;
    SignalSink sink(*this, ExtractDirectory);

    Result result;
    // The call holds the decoding memory; a call made from one of its own signal handlers
    // finds none and makes its own.
    std::unique_ptr<archive_engine::DecodeMemory> memory = std::move(m_memory);
    m_placed.clear();
    {
        archive_engine::Extraction extraction(request, sink, m_abort, memory, m_placed);
        result = extraction.run();
        m_archiveRead = extraction.archiveRead();
    }
    m_memory = std::move(memory);
    // An abort request ends with the call it stopped (or that saw it first); left set, it
    // would fail every archive that follows.
    m_abort.store(false);
    emit finished(result);
    return result;
}
