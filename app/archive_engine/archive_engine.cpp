#include "archive_engine.h"

#include "extraction.h"

ArchiveEngine::ArchiveEngine(QObject* parent) : QObject(parent) {}

ArchiveEngine::~ArchiveEngine() = default;

int ArchiveEngine::Extract() {
    Result result;
    // The call holds the decoding memory; a call made from one of its own signal handlers
    // finds none and makes its own.
    std::unique_ptr<archive_engine::DecodeMemory> memory = std::move(m_memory);
    m_placed.clear();
    {
        archive_engine::Extraction extraction(*this, m_abort, memory, m_placed);
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
