#include "history/store.h"

#include "app/toolkit.h"

#include <QFile>
#include <QSet>

namespace kvr {

void HistoryStore::forgetOlderThan(qint64 id, bool firstStatesToo)
{
    // Listed under the history's own lock: an entry another instance adds meanwhile is newer
    // than `id` and stays.
    const UniqueFd lock = lockFolder(m_folder);
    if (!lock.isValid())
        throw historyInUse(m_folder);
    const QList<HistoryEntry> newestFirst = entries(QString());
    // The game's own files of a slot are in the oldest entry of that slot in that game folder.
    QSet<QString> seen;
    QSet<qint64> firstStates;
    for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it)
        for (const HistorySlot& s : it->slots) {
            const QString key = it->gameFolder + QLatin1Char('\n') + s.slot;
            if (!seen.contains(key)) {
                seen.insert(key);
                firstStates.insert(it->id);
            }
        }
    for (const HistoryEntry& e : newestFirst)
        if (e.id < id && (firstStatesToo || !firstStates.contains(e.id))) {
            QFile::remove(m_folder + QStringLiteral("/entries/%1.entry").arg(e.id));
            QFile::remove(m_folder + QStringLiteral("/entries/%1.pending").arg(e.id));
        }
    removeUnreferencedBlobs();
}

} // namespace kvr
