#include "pipeline/decode_memory.h"

namespace archive_engine {

std::shared_ptr<char> ChunkPool::take() {
    char* buffer = nullptr;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_spare.empty()) {
            buffer = m_spare.back().release();
            m_spare.pop_back();
        }
    }
    if (!buffer) {
        buffer = new char[EntryDecoder::kChunkSize];
    }
    // Should the shared count fail to allocate, the deleter still takes the buffer back.
    return std::shared_ptr<char>(buffer, [this](char* p) { give(p); });
}

void ChunkPool::give(char* buffer) noexcept {
    std::unique_ptr<char[]> owned(buffer);
    const std::lock_guard lock(m_mutex);
    if (m_spare.size() < kMaxSpare) {
        m_spare.push_back(std::move(owned));
    }
}

} // namespace archive_engine
