#pragma once

// The archive engine as the program drives it: extracts one zip archive per Extract() call
// into a directory, and reports progress, skipped entries and questions by signals raised
// on the caller's thread during the call. It maps its properties (DOS paths) and signals
// onto the engine library, which works in host paths.

#include "platform/archive_removal.h"

#include <velmarch/engine.h>

#include <QObject>
#include <QString>

#include <optional>

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
    void setAbort(bool abort);
    bool abort() const { return m_engine.abortRequested(); }

    // Extracts ZipFileName into ExtractDirectory; returns a Result.
    int Extract();

    // The file the last Extract() read, as it was opened; unset when it could not be.
    // Whoever deletes the archive afterwards must find this very file under its name.
    std::optional<platform::FileId> archiveRead() const;
    // What lies behind the last Extract()'s result, for the log to say why.
    const archive_engine::Findings& findings() const { return m_engine.findings(); }
    // Writes out, to the disk itself, everything the last Extract() placed; false when
    // that cannot be confirmed. Only then may the archive it came from go.
    bool syncExtracted() { return m_engine.syncExtracted(); }

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
    archive_engine::Engine m_engine;
};
