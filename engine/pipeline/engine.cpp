#include <velmarch/engine.h>

#include "disk/durable_set.h"
#include "disk/extract_target.h"
#include "pipeline/decode_memory.h"
#include "pipeline/extraction.h"

namespace archive_engine {

std::optional<std::uint64_t> freeBytesBelow(const QString& hostPath) {
    return disk::hostFreeBytes(hostPath);
}

struct Engine::State {
    std::unique_ptr<DecodeMemory> memory;
    disk::DurableSet placed; // the file systems the last extraction wrote to
};

Engine::Engine() : m_state(std::make_unique<State>()) {}

Engine::~Engine() = default;

Result Engine::extract(const ExtractionRequest& request, ExtractionSink& sink) {
    // The running call owns the decoding memory, the set of what it placed and the abort
    // flag; a second call from its sink would clear them under it.
    if (m_running) {
        return Busy; // the running call's findings stay as they are
    }
    m_running = true;
    m_state->placed.clear();
    Result result;
    {
        Extraction extraction(request, sink, m_abort, m_state->memory, m_state->placed);
        result = extraction.run();
        m_archiveRead = extraction.archiveRead();
        m_findings = extraction.findings();
    }
    // An abort request ends with the call it stopped (or that saw it first); left set, it
    // would fail every archive that follows.
    m_abort.store(false);
    m_running = false;
    return result;
}

bool Engine::syncExtracted() {
    return m_state->placed.sync();
}

} // namespace archive_engine
