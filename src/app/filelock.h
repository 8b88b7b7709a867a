// Locks that never hold their caller for long: tried without blocking, and tried again until a
// deadline. A lock another program holds (any user who can read a folder can take one on it)
// must never stop the program for as long as that program pleases.
#pragma once

#include <chrono>
#include <functional>

namespace kvr {

// How long a settings write or the start waits for the settings file's lock before going on
// without it.
inline constexpr std::chrono::milliseconds kSettingsLockWait{2000};

// Tries the exclusive lock on an open file or folder (flock) once, without waiting. True when it
// is held now; on a file system without locks there is nothing to wait for, and it counts as held.
bool tryLockExclusive(int fd);

// Tries until `tryLock` holds its lock or `limit` has passed, sleeping briefly between tries.
bool lockedWithin(std::chrono::milliseconds limit, const std::function<bool()>& tryLock);

// The same for the exclusive lock on an open file or folder.
bool lockExclusiveWithin(int fd, std::chrono::milliseconds limit);

} // namespace kvr
