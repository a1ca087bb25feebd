#pragma once

// The archive engine: extracts the entries of one zip archive into a host directory, safely
// (nothing outside the destination, nothing overwritten, nothing half-written left behind),
// and tells a sink what happens on the calling thread during the call. This header is the
// whole of its interface: a request in host paths, the sink, the result and skip reasons,
// and the file read and the file systems written, which whoever deletes the archive
// afterwards needs. It knows neither drive letters nor windows.

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace archive_engine {

// Results of an extraction. Success means nothing of the archive was lost.
enum Result : int {
    Success = 0,
    NothingToExtract = 40,
    CannotOpenArchive = 2, // missing, unreadable, or not a zip archive
    DestinationEmpty = 3,
    DestinationMissing = 4, // missing and not created (the question answered no)
    // A file sits where the directory should be, it cannot be created, or we may not
    // create entries in it. Checked before any entry is written.
    DestinationNotWritable = 5,
    EntriesSkipped = 6, // one or more entries were skipped for an error
    Aborted = 7,
    // The declared total exceeds the free space (nothing written), or the disk filled up
    // while writing (the entries concerned skipped).
    InsufficientSpace = 8,
    CorruptArchive = 9,  // the archive as a whole is damaged (overlapping entries ...)
    Busy = 10,           // the engine is already extracting (a call from its own sink)
    OutOfResources = 11, // no thread, descriptor or memory to extract with; nothing written
};

// Why an entry was skipped. The first seven are the conditions a user is told about; the
// rest are refusals that protect the destination.
enum SkipReason : std::int16_t {
    SkipFileNotFound = 1,
    SkipUnknownMethod = 2,
    SkipBadCrc = 3,
    SkipUpToDate = 4,
    SkipCannotOpen = 5,
    SkipBadPassword = 6,
    SkipCorrupted = 7,
    SkipUnsafePath = 100,  // absolute, drive letter, UNC or ".." name
    SkipLinkEscapes = 101, // a link that is absolute or leaves the destination
    SkipThroughLink = 102, // the entry's folder is a link
    SkipInsufficientSpace = 103,
    SkipAborted = 104,
    SkipReadError = 105,   // the archive's bytes could not be read from the disk
    SkipNameTooLong = 106, // a name or path longer than the destination's file system holds
};

// Why the reader refused an archive as a whole.
enum class ArchiveProblem : std::uint8_t {
    None,
    NoEndRecord, // not a zip archive
    SplitArchive,
    SecondEndRecord,    // another end record in the last 64 KiB leads to another directory
    Zip64Mismatch,      // the ZIP64 end record contradicts the 32-bit one
    DirectoryMisplaced, // the directory does not end where its end record begins
    CountMismatch,      // the stated entry count is not the number of central headers
    CentralHeaderDamaged,
    UnlistedHeader,      // a local or central header that no entry accounts for
    LocalHeaderMismatch, // a local header contradicts its central entry
    DescriptorMismatch,  // a data descriptor contradicts its central entry
    SharedBytes,         // two entries, or an entry and the directory, share bytes
    ReadError,           // the archive could not be read (the system error says why)
};

// What lies behind the last extraction's result, so that its user can be told why.
struct Findings {
    // With CannotOpenArchive and CorruptArchive: what the reader found.
    ArchiveProblem archiveProblem = ArchiveProblem::None;
    // The host's error (an errno value) behind the result, or behind the first entry
    // skipped for an error; 0 when none was involved.
    int systemError = 0;
    // The first entry skipped for an error (not one already there, not an abort).
    QString firstSkipped;
    std::optional<SkipReason> firstReason;
    // Every skipped entry, counted by reason.
    std::map<SkipReason, std::uint64_t> skipped;
};

struct ExtractionRequest {
    // Host paths; unset when the path names no place on this machine.
    std::optional<QString> archive;
    std::optional<QString> destination;
    // Whether to take an entry, by the last component of its name; unset takes every one.
    std::function<bool(const QString& lastComponent)> selects;
    bool recurse = true; // false: the archive's top level only
    // Bytes free below a host path; unset when unknown (the check is then left out).
    std::function<std::optional<std::uint64_t>(const QString& hostPath)> freeSpace;
};

// The host's own figure for ExtractionRequest::freeSpace: bytes available to an
// unprivileged user below a host path.
std::optional<std::uint64_t> freeBytesBelow(const QString& hostPath);

// Receives what happens, on the thread that runs the extraction, during the run.
class ExtractionSink {
public:
    virtual ~ExtractionSink() = default;
    // Percent of the selected entries' total size: 0 first, 100 last on success.
    virtual void progress(int percent) = 0;
    // Each selected entry, before it is extracted or skipped.
    virtual void entryStarted(const QString& entryName) = 0;
    virtual void skipped(const QString& entryName, SkipReason reason) = 0;
    // The destination does not exist: true to create it with every folder above it.
    virtual bool createDestination() = 0;
};

// A file's identity on the host: it survives renames and tells a replacement apart.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};

class Engine {
public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Extracts one archive. A call made while another runs on this engine (from one of the
    // sink's handlers) is refused with Busy and changes nothing of the running one.
    Result extract(const ExtractionRequest& request, ExtractionSink& sink);

    // Asks the running extraction to stop, from the sink's handlers or any thread; the
    // request ends with the call it stopped (or, made between calls, with the next).
    void requestAbort() { m_abort.store(true); }
    // Takes back a request that no extraction has seen yet.
    void withdrawAbort() { m_abort.store(false); }
    bool abortRequested() const { return m_abort.load(); }

    // The file the last extraction read, as it was opened; unset when it could not be.
    std::optional<FileId> archiveRead() const { return m_archiveRead; }
    // Why the last extraction ended as it did.
    const Findings& findings() const { return m_findings; }
    // Writes out, to the disk itself, everything the last extraction placed; false when
    // that cannot be confirmed. Only then may the archive it came from go.
    bool syncExtracted();

private:
    struct State;
    std::atomic<bool> m_abort{false};
    bool m_running = false;
    std::optional<FileId> m_archiveRead;
    Findings m_findings;
    // Decoder, buffers and the file systems written, kept between calls: a batch does not
    // pay for fresh memory with every archive.
    std::unique_ptr<State> m_state;
};

} // namespace archive_engine
