#include "archive_engine.h"

#include "file_spec.h"

#include "platform/volumes.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaMethod>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// How often a waiting call raises the reports that came and looks at the clock: progress
// reaches the window at least this often, with one wake of the window's thread rather than
// one per report. After an abort request the call looks more often, to end within its
// grace.
constexpr int kTickMs = 50;
constexpr int kAbortTickMs = 20;
// This many reports waiting wake the call before its tick.
constexpr std::size_t kWakeBatch = 256;
// Reports not raised yet, at most: past it the worker waits, so a window held elsewhere (a
// modal dialog) does not pile up one report per entry.
constexpr std::size_t kMaxWaiting = 4096;

qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<QString> hostPathOf(const QString& dosPath) {
    const platform::Resolved resolved = platform::resolve(dosPath);
    return resolved.error == 0 ? std::optional(resolved.hostPath) : std::nullopt;
}

} // namespace

// One piece of disk work and what the two threads share about it. What is set before the
// worker starts is read-only afterwards; the rest is guarded by `mutex`.
struct ArchiveEngine::Job {
    class Sink;

    std::shared_ptr<archive_engine::Engine> engine;
    std::function<void(Job&)> work;
    std::function<void(const Report&)> hook;
    Clock clock;
    bool wantsEntries = true;
    std::atomic<qint64> lastReport{0}; // when the worker last reported, by `clock`
    QObject* owner = nullptr;          // woken while the job is not abandoned, which it outlives

    std::mutex mutex;
    std::condition_variable changed; // an answer, room for reports, abandonment
    std::deque<Report> reports;
    bool wakePending = false;
    bool abandoned = false;
    bool done = false;
    std::optional<qint16> answer;
    // Written by the worker before `done`.
    int result = 0;
    bool synced = false;
    std::optional<archive_engine::FileId> archiveRead;
    archive_engine::Findings findings;

    // With `mutex` held.
    void wake() {
        if (!wakePending && !abandoned) {
            wakePending = true;
            QMetaObject::invokeMethod(
                owner, [] {}, Qt::QueuedConnection);
        }
    }

    void report(Report item) {
        if (hook)
            hook(item);
        lastReport.store(clock());
        if (item.kind == Report::EntryStarted && !wantsEntries)
            return;
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return abandoned || reports.size() < kMaxWaiting; });
        if (abandoned)
            return;
        reports.push_back(std::move(item));
        // The calling thread picks reports up at its next tick: a wake for each would cost
        // both threads more than the reports themselves. A full batch does not wait.
        if (reports.size() >= kWakeBatch)
            wake();
    }

    // Asks on the calling thread and waits for its answer: no, once nobody waits for it.
    bool ask(const QString& directory) {
        Report question{Report::Question, 0, directory};
        if (hook)
            hook(question);
        lastReport.store(clock());
        std::unique_lock lock(mutex);
        answer.reset();
        if (abandoned)
            return false;
        reports.push_back(std::move(question));
        wake();
        changed.wait(lock, [this] { return abandoned || answer.has_value(); });
        return !abandoned && *answer != 0;
    }

    void finish() {
        std::lock_guard lock(mutex);
        done = true;
        // A wake already on its way, or a call raising reports, finds `done` as well.
        wake();
    }
};

// The core's events, handed over as reports.
class ArchiveEngine::Job::Sink : public archive_engine::ExtractionSink {
public:
    Sink(Job& job, const QString& directoryAsGiven) : m_job(job), m_directory(directoryAsGiven) {}

    void progress(int percent) override { m_job.report({Report::Progress, percent, {}}); }
    void entryStarted(const QString& entryName) override {
        m_job.report({Report::EntryStarted, 0, entryName});
    }
    void skipped(const QString& entryName, archive_engine::SkipReason reason) override {
        m_job.report({Report::Skipped, reason, entryName});
    }
    bool createDestination() override { return m_job.ask(m_directory); }

private:
    Job& m_job;
    const QString m_directory;
};

ArchiveEngine::ArchiveEngine(QObject* parent)
    : QObject(parent), m_engine(std::make_shared<archive_engine::Engine>()), m_clock(steadyMs) {}

ArchiveEngine::~ArchiveEngine() {
    if (!m_job)
        return;
    // A worker the disk still holds is not waited for: the program ends without it, and
    // what it was writing, unnamed until complete, goes with it.
    std::lock_guard lock(m_job->mutex);
    if (!m_job->done) {
        m_job->abandoned = true;
        m_job->reports.clear();
        m_job->changed.notify_all();
        m_engine->requestAbort();
    }
}

void ArchiveEngine::setClock(Clock clock) {
    m_clock = clock ? std::move(clock) : Clock(steadyMs);
}

void ArchiveEngine::setWorkerHook(std::function<void(const Report&)> hook) {
    m_workerHook = std::move(hook);
}

void ArchiveEngine::setSyncStep(std::function<bool()> step) {
    m_syncStep = std::move(step);
}

qint64 ArchiveEngine::now() const {
    return m_clock();
}

void ArchiveEngine::setAbort(bool abort) {
    m_abortRequested = abort;
    if (abort) {
        m_abortAt = now();
        m_engine->requestAbort();
    } else if (!m_job || !m_job->abandoned) {
        // A worker left running after an abort keeps it until its call ends.
        m_engine->withdrawAbort();
    }
}

bool ArchiveEngine::runOnWorker(const std::shared_ptr<Job>& job, DiskWait holdup) {
    // A worker that a stopped call left running goes first: the engine is one.
    if (m_job && !await(m_job, DiskWait::Writing))
        return false;
    job->engine = m_engine;
    job->clock = m_clock;
    job->hook = m_workerHook;
    job->owner = this;
    job->lastReport.store(now());
    m_job = job;
    // The engine's flag follows the request, which a call left running may have cleared.
    if (m_abortRequested)
        m_engine->requestAbort();
    else
        m_engine->withdrawAbort();
    try {
        std::thread([job] {
            job->work(*job);
            job->finish();
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(job->mutex);
        job->done = true;
        job->result = OutOfResources;
        return true;
    }
    return await(job, holdup);
}

bool ArchiveEngine::await(const std::shared_ptr<Job>& job, DiskWait holdup) {
    // Wakes the loop below, so that the clock is looked at even when the worker is silent.
    QTimer tick;
    tick.start(m_abortRequested ? kAbortTickMs : kTickMs);
    const qint64 heldAfter = holdup == DiskWait::Syncing ? kSyncHeldMs : kWritingHeldMs;
    const qint64 started = now();
    bool ended = false;
    for (;;) {
        deliverReports();
        const qint64 lastReport = job->lastReport.load();
        {
            std::lock_guard lock(job->mutex);
            ended = job->done && job->reports.empty();
        }
        if (ended)
            break;
        const qint64 t = now();
        if (m_abortRequested && t - std::max(m_abortAt, started) >= kAbortGraceMs)
            break;
        if (m_abortRequested && tick.interval() != kAbortTickMs)
            tick.start(kAbortTickMs);
        showHoldup(t - std::max(lastReport, started) >= heldAfter ? holdup : DiskWait::None);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    showHoldup(DiskWait::None);
    if (!ended) {
        std::lock_guard lock(job->mutex);
        job->abandoned = true;
        job->reports.clear();
        job->changed.notify_all();
    }
    return ended;
}

void ArchiveEngine::deliverReports() {
    // A handler that lets events through must not raise the reports after its own first.
    if (m_delivering || !m_job)
        return;
    m_delivering = true;
    const std::shared_ptr<Job> job = m_job;
    std::deque<Report> batch;
    {
        std::lock_guard lock(job->mutex);
        batch.swap(job->reports);
        job->wakePending = false;
        job->changed.notify_all(); // room for more
    }
    for (Report& item : batch) {
        switch (item.kind) {
        case Report::Progress:
            emit progress(qint16(item.number));
            break;
        case Report::EntryStarted:
            emit entryStarted(item.name);
            break;
        case Report::Skipped:
            emit skippingFile(item.name, qint16(item.number));
            break;
        case Report::Question: {
            qint16 answer = 0;
            emit queryCreateDirectory(item.name, answer);
            std::lock_guard lock(job->mutex);
            job->answer = answer;
            job->changed.notify_all();
            break;
        }
        }
    }
    m_delivering = false;
}

void ArchiveEngine::showHoldup(DiskWait what) {
    if (what != m_holdup) {
        m_holdup = what;
        emit diskWait(what);
    }
}

int ArchiveEngine::Extract() {
    // A call from one of this call's handlers would share its worker and its reports.
    if (m_inCall) {
        emit finished(Busy);
        return Busy;
    }
    m_inCall = true;
    archive_engine::ExtractionRequest request;
    request.archive = hostPathOf(ZipFileName);
    request.destination =
        ExtractDirectory.trimmed().isEmpty() ? QString() : hostPathOf(ExtractDirectory);
    // "*.*" takes every entry: no pattern to match each one against.
    if (FilesToProcess.trimmed() != QLatin1String("*.*")) {
        request.selects = [spec = FilesToProcess](const QString& name) {
            return archive_engine::matchesFileSpec(name, spec);
        };
    }
    request.recurse = recurse;
    // Through the volume table, so the engine's check and the program's own guard see one
    // figure.
    request.freeSpace = platform::freeBytesAt;

    auto job = std::make_shared<Job>();
    // A report per entry that nobody listens to is not worth handing over.
    job->wantsEntries = isSignalConnected(QMetaMethod::fromSignal(&ArchiveEngine::entryStarted));
    job->work = [request = std::move(request), directory = ExtractDirectory](Job& j) {
        Job::Sink sink(j, directory);
        const archive_engine::Result result = j.engine->extract(request, sink);
        std::lock_guard lock(j.mutex);
        j.result = result;
        j.archiveRead = j.engine->archiveRead();
        j.findings = j.engine->findings();
    };
    int result = Aborted;
    m_findings = {};
    m_archiveRead.reset();
    if (runOnWorker(job, DiskWait::Writing)) {
        std::lock_guard lock(job->mutex);
        result = job->result;
        m_findings = job->findings;
        if (job->archiveRead)
            m_archiveRead =
                platform::FileId{dev_t(job->archiveRead->device), ino_t(job->archiveRead->inode)};
    }
    // The request ends with the call it stopped; a worker left running keeps it.
    if (!m_job->abandoned)
        m_engine->withdrawAbort();
    m_abortRequested = false;
    m_inCall = false;
    emit finished(result);
    return result;
}

bool ArchiveEngine::syncExtracted() {
    if (m_inCall)
        return false;
    m_inCall = true;
    auto job = std::make_shared<Job>();
    job->work = [step = m_syncStep](Job& j) {
        const bool synced = step ? step() : j.engine->syncExtracted();
        std::lock_guard lock(j.mutex);
        j.synced = synced;
    };
    bool synced = false;
    if (runOnWorker(job, DiskWait::Syncing)) {
        std::lock_guard lock(job->mutex);
        synced = job->synced;
    }
    m_inCall = false;
    return synced;
}
