#pragma once

// Decodes the entries of one extraction on a worker thread, ahead of the thread that
// writes them, so that inflating and checking the next entries overlaps with the
// file-system work of the current one. The worker takes the jobs in order and hands each
// one's content over in pieces, then its verdict; the bytes held between the two threads
// are capped.
//
// Small files cost the kernel more per file than per byte, and a thread that both
// creates and links every one of them keeps the other core idle. Whenever the writing
// side has a batch of work waiting already, the worker therefore writes the next small
// job itself, to an unnamed file in the very folder the entry belongs to, which nobody
// sees until the writing side links it there, in order; that job's verdict carries the
// file instead of its content. Either thread can make a small file, and the one with room
// does. The worker never creates a folder, so what the destination shows, and in what
// order, is the writing side's alone: a job whose folder is not there yet, or where no
// unnamed file can be made, comes as content.
//
// The worker owns the archive file, and is its one reader, from construction to
// destruction, which keeps the reads in archive order.

#include "codecs/entry_decoder.h"
#include "disk/extract_target.h"
#include "pipeline/decode_memory.h"
#include "pipeline/folder_cache.h"
#include "zip/archive_reader.h"
#include "zip/zip_directory.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace archive_engine {

class DecodePipeline {
public:
    // Which thread makes the files of small jobs.
    enum class SmallFiles {
        Shared,           // the worker, while the writing side has a batch waiting
        OnWritingThread,  // always the writing side: every job comes as content
        OnDecodingThread, // the worker, wherever the job's folder is there already
    };

    struct Job {
        const ZipEntry* entry;
        bool small = false; // the worker may make its file itself
    };

    // A piece of the current job's content (at most EntryDecoder::kChunkSize bytes), or,
    // with `last` set, the job's verdict. Small pieces share a chunk buffer, which goes
    // back to the pool once all of them are dropped.
    struct Piece {
        std::shared_ptr<char> buffer;
        const char* data = nullptr;
        std::size_t size = 0;
        bool last = false;
        DecodeResult verdict = DecodeResult::Ok;
        // With `last`, for a small job the worker made a file of: the file, finished or
        // still to be, or what kept it from being made (the verdict is then Stopped).
        std::unique_ptr<disk::TempOutput> file;
        disk::TargetStatus fileStatus = disk::TargetStatus::Ok;
        // The host's error (errno) behind a read error or a file not made.
        int systemError = 0;
    };

    // Content decoded but not yet taken; a larger entry still passes, piece by piece.
    static constexpr std::size_t kMaxBytesInFlight = 16 << 20;
    // Jobs decoded ahead of the writing side: an archive of tiny entries gains nothing
    // from running further ahead, and each one waiting costs memory.
    static constexpr std::size_t kMaxJobsAhead = 2048;
    // A finished file waiting to be linked holds a descriptor: it counts as this many bytes
    // in flight, so that at most 128 are open at once, well below the usual limit of 1,024.
    static constexpr std::size_t kFileCharge = kMaxBytesInFlight / 128;
    // The largest entry the worker may make a file of. Larger ones are written by the
    // other thread while the worker decodes the next, which keeps both cores on the bytes.
    static constexpr std::uint64_t kMaxSmallFile = 64 << 10;
    // Small jobs queued before a writing side that waits for them is woken, and the work
    // it has waiting when the worker takes small files on itself.
    static constexpr std::size_t kWakeBatch = 32;
    // Folders the worker keeps open to make files in, besides the writing side's.
    static constexpr std::size_t kFoldersHeld = 16;

    // `memory` serves this pipeline alone until it is destroyed; `directory` (which
    // outlives it) names the jobs' entries. The worker makes the files of small jobs in
    // their folders below `root`, as `smallFiles` says.
    DecodePipeline(std::unique_ptr<QFile> archive, const ZipDirectory& directory,
                   std::vector<Job> jobs, DecodeMemory& memory, disk::TargetDir root,
                   SmallFiles smallFiles);
    // Stops the worker (within one chunk of decoding) and waits for it.
    ~DecodePipeline();
    DecodePipeline(const DecodePipeline&) = delete;
    DecodePipeline& operator=(const DecodePipeline&) = delete;

    // The next piece of the current job, waiting at most `timeout`; false when none came.
    bool next(Piece* piece, std::chrono::milliseconds timeout);
    // Done with the current job, whether or not its verdict was taken: the worker drops
    // what is left of it, and the next job becomes current.
    void endJob();

private:
    class JobOutput;
    class SmallFileOutput;
    struct Queued {
        std::size_t job;
        Piece piece;
    };

    void work();
    // Whether the worker is to make the next small job's file.
    bool makesFileAhead();
    // Decodes a small job into a file of its own, in its folder; the verdict carries it.
    // Nothing, and nothing read, when no file can be made there: the job then comes as
    // content.
    std::optional<Piece> writeJob(std::size_t job);
    // The folder a small job's file is made in, opened by the worker; none when it is not
    // there (yet) as a real folder.
    const disk::TargetDir* folderOf(std::size_t job);
    // Waits until the writing side is done with job `job` (and so has made its folder);
    // false when everything stops first.
    bool waitForWriterPast(std::size_t job);
    // Whether the writing side has a batch of work waiting already.
    bool writerBehind();
    // Waits for room, then queues a piece of job `job`; false when the job is no longer
    // wanted (or everything stops).
    bool put(std::size_t job, Piece piece);
    // Whether the worker, stopped for room, may go on (under m_mutex). It waits until
    // the writing side has taken half of what is in flight, so that the two threads wake
    // each other once per many pieces rather than once per piece.
    bool workerMayGo(std::size_t job) const;
    // The writing side took something (under m_mutex): true when the worker is to be woken.
    bool roomMade() const { return m_workerWaiting && workerMayGo(m_workerJob); }
    static std::size_t charge(const Piece& piece);
    // A piece holding a copy of `data`, cut from the chunk buffer being filled or from a
    // new one. The worker's alone; throws std::bad_alloc.
    Piece copyToPiece(const char* data, std::size_t size);

    // The worker's alone.
    const std::unique_ptr<QFile> m_archiveFile;
    ArchiveReader m_archive;
    const ZipDirectory& m_directory;
    const std::vector<Job> m_jobs;
    DecodeMemory& m_memory; // its decoder is the worker's alone
    const SmallFiles m_smallFiles;
    // The worker's alone: the destination and the folders it made files in.
    const disk::TargetDir m_root;
    FolderCache m_folders;
    // A folder found missing, not asked for again until the writing side is past the job
    // that found it so: it makes the folder no earlier than that job.
    QString m_missingFolder;
    // The folder of the last small job made ahead, and its stored name bytes.
    const disk::TargetDir* m_lastFolder = nullptr;
    QByteArray m_lastFolderBytes;
    std::size_t m_missingSince = 0;
    bool m_unnamedFiles = true;      // false once the destination turned out to lack them
    std::shared_ptr<char> m_filling; // the chunk buffer pieces are cut from (worker)
    std::size_t m_filled = 0;

    std::mutex m_mutex;
    std::condition_variable m_ready; // a piece was queued
    std::condition_variable m_room;  // bytes were taken, a job ended, or stop
    std::deque<Queued> m_queue;
    std::size_t m_bytesInFlight = 0;
    std::size_t m_current = 0; // the job the writing side is on
    bool m_stop = false;
    // Who waits: the signals are only sent to a thread that sleeps.
    bool m_workerWaiting = false;
    std::size_t m_workerJob = 0; // the job whose piece the waiting worker holds
    bool m_writerWaiting = false;
    std::optional<std::size_t> m_workerWaitsPast; // the job the worker waits to see done

    std::thread m_worker; // last: starts once everything above is in place
};

} // namespace archive_engine
