// The history's store beside the settings file, KVRSI.history/: blobs/<sha256> hold the kept bytes
// (the same bytes once), entries/<id>.entry describe one change each. An entry appears whole or not
// at all; a change under way appends to its entries/<id>.pending. The store lists, prunes and
// forgets entries under the history's own lock.
#pragma once

#include "app/fileio.h"
#include "app/filelock.h"
#include "history/entry.h"

#include <QList>
#include <QString>

#include <chrono>
#include <optional>

namespace kvr {

class Error;

class HistoryStore
{
public:
    // The history kept beside this settings file.
    explicit HistoryStore(const QString& settingsFile);
    QString settingsFile() const { return m_settingsFile; }

    QString folder() const { return m_folder; }
    QString blobPath(const QByteArray& hash) const;

    // Every entry, newest first; damaged ones carry their reason (a blob missing, cut short or a
    // link; its bytes are checked against the hash when it is put back).
    QList<HistoryEntry> entries(const QString& gameFolder) const;
    // The newest entry of this game folder (the one an undo takes back), read without the older
    // ones; one that cannot be read stands in the way as damaged.
    std::optional<HistoryEntry> newest(const QString& gameFolder) const;
    // The bytes the blobs take.
    qint64 spaceUsed() const;
    // The size the history is kept under: `configured`, never more than a tenth of the free space
    // with the `used` bytes of its blobs (spaceUsed(), measured once by the caller).
    qint64 cap(qint64 used, qint64 configured = qint64{2} << 30) const;
    // Removes the oldest entries until the blobs fit under `cap`, never a damaged one nor the
    // first entry of a slot in its game folder (the game's own files), then every blob no file
    // of the entries' folder names. Reads each file once: its time grows with the history.
    void prune(qint64 cap);
    // Forgets every entry older than the entry `id`, whatever was added since the caller listed
    // them; the first entry of each slot in each game folder too only when asked.
    void forgetOlderThan(qint64 id, bool firstStatesToo);

private:
    HistoryEntry readEntry(const QString& path, qint64 id, const QString& gameFolder) const;
    QString m_settingsFile;
    QString m_folder;
};

// ---- What the recorder, the restore and the start's recovery share of the store --------------

struct EntryFile
{
    qint64 id = 0;
    QString path;
};

// The numbers the program gives entries, written without leading zeros. A file of another name
// (`999999999999999999.entry`) is not the program's: not listed nor numbered from, though the
// blobs it names are kept.
inline constexpr qint64 kMaxEntryId = 999999999;

// The entries' files of a folder (".entry" or ".pending"), by number, oldest first.
QList<EntryFile> entryFiles(const QString& entries, const char* suffix);
// The number of the next entry: past every entry and pending entry; 0 when none is left.
qint64 nextEntryId(const QString& entries);

// When the history of this settings file is over its cap, prunes it on the program's pool
// without anyone waiting; a prune under way already does for a second.
void pruneSoon(const QString& settingsFile);

// A committed change's pending entry stays until its entry is whole on disk: then it goes.
// False when the entry is missing or damaged, and the pending entry must make it.
bool entryOnDisk(const QString& entries, qint64 id);

// The history's own lock: flock on its folder, taken after the game folder's, so two instances
// never number two entries alike nor prune what the other is writing. Anyone who can read the
// folder can hold it: it is tried for `limit` at most, and not held (an invalid descriptor) then.
inline constexpr std::chrono::milliseconds kHistoryLockWait = kSettingsLockWait;
inline constexpr std::chrono::milliseconds kStartLockWait{3000};
UniqueFd lockFolder(const QString& folder, std::chrono::milliseconds limit = kHistoryLockWait);
Error historyInUse(const QString& folder);

// The description of an errno as the user reads it.
QString describeErrno(int err);

// Writes bytes at the descriptor's offset, without flushing them.
bool writeBytes(int fd, const QByteArray& bytes);

// An entry appears whole or not at all: written beside its name, flushed, then renamed. A change's
// own entry is not flushed: its flushed pending entry stays until the entry is on disk.
bool writeEntryFile(const QString& path, const QByteArray& bytes, bool flushed = true);

// Puts a moved file's bytes under their hash, or drops the link when the blob is there already
// (`renamed` false: nothing new to flush).
bool settleBlob(int blobsFd, const QByteArray& temporary, const QByteArray& hash, qint64 size, bool* renamed = nullptr);

} // namespace kvr
