#pragma once

// The memory decoding keeps from one Extract call to the next: the decoder with its
// state and buffers, and the spare chunk buffers that carry content between the threads.
// Fresh memory costs a page fault per 4 KiB when first touched; a batch that reuses
// these buffers is spared tens of thousands of them.

#include "codecs/entry_decoder.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace archive_engine {

// Buffers of EntryDecoder::kChunkSize bytes, taken on one thread and given back on another.
class ChunkPool {
public:
    ChunkPool() { m_spare.reserve(kMaxSpare); }

    // A buffer shared by the pieces cut from it; it comes back to the pool when the last
    // of them is dropped, so the pool must outlive them. Throws std::bad_alloc.
    std::shared_ptr<char> take();

private:
    // About as many as are in use at once (DecodePipeline's cap on bytes in flight, with
    // some buffers only partly filled); more are freed.
    static constexpr std::size_t kMaxSpare = 24;

    void give(char* buffer) noexcept;

    std::mutex m_mutex;
    std::vector<std::unique_ptr<char[]>> m_spare; // never grows past its reserve
};

struct DecodeMemory {
    EntryDecoder decoder; // used by one pipeline's worker at a time
    ChunkPool chunks;
};

} // namespace archive_engine
