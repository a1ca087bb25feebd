#include "archive_engine.h"

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

void ArchiveEngine::setAbort(bool abort) {
    if (abort) {
        m_engine.requestAbort();
    } else {
        m_engine.withdrawAbort();
    }
}

std::optional<platform::FileId> ArchiveEngine::archiveRead() const {
    const std::optional<archive_engine::FileId> read = m_engine.archiveRead();
    if (!read) {
        return std::nullopt;
    }
    return platform::FileId{dev_t(read->device), ino_t(read->inode)};
}

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
    const int result = m_engine.extract(request, sink);
    emit finished(result);
    return result;
}
