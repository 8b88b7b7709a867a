// What an undo that cannot finish takes back: the recorder puts every file it removed back into
// the game folder from the history, and records nothing.
#include "app/logging.h"
#include "app/newfile.h"
#include "app/toolkit.h"
#include "history/blobcopy.h"
#include "history/recorder.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace kvr {

void HistoryRecorder::replaceReadOnly(const QList<QByteArray>& names)
{
    for (const QByteArray& name : names)
        m_replacing.insert(FoldedNames::fold(name));
}

bool HistoryRecorder::putBack(const QByteArray& name)
{
    // Still under its temporary link: the very file goes back, as it was.
    for (const MovedFile& m : std::as_const(m_moved))
        if (m.file.name == name && !m.awaitingReplace)
            return ::linkat(m_blobsFd.get(), m.temporary.constData(), m_gameFd.get(), name.constData(), 0) == 0;
    for (const HistoryFile& f : std::as_const(m_entry.kept)) {
        if (f.name != name)
            continue;
        std::unique_ptr<NewFile> copy;
        return writeBackFromBlob(m_blobsFd.get(), m_gameFd.get(), f, copy) == BlobCopy::Written &&
               copy->place(name.constData(), Existing::Keep, true) == 0;
    }
    return false;
}

bool HistoryRecorder::abandon()
{
    QList<QByteArray> lost;
    for (const QByteArray& name : std::exchange(m_removed, {}))
        if (!putBack(name))
            lost.append(name);
    m_removable.clear();
    // A resumed entry holds what the change cut short removed: it is made whatever happens.
    if (!lost.isEmpty() || m_resumed) {
        // The files that could not go back stay in the history: the entry is made, and names them.
        for (const QByteArray& name : lost)
            qCWarning(lcInstall, "history: %s could not be put back; it stays in the history", name.constData());
        try {
            commit();
        } catch (const Error& e) {
            qCWarning(lcInstall, "history: %s", qUtf8Printable(e.description()));
        }
        return false;
    }
    joinFlushes();
    m_committed = true;
    for (const MovedFile& m : std::as_const(m_moved))
        ::unlinkat(m_blobsFd.get(), m.temporary.constData(), 0);
    m_moved.clear();
    m_pendingFd.reset();
    ::unlink(QFile::encodeName(m_pendingPath).constData());
    return true;
}

} // namespace kvr
