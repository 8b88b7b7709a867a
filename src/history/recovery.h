// The start's recovery of the history: entries a kill left pending are made whole, and an undo or
// restore a kill cut short is carried out again from the top.
#pragma once

#include <QString>

namespace kvr {

class HistoryStore;

// Turns entries left pending by a kill into entries (their kept files are safe in blobs/), and
// carries an undo or restore a kill cut short out again from the top.
void finishPendingEntries(const HistoryStore& store);

} // namespace kvr
