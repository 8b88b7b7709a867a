// Bytes into the history's blobs and back out of them, streamed: a file with links of its own is
// copied in (a reflink where the file system has one), and a kept file goes back into the game
// folder as a new file, checked against its hash on the way, whatever its size.
#pragma once

#include "history/entry.h"

#include <QByteArray>

#include <memory>

namespace kvr {

class NewFile;

// Copies the open file `from` into a new file `temporary` of blobs/, flushed: a reflink where the
// file system offers one, else the bytes. False, nothing left under `temporary`, errno set.
bool copyIntoBlobs(int from, int blobsFd, const QByteArray& temporary);

enum class BlobCopy {
    Written, // `staged` holds the bytes, mode and times, not placed yet
    Damaged, // the blob is missing, not a file, or not the bytes its hash names
    Failed,  // the game folder did not take the file (errno says why)
};

// The kept file's bytes from its blob into a new file of the folder, with its mode and times;
// the blob's hash is checked as the bytes go.
BlobCopy writeBackFromBlob(int blobsFd, int folderFd, const HistoryFile& file, std::unique_ptr<NewFile>& staged);

} // namespace kvr
