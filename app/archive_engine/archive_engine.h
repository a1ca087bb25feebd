#pragma once

// The archive engine: extracts one zip archive per Extract() call into a directory, and
// reports progress, skipped entries and questions by signals raised on the caller's
// thread during the call.

#include "platform/durable_set.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

namespace archive_engine {
struct DecodeMemory;
}

class ArchiveEngine : public QObject {
    Q_OBJECT
public:
    // Extract() results. Success means nothing of the archive was lost.
    enum Result : int {
        Success = 0,
        NothingToExtract = 40,
        CannotOpenArchive = 2, // missing, unreadable, or not a zip archive
        DestinationEmpty = 3,
        DestinationMissing = 4, // missing and not created (question answered 0)
        // A file sits where the directory should be, it cannot be created, or we may
        // not create entries in it. Checked before any entry is written.
        DestinationNotWritable = 5,
        EntriesSkipped = 6, // one or more entries were skipped for an error
        Aborted = 7,
        // The declared total exceeds the free space (nothing written), or the disk filled
        // up while writing (the entries concerned skipped).
        InsufficientSpace = 8,
        CorruptArchive = 9, // the archive as a whole is damaged (overlapping entries ...)
    };
    Q_ENUM(Result)

    // Skip reasons. The first seven are the conditions a user is told about; the rest are
    // refusals that protect the destination.
    enum SkipReason : qint16 {
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
    Q_ENUM(SkipReason)

    explicit ArchiveEngine(QObject* parent = nullptr);
    ~ArchiveEngine() override;

    // ---- properties ----
    // 0: never overwrite; an identical file is skipped as up to date, a different one
    // kept and the entry written as "name (2).ext".
    int Overwrite = 0;
    QString FilesToProcess = QStringLiteral("*.*");
    bool recurse = true;
    QString ExtractDirectory; // DOS path text
    QString ZipFileName;      // DOS path text

    // The abort property. Set from an event handler during Extract (or before it); the
    // request ends with the Extract call it stopped.
    void setAbort(bool abort) { m_abort.store(abort); }
    bool abort() const { return m_abort.load(); }

    // Extracts ZipFileName into ExtractDirectory; returns a Result.
    int Extract();

    // The file the last Extract() read, as it was opened; unset when it could not be.
    // Whoever deletes the archive afterwards must find this very file under its name.
    std::optional<platform::FileId> archiveRead() const { return m_archiveRead; }
    // Writes out, to the disk itself, everything the last Extract() placed; false when
    // that cannot be confirmed. Only then may the archive it came from go.
    bool syncExtracted() { return m_placed.sync(); }

signals:
    // Percent of the selected entries' total size: 0 first, 100 last on success.
    void progress(qint16 percent);
    void skippingFile(const QString& entryName, qint16 reason);
    // The extract directory (as given) does not exist: answer non-zero to create it with
    // every missing folder above it, 0 to fail. The answer starts at 0.
    void queryCreateDirectory(const QString& directory, qint16& answer);
    // Each selected entry, before it is extracted or skipped.
    void entryStarted(const QString& entryName);
    // The result, just before Extract() returns it.
    void finished(int result);

private:
    std::atomic<bool> m_abort{false};
    // Decoder and buffers kept between calls, so that a batch does not pay for fresh
    // memory with every archive.
    std::unique_ptr<archive_engine::DecodeMemory> m_memory;
    std::optional<platform::FileId> m_archiveRead;
    platform::DurableSet m_placed; // the file systems the last Extract() wrote to
};
