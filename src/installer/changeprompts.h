// What the windows show of a change that does not go ahead: the wait for a game folder another
// program keeps locked, and a package the extraction library would refuse.
#pragma once

#include <QString>

#include <functional>

namespace kvr {

// The window's LockWait: half a second quietly (painting goes on, input waits), then the box
// "LockWait" saying what is waited for, with Cancel, while the lock is tried again every tenth
// of a second. True once a try succeeded; false when the player cancelled.
bool waitInWindow(const QString& waitingFor, const std::function<bool()>& tryLock);

// Tells the player the skin was not installed and why; nothing of the slot changed.
void tellNotInstalled(const QString& skin, const QString& problem);

} // namespace kvr
