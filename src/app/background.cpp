#include "app/background.h"

#include <QCoreApplication>

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
    pool().start([flag, work = std::move(work)] { work(*flag); });
    return flag;
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

} // namespace kvr
