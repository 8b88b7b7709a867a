#include "history/store.h"

#include "app/background.h"
#include "app/filelock.h"
#include "app/logging.h"
#include "app/newfile.h"
#include "app/toolkit.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unordered_map>

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

qint64 HistoryStore::cap(qint64 used, qint64 configured) const
{
    struct statvfs fs
    {
    };
    // The folder holding the history, there before the history is.
    if (::statvfs(QFile::encodeName(QFileInfo(m_folder).absolutePath()).constData(), &fs) != 0)
        return configured;
    // The history's own blobs count as room it may keep.
    const qint64 room = qint64(fs.f_bavail) * qint64(fs.f_frsize) + used;
    return std::min(configured, room / 10);
}

namespace {

// Spellings read from the history's files, each given a number when first seen. Looked up
// without a copy, and the spelling of the entry before first: entries mostly repeat it.
class Spellings
{
public:
    int number(const char* data, qsizetype size)
    {
        const std::string_view name(data, size_t(size));
        if (m_last >= 0 && name == view(m_last))
            return m_last;
        if (const auto it = m_numbers.find(name); it != m_numbers.end())
            return m_last = it->second;
        // The view points into the copy's bytes, which stay where they are.
        m_spelled.append(QByteArray(data, size));
        m_last = int(m_spelled.size() - 1);
        m_numbers.emplace(view(m_last), m_last);
        return m_last;
    }
    int find(const char* data, qsizetype size) const
    {
        const auto it = m_numbers.find(std::string_view(data, size_t(size)));
        return it != m_numbers.end() ? it->second : -1;
    }
    const QByteArray& spelling(int number) const { return m_spelled.at(number); }
    qsizetype size() const { return m_spelled.size(); }

private:
    std::string_view view(int number) const
    {
        return {m_spelled.at(number).constData(), size_t(m_spelled.at(number).size())};
    }
    std::unordered_map<std::string_view, int> m_numbers;
    QList<QByteArray> m_spelled;
    int m_last = -1;
};

// A listed entry as pruning and forgetting see it: where its first states are (its game folder
// and slots, read loosely from its header) and the blobs its file names. Whether it is damaged
// is read only of the entries pruning would remove.
struct ListedEntry
{
    qint64 id = 0;
    int folder = -1;                      // in HistoryFiles::folders
    qsizetype slotsFrom = 0, slotsTo = 0; // in HistoryFiles::slotsOf
    qsizetype blobsFrom = 0, blobsTo = 0; // in HistoryFiles::blobsOf
};

// The history's files as pruning and forgetting see them, each read once.
struct HistoryFiles
{
    QList<ListedEntry> listed;         // oldest first
    QHash<qint64, QList<int>> pending; // a pending entry's number -> the blobs it names
    QList<int> slotsOf;                // the listed entries' slots, in `slots`
    QList<int> blobsOf;                // the blobs each listed entry names, once each
    Spellings folders;                 // game folders as entries spell them
    Spellings slots;                   // slot codes as entries spell them
    Spellings blobs;                   // every blob's name
    QList<qint64> blobSizes;           // by blob
    QList<int> references;             // by blob: the files naming it
    bool whole = true;                 // every file was read: unnamed blobs may go
};

void readBlobs(const QString& folder, HistoryFiles& h)
{
    DirStream dir(folder + QStringLiteral("/blobs"));
    while (const dirent* d = dir.next()) {
        struct stat st
        {
        };
        if (isHash(QByteArray::fromRawData(d->d_name, qsizetype(std::strlen(d->d_name)))) &&
            ::fstatat(dir.fd(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            h.blobs.number(d->d_name, 64);
            h.blobSizes.append(st.st_size);
        }
    }
    h.references.fill(0, h.blobSizes.size());
}

// Reads one file of the entries' folder loosely: every blob a `kept=` line names (a damaged
// entry's blobs, and those of a file the listing does not show, stay too), each once, into
// `named`; with `entry`, its game folder and slots from the header.
void readNames(const QByteArray& bytes, HistoryFiles& h, QList<int>& named, ListedEntry* entry, QList<int>& seenIn,
               int file)
{
    bool header = entry != nullptr;
    const char* const end = bytes.constData() + bytes.size();
    for (const char* line = bytes.constData(); line < end;) {
        const char* eol = static_cast<const char*>(std::memchr(line, '\n', size_t(end - line)));
        if (!eol)
            eol = end;
        const auto starts = [&](const char* key, qsizetype n) {
            return eol - line >= n && std::memcmp(line, key, size_t(n)) == 0;
        };
        if (starts("kept=", 5)) {
            header = false;
            const int blob = eol - line >= 5 + 64 ? h.blobs.find(line + 5, 64) : -1;
            if (blob >= 0 && seenIn[blob] != file) {
                seenIn[blob] = file;
                ++h.references[blob];
                named.append(blob);
            }
        } else if (header && (starts("moved=", 6) || starts("created=", 8))) {
            header = false;
        } else if (header && starts("game=", 5)) {
            entry->folder = h.folders.number(line + 5, eol - line - 5);
        } else if (header && starts("slot=", 5)) {
            const char* blank = static_cast<const char*>(std::memchr(line + 5, ' ', size_t(eol - line - 5)));
            h.slotsOf.append(h.slots.number(line + 5, (blank ? blank : eol) - line - 5));
        }
        line = eol + 1;
    }
}

HistoryFiles readHistoryFiles(const QString& folder)
{
    HistoryFiles h;
    readBlobs(folder, h);
    // The file that last named each blob: a file names a blob once however many lines do.
    QList<int> seenIn(h.blobSizes.size(), -1);
    int file = 0;
    const int noEntry = h.folders.number("", 0);
    DirStream dir(folder + QStringLiteral("/entries"));
    while (const dirent* d = dir.next()) {
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0)
            continue;
        // The program writes regular files alone there; links are not followed. Reading them
        // leaves their times alone where the owner may.
        constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        UniqueFd fd(::openat(dir.fd(), d->d_name, flags | O_NOATIME));
        if (!fd.isValid() && errno == EPERM)
            fd = UniqueFd(::openat(dir.fd(), d->d_name, flags));
        const FileRead read = fd.isValid() ? readRegularFd(fd.get(), kEntryLimit) : FileRead{};
        if (read.status == FileRead::Status::NotRegularFile || (!fd.isValid() && (errno == ELOOP || errno == ENOENT)))
            continue;
        if (!read.ok()) {
            h.whole = false;
            qCWarning(lcInstall, "history: %s cannot be read; no blob is removed", d->d_name);
        }
        ++file;
        const qint64 entry = entryNumber(d->d_name, ".entry");
        const qint64 pending = entry ? 0 : entryNumber(d->d_name, ".pending");
        if (entry) {
            ListedEntry e{entry, noEntry, h.slotsOf.size(), 0, h.blobsOf.size(), 0};
            readNames(read.data, h, h.blobsOf, &e, seenIn, file);
            e.slotsTo = h.slotsOf.size();
            e.blobsTo = h.blobsOf.size();
            h.listed.append(e);
        } else {
            // A stray file's blobs count too; a pending entry's go with its entry.
            QList<int> named;
            readNames(read.data, h, named, nullptr, seenIn, file);
            if (pending)
                h.pending.insert(pending, named);
        }
    }
    std::sort(h.listed.begin(), h.listed.end(), [](const ListedEntry& a, const ListedEntry& b) { return a.id < b.id; });
    return h;
}

int numbered(QHash<QString, int>& numbers, const QString& key)
{
    const auto it = numbers.constFind(key);
    return it != numbers.constEnd() ? it.value() : *numbers.insert(key, int(numbers.size()));
}

// The first entry to touch a slot in a game folder keeps the game's own files of it: which of
// the listed entries are first states, in their order.
QList<bool> firstStates(const HistoryFiles& h)
{
    // A game folder spelled in several ways is one folder; a slot code likewise.
    QHash<QString, int> canonical;
    QList<int> folderOf(h.folders.size(), -1);
    QHash<QString, int> decoded;
    QList<int> slotOf;
    for (qsizetype i = 0; i < h.slots.size(); ++i)
        slotOf.append(numbered(decoded, decodedField(h.slots.spelling(int(i)))));
    QSet<quint64> seen;
    QList<bool> first(h.listed.size(), false);
    for (qsizetype i = 0; i < h.listed.size(); ++i) {
        const ListedEntry& e = h.listed.at(i);
        int& folder = folderOf[e.folder];
        if (folder < 0)
            folder = numbered(canonical, canonicalGameFolder(decodedField(h.folders.spelling(e.folder))));
        for (qsizetype s = e.slotsFrom; s < e.slotsTo; ++s) {
            const quint64 key = (quint64(folder) << 32) | quint32(slotOf.at(h.slotsOf.at(s)));
            if (!seen.contains(key)) {
                seen.insert(key);
                first[i] = true;
            }
        }
    }
    return first;
}

// Removes a listed entry's files; the blobs they alone named add their size to `freed`.
void forget(const QString& folder, HistoryFiles& h, const ListedEntry& e, qint64* freed = nullptr)
{
    const QByteArray entries = QFile::encodeName(folder) + "/entries/" + QByteArray::number(e.id);
    ::unlink(QByteArray(entries + ".entry").constData());
    const auto release = [&](int blob) {
        if (--h.references[blob] == 0 && freed)
            *freed += h.blobSizes.at(blob);
    };
    for (qsizetype b = e.blobsFrom; b < e.blobsTo; ++b)
        release(h.blobsOf.at(b));
    if (const auto pending = h.pending.constFind(e.id); pending != h.pending.constEnd()) {
        ::unlink(QByteArray(entries + ".pending").constData());
        for (const int blob : pending.value())
            release(blob);
    }
}

// Removes every blob no file of the entries' folder names, when every file could be read.
void sweepBlobs(const QString& folder, const HistoryFiles& h)
{
    if (!h.whole)
        return;
    const QByteArray blobs = QFile::encodeName(folder + QStringLiteral("/blobs/"));
    for (qsizetype b = 0; b < h.references.size(); ++b)
        if (h.references.at(b) == 0)
            ::unlink(QByteArray(blobs + h.blobs.spelling(int(b))).constData());
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
    for (qsizetype b = 0; b < h.references.size(); ++b)
        if (h.references.at(b) > 0)
            used += h.blobSizes.at(b);
    const QList<bool> first = firstStates(h);
    const QString entries = m_folder + QStringLiteral("/entries/");
    for (qsizetype i = 0; i < h.listed.size() && used > cap; ++i) {
        const ListedEntry& e = h.listed.at(i);
        if (first.at(i) ||
            !readEntry(entries + QString::number(e.id) + QStringLiteral(".entry"), e.id, QString()).damage.isEmpty())
            continue;
        qint64 freed = 0;
        forget(m_folder, h, e, &freed);
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
    const QList<bool> first = firstStates(h);
    for (qsizetype i = 0; i < h.listed.size() && h.listed.at(i).id < id; ++i)
        if (firstStatesToo || !first.at(i))
            forget(m_folder, h, h.listed.at(i));
    sweepBlobs(m_folder, h);
}

void pruneSoon(const QString& settingsFile)
{
    // Only a history over its cap is read whole, and never by the change that found it so.
    const HistoryStore store(settingsFile);
    const qint64 used = store.spaceUsed();
    const qint64 cap = store.cap(used);
    if (used <= cap || g_pruneScheduled.exchange(true))
        return;
    background::run([settingsFile, cap](const std::atomic_bool&) {
        g_pruneScheduled = false;
        HistoryStore(settingsFile).prune(cap);
    });
}

} // namespace kvr
