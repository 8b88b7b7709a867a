// Carrying on a change a kill cut short: its pending entry read back, the files it had linked
// into blobs/ settled under their hashes. HistoryRecorder's constructor from a pending entry is
// built on it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QSet>

namespace kvr {

// A pending entry's moved lines as kept ones: each link still in blobs/ (a name of the shape the
// recorder gives, never followed) hashed and put under its hash; one that is gone was settled,
// its kept line written before. Its creating lines are taken out into `creating`; `keptFiles`
// gets the device and inode of each file kept.
QByteArray settleMovedLines(int blobsFd, const QByteArray& bytes, QList<QByteArray>& creating,
                            QSet<QPair<quint64, quint64>>* keptFiles);

} // namespace kvr
