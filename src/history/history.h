// The history of the game folder: every file a change removes from it or replaces in it is kept
// first, so each change can be undone byte for byte. Its parts, each in a file of its own and
// layered in this order: the entry's format (entry.h), hashing (hashing.h), the store beside the
// settings file (store.h), the recording of a change (recorder.h, batch.h), undo and restore
// (restore.h), and the start's recovery of what a kill cut short (recovery.h). This header brings
// them all in, for the callers above the history.
//
// The History window (historywindow.h) sits on top of them. The history includes app/, settings/,
// the slot catalogue and the extraction beneath it, never the change layer above it (which
// records through it), the installer, the loadouts, the viewer or the command line; it reaches
// the main window through app/mainwindow.h.
#pragma once

#include "history/batch.h"
#include "history/entry.h"
#include "history/hashing.h"
#include "history/recorder.h"
#include "history/recovery.h"
#include "history/restore.h"
#include "history/store.h"
