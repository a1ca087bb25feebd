#pragma once

// The archive engine: extracts one zip archive per Extract() call into a directory, and
// reports progress, skipped entries and questions by signals raised on the caller's
// thread during the call. It maps its properties (DOS paths) and signals onto the
// engine's core (Extraction), which works in host paths.

#include "extraction_request.h"

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
    // Extract() results and skip reasons, as the core gives them.
    using Result = archive_engine::Result;
    using enum archive_engine::Result;
    using SkipReason = archive_engine::SkipReason;
    using enum archive_engine::SkipReason;

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
