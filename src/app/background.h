// Work the program does away from the window thread (reading launcher files, checking the skins
// folder, decoding preview pictures) runs on a pool of the program's own, never on Qt's global
// pool, which painting uses. Each piece gets a flag that calls it off; the piece looks at it
// between steps. When the program ends every flag is set, so the process never outlives its
// last window by more than a moment.
#pragma once

#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

namespace kvr {

using StopFlag = std::shared_ptr<std::atomic_bool>;

// A flag nobody sets, for callers that never call their work off.
const std::atomic_bool& neverStopped();

namespace background {

// The program's pool. Ending the program does not wait for it beyond cancelAll's wait.
QThreadPool& pool();

// A fresh flag, set again by cancelAll.
StopFlag newStopFlag();

// Runs the work on the program's pool with a flag of its own, which the caller may set.
StopFlag run(std::function<void(const std::atomic_bool& stop)> work);

// Runs the work on the pool when a thread is free now; false, nothing started, otherwise.
bool tryStart(std::function<void()> work);

// Sets every flag, drops work that has not started and waits up to msecs for the rest. True when
// nothing runs any more. Called when the application is about to quit.
bool cancelAll(int msecs);

} // namespace background

// Work a caller starts now and waits for later (a flush, a check beside a change). It runs on
// the program's pool when a thread is free at once; otherwise the caller does it itself when it
// waits. A caller that is itself on the pool so never waits for a thread the pool cannot give.
class HelperJob
{
public:
    HelperJob() = default;
    explicit HelperJob(std::function<void()> work);
    // Waits: the work never runs after its job is gone.
    ~HelperJob();
    HelperJob(HelperJob&&) = default;
    HelperJob& operator=(HelperJob&& other) noexcept;
    HelperJob(const HelperJob&) = delete;
    HelperJob& operator=(const HelperJob&) = delete;

    // Returns once the work is done, on the pool or here. No work: returns at once.
    void wait();
    // Started and not waited for yet.
    bool pending() const { return m_state != nullptr; }

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace kvr
