// The game folder's lock: flock on the folder itself, so nothing is made in it. Two changes of
// one game folder, in this program or another instance of it, never interleave.
#pragma once

#include "app/fileio.h"

#include <QString>

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
    // removed. A folder that cannot be opened counts as locked: nothing in it will be changed.
    bool tryLock();

private:
    UniqueFd m_fd;
};

} // namespace kvr
