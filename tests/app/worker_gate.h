#pragma once

// Holds an ArchiveEngine's worker where a slow disk would, at a point the test picks, and
// runs an action on the window thread meanwhile: what the window does while the disk keeps
// the run waiting, with no timing involved. Also a clock that only the test moves.

#include "app/archive_engine.h"

#include <QCoreApplication>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace testsupport {

// Milliseconds that pass only when the test says so; read on both threads.
class TestClock {
public:
    ArchiveEngine::Clock clock() const {
        return [now = m_now] { return now->load(); };
    }
    void advance(qint64 ms) { m_now->fetch_add(ms); }

private:
    std::shared_ptr<std::atomic<qint64>> m_now = std::make_shared<std::atomic<qint64>>(1000);
};

class WorkerGate {
public:
    using Pick = std::function<bool(const ArchiveEngine::Report&)>;

    // The first time the worker comes to hold(), it queues `action` for the window thread
    // and waits: until the action has run, or, with `keepHeld`, until open().
    explicit WorkerGate(std::function<void()> action, bool keepHeld = false)
        : m_state(std::make_shared<State>()) {
        m_state->action = std::move(action);
        m_state->keepHeld = keepHeld;
    }
    ~WorkerGate() { open(); }
    WorkerGate(const WorkerGate&) = delete;
    WorkerGate& operator=(const WorkerGate&) = delete;

    // A worker hook that holds at the first report `at` picks (called on the worker).
    std::function<void(const ArchiveEngine::Report&)> at(Pick pick) const {
        return [state = m_state, pick = std::move(pick)](const ArchiveEngine::Report& report) {
            if (pick(report))
                hold(state);
        };
    }
    // A durability step that holds, then answers `synced`.
    std::function<bool()> syncStep(bool synced) const {
        return [state = m_state, synced] {
            hold(state);
            return synced;
        };
    }

    void open() {
        std::lock_guard lock(m_state->mutex);
        m_state->opened = true;
        m_state->changed.notify_all();
    }
    bool held() const { return m_state->held.load(); }

private:
    struct State {
        std::function<void()> action;
        bool keepHeld = false;
        std::atomic<bool> held{false};
        std::mutex mutex;
        std::condition_variable changed;
        bool opened = false;
    };

    static void hold(const std::shared_ptr<State>& state) {
        if (state->held.exchange(true))
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [state] {
                state->action();
                if (!state->keepHeld) {
                    std::lock_guard lock(state->mutex);
                    state->opened = true;
                    state->changed.notify_all();
                }
            },
            Qt::QueuedConnection);
        std::unique_lock lock(state->mutex);
        state->changed.wait(lock, [&] { return state->opened; });
    }

    std::shared_ptr<State> m_state;
};

// The picks tests hold at.
inline bool firstProgressPastZero(const ArchiveEngine::Report& report) {
    return report.kind == ArchiveEngine::Report::Progress && report.number > 0;
}

} // namespace testsupport
