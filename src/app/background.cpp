#include "app/background.h"

#include <QCoreApplication>

#include <openssl/crypto.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace kvr {

namespace {

// How long the end of the program waits for pieces to notice their flag.
constexpr int kQuitWaitMs = 700;

struct Flags
{
    std::mutex mutex;
    std::vector<std::weak_ptr<std::atomic_bool>> live;
};

Flags& flags()
{
    static Flags f;
    return f;
}

void cancelAtQuit()
{
    background::cancelAll(kQuitWaitMs);
}

#if defined(__SANITIZE_THREAD__)
#define KVR_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KVR_TSAN 1
#endif
#endif
#ifdef KVR_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

// Work handed to a pool thread. Qt hands it over through locks ThreadSanitizer cannot see (Qt is
// not built for it), so the handing over is told to it: nothing of the work is read before.
class Handed : public QRunnable
{
public:
    explicit Handed(std::function<void()> work) : m_work(std::move(work))
    {
#ifdef KVR_TSAN
        __tsan_release(this);
#endif
    }
    void run() override
    {
#ifdef KVR_TSAN
        __tsan_acquire(this);
#endif
        m_work();
        // The pool's threads live to the program's end: the hashing's per-thread state goes
        // with each piece of work, not with a thread that never ends.
        OPENSSL_thread_stop();
    }

private:
    std::function<void()> m_work;
};

} // namespace

const std::atomic_bool& neverStopped()
{
    static const std::atomic_bool never{false};
    return never;
}

namespace background {

QThreadPool& pool()
{
    // Never destroyed: a destroyed pool waits for its threads, and the end of the program must
    // not wait on a piece stuck in a slow file system. cancelAll has already called them off.
    static QThreadPool* const p = [] {
        auto* made = new QThreadPool;
        made->setMaxThreadCount(4);
        made->setObjectName(QStringLiteral("kvr background"));
        if (auto* app = QCoreApplication::instance()) {
            QObject::connect(app, &QCoreApplication::aboutToQuit, app, cancelAtQuit);
            // Programs that never run the event loop (tests) end through here.
            qAddPostRoutine(cancelAtQuit);
        }
        return made;
    }();
    return *p;
}

StopFlag newStopFlag()
{
    auto flag = std::make_shared<std::atomic_bool>(false);
    Flags& f = flags();
    const std::lock_guard lock(f.mutex);
    std::erase_if(f.live, [](const std::weak_ptr<std::atomic_bool>& w) { return w.expired(); });
    f.live.push_back(flag);
    return flag;
}

StopFlag run(std::function<void(const std::atomic_bool& stop)> work)
{
    StopFlag flag = newStopFlag();
    pool().start(new Handed([flag, work = std::move(work)] { work(*flag); }));
    return flag;
}

bool tryStart(std::function<void()> work)
{
    auto handed = std::make_unique<Handed>(std::move(work));
    if (!pool().tryStart(handed.get()))
        return false;
    (void)handed.release(); // the pool deletes it once run
    return true;
}

bool cancelAll(int msecs)
{
    {
        Flags& f = flags();
        const std::lock_guard lock(f.mutex);
        for (const std::weak_ptr<std::atomic_bool>& w : f.live)
            if (const StopFlag flag = w.lock())
                flag->store(true);
    }
    pool().clear();
    return pool().waitForDone(msecs);
}

} // namespace background

struct HelperJob::State
{
    enum class Stage { Waiting, Running, Done };
    std::mutex mutex;
    std::condition_variable done;
    Stage stage = Stage::Waiting;
    std::function<void()> work;

    // Whoever comes first runs the work: the pool's thread or the caller's wait.
    bool claim()
    {
        const std::lock_guard lock(mutex);
        if (stage != Stage::Waiting)
            return false;
        stage = Stage::Running;
        return true;
    }
    void run()
    {
        work();
        {
            const std::lock_guard lock(mutex);
            stage = Stage::Done;
            work = nullptr;
        }
        done.notify_all();
    }
};

HelperJob::HelperJob(std::function<void()> work) : m_state(std::make_shared<State>())
{
    m_state->work = std::move(work);
    background::tryStart([state = m_state] {
        if (state->claim())
            state->run();
    });
}

HelperJob::~HelperJob()
{
    wait();
}

HelperJob& HelperJob::operator=(HelperJob&& other) noexcept
{
    if (this != &other) {
        wait();
        m_state = std::move(other.m_state);
    }
    return *this;
}

void HelperJob::wait()
{
    if (!m_state)
        return;
    if (m_state->claim()) {
        m_state->run();
    } else {
        std::unique_lock lock(m_state->mutex);
        m_state->done.wait(lock, [this] { return m_state->stage == State::Stage::Done; });
    }
    m_state.reset();
}

} // namespace kvr
