#pragma once

// The archive engine as the program drives it: extracts one zip archive per Extract() call
// into a directory, and reports progress, skipped entries and questions by signals raised
// on the caller's thread during the call. It maps its properties (DOS paths) and signals
// onto the engine library, which works in host paths.
//
// The disk work (the extraction and the durability step) runs on a worker thread of its
// own, so that a disk that holds a write or a sync for seconds cannot freeze the window:
// meanwhile the calling thread lets window events through and raises the worker's reports
// as signals, in the order they were made. A call asked to stop returns Aborted at the
// latest a moment after the request even when the worker is still held by the disk; the
// worker is then left to finish on its own, and the next call waits for it first.

#include "platform/archive_removal.h"

#include <velmarch/engine.h>

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class ArchiveEngine : public QObject {
    Q_OBJECT
public:
    // Extract() results and skip reasons, as the core gives them.
    using Result = archive_engine::Result;
    using enum archive_engine::Result;
    using SkipReason = archive_engine::SkipReason;
    using enum archive_engine::SkipReason;

    // What a call is held up by, once the disk has kept the worker silent for a while.
    enum class DiskWait { None, Writing, Syncing };

    // One report of the worker, as it is handed to the calling thread.
    struct Report {
        enum Kind { Progress, EntryStarted, Skipped, Question } kind;
        int number = 0; // the percent, or the skip reason
        QString name;   // the entry, or the directory asked about
    };

    // A steady clock in milliseconds, read on both threads.
    using Clock = std::function<qint64()>;

    // A call silent for this long waits for the disk; the durability step sooner, as it
    // makes no reports at all.
    static constexpr qint64 kWritingHeldMs = 1000;
    static constexpr qint64 kSyncHeldMs = 250;
    // How long after an abort request a call still waits for its worker to end cleanly.
    static constexpr qint64 kAbortGraceMs = 100;

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
    bool abort() const { return m_abortRequested; }

    // Extracts ZipFileName into ExtractDirectory; returns a Result.
    int Extract();

    // The file the last Extract() read, as it was opened; unset when it could not be.
    // Whoever deletes the archive afterwards must find this very file under its name.
    std::optional<platform::FileId> archiveRead() const { return m_archiveRead; }
    // What lies behind the last Extract()'s result, for the log to say why.
    const archive_engine::Findings& findings() const { return m_findings; }
    // Writes out, to the disk itself, everything the last Extract() placed; false when
    // that cannot be confirmed (an abort that the disk kept waiting included). Only then
    // may the archive it came from go. Window events go through meanwhile.
    bool syncExtracted();

    // ---- seams ----
    // Replaces the steady clock, so that "how long" is the test's to say; unset puts it back.
    void setClock(Clock clock);
    // Runs on the worker before each report it hands over, where a slow disk would hold it.
    void setWorkerHook(std::function<void(const Report&)> hook);
    // Replaces the durability step; runs on the worker.
    void setSyncStep(std::function<bool()> step);

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
    // The call is held up by the disk, or (None) no longer; None always follows the others
    // before the call returns.
    void diskWait(ArchiveEngine::DiskWait what);

private:
    // One piece of disk work and what the calling thread and its worker share about it.
    struct Job;

    // Runs `work` on a worker thread and lets window events through until it ends; false
    // when an abort left it running.
    bool runOnWorker(const std::shared_ptr<Job>& job, DiskWait holdup);
    bool await(const std::shared_ptr<Job>& job, DiskWait holdup);
    // Raises the reports waiting in the current job, in order; never from inside one.
    void deliverReports();
    void showHoldup(DiskWait what);
    qint64 now() const;

    // Shared with the workers, which may outlive this object at the program's exit.
    std::shared_ptr<archive_engine::Engine> m_engine;
    std::shared_ptr<Job> m_job; // the running or last job
    bool m_inCall = false;
    bool m_delivering = false;
    bool m_abortRequested = false;
    qint64 m_abortAt = 0;
    DiskWait m_holdup = DiskWait::None;
    std::optional<platform::FileId> m_archiveRead;
    archive_engine::Findings m_findings;
    Clock m_clock;
    std::function<void(const Report&)> m_workerHook;
    std::function<bool()> m_syncStep;
};
