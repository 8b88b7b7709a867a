#include "app/filelock.h"

#include <sys/file.h>

#include <cerrno>
#include <thread>

namespace kvr {

bool tryLockExclusive(int fd)
{
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EINTR)
            return errno != EWOULDBLOCK;
    }
}

bool lockedWithin(std::chrono::milliseconds limit, const std::function<bool()>& tryLock)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!tryLock()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool lockExclusiveWithin(int fd, std::chrono::milliseconds limit)
{
    return lockedWithin(limit, [fd] { return tryLockExclusive(fd); });
}

} // namespace kvr
