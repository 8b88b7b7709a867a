// The start's recovery of the history: entries a kill left pending are made whole, and an undo or
// restore a kill cut short is carried out again from the top.
#pragma once

#include <QSet>
#include <QString>

namespace kvr {

class HistoryStore;

// Turns entries left pending by a kill into entries (their kept files are safe in blobs/), and
// carries an undo or restore a kill cut short on, in its own entry. Only pending entries of the
// game folder the settings name now are acted on; others wait (a log line says so). Those of
// `carriedOnByJournals` are left to the journaled changes that carry them on.
void finishPendingEntries(const HistoryStore& store, const QSet<qint64>& carriedOnByJournals = {});

} // namespace kvr
