#include "archive_engine.h"

#include "extraction.h"

ArchiveEngine::ArchiveEngine(QObject* parent) : QObject(parent) {}

ArchiveEngine::~ArchiveEngine() = default;

int ArchiveEngine::Extract() {
    Result result;
    {
        archive_engine::Extraction extraction(*this, m_abort);
        result = extraction.run();
    }
    // An abort request ends with the call it stopped (or that saw it first); left set, it
    // would fail every archive that follows.
    m_abort.store(false);
    emit finished(result);
    return result;
}
