#pragma once

// What the engine's core is asked and what it answers: a request in host paths, a sink for
// what happens during the extraction, and the result and skip numbers. The core knows
// neither drive letters nor windows; ArchiveEngine maps its properties and events onto
// these.

#include <QString>

#include <cstdint>
#include <functional>
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
    CorruptArchive = 9, // the archive as a whole is damaged (overlapping entries ...)
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

} // namespace archive_engine
