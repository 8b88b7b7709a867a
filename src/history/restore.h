// Undo and restore: the game folder's files of an entry's slots put back as they were just before
// it, as a new entry.
#pragma once

#include "history/entry.h"
#include "installer/installation.h"

#include <QString>

namespace kvr {

// Puts the game folder's files of `target`'s slots back as they were just before it, as a new
// entry of `kind` (undo or restore), and records the slots' earlier skins in the settings file.
// Refuses a damaged entry, or one whose blobs do not hold what it says (Error), touching nothing.
// Runs under the game folder's lock, as every change.
// The points an undo or restore passes (Deleted: the files cleared; Unpacked: the kept ones
// written back; Recorded: the skins recorded); a test's probe may end the process at any of them.
ChangeProbe setRestoreProbe(ChangeProbe probe);

// `wait` stands by while another program holds the game folder (as a change's LockWait); without
// one it tries for ten seconds.
void restoreBefore(const QString& settingsFile, const QString& gameFolder, const HistoryEntry& target,
                   const QString& kind, const LockWait& wait = {});

} // namespace kvr
