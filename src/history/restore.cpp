#include "history/restore.h"

#include "app/fileio.h"
#include "app/folderlock.h"
#include "app/guarded.h"
#include "app/newfile.h"
#include "app/toolkit.h"
#include "history/blobcopy.h"
#include "history/hashing.h"
#include "history/recorder.h"
#include "settings/modulo_ini.h"
#include "settings/profile.h"
#include "settings/settings_names.h"

#include <QFile>
#include <QSet>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kvr {

namespace {

Guarded<RestoreWriteProbe>& writeProbe()
{
    static Guarded<RestoreWriteProbe> probe;
    return probe;
}

void reachWrite()
{
    if (const RestoreWriteProbe probe = writeProbe().get())
        probe();
}

// Undo Last Change takes back the newest change alone: another program may have undone it (or
// made a change) while this one waited for the game folder.
void refuseUnlessNewest(const HistoryStore& store, const QString& local, const HistoryEntry& target)
{
    const UniqueFd lock = lockFolder(store.folder());
    if (!lock.isValid())
        throw historyInUse(store.folder());
    const std::optional<HistoryEntry> newest = store.newest(local);
    if (!newest || newest->id != target.id)
        throw Error(QStringLiteral("This change cannot be undone: it is no longer the newest change of the game "
                                   "folder (another program may have undone it already), so nothing was changed."));
}

// The kept files written into new files of the game folder, every one, before anything there is
// removed: a damaged blob or a full disk stops the undo with nothing changed.
std::vector<std::unique_ptr<NewFile>> stageKept(const HistoryStore& store, int folderFd, const HistoryEntry& target)
{
    const UniqueFd blobs(::open(QFile::encodeName(store.folder() + QStringLiteral("/blobs")).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::unique_ptr<NewFile>> staged(static_cast<size_t>(target.kept.size()));
    for (qsizetype i = 0; i < target.kept.size(); ++i) {
        const HistoryFile& f = target.kept.at(i);
        reachWrite();
        const BlobCopy copied = writeBackFromBlob(blobs.get(), folderFd, f, staged[size_t(i)]);
        if (copied == BlobCopy::Damaged)
            throw Error(QStringLiteral("This change cannot be undone: the kept bytes of %1 are damaged.")
                            .arg(QFile::decodeName(f.name)));
        if (copied == BlobCopy::Failed)
            throw Error(QStringLiteral("%1 could not be written back into the game folder (%2), so nothing was "
                                       "changed in it.")
                            .arg(QFile::decodeName(f.name), describeErrno(errno)));
    }
    return staged;
}

// What the undo removes besides the slots' patterns: the names it writes back, and each name the
// change created whose file is still the one it created. One changed since stays where no
// pattern takes it; where one does, it is kept and the entry says it was changed. A read-only
// file the change created (an undo writing one back) is its own doing: it goes too, though the
// patterns leave read-only files be.
QList<QByteArray> namesToClear(int folderFd, const HistoryEntry& target, HistoryRecorder& recorder)
{
    QList<QByteArray> names;
    QSet<QString> putBack;
    for (const HistoryFile& f : target.kept) {
        names.append(f.name);
        putBack.insert(FoldedNames::fold(f.name));
    }
    for (const HistoryFile& f : target.created) {
        recorder.expectWritten(f.name, f.hash);
        if (!isPlainName(f.name) || putBack.contains(FoldedNames::fold(f.name)))
            continue;
        const UniqueFd fd(::openat(folderFd, f.name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st
        {
        };
        if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const bool patterned = std::any_of(target.patterns.begin(), target.patterns.end(), [&f](const QString& p) {
            return wildcardMatch(p, QFile::decodeName(f.name));
        });
        QByteArray hash;
        qint64 size = 0;
        if ((!patterned || isReadOnlyFile(st)) && hashFd(fd.get(), hash, size) && hash == f.hash)
            names.append(f.name);
    }
    return names;
}

// Puts a staged file under its name. The name is free by now (the undo removed what stood
// there); a link planted meanwhile holds no bytes and is replaced, anything else stops the undo.
bool placeStaged(int folderFd, NewFile& staged, const QByteArray& name)
{
    if (::fdatasync(staged.fd()) != 0)
        return false;
    errno = staged.place(name.constData(), Existing::Keep, false);
    struct stat st
    {
    };
    if (errno == EEXIST && ::fstatat(folderFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        errno = staged.place(name.constData(), Existing::Replace, false);
    return errno == 0;
}

// Everything the undo puts back is in place, or the game folder is as before it and the error
// says so.
class Swap
{
public:
    Swap(int folderFd, HistoryRecorder& recorder) : m_folderFd(folderFd), m_recorder(recorder) {}
    Swap(const Swap&) = delete;
    Swap& operator=(const Swap&) = delete;

    void run(const HistoryEntry& target, const QList<QByteArray>& clearing,
             std::vector<std::unique_ptr<NewFile>>& staged)
    {
        m_recorder.replaceReadOnly(clearing);
        reachWrite();
        m_recorder.prepare(target.patterns, clearing);
        reachWrite();
        m_recorder.secure();
        if (!m_recorder.removePrepared(reachWrite))
            throw Error(QStringLiteral("a file of the change could not be removed (%1)").arg(describeErrno(errno)));
        reachStep(ProbedChange::Restore, ChangeStep::Deleted);
        for (qsizetype i = 0; i < target.kept.size(); ++i) {
            const HistoryFile& f = target.kept.at(i);
            reachWrite();
            if (!placeStaged(m_folderFd, *staged[size_t(i)], f.name))
                throw Error(QStringLiteral("%1 could not be written back (%2)")
                                .arg(QFile::decodeName(f.name), describeErrno(errno)));
            m_placed.append(f.name);
            m_recorder.noteWritten(f);
        }
        reachStep(ProbedChange::Restore, ChangeStep::Unpacked);
    }

    // The files written back go, those removed come back, and the history records nothing.
    bool takeBack()
    {
        for (const QByteArray& name : std::as_const(m_placed))
            ::unlinkat(m_folderFd, name.constData(), 0);
        return m_recorder.abandon();
    }

private:
    int m_folderFd;
    HistoryRecorder& m_recorder;
    QList<QByteArray> m_placed;
};

} // namespace

RestoreWriteProbe setRestoreWriteProbe(RestoreWriteProbe probe)
{
    return writeProbe().exchange(std::move(probe));
}

void restoreBefore(const QString& settingsFile, const QString& gameFolder, const HistoryEntry& target,
                   const QString& kind, const LockWait& wait, qint64 resuming)
{
    if (!target.damage.isEmpty())
        throw Error(QStringLiteral("This change cannot be undone: %1.").arg(target.damage));
    const QString local = usableFolder(gameFolder);
    if (local.isEmpty() || !sameGameFolder(target.gameFolder, local))
        throw Error(QStringLiteral("This change was made in the game folder %1, which is not the one in use.")
                        .arg(target.gameFolder));
    const HistoryStore store(settingsFile);
    const std::unique_ptr<FolderLock> lock = lockGameFolder(local, wait);
    if (!lock)
        throw Error(QStringLiteral("The game folder %1 stayed in use by another program, so nothing was changed in it.")
                        .arg(local));
    if (kind == QLatin1String("undo"))
        refuseUnlessNewest(store, local, target);
    const UniqueFd folder(::open(QFile::encodeName(local).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isValid())
        throw Error(QStringLiteral("The game folder %1 cannot be used, so nothing was changed in it.").arg(local));
    std::vector<std::unique_ptr<NewFile>> staged = stageKept(store, folder.get(), target);

    QList<HistorySlot> slots;
    QList<ProfileEntry> skins;
    QStringList neverRecorded; // slots the settings named no skin for: their keys go again
    for (const HistorySlot& s : target.slots) {
        slots.append({s.slot, Modulo::LEEINI(settingsFile, SettingsNames::kSkinsSection, s.slot), s.before});
        if (s.before.isEmpty())
            neverRecorded.append(s.slot);
        else
            skins.append({s.slot, s.before});
    }
    std::unique_ptr<HistoryRecorder> recorder =
        resuming ? std::make_unique<HistoryRecorder>(settingsFile, local, resuming)
                 : std::make_unique<HistoryRecorder>(settingsFile, local, kind, slots, target.patterns);
    if (!resuming)
        recorder->setRestores(target.id);
    Swap swap(folder.get(), *recorder);
    try {
        swap.run(target, namesToClear(folder.get(), target, *recorder), staged);
        // The settings name the earlier skins only once their files are in place; skins that
        // cannot be recorded take the files back too.
        reachWrite();
        if ((!skins.isEmpty() || !neverRecorded.isEmpty()) &&
            !writeProfileStrings(settingsFile, SettingsNames::kSkinsSection, skins, neverRecorded))
            throw Error(QStringLiteral("the skins could not be recorded in %1").arg(settingsFile));
    } catch (const Error& e) {
        const bool whole = swap.takeBack();
        throw Error(QStringLiteral("The change could not be undone: %1. %2")
                        .arg(e.description(),
                             whole
                                 ? QStringLiteral("The game folder is as it was before, and nothing was recorded.")
                                 : QStringLiteral("Some files could not be put back; they are kept in the history.")));
    }
    reachStep(ProbedChange::Restore, ChangeStep::Recorded);
    recorder->commit();
}

} // namespace kvr
