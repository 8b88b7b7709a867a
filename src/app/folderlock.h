// The game folder's lock: flock on the folder itself, so nothing is made in it. Two changes of
// one game folder, in this program or another instance of it, never interleave. Every change
// of the folder (a slot change, a reset, an undo, a restore) takes it here, through one wait
// and one message.
#pragma once

#include "app/fileio.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

class QRegularExpression;

namespace kvr {

// Removes the regular files of an open folder whose names match: leftovers of writes cut short.
// Links and folders stay.
void removeRegularFiles(int folderFd, const QRegularExpression& names);

class FolderLock
{
public:
    // Opens the folder; the lock is not taken yet.
    explicit FolderLock(const QString& localFolder);
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Tries the lock once, without waiting: any program that can read the folder can hold it.
    // Taken, the extraction library's temporary files left there by an interrupted change are
    // removed. A folder that cannot be opened counts as taken: there is nothing in it to guard,
    // and nothing in it can be changed either.
    bool tryLock();

private:
    UniqueFd m_fd;
};

// How a change waits while another program holds the game folder's lock (any user who can read
// the folder can take one). `tryLock` tries once without waiting; the wait returns true once a
// try succeeded, false when it gives up, and the change then changes nothing. The window
// installs one that shows `waitingFor` with Cancel after half a second; without one a change
// tries for ten seconds. The start's finishing of cut changes tries for a few seconds only and
// leaves the journal for the next start.
using LockWait = std::function<bool(const QString& waitingFor, const std::function<bool()>& tryLock)>;
// Installs the wait of a slot change that is given none, and hands back the one before.
LockWait setLockWait(LockWait wait);
LockWait installedLockWait();

// Tries until `limit` has passed; no window to show anything in.
LockWait lockWaitFor(std::chrono::milliseconds limit);

// Off the window's thread: tries every 50 ms until the lock is won or `cancel` is set.
// `waiting` hears what is waited for first, and "" once the lock is won.
LockWait lockWaitUntilCancelled(const std::atomic<bool>& cancel,
                                std::function<void(const QString& waitingFor)> waiting = {});

// The game folder's lock, as every change takes it: tried once without blocking, then through
// `wait` (without one, for ten seconds) with the message that another program uses the folder.
// Null when the wait gave up.
std::unique_ptr<FolderLock> lockGameFolder(const QString& localFolder, const LockWait& wait);

} // namespace kvr
