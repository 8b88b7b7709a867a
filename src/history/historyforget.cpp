#include "app/filelock.h"
#include "app/toolkit.h"
#include "history/history.h"

#include <QFile>
#include <QSet>

#include <fcntl.h>

namespace kvr {

void HistoryStore::forgetOlderThan(qint64 id, bool firstStatesToo)
{
    // The history's own lock, as every writer of it takes it: the entries are listed under it,
    // so an entry another instance adds meanwhile is newer than `id` and stays.
    const UniqueFd lock(::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock.isValid() || !lockExclusiveWithin(lock.get(), kSettingsLockWait))
        throw Error(QStringLiteral("The history folder %1 stayed in use by another program, so nothing was "
                                   "forgotten.")
                        .arg(m_folder));
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
    removeUnreferencedBlobs({});
}

} // namespace kvr
