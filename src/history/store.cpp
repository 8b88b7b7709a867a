#include "history/store.h"

#include "app/background.h"
#include "app/filelock.h"
#include "app/logging.h"
#include "app/newfile.h"
#include "app/toolkit.h"

#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kvr {

UniqueFd lockFolder(const QString& folder, std::chrono::milliseconds limit)
{
    UniqueFd fd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.isValid() && !lockExclusiveWithin(fd.get(), limit))
        fd.reset();
    return fd;
}

Error historyInUse(const QString& folder)
{
    return Error(QStringLiteral("The history folder %1 stayed in use by another program, so nothing was changed in "
                                "the game folder.")
                     .arg(folder));
}

QString describeErrno(int err)
{
    return Error::fromErrno(err).description();
}

bool writeBytes(int fd, const QByteArray& bytes)
{
    return writeAll(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
}

bool writeEntryFile(const QString& path, const QByteArray& bytes, bool flushed)
{
    const QString temporary =
        QFileInfo(path).absolutePath() + QStringLiteral("/.") + QFileInfo(path).fileName() + QStringLiteral(".tmp");
    const QByteArray local = QFile::encodeName(temporary);
    UniqueFd fd(::open(local.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    bool written = false;
    if (flushed) {
        written = writeDurably(std::move(fd), bytes);
    } else if (fd.isValid() && writeBytes(fd.get(), bytes)) {
        ::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        written = ::close(fd.release()) == 0;
    }
    if (written && ::rename(local.constData(), QFile::encodeName(path).constData()) == 0)
        return true;
    const int err = errno;
    ::unlink(local.constData());
    errno = err;
    return false;
}

bool settleBlob(int blobsFd, const QByteArray& temporary, const QByteArray& hash, qint64 size, bool* renamed)
{
    struct stat blob
    {
    };
    const bool there = ::fstatat(blobsFd, hash.constData(), &blob, AT_SYMLINK_NOFOLLOW) == 0 && blob.st_size == size;
    if (renamed)
        *renamed = !there;
    if (there)
        return ::unlinkat(blobsFd, temporary.constData(), 0) == 0 || errno == ENOENT;
    return ::renameat(blobsFd, temporary.constData(), blobsFd, hash.constData()) == 0;
}

namespace {

// The number of an entry's file of this suffix as the program names it, or 0.
qint64 entryNumber(const char* name, const char* suffix)
{
    qint64 id = 0;
    int digits = 0;
    for (; name[digits] >= '0' && name[digits] <= '9'; ++digits)
        id = id * 10 + (name[digits] - '0');
    if (digits == 0 || name[0] == '0' || id > kMaxEntryId || std::strcmp(name + digits, suffix) != 0)
        return 0;
    return id;
}

} // namespace

// The entries' files of a folder, by number, oldest first.
QList<EntryFile> entryFiles(const QString& entries, const char* suffix)
{
    QList<EntryFile> files;
    DirStream dir(entries);
    while (const dirent* d = dir.next())
        if (const qint64 id = entryNumber(d->d_name, suffix))
            files.append({id, entries + QLatin1Char('/') + QFile::decodeName(d->d_name)});
    std::sort(files.begin(), files.end(), [](const EntryFile& a, const EntryFile& b) { return a.id < b.id; });
    return files;
}

qint64 nextEntryId(const QString& entries)
{
    qint64 next = 1;
    for (const char* suffix : {".entry", ".pending"})
        for (const EntryFile& f : entryFiles(entries, suffix))
            next = std::max(next, f.id + 1);
    return next <= kMaxEntryId ? next : 0;
}

// A committed change's pending entry stays until its entry is whole on disk: then it goes.
// False when the entry is missing or damaged, and the pending entry must make it.
bool entryOnDisk(const QString& entries, qint64 id)
{
    const QString path = entries + QStringLiteral("/%1.entry").arg(id);
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.isValid())
        return false;
    const FileRead read = readRegularFd(fd.get(), kEntryLimit);
    if (!read.ok() || !parseEntry(read.data, QString()).damage.isEmpty() || ::fdatasync(fd.get()) != 0)
        return false;
    ::unlink(QFile::encodeName(entries + QStringLiteral("/%1.pending").arg(id)).constData());
    return true;
}

HistoryStore::HistoryStore(const QString& settingsFile) : m_settingsFile(settingsFile)
{
    const QFileInfo settings(toLocalPath(settingsFile));
    m_folder = settings.absolutePath() + QLatin1Char('/') + settings.completeBaseName() + QStringLiteral(".history");
}

QString HistoryStore::blobPath(const QByteArray& hash) const
{
    return m_folder + QStringLiteral("/blobs/") + QString::fromLatin1(hash);
}

namespace {

// A blob as the listing sees it: a regular file of the kept size, or damage. Its bytes are
// checked against the hash when they are put back, not at every listing.
QString blobDamage(const HistoryFile& f, int type, qint64 size)
{
    if (type == 0)
        return QStringLiteral("the kept bytes of %1 are missing").arg(QFile::decodeName(f.name));
    if (type != S_IFREG)
        return QStringLiteral("the kept bytes of %1 are not a file").arg(QFile::decodeName(f.name));
    if (size != f.size)
        return QStringLiteral("the kept bytes of %1 are cut short").arg(QFile::decodeName(f.name));
    return {};
}

// An entry's file read: parsed, or damaged with the first reason found.
HistoryEntry entryOfFile(const FileRead& read, qint64 id, const QString& gameFolder)
{
    HistoryEntry e = read.ok() ? parseEntry(read.data, gameFolder) : HistoryEntry{};
    if (!read.ok())
        e.damage = QStringLiteral("it cannot be read: %1").arg(read.message());
    else if (e.damage.isEmpty() && e.id != id)
        e.damage = QStringLiteral("its number is not its file's");
    e.id = id;
    return e;
}

} // namespace

HistoryEntry HistoryStore::readEntry(const QString& path, qint64 id, const QString& gameFolder) const
{
    HistoryEntry e = entryOfFile(readRegularFile(path, kEntryLimit, Links::Refuse), id, gameFolder);
    for (const HistoryFile& f : std::as_const(e.kept)) {
        if (!e.damage.isEmpty())
            break;
        struct stat st
        {
        };
        const bool found = ::lstat(QFile::encodeName(blobPath(f.hash)).constData(), &st) == 0;
        e.damage = blobDamage(f, found ? int(st.st_mode & S_IFMT) : 0, st.st_size);
    }
    return e;
}

QList<HistoryEntry> HistoryStore::entries(const QString& gameFolder) const
{
    const QString folder = gameFolder.isEmpty() ? gameFolder : canonicalGameFolder(gameFolder);
    QList<HistoryEntry> result;
    for (const EntryFile& file : entryFiles(m_folder + QStringLiteral("/entries"), ".entry"))
        result.prepend(readEntry(file.path, file.id, folder));
    return result;
}

std::optional<HistoryEntry> HistoryStore::newest(const QString& gameFolder) const
{
    const QString folder = gameFolder.isEmpty() ? gameFolder : canonicalGameFolder(gameFolder);
    const QList<EntryFile> files = entryFiles(m_folder + QStringLiteral("/entries"), ".entry");
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        const HistoryEntry e = readEntry(it->path, it->id, QString());
        // Another game folder's changes are not this one's to undo.
        if (folder.isEmpty() || e.gameFolder.isEmpty() || sameGameFolder(e.gameFolder, folder))
            return e.damage.isEmpty() ? readEntry(it->path, it->id, folder) : e;
    }
    return std::nullopt;
}

qint64 HistoryStore::spaceUsed() const
{
    qint64 total = 0;
    DirStream dir(m_folder + QStringLiteral("/blobs"));
    while (const dirent* d = dir.next()) {
        struct stat st
        {
        };
        if (d->d_name[0] != '.' && ::fstatat(dir.fd(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            total += st.st_size;
    }
    return total;
}

qint64 HistoryStore::cap(qint64 configured) const
{
    struct statvfs fs
    {
    };
    // The folder holding the history, there before the history is.
    if (::statvfs(QFile::encodeName(QFileInfo(m_folder).absolutePath()).constData(), &fs) != 0)
        return configured;
    // The history's own blobs count as room it may keep.
    const qint64 room = qint64(fs.f_bavail) * qint64(fs.f_frsize) + spaceUsed();
    return std::min(configured, room / 10);
}

namespace {

// Every kept hash a file of the entries' folder names, read loosely: a damaged entry's blobs,
// and those of a file the listing does not show, stay too.
QSet<QByteArray> keptHashes(const QByteArray& bytes)
{
    QSet<QByteArray> hashes;
    for (qsizetype at = bytes.startsWith("kept=") ? 0 : bytes.indexOf("\nkept="); at >= 0;
         at = bytes.indexOf("\nkept=", at + 1)) {
        const qsizetype from = at + (bytes.at(at) == '\n' ? 6 : 5);
        if (const QByteArray hash = bytes.mid(from, 64); isHash(hash))
            hashes.insert(hash);
    }
    return hashes;
}

struct Blob
{
    int type = 0;
    qint64 size = 0;
};

// The history's files as pruning and forgetting see them, each read once.
struct HistoryFiles
{
    QList<HistoryEntry> listed;               // oldest first: number, game folder and slots
    QSet<qint64> pending;                     // the numbers of pending entries
    QHash<qint64, QList<QByteArray>> namedBy; // a listed number -> the hashes of each of its files
    QHash<QByteArray, int> references;        // hash -> the files naming it
    QHash<QByteArray, Blob> blobs;            // every blob
    bool whole = true;                        // every file was read: unnamed blobs may go
};

QHash<QByteArray, Blob> readBlobs(const QString& folder)
{
    QHash<QByteArray, Blob> blobs;
    DirStream dir(folder + QStringLiteral("/blobs"));
    while (const dirent* d = dir.next()) {
        struct stat st
        {
        };
        if (isHash(d->d_name) && ::fstatat(dir.fd(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            blobs.insert(d->d_name, {int(st.st_mode & S_IFMT), st.st_size});
    }
    return blobs;
}

// The game folder and slots of an entry, read loosely from its header: where its first states
// are. Whether it is damaged is read only of the entries pruning would remove.
HistoryEntry headerOf(const QByteArray& bytes, qint64 id)
{
    HistoryEntry e;
    e.id = id;
    for (qsizetype at = 0, end = 0; (end = bytes.indexOf('\n', at)) >= 0; at = end + 1) {
        const QByteArray line = bytes.mid(at, end - at);
        if (line.startsWith("game="))
            e.gameFolder = decodedField(line.mid(5));
        else if (line.startsWith("slot="))
            e.slots.append({decodedField(line.mid(5, line.indexOf(' ') - 5)), {}, {}});
        else if (line.startsWith("kept=") || line.startsWith("moved=") || line.startsWith("created="))
            break;
    }
    return e;
}

HistoryFiles readHistoryFiles(const QString& folder)
{
    HistoryFiles h;
    h.blobs = readBlobs(folder);
    DirStream dir(folder + QStringLiteral("/entries"));
    QMap<qint64, HistoryEntry> listed;
    while (const dirent* d = dir.next()) {
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0)
            continue;
        // The program writes regular files alone there; links are not followed.
        const UniqueFd fd(::openat(dir.fd(), d->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        const FileRead read = fd.isValid() ? readRegularFd(fd.get(), kEntryLimit) : FileRead{};
        if (read.status == FileRead::Status::NotRegularFile || (!fd.isValid() && (errno == ELOOP || errno == ENOENT)))
            continue;
        if (!read.ok()) {
            h.whole = false;
            qCWarning(lcInstall, "history: %s cannot be read; no blob is removed", d->d_name);
        }
        const QSet<QByteArray> hashes = keptHashes(read.data);
        for (const QByteArray& hash : hashes)
            ++h.references[hash];
        const qint64 entry = entryNumber(d->d_name, ".entry");
        const qint64 id = entry ? entry : entryNumber(d->d_name, ".pending");
        if (id == 0)
            continue;
        h.namedBy[id].append(hashes.values());
        if (!entry) {
            h.pending.insert(id);
            continue;
        }
        listed.insert(id, headerOf(read.data, id));
    }
    h.listed = listed.values();
    return h;
}

// The first entry to touch a slot in a game folder keeps the game's own files of it.
QSet<qint64> firstStates(const QList<HistoryEntry>& oldestFirst)
{
    QHash<QString, QString> canonical;
    QSet<QString> seen;
    QSet<qint64> first;
    for (const HistoryEntry& e : oldestFirst) {
        auto folder = canonical.constFind(e.gameFolder);
        if (folder == canonical.constEnd())
            folder = canonical.insert(e.gameFolder, canonicalGameFolder(e.gameFolder));
        for (const HistorySlot& s : e.slots)
            if (!seen.contains(folder.value() + QLatin1Char('\n') + s.slot)) {
                seen.insert(folder.value() + QLatin1Char('\n') + s.slot);
                first.insert(e.id);
            }
    }
    return first;
}

// Removes a listed entry's files; the blobs they alone named add their size to `freed`.
void forget(const QString& folder, HistoryFiles& h, qint64 id, qint64* freed = nullptr)
{
    const QByteArray entries = QFile::encodeName(folder) + "/entries/" + QByteArray::number(id);
    ::unlink(QByteArray(entries + ".entry").constData());
    if (h.pending.contains(id))
        ::unlink(QByteArray(entries + ".pending").constData());
    for (const QByteArray& hash : h.namedBy.value(id)) {
        auto it = h.references.find(hash);
        if (it != h.references.end() && --it.value() == 0) {
            h.references.erase(it);
            if (freed)
                *freed += h.blobs.value(hash).size;
        }
    }
}

// Removes every blob no file of the entries' folder names, when every file could be read.
void sweepBlobs(const QString& folder, const HistoryFiles& h)
{
    if (!h.whole)
        return;
    const QByteArray blobs = QFile::encodeName(folder + QStringLiteral("/blobs/"));
    for (auto it = h.blobs.constBegin(); it != h.blobs.constEnd(); ++it)
        if (!h.references.contains(it.key()))
            ::unlink(QByteArray(blobs + it.key()).constData());
}

std::atomic_bool g_pruneScheduled{false};

} // namespace

void HistoryStore::prune(qint64 cap)
{
    // Another holder of the history: the next change prunes.
    const UniqueFd lock = lockFolder(m_folder);
    if (!lock.isValid())
        return;
    HistoryFiles h = readHistoryFiles(m_folder);
    // While a file cannot be read, no blob can be known to be free: removing entries frees nothing.
    if (!h.whole)
        return;
    qint64 used = 0;
    for (auto it = h.blobs.constBegin(); it != h.blobs.constEnd(); ++it)
        if (h.references.contains(it.key()))
            used += it->size;
    const QSet<qint64> first = firstStates(h.listed);
    for (qsizetype i = 0; i < h.listed.size() && used > cap; ++i) {
        const HistoryEntry& e = h.listed.at(i);
        if (first.contains(e.id) ||
            !readEntry(m_folder + QStringLiteral("/entries/%1.entry").arg(e.id), e.id, QString()).damage.isEmpty())
            continue;
        qint64 freed = 0;
        forget(m_folder, h, e.id, &freed);
        used -= freed;
    }
    sweepBlobs(m_folder, h);
}

void HistoryStore::forgetOlderThan(qint64 id, bool firstStatesToo)
{
    // Listed under the history's own lock: an entry another instance adds meanwhile is newer
    // than `id` and stays.
    const UniqueFd lock = lockFolder(m_folder);
    if (!lock.isValid())
        throw historyInUse(m_folder);
    HistoryFiles h = readHistoryFiles(m_folder);
    const QSet<qint64> first = firstStates(h.listed);
    QList<qint64> older;
    for (const HistoryEntry& e : std::as_const(h.listed))
        if (e.id < id && (firstStatesToo || !first.contains(e.id)))
            older.append(e.id);
    for (const qint64 o : std::as_const(older))
        forget(m_folder, h, o);
    sweepBlobs(m_folder, h);
}

void pruneSoon(const QString& settingsFile)
{
    // Only a history over its cap is read whole, and never by the change that found it so.
    const HistoryStore store(settingsFile);
    const qint64 cap = store.cap();
    if (store.spaceUsed() <= cap || g_pruneScheduled.exchange(true))
        return;
    background::run([settingsFile, cap](const std::atomic_bool&) {
        g_pruneScheduled = false;
        HistoryStore(settingsFile).prune(cap);
    });
}

} // namespace kvr
