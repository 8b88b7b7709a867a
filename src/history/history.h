// The history of the game folder: every file a change removes from it or replaces in it is kept
// here first, so each change can be undone byte for byte. It lives beside the settings file, in
// KVRSI.history/: blobs/<sha256> hold the bytes (the same bytes once), entries/<id>.entry describe
// one change each. An entry appears whole or not at all; a change under way appends to its
// entries/<id>.pending, and start-up turns one left by a kill into an entry.
#pragma once

#include "app/fileio.h"
#include "installer/installation.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <future>
#include <memory>
#include <optional>
#include <vector>

namespace kvr {

// A file the change took out of the game folder (`kept`) or put in (`created`: name and hash).
struct HistoryFile
{
    QByteArray name; // as spelled on disk
    QByteArray hash; // SHA-256, lower-case hex
    qint64 size = 0;
    quint32 mode = 0;
    qint64 mtimeSec = 0;
    qint64 mtimeNsec = 0;
    bool changedBehind = false; // it differed from what the program had written there
};

struct HistorySlot
{
    QString slot;
    QString before;
    QString after;
};

struct HistoryEntry
{
    qint64 id = 0;
    qint64 time = 0; // milliseconds since the epoch
    QString kind;    // install, default, reset, reinstall, undo, restore, loadout
    QString gameFolder;
    QList<HistorySlot> slots;
    QStringList patterns; // the slot files the change cleared (P<CODE>*.*, P*.TPC, ...)
    QList<HistoryFile> kept;
    QList<HistoryFile> created;
    qint64 restores = 0; // an undo or restore: the entry whose "before" it puts back
    QString damage;      // why it is not acted on; empty when whole

    qint64 keptBytes() const;
};

// The entry's text, and its strict reading: anything that does not parse, a name that could lead
// out of the folder, or another game folder than `gameFolder` gives an entry with `damage` set.
QByteArray entryBytes(const HistoryEntry& entry);
HistoryEntry parseEntry(const QByteArray& bytes, const QString& gameFolder);

// SHA-256 of bytes, lower-case hex.
QByteArray sha256Hex(const QByteArray& bytes);

// Whether a name from an entry is a plain file name of one folder.
bool isPlainName(const QByteArray& name);

class HistoryStore
{
public:
    // The history kept beside this settings file.
    explicit HistoryStore(const QString& settingsFile);
    QString settingsFile() const { return m_settingsFile; }

    QString folder() const { return m_folder; }
    QString blobPath(const QByteArray& hash) const;

    // Every entry, newest first; damaged ones carry their reason (a missing or short blob too).
    QList<HistoryEntry> entries(const QString& gameFolder) const;
    // The newest entry alone (the one an undo takes back), read without the others.
    std::optional<HistoryEntry> newest(const QString& gameFolder) const;
    // The bytes the blobs take.
    qint64 spaceUsed() const;
    // The size the history is kept under: `configured`, never more than a tenth of the free space.
    qint64 cap(qint64 configured = qint64{2} << 30) const;
    // Removes the oldest entries until the blobs fit under `cap`, never the first entry of a slot
    // (the game's own files), then every blob no entry names.
    void prune(qint64 cap);
    // Forgets every entry but the newest `keep`; first states too only when asked.
    void forgetOlder(int keep, bool firstStatesToo);
    // Turns entries left pending by a kill into entries (their kept files are safe in blobs/),
    // and carries an undo or restore a kill cut short out again from the top.
    void finishPending();

private:
    HistoryEntry readEntry(const QString& path, qint64 id, const QString& gameFolder) const;
    void removeUnreferencedBlobs(const QList<HistoryEntry>& kept);
    QString m_settingsFile;
    QString m_folder;

public:
    // Forgets every entry older than the entry `id`, whatever was added since the caller listed
    // them; the first entry of each slot in each game folder too only when asked.
    void forgetOlderThan(qint64 id, bool firstStatesToo);
};

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

// Names of the game folder as its case-blind lookup compares them, in the order they came.
class FoldedNames
{
public:
    static QString fold(const QByteArray& name);
    bool contains(const QByteArray& name) const { return m_folded.contains(fold(name)); }
    void append(const QByteArray& name);
    // Drops the names after the first `size`.
    void truncate(qsizetype size);
    const QList<QByteArray>& names() const { return m_names; }

private:
    QList<QByteArray> m_names;
    QSet<QString> m_folded;
};

// One entry as a change makes it. Constructing it creates the pending entry, so a program folder
// where nothing can be written stops the change before anything is removed (Error).
class HistoryRecorder
{
public:
    HistoryRecorder(const QString& settingsFile, const QString& localGameFolder, const QString& kind,
                    const QList<HistorySlot>& slots, const QStringList& patterns);
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
    // Removes from the game folder the files prepare() found to remove.
    void removePrepared();
    // Keeps the file of this name before the unpack renames a member over it; false: it could
    // not be kept and must not be replaced.
    bool keepBeforeReplace(const QByteArray& name);
    // Another slot the entry touches, when several changes make one entry.
    void addSlot(const HistorySlot& slot, const QStringList& patterns);
    // Starts hashing the files the unpack created that are not being hashed yet, once it is done;
    // commit() takes the hashes.
    void hashCreatedSoon();
    // A name the unpack writes that was not there.
    void noteCreated(const QByteArray& name);
    // The unpack put a member under this name: one it created is hashed while the unpack goes on.
    void notePlaced(const QByteArray& name);
    // A file the program puts in the game folder itself (a restore), with its hash.
    void noteWritten(const HistoryFile& file);
    // Names the entry an undo or restore puts back, flushed before anything is touched, so a
    // start after a kill can carry it out again.
    void setRestores(qint64 id);
    // Flags the kept file of this name as changed behind the program's back.
    void markChanged(const QByteArray& name);

    // Hashes the files removeMatching linked into the history and names them as kept (entry()
    // lists them from then on); commit() does it too.
    void settleMoved();
    // Hashes the created files, writes the entry whole and prunes to the cap.
    void commit();

    const HistoryEntry& entry() const { return m_entry; }

    // The recorder of the change under way on this thread, for the unpack's hook; null when none.
    static HistoryRecorder* active();

private:
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
    HistoryRecorder* m_previous = nullptr;
    FoldedNames m_createdNames;
    QByteArray m_placing;                          // the created name the unpack's hook let through last
    QHash<QByteArray, qsizetype> m_createdTickets; // created name -> the place of its last write in the hasher
    QList<MovedFile> m_moved;
    QList<QByteArray> m_removable;        // found by prepare(), removed by removePrepared()
    FoldedNames m_creating;               // named in the pending entry before the unpack creates them
    QHash<QString, qsizetype> m_awaiting; // folded name -> the file of m_moved the unpack is to replace
    std::future<int> m_flushed;           // prepare()'s flushes: 0 or the errno
    std::future<void> m_earlierChecked;   // earlier changes' pending entries let go of
    struct
    {
        qsizetype kept = 0, moved = 0, creating = 0;
    } m_preparedFrom; // what the entry held before the last prepare()
    std::unique_ptr<FileHasher> m_hasher;
};

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

// For the tests: true makes every link or copy into the history's blobs fail as on a full disk.
void setHistoryDiskFull(bool full);

// For the benchmarks: false makes changes keep nothing, as before there was a history.
void setHistoryKept(bool on);
bool historyKept();

// Puts the game folder's files of `target`'s slots back as they were just before it, as a new
// entry of `kind` (undo or restore), and records the slots' earlier skins in the settings file.
// Refuses a damaged entry, or one whose blobs do not hold what it says (Error), touching nothing.
// Runs under the game folder's lock, as every change.
// The points an undo or restore passes (Deleted: the files cleared; Unpacked: the kept ones
// written back; Recorded: the skins recorded); a test's probe may end the process at any of them.
ChangeProbe setRestoreProbe(ChangeProbe probe);

// `wait` stands by while another program holds the game folder (as a change's LockWait); without
// one it tries for ten seconds.
void restoreBefore(const QString& settingsFile, const QString& gameFolder, const HistoryEntry& target,
                   const QString& kind, const LockWait& wait = {});

} // namespace kvr
