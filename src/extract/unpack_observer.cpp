#include "extract/unpack_observer.h"

namespace kvr {

namespace {
// Each change runs its unpacks on its own thread: one observer per thread.
thread_local UnpackObserver* t_observer = nullptr;
} // namespace

UnpackObserver* UnpackObserver::active()
{
    return t_observer;
}

UnpackObserver* UnpackObserver::setActive(UnpackObserver* observer)
{
    UnpackObserver* previous = t_observer;
    t_observer = observer;
    return previous;
}

} // namespace kvr
