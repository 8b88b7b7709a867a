// The start's finishing of changes a kill or a power cut left half done: every journal beside
// the settings file carried out again through the one slot change, and the history's pending
// entries finished first.
#include "app/filelock.h"
#include "app/folderlock.h"
#include "app/logging.h"
#include "app/toolkit.h"
#include "change/journal.h"
#include "change/slotchange.h"
#include "history/history.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>

namespace kvr {

namespace {

// A temporary file of a settings write is live only while its writer holds the settings file's
// lock; under that lock every one left beside the file is stale. Without the lock within a few
// seconds they stay, for a later start.
void removeStaleSettingsTemporaries(const QString& settingsFile)
{
    QString local = toLocalPath(settingsFile);
    if (const QFileInfo link(local); link.isSymLink() && link.exists())
        local = link.canonicalFilePath();
    const QFileInfo info(local);
    const UniqueFd fd(::open(QFile::encodeName(local).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    struct stat st
    {
    };
    // Only under the lock: without a file to lock (none yet, or something else in its place)
    // they stay too, for a later start.
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !lockExclusiveWithin(fd.get(), kSettingsLockWait)) {
        qCInfo(lcInstall, "%s is not locked here: its temporaries stay", qUtf8Printable(local));
        return;
    }
    const UniqueFd folderFd(
        ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.isValid()) {
        const QRegularExpression temporaries(QStringLiteral("^") + QRegularExpression::escape(info.fileName()) +
                                             QStringLiteral("\\.tmp[0-9a-f]+$"));
        removeRegularFiles(folderFd.get(), temporaries);
    }
}

} // namespace

void finishInterruptedChanges(const QString& settingsFile)
{
    removeStaleSettingsTemporaries(settingsFile);
    const QStringList journals = journalsBeside(settingsFile);
    // The pending entries the journals' changes carry on are theirs.
    const auto carriedOn = [&settingsFile](const QStringList& of) {
        QSet<qint64> ids;
        for (const QString& journal : of)
            if (const std::optional<ChangePlan> plan = readJournal(journal, settingsFile); plan && plan->historyEntry)
                ids.insert(plan->historyEntry);
        return ids;
    };
    // Entries a kill left pending first, so the redone changes come after them.
    finishPendingEntries(HistoryStore(settingsFile), carriedOn(journals));
    if (journals.isEmpty())
        return;
    // Finished silently: the one message an unpacking can show goes to the diagnostics instead.
    struct QuietMessages
    {
        MsgBoxHandler previous = setMsgBoxHandler([](const QString& prompt, int, const QString&) {
            qCWarning(lcInstall, "while finishing an interrupted change: %s", qUtf8Printable(prompt));
            return int(vbOK);
        });
        ~QuietMessages() { setMsgBoxHandler(std::move(previous)); }
    } quiet;
    for (const QString& journal : journals) {
        QString why;
        std::optional<ChangePlan> plan = readJournal(journal, settingsFile, &why);
        if (!plan) {
            qCWarning(lcInstall, "set aside the journal %s, not one the program wrote: %s", qUtf8Printable(journal),
                      qUtf8Printable(why));
            setJournalAside(journal);
            continue;
        }
        qCInfo(lcInstall, "finishing an interrupted %s of %s (%s) in \"%s\"",
               plan->kind == ChangePlan::Kind::Reset ? "reset" : "slot change", qUtf8Printable(plan->slot),
               qUtf8Printable(plan->skin), qUtf8Printable(plan->gameFolder));
        SlotChange change(std::move(*plan), settingsFile, PackageRule::AsChosen);
        change.m_journal = journal;
        const SlotChange::Begun begun = change.run(lockWaitFor(std::chrono::seconds(3)));
        if (begun == SlotChange::Begun::Refused)
            removeJournal(journal);
        else if (begun == SlotChange::Begun::Cancelled && QFileInfo::exists(journal))
            qCWarning(lcInstall, "the game folder stays locked: %s is left for the next start",
                      qUtf8Printable(journal));
    }
    // Those of journals not carried out (refused, set aside) are finished as they are.
    finishPendingEntries(HistoryStore(settingsFile), carriedOn(journalsBeside(settingsFile)));
}

} // namespace kvr
