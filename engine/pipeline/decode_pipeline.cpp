#include "pipeline/decode_pipeline.h"

#include "zip/entry_name.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace archive_engine {

// Copies the decoder's chunks into pieces of their own: the decoder reuses its buffers.
class DecodePipeline::JobOutput : public EntryOutput {
public:
    JobOutput(DecodePipeline& pipeline, std::size_t job) : m_pipeline(pipeline), m_job(job) {}

    bool consume(const char* data, std::size_t size) override {
        Piece piece;
        try {
            piece = m_pipeline.copyToPiece(data, size);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            return false;
        }
        return m_pipeline.put(m_job, std::move(piece));
    }

    bool outOfMemory = false;

private:
    DecodePipeline& m_pipeline;
    const std::size_t m_job;
};

// Writes a small job's content straight into its file.
class DecodePipeline::SmallFileOutput : public EntryOutput {
public:
    explicit SmallFileOutput(disk::TempOutput& file) : m_file(file) {}

    bool consume(const char* data, std::size_t size) override {
        status = m_file.write(data, size);
        return status == disk::TargetStatus::Ok;
    }

    disk::TargetStatus status = disk::TargetStatus::Ok;

private:
    disk::TempOutput& m_file;
};

DecodePipeline::DecodePipeline(std::unique_ptr<QFile> archive, const ZipDirectory& directory,
                               std::vector<Job> jobs, DecodeMemory& memory, disk::TargetDir root,
                               SmallFiles smallFiles)
    : m_archiveFile(std::move(archive)), m_archive(*m_archiveFile), m_directory(directory),
      m_jobs(std::move(jobs)), m_memory(memory), m_smallFiles(smallFiles), m_root(std::move(root)),
      m_folders(m_root, kFoldersHeld), m_worker([this] { work(); }) {}

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
    return piece.size + sizeof(Queued) + 32 + (piece.file ? kFileCharge : 0);
}

DecodePipeline::Piece DecodePipeline::copyToPiece(const char* data, std::size_t size) {
    if (!m_filling || size > EntryDecoder::kChunkSize - m_filled) {
        m_filling.reset();
        m_filling = m_memory.chunks.take();
        m_filled = 0;
    }
    Piece piece;
    piece.buffer = m_filling;
    char* at = m_filling.get() + m_filled;
    std::memcpy(at, data, size);
    piece.data = at;
    piece.size = size;
    m_filled += size;
    return piece;
}

bool DecodePipeline::next(Piece* piece, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    if (m_queue.empty()) {
        m_writerWaiting = true;
        m_ready.wait_for(lock, timeout, [this] { return !m_queue.empty(); });
        m_writerWaiting = false;
        if (m_queue.empty()) {
            return false;
        }
    }
    // endJob() removes every piece of the jobs before the current one, and the worker
    // queues in job order: the front belongs to the current job.
    *piece = std::move(m_queue.front().piece);
    m_bytesInFlight -= charge(*piece);
    m_queue.pop_front();
    const bool wake = roomMade();
    lock.unlock();
    if (wake) {
        m_room.notify_one();
    }
    return true;
}

void DecodePipeline::endJob() {
    bool wake = false;
    {
        const std::lock_guard lock(m_mutex);
        while (!m_queue.empty() && m_queue.front().job == m_current) {
            m_bytesInFlight -= charge(m_queue.front().piece);
            m_queue.pop_front();
        }
        ++m_current;
        wake = roomMade() || (m_workerWaitsPast && m_current > *m_workerWaitsPast);
    }
    if (wake) {
        m_room.notify_one();
    }
}

bool DecodePipeline::workerMayGo(std::size_t job) const {
    return m_stop || m_current > job || m_bytesInFlight == 0 ||
           (m_bytesInFlight <= kMaxBytesInFlight / 2 && job - m_current < kMaxJobsAhead / 2);
}

bool DecodePipeline::put(std::size_t job, Piece piece) {
    const std::size_t cost = charge(piece);
    std::unique_lock lock(m_mutex);
    // An empty queue always takes one piece, whatever its size.
    const bool room = m_bytesInFlight == 0 || (m_bytesInFlight + cost <= kMaxBytesInFlight &&
                                               job - m_current < kMaxJobsAhead);
    if (!room && !m_stop && m_current <= job) {
        if (m_writerWaiting) {
            m_ready.notify_one(); // whatever batch it waits for, it gets no more
        }
        m_workerWaiting = true;
        m_workerJob = job;
        m_room.wait(lock, [&] { return workerMayGo(job); });
        m_workerWaiting = false;
    }
    if (m_stop || m_current > job) {
        return false;
    }
    m_bytesInFlight += cost;
    m_queue.push_back({job, std::move(piece)});
    // Small jobs are handed over in batches: a wake-up per file would cost more than the
    // file. A larger one's content is handed over piece by piece, as it is written while
    // decoded.
    const bool wake = m_writerWaiting && (!m_jobs[job].small || m_queue.size() >= kWakeBatch ||
                                          job + 1 == m_jobs.size());
    lock.unlock();
    if (wake) {
        m_ready.notify_one();
    }
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
        if (m_jobs[job].small && makesFileAhead()) {
            if (std::optional<Piece> verdict = writeJob(job)) {
                put(job, std::move(*verdict));
                continue;
            }
        }
        JobOutput output(*this, job);
        Piece verdict;
        verdict.last = true;
        verdict.verdict = m_memory.decoder.decode(m_archive, *m_jobs[job].entry, output);
        verdict.systemError = m_archive.readError();
        if (output.outOfMemory) {
            verdict.verdict = DecodeResult::OutOfMemory;
        }
        put(job, std::move(verdict));
    }
}

bool DecodePipeline::makesFileAhead() {
    switch (m_smallFiles) {
    case SmallFiles::OnWritingThread:
        return false;
    case SmallFiles::OnDecodingThread:
        return m_unnamedFiles;
    case SmallFiles::Shared:
        break;
    }
    return m_unnamedFiles && writerBehind();
}

const disk::TargetDir* DecodePipeline::folderOf(std::size_t job) {
    const ZipEntry& entry = *m_jobs[job].entry;
    // Consecutive entries mostly share their folder: where its stored bytes are the last
    // one's and plain ASCII (which every reading of a name reads alike), it is that folder,
    // with no name decoded.
    const QByteArrayView raw = m_directory.rawName(entry);
    qsizetype cut = raw.size();
    while (cut > 0 && raw[cut - 1] != '/' && raw[cut - 1] != '\\') {
        --cut;
    }
    const QByteArrayView folderBytes = raw.first(cut);
    if (m_lastFolder && entry.nameText != ZipEntry::NameText::UnicodeField &&
        folderBytes == m_lastFolderBytes) {
        return m_lastFolder;
    }
    m_lastFolder = nullptr;
    // The writing side found the name safe before it made this a job.
    const EntryPath path = sanitizeEntryName(m_directory.name(entry));
    if (path.components.isEmpty()) {
        return nullptr;
    }
    const auto folderPath =
        std::span(path.components.cbegin(), std::size_t(path.components.size() - 1));
    // The writing side makes a folder when it places the first entry in it, already queued
    // as content: once it is past that entry, this one's file can be made in the folder.
    // Waiting costs nothing while it has a batch to place, and spares handing it the rest
    // of the folder's entries as content.
    if (!m_missingFolder.isNull() && FolderCache::isKeyOf(m_missingFolder, folderPath)) {
        if (!waitForWriterPast(m_missingSince)) {
            return nullptr;
        }
        m_missingFolder = QString();
    }
    disk::TargetStatus status;
    const disk::TargetDir* folder = m_folders.open(folderPath, false, &status);
    if (!folder) {
        // Not made yet, or not a real folder: the writing side tells.
        m_missingFolder = FolderCache::keyOf(folderPath);
        m_missingSince = job;
        return nullptr;
    }
    if (entry.nameText != ZipEntry::NameText::UnicodeField &&
        std::all_of(folderBytes.begin(), folderBytes.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        m_lastFolderBytes = folderBytes.toByteArray();
        m_lastFolder = folder;
    }
    return folder;
}

std::optional<DecodePipeline::Piece> DecodePipeline::writeJob(std::size_t job) {
    const ZipEntry& entry = *m_jobs[job].entry;
    const disk::TargetDir* folder = folderOf(job);
    if (!folder) {
        return std::nullopt;
    }
    std::unique_ptr<disk::TempOutput> file;
    try {
        file = std::make_unique<disk::TempOutput>();
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    const disk::TargetStatus status = file->createUnnamed(*folder);
    if (status != disk::TargetStatus::Ok) {
        // A full disk or a folder we may not write to is the writing side's to report, in
        // its turn; a file system without unnamed files stays without them.
        m_unnamedFiles = status != disk::TargetStatus::Unsupported;
        return std::nullopt;
    }
    Piece verdict;
    verdict.last = true;
    SmallFileOutput output(*file);
    disk::clearLastError();
    verdict.verdict = m_memory.decoder.decode(m_archive, entry, output);
    verdict.systemError = m_archive.readError();
    verdict.fileStatus = output.status;
    if (verdict.fileStatus != disk::TargetStatus::Ok) {
        verdict.systemError = disk::lastError();
        verdict.verdict = DecodeResult::Stopped;
    }
    if (verdict.verdict != DecodeResult::Ok) {
        return verdict;
    }
    // Giving the file its permissions and time is left to the writing side while that side
    // keeps up: the two threads share the work per file, whichever has room for it.
    if (m_smallFiles == SmallFiles::OnDecodingThread || writerBehind()) {
        verdict.fileStatus = file->finish(entry.placedMode(), entry.placedTime());
        if (verdict.fileStatus != disk::TargetStatus::Ok) {
            verdict.systemError = disk::lastError();
            verdict.verdict = DecodeResult::Stopped;
            return verdict;
        }
    }
    verdict.file = std::move(file);
    return verdict;
}

bool DecodePipeline::waitForWriterPast(std::size_t job) {
    std::unique_lock lock(m_mutex);
    if (m_writerWaiting) {
        m_ready.notify_one(); // whatever batch it waits for, it gets no more until then
    }
    m_workerWaitsPast = job;
    m_room.wait(lock, [&] { return m_stop || m_current > job; });
    m_workerWaitsPast.reset();
    return !m_stop;
}

bool DecodePipeline::writerBehind() {
    const std::lock_guard lock(m_mutex);
    return !m_writerWaiting && m_queue.size() >= kWakeBatch;
}

} // namespace archive_engine
