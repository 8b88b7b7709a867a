// Several slot changes recorded as one entry of the history (a loadout applied).
#pragma once

#include "history/entry.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace kvr {

class HistoryRecorder;

// Makes every slot change this thread makes while it lives one entry of `kind` (a loadout
// applied), committed when it goes:
//     { HistoryBatch batch(QStringLiteral("loadout")); changeSlot(...); changeSlot(...); }
// Each change still takes the game folder's lock and journal of its own.
class HistoryBatch
{
public:
    explicit HistoryBatch(const QString& kind);
    ~HistoryBatch();
    HistoryBatch(const HistoryBatch&) = delete;
    HistoryBatch& operator=(const HistoryBatch&) = delete;

    static HistoryBatch* active();
    // The recorder a change in this game folder adds its slot to (made by the first change).
    std::shared_ptr<HistoryRecorder> join(const QString& settingsFile, const QString& localGameFolder,
                                          const HistorySlot& slot, const QStringList& patterns);

private:
    QString m_kind;
    HistoryBatch* m_previous;
    std::shared_ptr<HistoryRecorder> m_recorder;
};

} // namespace kvr
