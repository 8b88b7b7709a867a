#include "history/store.h"

#include "app/filelock.h"
#include "app/newfile.h"
#include "app/toolkit.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>
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

// The entries' files of a folder, by number, oldest first.
QList<EntryFile> entryFiles(const QString& entries, const char* suffix)
{
    QList<EntryFile> files;
    const QRegularExpression name(QStringLiteral("^([0-9]{1,18})\\") + QLatin1String(suffix) + QLatin1Char('$'));
    DirStream dir(entries);
    while (const dirent* d = dir.next()) {
        const QRegularExpressionMatch m = name.match(QFile::decodeName(d->d_name));
        if (m.hasMatch())
            files.append({m.captured(1).toLongLong(), entries + QLatin1Char('/') + QFile::decodeName(d->d_name)});
    }
    std::sort(files.begin(), files.end(), [](const EntryFile& a, const EntryFile& b) { return a.id < b.id; });
    return files;
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

HistoryEntry HistoryStore::readEntry(const QString& path, qint64 id, const QString& gameFolder) const
{
    const FileRead read = readRegularFile(path, kEntryLimit, Links::Refuse);
    HistoryEntry e = read.ok() ? parseEntry(read.data, gameFolder) : HistoryEntry{};
    if (!read.ok())
        e.damage = QStringLiteral("it cannot be read: %1").arg(read.message());
    else if (e.damage.isEmpty() && e.id != id)
        e.damage = QStringLiteral("its number is not its file's");
    e.id = id;
    for (const HistoryFile& f : std::as_const(e.kept)) {
        if (!e.damage.isEmpty())
            break;
        const QFileInfo blob(blobPath(f.hash));
        if (!blob.isFile())
            e.damage = QStringLiteral("the kept bytes of %1 are missing").arg(QFile::decodeName(f.name));
        else if (blob.size() != f.size)
            e.damage = QStringLiteral("the kept bytes of %1 are cut short").arg(QFile::decodeName(f.name));
    }
    return e;
}

QList<HistoryEntry> HistoryStore::entries(const QString& gameFolder) const
{
    QList<HistoryEntry> result;
    for (const EntryFile& file : entryFiles(m_folder + QStringLiteral("/entries"), ".entry"))
        result.prepend(readEntry(file.path, file.id, gameFolder));
    return result;
}

std::optional<HistoryEntry> HistoryStore::newest(const QString& gameFolder) const
{
    const QList<EntryFile> files = entryFiles(m_folder + QStringLiteral("/entries"), ".entry");
    if (files.isEmpty())
        return std::nullopt;
    return readEntry(files.constLast().path, files.constLast().id, gameFolder);
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

// Every kept hash an entry's file names, read loosely: a damaged entry's blobs stay too.
QSet<QByteArray> hashesNamedIn(const QString& path)
{
    QSet<QByteArray> hashes;
    const FileRead read = readRegularFile(path, kEntryLimit, Links::Refuse);
    // The kept files' hashes; what an entry created is in the game folder, not here.
    static const QRegularExpression hex(QStringLiteral("^kept=([0-9a-f]{64})"), QRegularExpression::MultilineOption);
    const QString text = QString::fromLatin1(read.data);
    for (auto it = hex.globalMatch(text); it.hasNext();)
        hashes.insert(it.next().captured(1).toLatin1());
    return hashes;
}

} // namespace

void HistoryStore::removeUnreferencedBlobs()
{
    QSet<QByteArray> referenced;
    const QString entries = m_folder + QStringLiteral("/entries");
    for (const char* suffix : {".entry", ".pending"})
        for (const EntryFile& file : entryFiles(entries, suffix))
            referenced.unite(hashesNamedIn(file.path));
    DirStream dir(m_folder + QStringLiteral("/blobs"));
    while (const dirent* d = dir.next()) {
        const QByteArray name(d->d_name);
        if (isHash(name) && !referenced.contains(name))
            ::unlinkat(dir.fd(), d->d_name, 0);
    }
}

void HistoryStore::prune(qint64 cap)
{
    // Another holder of the history: the next change prunes.
    const UniqueFd lock = lockFolder(m_folder);
    if (!lock.isValid())
        return;
    const QList<HistoryEntry> newestFirst = entries(QString());
    QList<HistoryEntry> all(newestFirst.rbegin(), newestFirst.rend());
    // An entry is a first state when it is the oldest to touch one of its slots.
    QSet<QString> seen;
    QSet<qint64> firstStates;
    for (const HistoryEntry& e : all)
        for (const HistorySlot& s : e.slots)
            if (!seen.contains(s.slot)) {
                seen.insert(s.slot);
                firstStates.insert(e.id);
            }
    const auto used = [&all] {
        std::map<QByteArray, qint64> blobs;
        for (const HistoryEntry& e : all)
            for (const HistoryFile& f : e.kept)
                blobs[f.hash] = f.size;
        qint64 total = 0;
        for (const auto& [hash, size] : blobs)
            total += size;
        return total;
    };
    bool removed = false;
    for (qsizetype i = 0; i < all.size() && used() > cap;) {
        if (firstStates.contains(all.at(i).id) || !all.at(i).damage.isEmpty()) {
            ++i;
            continue;
        }
        QFile::remove(m_folder + QStringLiteral("/entries/%1.entry").arg(all.at(i).id));
        QFile::remove(m_folder + QStringLiteral("/entries/%1.pending").arg(all.at(i).id));
        all.removeAt(i);
        removed = true;
    }
    if (removed)
        removeUnreferencedBlobs();
}

void HistoryStore::forgetOlder(int keep, bool firstStatesToo)
{
    const UniqueFd lock = lockFolder(m_folder);
    if (!lock.isValid())
        throw historyInUse(m_folder);
    const QList<HistoryEntry> newestFirst = entries(QString());
    QSet<QString> seen;
    QSet<qint64> firstStates;
    for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it)
        for (const HistorySlot& s : it->slots)
            if (!seen.contains(s.slot)) {
                seen.insert(s.slot);
                firstStates.insert(it->id);
            }
    for (qsizetype i = keep; i < newestFirst.size(); ++i)
        if (firstStatesToo || !firstStates.contains(newestFirst.at(i).id)) {
            QFile::remove(m_folder + QStringLiteral("/entries/%1.entry").arg(newestFirst.at(i).id));
            QFile::remove(m_folder + QStringLiteral("/entries/%1.pending").arg(newestFirst.at(i).id));
        }
    removeUnreferencedBlobs();
}

} // namespace kvr
