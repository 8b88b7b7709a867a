// One entry as a change makes it: what the change removes from the game folder or replaces in it
// is kept in the store first, what it creates is hashed, and the entry is written whole at the end.
#pragma once

#include "app/background.h"
#include "app/fileio.h"
#include "extract/unpack_observer.h"
#include "history/entry.h"
#include "history/folderscan.h"
#include "history/store.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>

struct stat;

namespace kvr {

// A file linked into the history under a temporary name, hashed later.
struct MovedFile
{
    QByteArray temporary;
    HistoryFile file; // all but the hash
    // Linked ahead of the unpack that is to replace it: kept only once the unpack did.
    bool awaitingReplace = false;
    quint64 device = 0;
    quint64 inode = 0;
    qsizetype hashTicket = -1; // its place in the recorder's hasher, once handed to it
};

class FileHasher;

// One entry as a change makes it. Constructing it creates the pending entry, so a program folder
// where nothing can be written stops the change before anything is removed (Error).
class HistoryRecorder : public UnpackObserver
{
public:
    HistoryRecorder(const QString& settingsFile, const QString& localGameFolder, const QString& kind,
                    const QList<HistorySlot>& slots, const QStringList& patterns);
    // Carries on the pending entry `pendingId` a kill left (a journaled change or an undo done
    // again at start): what it kept stays in it, and the names it kept or was creating are
    // not kept twice. Throws Error when that pending entry is gone, in use or damaged.
    HistoryRecorder(const QString& settingsFile, const QString& localGameFolder, qint64 pendingId);
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    // Moves every regular file of the game folder whose name matches one of the patterns (case
    // ignored) into the history: safe there first, then gone from the folder. A file that cannot
    // be kept stays. Files of `alsoNames` (case ignored) go the same way. prepare(), secure()
    // and removePrepared() in one.
    void removeMatching(const QStringList& patterns, const QList<QByteArray>& alsoNames = {});
    // The first of those steps, before the change's journal: links into the history, under
    // temporary names, the files removeMatching would remove and the regular files the unpack of
    // `unpacked` (the package's names, case ignored) will replace, and writes them into the
    // pending entry with the names the unpack will create. Nothing is flushed or removed yet.
    // Throws Error, having kept nothing, when the history cannot take them (a full disk).
    void prepare(const QStringList& patterns, const QList<QByteArray>& alsoNames,
                 const QList<QByteArray>& unpacked = {});
    // Flushes what prepare() wrote (after the journal's flush this costs the disk nothing more),
    // then lets go of the pending entries of earlier changes whose entries are on disk by now.
    // Throws Error, having kept nothing, when the flush fails.
    void secure();
    // Removes from the game folder the files prepare() found to remove; false when one stayed.
    // `beforeEach` runs before each removal (a test's probe may throw there).
    bool removePrepared(const std::function<void()>& beforeEach = {});
    // Read-only files of these names are kept and removed as any other: the caller writes over
    // them (an undo). Elsewhere a read-only file stays, as the plain delete leaves it.
    void replaceReadOnly(const QList<QByteArray>& names);
    // Takes back what removePrepared() did: every file it removed goes back from the history
    // (the very file where it is still linked there, else a copy with its mode and times), and
    // the pending entry goes, recording nothing. False when a file could not go back: the entry
    // is then made, so its bytes stay in the history.
    bool abandon();
    // Keeps the file of this name before the unpack renames a member over it; false: it could
    // not be kept and must not be replaced.
    bool keepBeforeReplace(const QByteArray& name) override;
    // Another slot the entry touches, when several changes make one entry.
    void addSlot(const HistorySlot& slot, const QStringList& patterns);
    // Takes a slot back out whose change stopped before it touched anything: the entry must not
    // clear its files nor record its skin.
    void dropSlot(const QString& slot, const QStringList& patterns);
    // Starts hashing the files the unpack created that are not being hashed yet, once it is done;
    // commit() takes the hashes.
    void hashCreatedSoon();
    // A name the unpack writes that was not there.
    void noteCreated(const QByteArray& name) override;
    // The unpack put a member under this name: one it created is hashed while the unpack goes on.
    void notePlaced(const QByteArray& name) override;
    // A file the program puts in the game folder itself (a restore), with its hash.
    void noteWritten(const HistoryFile& file);
    // Names the entry an undo or restore puts back, flushed before anything is touched, so a
    // start after a kill can carry it out again.
    void setRestores(qint64 id);
    // Flags the kept file of this name as changed behind the program's back.
    void markChanged(const QByteArray& name);
    // The file of this name is kept flagged as changed behind the program's back unless it
    // has this hash (what the undone change wrote there).
    void expectWritten(const QByteArray& name, const QByteArray& hash);

    // Hashes the files removeMatching linked into the history and names them as kept (entry()
    // lists them from then on); commit() does it too.
    void settleMoved();
    // Hashes the created files, writes the entry whole and prunes to the cap.
    void commit();

    const HistoryEntry& entry() const { return m_entry; }

private:
    void checkRoom(qint64 bytes);
    void keepCandidate(const QByteArray& name, bool regular, bool removed, const struct stat& st,
                       QList<MovedFile>& moved, QList<QByteArray>& removable);
    void startFlushes();
    // Waits for startFlushes(); the errno of the first that failed, or 0.
    int joinFlushes();
    void activate();
    bool putBack(const QByteArray& name);
    bool changedBehind(const HistoryFile& file) const;
    bool keep(const QByteArray& name, bool* missing = nullptr);
    bool confirmLinked(const QByteArray& name);
    void dropPrepared();
    void appendLine(const QByteArray& line);
    bool flushBlobs();
    FileHasher& hasher();

    HistoryStore m_store;
    HistoryEntry m_entry;
    UniqueFd m_gameFd;
    UniqueFd m_blobsFd;
    UniqueFd m_pendingFd; // locked while the change is under way
    QString m_pendingPath;
    bool m_committed = false;
    bool m_blobsDirty = false;
    UnpackObserver* m_previous = nullptr;
    FoldedNames m_createdNames;
    QByteArray m_placing;                          // the created name the unpack's hook let through last
    QHash<QByteArray, qsizetype> m_createdTickets; // created name -> the place of its last write in the hasher
    QList<MovedFile> m_moved;
    QList<QByteArray> m_removable;         // found by prepare(), removed by removePrepared()
    FoldedNames m_creating;                // named in the pending entry before the unpack creates them
    QHash<QString, qsizetype> m_awaiting;  // folded name -> the file of m_moved the unpack is to replace
    QList<QByteArray> m_removed;           // what removePrepared() removed, for abandon()
    QSet<QString> m_replacing;             // folded names whose read-only files go too
    QSet<QString> m_changedBehind;         // folded names marked changed behind the program's back
    QHash<QString, QByteArray> m_expected; // folded name -> the hash the undone change wrote
    QSet<QString> m_carried;               // folded names a resumed entry kept or was creating
    bool m_resumed = false;
    // prepare()'s flushes of the blobs and the pending entry, and their errnos (read once joined).
    std::array<HelperJob, 2> m_flushers;
    std::array<int, 2> m_flushErrors{};
    bool m_flushing = false;
    HelperJob m_earlierChecker; // lets go of earlier changes' pending entries
    struct
    {
        qsizetype kept = 0, moved = 0, creating = 0;
    } m_preparedFrom; // what the entry held before the last prepare()
    std::unique_ptr<FileHasher> m_hasher;
};

// For the tests: true makes every link or copy into the history's blobs fail as on a full disk.
void setHistoryDiskFull(bool full);

// For the benchmarks: false makes changes keep nothing, as before there was a history.
void setHistoryKept(bool on);
bool historyKept();

} // namespace kvr
