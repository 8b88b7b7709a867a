// What Undo Last Change names: the change it would take back.
#pragma once

#include "history/entry.h"

#include <QString>

namespace kvr {

// "Undo Last Change: Mosquito_VI to Sqn105", "Undo Last Change: Reset Skins", ...; the bare
// command for an entry that cannot be undone (the undo says why).
QString undoText(const HistoryEntry& newest);

} // namespace kvr
