#include "decode_pipeline.h"

#include <cstring>
#include <new>

namespace archive_engine {

namespace {

// Pieces above this size get a reusable chunk-sized buffer; smaller ones come from the
// allocator's heap, which reuses memory by itself.
constexpr std::size_t kSmallPiece = 64 << 10;
constexpr std::size_t kMaxSpareBuffers = 8;

// Whether a piece of this size lives in a chunk-sized buffer from the spares.
bool pooled(std::size_t size) {
    return size > kSmallPiece && size <= EntryDecoder::kChunkSize;
}

} // namespace

// Copies the decoder's chunks into pieces of their own: the decoder reuses its buffers.
class DecodePipeline::JobOutput : public EntryOutput {
public:
    JobOutput(DecodePipeline& pipeline, std::size_t job) : m_pipeline(pipeline), m_job(job) {}

    bool consume(const char* data, std::size_t size) override {
        Piece piece;
        try {
            piece = m_pipeline.newPiece(size);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            return false;
        }
        std::memcpy(piece.data.get(), data, size);
        return m_pipeline.put(m_job, std::move(piece));
    }

    bool outOfMemory = false;

private:
    DecodePipeline& m_pipeline;
    const std::size_t m_job;
};

DecodePipeline::DecodePipeline(zip* archive, std::vector<Job> jobs)
    : m_archive(archive), m_jobs(std::move(jobs)), m_worker([this] { work(); }) {}

DecodePipeline::~DecodePipeline() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_room.notify_all();
    m_worker.join();
}

std::size_t DecodePipeline::charge(const Piece& piece) {
    // The queue entry and the allocation count too, so that many empty entries are
    // bounded as well.
    return piece.size + sizeof(Queued) + 32;
}

DecodePipeline::Piece DecodePipeline::newPiece(std::size_t size) {
    Piece piece;
    piece.size = size;
    if (!pooled(size)) {
        piece.data.reset(new char[size]);
        return piece;
    }
    {
        const std::lock_guard lock(m_mutex);
        if (!m_spare.empty()) {
            piece.data = std::move(m_spare.back());
            m_spare.pop_back();
            return piece;
        }
    }
    piece.data.reset(new char[EntryDecoder::kChunkSize]);
    return piece;
}

void DecodePipeline::recycle(Piece piece) {
    if (!pooled(piece.size) || !piece.data) {
        return;
    }
    const std::lock_guard lock(m_mutex);
    if (m_spare.size() < kMaxSpareBuffers) {
        m_spare.push_back(std::move(piece.data));
    }
}

bool DecodePipeline::next(Piece* piece, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    if (!m_ready.wait_for(lock, timeout, [this] { return !m_queue.empty(); })) {
        return false;
    }
    // endJob() removes every piece of the jobs before the current one, and the worker
    // queues in job order: the front belongs to the current job.
    *piece = std::move(m_queue.front().piece);
    m_bytesInFlight -= charge(*piece);
    m_queue.pop_front();
    lock.unlock();
    m_room.notify_one();
    return true;
}

void DecodePipeline::endJob() {
    {
        const std::lock_guard lock(m_mutex);
        while (!m_queue.empty() && m_queue.front().job == m_current) {
            m_bytesInFlight -= charge(m_queue.front().piece);
            m_queue.pop_front();
        }
        ++m_current;
    }
    m_room.notify_one();
}

bool DecodePipeline::put(std::size_t job, Piece piece) {
    const std::size_t cost = charge(piece);
    std::unique_lock lock(m_mutex);
    // An empty queue always takes one piece, whatever its size.
    m_room.wait(lock, [&] {
        return m_stop || m_current > job || m_bytesInFlight == 0 ||
               m_bytesInFlight + cost <= kMaxBytesInFlight;
    });
    if (m_stop || m_current > job) {
        return false;
    }
    m_bytesInFlight += cost;
    m_queue.push_back({job, std::move(piece)});
    lock.unlock();
    m_ready.notify_one();
    return true;
}

void DecodePipeline::work() {
    for (std::size_t job = 0; job < m_jobs.size(); ++job) {
        {
            const std::lock_guard lock(m_mutex);
            if (m_stop) {
                return;
            }
            if (m_current > job) {
                continue; // the writing side gave up on it before it began
            }
        }
        JobOutput output(*this, job);
        Piece verdict;
        verdict.last = true;
        verdict.verdict =
            m_decoder.decode(m_archive, m_jobs[job].index, *m_jobs[job].entry, output);
        if (output.outOfMemory) {
            verdict.verdict = DecodeResult::OutOfMemory;
        }
        put(job, std::move(verdict));
    }
}

} // namespace archive_engine
