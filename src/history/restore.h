// Undo and restore: the game folder's files of an entry's slots put back as they were just before
// it, as a new entry.
#pragma once

#include "app/changeprobe.h"
#include "app/folderlock.h"
#include "history/entry.h"

#include <QString>

#include <functional>

namespace kvr {

// Puts the game folder's files of `target`'s slots back as they were just before it, as a new
// entry of `kind` (undo or restore), and records the slots' earlier skins in the settings file.
// Refuses a damaged entry, or one whose blobs do not hold what it says (Error), touching nothing.
// Runs under the game folder's lock, as every change.
// The points an undo or restore passes (Deleted: the files cleared; Unpacked: the kept ones
// written back; Recorded: the skins recorded) reach the restore's probe (setRestoreProbe).
// Reached before each write an undo or restore makes, in order: each kept file written into a
// new file, the change's files linked into the history, that flushed, each file of the change
// removed, each kept file put in place, the skins recorded. A test's probe that throws Error
// stands for that write failing; one may end the process there instead.
using RestoreWriteProbe = std::function<void()>;
RestoreWriteProbe setRestoreWriteProbe(RestoreWriteProbe probe);

// `wait` stands by while another program holds the game folder (as a change's LockWait); without
// one it tries for ten seconds.
// Whole or not at all: the kept files are written into new files of the game folder first (a
// damaged blob or a full disk stops it there), then the change's files go into the history and
// the kept ones take their names. Any failure puts the folder back as it was, records nothing
// and throws Error. An undo ("undo") takes back only the newest entry of the game folder.
// `resuming` names the pending entry of the same undo a kill cut short, carried on.
void restoreBefore(const QString& settingsFile, const QString& gameFolder, const HistoryEntry& target,
                   const QString& kind, const LockWait& wait = {}, qint64 resuming = 0);

} // namespace kvr
