#include "history/batch.h"

#include "app/logging.h"
#include "app/toolkit.h"
#include "history/recorder.h"

#include <utility>

namespace kvr {

namespace {
thread_local HistoryBatch* t_batch = nullptr;
} // namespace

HistoryBatch::HistoryBatch(const QString& kind) : m_kind(kind), m_previous(std::exchange(t_batch, this)) {}

HistoryBatch::~HistoryBatch()
{
    t_batch = m_previous;
    // Every change of it stopped: no entry, unless one kept something after all.
    if (m_recorder && !m_recorder->entry().slots.isEmpty()) {
        try {
            m_recorder->commit();
        } catch (const Error& e) {
            qCWarning(lcInstall, "history: %s", qUtf8Printable(e.description()));
        }
    }
}

HistoryBatch* HistoryBatch::active()
{
    return t_batch;
}

std::shared_ptr<HistoryRecorder> HistoryBatch::join(const QString& settingsFile, const QString& localGameFolder,
                                                    const HistorySlot& slot, const QStringList& patterns)
{
    if (m_recorder && m_recorder->entry().gameFolder == localGameFolder) {
        m_recorder->addSlot(slot, patterns);
        return m_recorder;
    }
    if (m_recorder)
        return std::make_shared<HistoryRecorder>(settingsFile, localGameFolder, m_kind, QList<HistorySlot>{slot},
                                                 patterns);
    m_recorder =
        std::make_shared<HistoryRecorder>(settingsFile, localGameFolder, m_kind, QList<HistorySlot>{slot}, patterns);
    return m_recorder;
}

} // namespace kvr
