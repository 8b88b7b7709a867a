#include "history/recovery.h"

#include "app/fileio.h"
#include "app/logging.h"
#include "app/toolkit.h"
#include "history/hashing.h"
#include "history/restore.h"
#include "history/resume.h"
#include "history/store.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {

// A pending entry's moved lines as kept ones (see settleMovedLines), and the names it was to
// create that stand in the game folder now, other than files it kept, as created ones.
QByteArray settlePendingMoves(int blobsFd, int gameFd, const QByteArray& bytes)
{
    QList<QByteArray> creating;
    QSet<QPair<quint64, quint64>> keptFiles;
    QByteArray result = settleMovedLines(blobsFd, bytes, creating, &keptFiles);
    for (const QByteArray& name : std::as_const(creating)) {
        const UniqueFd fd(isPlainName(name)
                              ? ::openat(gameFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                              : -1);
        struct stat st
        {
        };
        QByteArray hash;
        qint64 size = 0;
        if (fd.isValid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
            !keptFiles.contains({quint64(st.st_dev), quint64(st.st_ino)}) && hashFd(fd.get(), hash, size))
            result += "created=" + hash + ' ' + entryField(name) + '\n';
    }
    return result;
}

// The header fields of a pending entry that say where and what it is.
struct PendingHeader
{
    QString game;
    QString kind;
    qint64 restores = 0;
};

PendingHeader pendingHeader(const QByteArray& bytes)
{
    PendingHeader header;
    for (const QByteArray& line : bytes.split('\n')) {
        if (line.startsWith("game="))
            header.game = decodedField(line.mid(5));
        else if (line.startsWith("kind="))
            header.kind = decodedField(line.mid(5));
        else if (line.startsWith("restores="))
            header.restores = line.mid(9).toLongLong();
    }
    return header;
}

// Makes the entry of a pending entry a kill left, under the history's lock.
void finishPending(const QString& entries, const EntryFile& file, const QByteArray& data, int blobsFd, int gameFd)
{
    // A line cut by the kill was never relied on: its file was still in the game folder.
    const QByteArray lines = settlePendingMoves(blobsFd, gameFd, data.left(data.lastIndexOf('\n') + 1));
    // Killed before it named a file, the change had touched none: an entry would only make its
    // undo clear the slot's files.
    if (!lines.contains("\nkept=") && !lines.contains("\ncreated=")) {
        QFile::remove(file.path);
        qCInfo(lcInstall, "history: dropped the entry %lld a kill left pending before it kept anything", file.id);
        return;
    }
    const QByteArray bytes = sealedEntry(lines);
    if (writeEntryFile(entries + QStringLiteral("/%1.entry").arg(file.id), bytes))
        QFile::remove(file.path);
    qCInfo(lcInstall, "history: finished the entry %lld a kill left pending", file.id);
}

struct CutRestore
{
    qint64 id = 0;
    PendingHeader header;
};

} // namespace

void finishPendingEntries(const HistoryStore& store, const QSet<qint64>& carriedOnByJournals)
{
    const QString folder = store.folder();
    const QString entries = folder + QStringLiteral("/entries");
    if (!QFileInfo::exists(entries))
        return;
    // Only the game folder now set is acted on: another's pending entries wait for it.
    const QString game = usableFolder(
        Modulo::LEEINI(store.settingsFile(), SettingsNames::kFoldersSection, SettingsNames::kGameFolderKey));
    const UniqueFd gameFd(::open(QFile::encodeName(game).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Held by another program: the entries wait for the next start.
    UniqueFd lock = lockFolder(folder, kStartLockWait);
    if (!lock.isValid()) {
        qCWarning(lcInstall, "history: %s stays locked; pending entries are left for the next start",
                  qUtf8Printable(folder));
        return;
    }
    QList<CutRestore> redo;
    const UniqueFd blobs(
        ::open(QFile::encodeName(folder + QStringLiteral("/blobs")).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const EntryFile& file : entryFiles(entries, ".pending")) {
        if (carriedOnByJournals.contains(file.id))
            continue;
        // A change under way holds its pending entry locked: only those a kill left are finished.
        const UniqueFd pending(::open(QFile::encodeName(file.path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!pending.isValid() || ::flock(pending.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (entryOnDisk(entries, file.id))
            continue;
        const FileRead read = readRegularFd(pending.get(), kEntryLimit);
        if (!read.ok())
            continue;
        const PendingHeader header = pendingHeader(read.data);
        if (!gameFd.isValid() || !sameGameFolder(header.game, game)) {
            qCInfo(lcInstall, "history: the pending entry %lld of the game folder %s waits until that folder is in use",
                   file.id, qUtf8Printable(header.game));
            continue;
        }
        // An undo or restore cut short is carried on in its own entry, below.
        if (header.restores)
            redo.append({file.id, header});
        else
            finishPending(entries, file, read.data, blobs.get(), gameFd.get());
    }
    lock.reset();
    for (const CutRestore& cut : std::as_const(redo)) {
        bool lockGivenUp = false;
        try {
            const QList<HistoryEntry> all = store.entries(game);
            const auto target = std::find_if(all.begin(), all.end(),
                                             [&cut](const HistoryEntry& e) { return e.id == cut.header.restores; });
            if (target == all.end())
                throw Error(QStringLiteral("the entry it puts back is gone"));
            // As a journaled change at start: a game folder held by another program waits for the next start.
            restoreBefore(
                store.settingsFile(), game, *target, cut.header.kind,
                [&lockGivenUp](const QString&, const std::function<bool()>& tryLock) {
                    lockGivenUp = !lockedWithin(kStartLockWait, tryLock);
                    return !lockGivenUp;
                },
                cut.id);
            continue;
        } catch (const Error& e) {
            qCWarning(lcInstall, "history: the %s of entry %lld not finished: %s", qUtf8Printable(cut.header.kind),
                      cut.header.restores, qUtf8Printable(e.description()));
        }
        if (lockGivenUp)
            continue;
        // Not to be carried out: what it kept is made an entry, so nothing it took is lost.
        const UniqueFd relock = lockFolder(folder, kStartLockWait);
        const EntryFile file{cut.id, entries + QStringLiteral("/%1.pending").arg(cut.id)};
        const UniqueFd pending(::open(QFile::encodeName(file.path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (relock.isValid() && pending.isValid() && ::flock(pending.get(), LOCK_EX | LOCK_NB) == 0)
            finishPending(entries, file, readRegularFd(pending.get(), kEntryLimit).data, blobs.get(), gameFd.get());
    }
}

} // namespace kvr
