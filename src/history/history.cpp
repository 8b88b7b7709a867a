#include "history/history.h"

#include "app/fileio.h"
#include "app/filelock.h"
#include "app/logging.h"
#include "app/toolkit.h"
#include "installer/folderlock.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kvr {

namespace {

const QByteArray kHeader = "KVRSI history 1";
const QStringList kKinds = {QStringLiteral("install"),   QStringLiteral("default"), QStringLiteral("reset"),
                            QStringLiteral("reinstall"), QStringLiteral("undo"),    QStringLiteral("restore"),
                            QStringLiteral("loadout")};
// An entry is a few lines per file: this bounds what a hand-made one can make the reader take in.
constexpr qint64 kEntryLimit = qint64{16} << 20;

QByteArray pct(const QString& text)
{
    return text.toUtf8().toPercentEncoding();
}

QByteArray pct(const QByteArray& bytes)
{
    return bytes.toPercentEncoding();
}

bool isHash(const QByteArray& text)
{
    if (text.size() != 64)
        return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool toNumber(const QByteArray& text, qint64& value, int base = 10)
{
    if (text.isEmpty() || text.size() > 20 || text.startsWith('-') || text.startsWith('+'))
        return false;
    bool ok = false;
    value = text.toLongLong(&ok, base);
    return ok && value >= 0;
}

QString decodedField(const QByteArray& field)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

class Sha256
{
public:
    Sha256() : m_ctx(EVP_MD_CTX_new())
    {
        if (!m_ctx || EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) != 1)
            throw Error(QStringLiteral("SHA-256 is not available"));
    }
    ~Sha256() { EVP_MD_CTX_free(m_ctx); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void add(const char* data, size_t size) { EVP_DigestUpdate(m_ctx, data, size); }
    QByteArray hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_ctx, digest, &length);
        return QByteArray(reinterpret_cast<const char*>(digest), length).toHex();
    }

private:
    EVP_MD_CTX* m_ctx;
};

// Hashes an open file from its start; false when a read fails.
bool hashFd(int fd, QByteArray& hash, qint64& size)
{
    Sha256 sha;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    size = 0;
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, buffer.data(), static_cast<size_t>(buffer.size()), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        sha.add(buffer.constData(), static_cast<size_t>(got));
        offset += got;
        size += got;
    }
    hash = sha.hex();
    return true;
}

bool copyFd(int from, int to)
{
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(from, buffer.data(), static_cast<size_t>(buffer.size()), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return ::fsync(to) == 0;
        if (!kvr::writeAll(to, buffer.constData(), static_cast<size_t>(got)))
            return false;
        offset += got;
    }
}

QByteArray randomName(const char* prefix)
{
    return prefix + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
}

// The history's own lock: flock on its folder, taken after the game folder's, so two instances
// never number two entries alike nor prune what the other is writing. Anyone who can read the
// folder can hold it: it is tried for `limit` at most, and not held (an invalid descriptor) then.
constexpr std::chrono::milliseconds kHistoryLockWait = kSettingsLockWait;
constexpr std::chrono::milliseconds kStartLockWait{3000};

UniqueFd lockFolder(const QString& folder, std::chrono::milliseconds limit = kHistoryLockWait)
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

Error diskFull(const QString& folder)
{
    return Error(QStringLiteral("There is not enough free space for the history in %1 to keep the files this change "
                                "removes, so nothing was changed in the game folder.")
                     .arg(folder));
}

Error notKept(int err, const QString& folder)
{
    if (err == ENOSPC)
        return diskFull(folder);
    return Error(QStringLiteral("The history cannot be flushed to disk (%1), so the files stay in the game folder.")
                     .arg(describeErrno(err)));
}

bool g_diskFull = false;

// A link of a game folder's file into blobs/; fails as on a full disk when the tests say so.
bool linkIntoBlobs(int gameFd, const QByteArray& name, int blobsFd, const QByteArray& temporary)
{
    if (g_diskFull) {
        errno = ENOSPC;
        return false;
    }
    return ::linkat(gameFd, name.constData(), blobsFd, temporary.constData(), 0) == 0;
}

bool makeFolder(const QString& path)
{
    return ::mkdir(QFile::encodeName(path).constData(), 0755) == 0 || errno == EEXIST;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    return kvr::writeAll(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
}

thread_local HistoryRecorder* t_active = nullptr;
thread_local HistoryBatch* t_batch = nullptr;

// An entry appears whole or not at all: written beside its name, flushed, then renamed. A change's
// own entry is not flushed: its flushed pending entry stays until the entry is on disk.
bool writeEntryFile(const QString& path, const QByteArray& bytes, bool flushed = true)
{
    const QString temporary =
        QFileInfo(path).absolutePath() + QStringLiteral("/.") + QFileInfo(path).fileName() + QStringLiteral(".tmp");
    const QByteArray local = QFile::encodeName(temporary);
    UniqueFd fd(::open(local.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    bool written = false;
    if (flushed) {
        written = writeDurably(std::move(fd), bytes);
    } else if (fd.isValid() && writeAll(fd.get(), bytes)) {
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

bool matchesAny(const QStringList& patterns, const QString& name)
{
    return std::any_of(patterns.begin(), patterns.end(),
                       [&name](const QString& pattern) { return wildcardMatch(pattern, name); });
}

// A file written back into the game folder: first its bytes go into a new file of the folder, all
// of them set going to disk together; then each is flushed and put in place over whatever has its
// name. A file never placed goes with its NewFile.
bool stageFile(int folderFd, const QByteArray& bytes, const HistoryFile& file, std::unique_ptr<NewFile>& staged)
{
    staged = std::make_unique<NewFile>(folderFd, kGameFolderTempPattern);
    const timespec times[2] = {{file.mtimeSec, file.mtimeNsec}, {file.mtimeSec, file.mtimeNsec}};
    if (!staged->isOpen() || !staged->write(bytes.constData(), size_t(bytes.size())) ||
        ::fchmod(staged->fd(), file.mode & 07777) != 0 || ::futimens(staged->fd(), times) != 0)
        return false;
    staged->startFlush();
    return true;
}

bool placeFile(NewFile& staged, const QByteArray& name)
{
    if (::fdatasync(staged.fd()) != 0)
        return false;
    // The change's own files are gone by now: most names are free, and linked straight in.
    errno = staged.place(name.constData(), Existing::Absent, false);
    return errno == 0;
}

} // namespace

// ---- Entries -----------------------------------------------------------------------------------

qint64 HistoryEntry::keptBytes() const
{
    qint64 total = 0;
    for (const HistoryFile& f : kept)
        total += f.size;
    return total;
}

QByteArray sha256Hex(const QByteArray& bytes)
{
    Sha256 sha;
    sha.add(bytes.constData(), static_cast<size_t>(bytes.size()));
    return sha.hex();
}

bool isPlainName(const QByteArray& name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\0');
}

namespace {

QByteArray headerBytes(const HistoryEntry& e)
{
    QByteArray bytes = kHeader + '\n';
    bytes += "id=" + QByteArray::number(e.id) + '\n';
    bytes += "time=" + QByteArray::number(e.time) + '\n';
    bytes += "kind=" + pct(e.kind) + '\n';
    bytes += "game=" + pct(e.gameFolder) + '\n';
    for (const HistorySlot& s : e.slots)
        bytes += "slot=" + pct(s.slot) + ' ' + pct(s.before) + ' ' + pct(s.after) + '\n';
    for (const QString& p : e.patterns)
        bytes += "pattern=" + pct(p) + '\n';
    if (e.restores)
        bytes += "restores=" + QByteArray::number(e.restores) + '\n';
    return bytes;
}

QByteArray keptLine(const HistoryFile& f)
{
    return "kept=" + f.hash + ' ' + QByteArray::number(f.size) + ' ' + QByteArray::number(f.mode, 8) + ' ' +
           QByteArray::number(f.mtimeSec) + ' ' + QByteArray::number(f.mtimeNsec) + ' ' + pct(f.name) +
           (f.changedBehind ? " changed" : "") + '\n';
}

// A file linked into blobs/ under a temporary name, its hash not known yet.
QByteArray movedLine(const MovedFile& m)
{
    const HistoryFile& f = m.file;
    return "moved=" + m.temporary + ' ' + QByteArray::number(f.size) + ' ' + QByteArray::number(f.mode, 8) + ' ' +
           QByteArray::number(f.mtimeSec) + ' ' + QByteArray::number(f.mtimeNsec) + ' ' + pct(f.name) + '\n';
}

// Puts a moved file's bytes under their hash, or drops the link when the blob is there already
// (`renamed` false: nothing new to flush).
bool settleBlob(int blobsFd, const QByteArray& temporary, const QByteArray& hash, qint64 size, bool* renamed = nullptr)
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

// A pending entry's moved lines as kept ones: each link still there hashed and put under its
// hash. One that is gone was settled, its kept line written before. The names it was to create
// that stand in the game folder now, other than files it kept, as created ones.
QByteArray settlePendingMoves(int blobsFd, const QByteArray& bytes)
{
    QByteArray result;
    QList<QByteArray> creating;
    QSet<QPair<quint64, quint64>> keptFiles;
    UniqueFd game;
    const QList<QByteArray> lines = bytes.split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        if (line.startsWith("game="))
            game.reset(
                ::open(QFile::encodeName(decodedField(line.mid(5))).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (line.startsWith("creating=")) {
            creating.append(QByteArray::fromPercentEncoding(line.mid(9)));
            continue;
        }
        if (!line.startsWith("moved=")) {
            result += line + '\n';
            continue;
        }
        const QList<QByteArray> fields = line.mid(6).split(' ');
        if (fields.size() != 6 || !fields.at(0).startsWith(".in-"))
            continue;
        const UniqueFd fd(::openat(blobsFd, fields.at(0).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        QByteArray hash;
        qint64 size = 0;
        struct stat st
        {
        };
        if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !hashFd(fd.get(), hash, size) ||
            !settleBlob(blobsFd, fields.at(0), hash, size))
            continue;
        keptFiles.insert({quint64(st.st_dev), quint64(st.st_ino)});
        result += "kept=" + hash + ' ' + QByteArray::number(size) + ' ' + fields.at(2) + ' ' + fields.at(3) + ' ' +
                  fields.at(4) + ' ' + fields.at(5) + '\n';
    }
    for (const QByteArray& name : std::as_const(creating)) {
        const UniqueFd fd(game.isValid() && isPlainName(name)
                              ? ::openat(game.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                              : -1);
        struct stat st
        {
        };
        QByteArray hash;
        qint64 size = 0;
        if (fd.isValid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
            !keptFiles.contains({quint64(st.st_dev), quint64(st.st_ino)}) && hashFd(fd.get(), hash, size))
            result += "created=" + hash + ' ' + pct(name) + '\n';
    }
    return result;
}

} // namespace

QByteArray entryBytes(const HistoryEntry& e)
{
    QByteArray bytes = headerBytes(e);
    for (const HistoryFile& f : e.kept)
        bytes += keptLine(f);
    for (const HistoryFile& f : e.created)
        bytes += "created=" + f.hash + ' ' + pct(f.name) + '\n';
    return bytes + "end\n";
}

HistoryEntry parseEntry(const QByteArray& bytes, const QString& gameFolder)
{
    HistoryEntry e;
    const auto damaged = [&e](const QString& why) {
        HistoryEntry d;
        d.id = e.id;
        d.time = e.time;
        d.kind = e.kind;
        d.gameFolder = e.gameFolder;
        d.slots = e.slots;
        d.damage = why;
        return d;
    };
    if (bytes.contains('\0') || bytes.contains('\r'))
        return damaged(QStringLiteral("it holds bytes no entry holds"));
    QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 3 || lines.first() != kHeader || !lines.last().isEmpty() || lines.at(lines.size() - 2) != "end")
        return damaged(QStringLiteral("it is cut short or not an entry"));
    bool haveId = false, haveTime = false, haveKind = false, haveGame = false;
    for (qsizetype i = 1; i + 2 < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            return damaged(QStringLiteral("line %1 does not parse").arg(i + 1));
        const QByteArray key = line.left(eq);
        const QByteArray value = line.mid(eq + 1);
        const QList<QByteArray> fields = value.split(' ');
        const auto bad = [&] { return damaged(QStringLiteral("line %1 does not parse").arg(i + 1)); };
        if (key == "id") {
            if (haveId || !toNumber(value, e.id) || e.id == 0)
                return bad();
            haveId = true;
        } else if (key == "time") {
            if (haveTime || !toNumber(value, e.time))
                return bad();
            haveTime = true;
        } else if (key == "kind") {
            e.kind = decodedField(value);
            if (haveKind || !kKinds.contains(e.kind))
                return bad();
            haveKind = true;
        } else if (key == "game") {
            e.gameFolder = decodedField(value);
            if (haveGame || e.gameFolder.isEmpty())
                return bad();
            haveGame = true;
        } else if (key == "restores") {
            if (e.restores || !toNumber(value, e.restores) || e.restores == 0)
                return bad();
        } else if (key == "slot") {
            if (fields.size() != 3 || fields.at(0).isEmpty())
                return bad();
            e.slots.append({decodedField(fields.at(0)), decodedField(fields.at(1)), decodedField(fields.at(2))});
        } else if (key == "pattern") {
            const QByteArray pattern = QByteArray::fromPercentEncoding(value);
            if (!isPlainName(pattern) || (!pattern.startsWith('P') && !pattern.startsWith('p')))
                return damaged(QStringLiteral("it names files outside a slot: %1").arg(QString::fromUtf8(pattern)));
            e.patterns.append(QString::fromUtf8(pattern));
        } else if (key == "kept" || key == "created") {
            HistoryFile f;
            const bool kept = key == "kept";
            const qsizetype nameField = kept ? 5 : 1;
            if (fields.size() < nameField + 1 || fields.size() > nameField + 2 || !isHash(fields.at(0)))
                return bad();
            f.hash = fields.at(0);
            f.name = QByteArray::fromPercentEncoding(fields.at(nameField));
            if (!isPlainName(f.name))
                return damaged(QStringLiteral("it names a path, not a file of the game folder: %1")
                                   .arg(QString::fromUtf8(f.name)));
            if (kept) {
                qint64 mode = 0;
                if (!toNumber(fields.at(1), f.size) || !toNumber(fields.at(2), mode, 8) || mode > 07777 ||
                    !toNumber(fields.at(3), f.mtimeSec) || !toNumber(fields.at(4), f.mtimeNsec) ||
                    f.mtimeNsec > 999999999)
                    return bad();
                f.mode = static_cast<quint32>(mode);
                if (fields.size() == 7) {
                    if (fields.at(6) != "changed")
                        return bad();
                    f.changedBehind = true;
                }
                e.kept.append(f);
            } else {
                if (fields.size() != 2)
                    return bad();
                e.created.append(f);
            }
        } else {
            return bad();
        }
    }
    if (!haveId || !haveTime || !haveKind || !haveGame)
        return damaged(QStringLiteral("it lacks a line every entry has"));
    if (!gameFolder.isEmpty() && e.gameFolder != gameFolder)
        return damaged(QStringLiteral("it was made in another game folder: %1").arg(e.gameFolder));
    return e;
}

// ---- The store ---------------------------------------------------------------------------------

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

struct EntryFile
{
    qint64 id = 0;
    QString path;
};

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

} // namespace

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

void HistoryStore::removeUnreferencedBlobs(const QList<HistoryEntry>& /*kept*/)
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
        removeUnreferencedBlobs(all);
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
    removeUnreferencedBlobs({});
}

void HistoryStore::finishPending()
{
    const QString entries = m_folder + QStringLiteral("/entries");
    if (!QFileInfo::exists(entries))
        return;
    // Held by another program: the entries wait for the next start.
    UniqueFd lock = lockFolder(m_folder, kStartLockWait);
    if (!lock.isValid()) {
        qCWarning(lcInstall, "history: %s stays locked; pending entries are left for the next start",
                  qUtf8Printable(m_folder));
        return;
    }
    QList<HistoryEntry> redo;
    const UniqueFd blobs(
        ::open(QFile::encodeName(m_folder + QStringLiteral("/blobs")).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const EntryFile& file : entryFiles(entries, ".pending")) {
        // A change under way holds its pending entry locked: only those a kill left are finished.
        const UniqueFd pending(::open(QFile::encodeName(file.path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!pending.isValid() || ::flock(pending.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (entryOnDisk(entries, file.id))
            continue;
        const FileRead read = readRegularFd(pending.get(), kEntryLimit);
        // A line cut by the kill was never relied on: its file was still in the game folder.
        const QByteArray bytes =
            settlePendingMoves(blobs.get(), read.data.left(read.data.lastIndexOf('\n') + 1)) + "end\n";
        if (read.ok() && writeEntryFile(entries + QStringLiteral("/%1.entry").arg(file.id), bytes))
            QFile::remove(file.path);
        qCInfo(lcInstall, "history: finished the entry %lld a kill left pending", file.id);
        const HistoryEntry cut = parseEntry(bytes, QString());
        if (cut.damage.isEmpty() && cut.restores)
            redo.append(cut);
    }
    lock.reset();
    // An undo or restore cut short is carried out again from the top, as a journaled change is.
    for (const HistoryEntry& cut : std::as_const(redo)) {
        const QList<HistoryEntry> all = HistoryStore::entries(cut.gameFolder);
        const auto target =
            std::find_if(all.begin(), all.end(), [&cut](const HistoryEntry& e) { return e.id == cut.restores; });
        try {
            if (target == all.end())
                throw Error(QStringLiteral("the entry it puts back is gone"));
            // As a journaled change at start: a game folder held by another program waits for the next start.
            restoreBefore(m_settingsFile, cut.gameFolder, *target, cut.kind,
                          [](const QString&, const std::function<bool()>& tryLock) {
                              return lockedWithin(kStartLockWait, tryLock);
                          });
        } catch (const Error& e) {
            qCWarning(lcInstall, "history: the %s of entry %lld not finished: %s", qUtf8Printable(cut.kind),
                      cut.restores, qUtf8Printable(e.description()));
        }
    }
}

// ---- Recording a change --------------------------------------------------------------------------

QString FoldedNames::fold(const QByteArray& name)
{
    return QFile::decodeName(name).toCaseFolded();
}

void FoldedNames::append(const QByteArray& name)
{
    m_names.append(name);
    m_folded.insert(fold(name));
}

void FoldedNames::truncate(qsizetype size)
{
    m_names.resize(std::min(size, m_names.size()));
    m_folded.clear();
    for (const QByteArray& name : std::as_const(m_names))
        m_folded.insert(fold(name));
}

// Hashes files on a thread of its own, in the order they are handed to it: what a change linked
// into the history and what its unpack created, while the unpack goes on.
class FileHasher
{
public:
    FileHasher() = default;
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;
    ~FileHasher()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    // The file of this name in the folder, opened when its turn comes; the ticket for result().
    qsizetype add(int folderFd, const QByteArray& name)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_files.push_back({folderFd, name});
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
        m_changed.notify_all();
        return qsizetype(m_files.size()) - 1;
    }

    // Waits for the file's hash and size; an empty hash when it could not be read.
    std::pair<QByteArray, qint64> result(qsizetype ticket)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return qsizetype(m_done) > ticket; });
        const File& f = m_files[size_t(ticket)];
        return {f.hash, f.size};
    }

private:
    struct File
    {
        int folderFd;
        QByteArray name;
        QByteArray hash = {};
        qint64 size = 0;
    };

    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_stopping || m_done < m_files.size(); });
            if (m_stopping)
                return;
            const File file = m_files[m_done]; // the list may grow meanwhile
            lock.unlock();
            QByteArray hash;
            qint64 size = 0;
            const UniqueFd fd(
                ::openat(file.folderFd, file.name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            try {
                if (!fd.isValid() || !hashFd(fd.get(), hash, size))
                    hash.clear();
            } catch (...) {
                hash.clear(); // no SHA-256 or no memory: the file counts as unreadable
            }
            lock.lock();
            m_files[m_done].hash = hash;
            m_files[m_done].size = size;
            ++m_done;
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<File> m_files;
    size_t m_done = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

HistoryRecorder::HistoryRecorder(const QString& settingsFile, const QString& localGameFolder, const QString& kind,
                                 const QList<HistorySlot>& slots, const QStringList& patterns)
    : m_store(settingsFile)
{
    const QString folder = m_store.folder();
    const auto refuse = [&folder](int err) {
        return Error(QStringLiteral("The history folder %1 cannot be written (%2), so nothing was changed in the "
                                    "game folder.")
                         .arg(folder, describeErrno(err)));
    };
    if (!makeFolder(folder) || !makeFolder(folder + QStringLiteral("/blobs")) ||
        !makeFolder(folder + QStringLiteral("/entries")))
        throw refuse(errno);
    m_gameFd.reset(::open(QFile::encodeName(localGameFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_gameFd.isValid())
        throw Error(QStringLiteral("The game folder %1 cannot be used (%2), so nothing was changed in it.")
                        .arg(localGameFolder, describeErrno(errno)));
    m_blobsFd.reset(
        ::open(QFile::encodeName(folder + QStringLiteral("/blobs")).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    m_entry.time = QDateTime::currentMSecsSinceEpoch();
    m_entry.kind = kind;
    m_entry.gameFolder = localGameFolder;
    m_entry.slots = slots;
    m_entry.patterns = patterns;
    // Numbered and created under the history's lock: a start's finishing of pending entries must
    // not take this one for a kill's leftover.
    const UniqueFd lock = lockFolder(folder);
    if (!lock.isValid())
        throw historyInUse(folder);
    const QString entries = folder + QStringLiteral("/entries");
    // Those of committed changes whose entries have reached the disk go in secure().
    qint64 next = 1;
    for (const char* suffix : {".entry", ".pending"})
        for (const EntryFile& f : entryFiles(entries, suffix))
            next = std::max(next, f.id + 1);
    for (;; ++next) {
        m_pendingPath = entries + QStringLiteral("/%1.pending").arg(next);
        m_pendingFd.reset(::open(QFile::encodeName(m_pendingPath).constData(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (m_pendingFd.isValid() || errno != EEXIST)
            break;
    }
    if (!m_blobsFd.isValid() || !m_pendingFd.isValid())
        throw refuse(errno);
    if (!lockExclusiveWithin(m_pendingFd.get(), kHistoryLockWait)) {
        ::unlink(QFile::encodeName(m_pendingPath).constData());
        throw historyInUse(folder);
    }
    m_entry.id = next;
    // Flushed with the first kept file's line: an entry that keeps nothing costs no flush.
    errno = ENOSPC;
    const QByteArray header = headerBytes(m_entry);
    if (::write(m_pendingFd.get(), header.constData(), size_t(header.size())) != header.size()) {
        const int err = errno;
        ::unlink(QFile::encodeName(m_pendingPath).constData());
        throw refuse(err);
    }
    m_previous = std::exchange(t_active, this);
}

HistoryRecorder::~HistoryRecorder()
{
    if (m_flushed.valid())
        m_flushed.wait();
    // A change cut short by an error still leaves what it kept undoable.
    if (!m_committed && m_entry.kept.isEmpty() && m_moved.isEmpty() && m_createdNames.names().isEmpty()) {
        // Nothing was done under it (another instance had finished the change): no entry.
        m_pendingFd.reset();
        ::unlink(QFile::encodeName(m_pendingPath).constData());
    } else if (!m_committed) {
        try {
            commit();
        } catch (...) {
            qCWarning(lcInstall, "history: the entry %lld stays pending until the next start", m_entry.id);
        }
    }
    t_active = m_previous;
}

HistoryRecorder* HistoryRecorder::active()
{
    return t_active;
}

// New blobs' names reach the disk before the entry names them; a change whose files were all
// kept already flushes nothing here.
bool HistoryRecorder::flushBlobs()
{
    if (!m_blobsDirty)
        return true;
    m_blobsDirty = false;
    return ::fsync(m_blobsFd.get()) == 0;
}

void HistoryRecorder::appendLine(const QByteArray& line)
{
    if (!writeWhole(m_pendingFd.get(), line))
        throw Error(QStringLiteral("The history's entry cannot be written (%1): the file stays in the game folder.")
                        .arg(describeErrno(errno)));
}

// Puts the file's bytes under their hash in blobs/: linked where the game folder shares the
// history's file system, else copied and flushed. The blob folder is flushed by the caller.
bool HistoryRecorder::keep(const QByteArray& name, bool* missing)
{
    const UniqueFd fd(::openat(m_gameFd.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st
    {
    };
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (missing)
            *missing = !fd.isValid() && errno == ENOENT;
        return false;
    }
    HistoryFile file;
    file.name = name;
    file.mode = st.st_mode & 07777;
    file.mtimeSec = st.st_mtim.tv_sec;
    file.mtimeNsec = st.st_mtim.tv_nsec;
    if (!hashFd(fd.get(), file.hash, file.size))
        return false;
    struct stat blob
    {
    };
    if (::fstatat(m_blobsFd.get(), file.hash.constData(), &blob, AT_SYMLINK_NOFOLLOW) != 0 ||
        blob.st_size != file.size) {
        const QByteArray temporary = randomName(".in-");
        if (!linkIntoBlobs(m_gameFd.get(), name, m_blobsFd.get(), temporary)) {
            const UniqueFd copy(g_diskFull
                                    ? UniqueFd()
                                    : UniqueFd(::openat(m_blobsFd.get(), temporary.constData(),
                                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)));
            if (!copy.isValid() || !copyFd(fd.get(), copy.get())) {
                const int err = g_diskFull ? ENOSPC : errno;
                ::unlinkat(m_blobsFd.get(), temporary.constData(), 0);
                errno = err;
                return false;
            }
        }
        if (::renameat(m_blobsFd.get(), temporary.constData(), m_blobsFd.get(), file.hash.constData()) != 0) {
            ::unlinkat(m_blobsFd.get(), temporary.constData(), 0);
            return false;
        }
        m_blobsDirty = true;
    }
    m_entry.kept.append(file);
    return true;
}

void HistoryRecorder::removeMatching(const QStringList& patterns, const QList<QByteArray>& alsoNames)
{
    prepare(patterns, alsoNames);
    secure();
    removePrepared();
}

void HistoryRecorder::prepare(const QStringList& patterns, const QList<QByteArray>& alsoNames,
                              const QList<QByteArray>& unpacked)
{
    struct Candidate
    {
        QByteArray name;
        bool regular;
        bool removed; // else the unpack replaces it
        struct stat st;
    };
    QSet<QString> toUnpack, also;
    for (const QByteArray& name : unpacked)
        toUnpack.insert(FoldedNames::fold(name));
    for (const QByteArray& name : alsoNames)
        also.insert(FoldedNames::fold(name));
    QSet<QString> staying; // names of the folder the unpack finds standing
    QList<Candidate> found;
    qint64 bytes = 0;
    {
        // A descriptor of its own: a stream on a duplicate would go on from where the last scan ended.
        const UniqueFd scan(::openat(m_gameFd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        DirStream dir(scan.get());
        while (const dirent* d = dir.next()) {
            const QByteArray name(d->d_name);
            if (name == "." || name == "..")
                continue;
            const QString decoded = QFile::decodeName(name);
            const QString folded = toUnpack.isEmpty() && also.isEmpty() ? QString() : decoded.toCaseFolded();
            const bool matching = matchesAny(patterns, decoded) || also.contains(folded);
            const bool unpackedOver = !toUnpack.isEmpty() && toUnpack.contains(folded);
            if (!matching && !unpackedOver)
                continue;
            struct stat st
            {
            };
            if (::fstatat(m_gameFd.get(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
                continue;
            bool removed = matching;
            struct stat target
            {
            };
            // As the plain delete: a link to a folder stays, a read-only file stays.
            if (S_ISLNK(st.st_mode) && ::fstatat(m_gameFd.get(), d->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode))
                removed = false;
            if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
                removed = false;
            if (!removed && unpackedOver)
                staying.insert(folded);
            // What the unpack replaces other than a regular file is left to it: the hook decides.
            if (!removed && !(unpackedOver && S_ISREG(st.st_mode)))
                continue;
            found.append({name, S_ISREG(st.st_mode), removed, st});
            bytes += S_ISREG(st.st_mode) ? st.st_size : 0;
        }
    }
    m_preparedFrom = {m_entry.kept.size(), m_moved.size(), m_creating.names().size()};
    // The names the unpack will create, noted before: an entry a kill cut short lists them too.
    QByteArray creating;
    for (const QByteArray& name : unpacked) {
        if (staying.contains(FoldedNames::fold(name)) || m_creating.contains(name))
            continue;
        m_creating.append(name);
        creating += "creating=" + pct(name) + '\n';
    }
    if (found.isEmpty() && creating.isEmpty())
        return;
    // Where the history is on another file system the bytes are copied: there must be room first.
    struct stat game
    {
    };
    struct stat history
    {
    };
    struct statvfs fs
    {
    };
    if (::fstat(m_gameFd.get(), &game) == 0 && ::fstat(m_blobsFd.get(), &history) == 0 &&
        game.st_dev != history.st_dev && ::fstatvfs(m_blobsFd.get(), &fs) == 0 &&
        qint64(fs.f_bavail) * qint64(fs.f_frsize) < bytes + (qint64{1} << 20)) {
        dropPrepared();
        throw diskFull(m_store.folder());
    }
    // Safe in the history first, every one; only then removed. The history's lock keeps a prune
    // from taking a blob before this entry names it.
    const UniqueFd lock = lockFolder(m_store.folder());
    if (!lock.isValid()) {
        dropPrepared();
        throw historyInUse(m_store.folder());
    }
    const qsizetype first = m_entry.kept.size();
    QList<QByteArray> removable;
    QList<MovedFile> moved;
    const auto failed = [&](int err) {
        for (const MovedFile& m : std::as_const(moved))
            ::unlinkat(m_blobsFd.get(), m.temporary.constData(), 0);
        dropPrepared();
        return notKept(err, m_store.folder());
    };
    for (const Candidate& c : std::as_const(found)) {
        // On the history's file system a link under a temporary name keeps the bytes: they are
        // hashed while the unpack runs. Elsewhere they are hashed and copied now.
        MovedFile m{randomName(".in-"), {}, !c.removed, quint64(c.st.st_dev), quint64(c.st.st_ino)};
        if (c.regular && linkIntoBlobs(m_gameFd.get(), c.name, m_blobsFd.get(), m.temporary)) {
            m.file.name = c.name;
            m.file.size = c.st.st_size;
            m.file.mode = c.st.st_mode & 07777;
            m.file.mtimeSec = c.st.st_mtim.tv_sec;
            m.file.mtimeNsec = c.st.st_mtim.tv_nsec;
            moved.append(m);
            m_blobsDirty = true;
            if (c.removed)
                removable.append(c.name);
            continue;
        }
        if (c.regular && errno == ENOSPC)
            throw failed(ENOSPC);
        // The unpack's hook keeps a file it replaces when it comes to it.
        if (c.regular && !c.removed)
            continue;
        // A link holds no bytes of the folder: it goes as before.
        if (!c.regular || keep(c.name)) {
            removable.append(c.name);
        } else if (errno == ENOSPC) {
            throw failed(ENOSPC);
        } else {
            qCWarning(lcInstall, "history: %s could not be kept and stays in the game folder", c.name.constData());
        }
    }
    QByteArray lines;
    for (qsizetype i = first; i < m_entry.kept.size(); ++i)
        lines += keptLine(m_entry.kept.at(i));
    for (const MovedFile& m : std::as_const(moved))
        lines += movedLine(m);
    lines += creating;
    if (!writeAll(m_pendingFd.get(), lines))
        throw failed(errno);
    // Flushed on threads while the change writes its journal: the disk takes the three flushes
    // together. secure() waits for them.
    m_flushed = std::async(std::launch::async, [blobs = std::exchange(m_blobsDirty, false) ? m_blobsFd.get() : -1,
                                                pending = m_pendingFd.get()] {
        auto blobsFlushed =
            std::async(std::launch::async, [blobs] { return blobs < 0 || ::fsync(blobs) == 0 ? 0 : errno; });
        const int err = ::fsync(pending) == 0 ? 0 : errno;
        const int blobsErr = blobsFlushed.get();
        return err ? err : blobsErr;
    });
    for (const MovedFile& m : std::as_const(moved)) {
        if (m.awaitingReplace)
            m_awaiting.insert(FoldedNames::fold(m.file.name), m_moved.size());
        m_moved.append(m);
    }
    m_removable.append(removable);
}

void HistoryRecorder::dropPrepared()
{
    for (qsizetype i = m_preparedFrom.moved; i < m_moved.size(); ++i)
        ::unlinkat(m_blobsFd.get(), m_moved.at(i).temporary.constData(), 0);
    m_moved.resize(m_preparedFrom.moved);
    m_awaiting.removeIf([this](const auto& a) { return a.value() >= m_moved.size(); });
    m_entry.kept.resize(m_preparedFrom.kept);
    m_creating.truncate(m_preparedFrom.creating);
    m_removable.clear();
}

void HistoryRecorder::secure()
{
    if (m_flushed.valid()) {
        if (const int err = m_flushed.get()) {
            dropPrepared();
            throw notKept(err, m_store.folder());
        }
        // Hashed while the unpack runs; not before, where reading them slows the journal's flush.
        for (qsizetype i = m_preparedFrom.moved; i < m_moved.size(); ++i)
            m_moved[i].hashTicket = hasher().add(m_blobsFd.get(), m_moved.at(i).temporary);
    }
    // The pending entries of committed changes whose entries have reached the disk since, on a
    // thread: checking costs a flush each, which the change need not wait for.
    if (m_earlierChecked.valid())
        return;
    m_earlierChecked = std::async(std::launch::async, [folder = m_store.folder(), own = m_entry.id] {
        const UniqueFd lock = lockFolder(folder);
        if (!lock.isValid())
            return;
        const QString entries = folder + QStringLiteral("/entries");
        for (const EntryFile& f : entryFiles(entries, ".pending")) {
            if (f.id == own)
                continue;
            const UniqueFd pending(::open(QFile::encodeName(f.path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            if (pending.isValid() && ::flock(pending.get(), LOCK_EX | LOCK_NB) == 0)
                entryOnDisk(entries, f.id);
        }
    });
}

void HistoryRecorder::removePrepared()
{
    for (const QByteArray& name : std::exchange(m_removable, {}))
        if (::unlinkat(m_gameFd.get(), name.constData(), 0) != 0)
            qCWarning(lcInstall, "history: %s kept but not removed: %s", name.constData(), std::strerror(errno));
}

bool HistoryRecorder::confirmLinked(const QByteArray& name)
{
    const auto found = m_awaiting.constFind(FoldedNames::fold(name));
    if (found == m_awaiting.constEnd())
        return false;
    MovedFile& m = m_moved[found.value()];
    struct stat st
    {
    };
    // Still the file linked into the history: its bytes are safe there already.
    if (::fstatat(m_gameFd.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || quint64(st.st_dev) != m.device ||
        quint64(st.st_ino) != m.inode)
        return false;
    m.awaitingReplace = false;
    m_awaiting.erase(found);
    return true;
}

bool HistoryRecorder::keepBeforeReplace(const QByteArray& name)
{
    // A later member of the same name replaces what this change wrote itself: hashed again.
    if (m_createdNames.contains(name)) {
        m_placing = name;
        return true;
    }
    if (confirmLinked(name))
        return true;
    bool missing = false;
    const UniqueFd lock = lockFolder(m_store.folder());
    if (!lock.isValid())
        return false;
    if (!keep(name, &missing))
        return missing;
    try {
        if (!flushBlobs())
            return false;
        appendLine(keptLine(m_entry.kept.last()));
    } catch (const Error&) {
        return false;
    }
    return true;
}

void HistoryRecorder::addSlot(const HistorySlot& slot, const QStringList& patterns)
{
    QByteArray lines = "slot=" + pct(slot.slot) + ' ' + pct(slot.before) + ' ' + pct(slot.after) + '\n';
    for (const QString& p : patterns)
        if (!m_entry.patterns.contains(p))
            lines += "pattern=" + pct(p) + '\n';
    appendLine(lines);
    m_entry.slots.append(slot);
    for (const QString& p : patterns)
        if (!m_entry.patterns.contains(p))
            m_entry.patterns.append(p);
}

FileHasher& HistoryRecorder::hasher()
{
    if (!m_hasher)
        m_hasher = std::make_unique<FileHasher>();
    return *m_hasher;
}

void HistoryRecorder::hashCreatedSoon()
{
    for (const QByteArray& name : m_createdNames.names())
        if (!m_createdTickets.contains(name))
            m_createdTickets.insert(name, hasher().add(m_gameFd.get(), name));
}

void HistoryRecorder::noteCreated(const QByteArray& name)
{
    // A name prepare() did not foresee is noted in the pending entry before the file appears.
    if (!m_creating.contains(name)) {
        // Called from the unpack's hook: nothing may be thrown through the library. Not noted,
        // the file is still found by the slot's patterns or taken for one the change replaced.
        if (!writeWhole(m_pendingFd.get(), "creating=" + pct(name) + '\n'))
            qCWarning(lcInstall, "history: %s not noted before it is created", name.constData());
        m_creating.append(name);
    }
    m_createdNames.append(name);
    m_placing = name;
}

void HistoryRecorder::notePlaced(const QByteArray& name)
{
    if (name == std::exchange(m_placing, {}))
        m_createdTickets.insert(name, hasher().add(m_gameFd.get(), name));
}

void HistoryRecorder::noteWritten(const HistoryFile& file)
{
    m_entry.created.append(file);
}

void HistoryRecorder::setRestores(qint64 id)
{
    m_entry.restores = id;
    appendLine("restores=" + QByteArray::number(id) + '\n');
}

void HistoryRecorder::markChanged(const QByteArray& name)
{
    for (HistoryFile& f : m_entry.kept)
        if (f.name == name)
            f.changedBehind = true;
}

void HistoryRecorder::settleMoved()
{
    const QList<MovedFile> moved = std::exchange(m_moved, {});
    m_awaiting.clear();
    QList<QByteArray> hashes;
    for (const MovedFile& m : moved) {
        Q_ASSERT(m.hashTicket >= 0); // secure() hands every file prepare() linked
        const auto [hash, size] = hasher().result(m.hashTicket);
        hashes.append(size == m.file.size ? hash : QByteArray());
    }
    QByteArray lines;
    QList<HistoryFile> settled;
    for (qsizetype i = 0; i < moved.size(); ++i) {
        HistoryFile f = moved.at(i).file;
        f.hash = hashes.at(i);
        if (moved.at(i).awaitingReplace) {
            // The unpack left it standing: nothing of it to keep.
            ::unlinkat(m_blobsFd.get(), moved.at(i).temporary.constData(), 0);
            hashes[i].clear();
            continue;
        }
        if (f.hash.isEmpty()) {
            // Still under its temporary name; the pending entry's moved line names it.
            qCWarning(lcInstall, "history: %s could not be read back from the history", f.name.constData());
            continue;
        }
        settled.append(f);
        lines += keptLine(f);
    }
    // Named before the links become blobs: a prune meanwhile spares them, a kill leaves them findable.
    if (!settled.isEmpty() && !writeAll(m_pendingFd.get(), lines))
        throw Error(QStringLiteral("The history's entry cannot be written (%1).").arg(describeErrno(errno)));
    for (qsizetype i = 0, s = 0; i < moved.size(); ++i) {
        if (hashes.at(i).isEmpty())
            continue;
        bool renamed = false;
        if (!settleBlob(m_blobsFd.get(), moved.at(i).temporary, hashes.at(i), moved.at(i).file.size, &renamed))
            throw Error(QStringLiteral("The history's entry cannot be written (%1).").arg(describeErrno(errno)));
        m_blobsDirty = m_blobsDirty || renamed;
        m_entry.kept.append(settled.at(s++));
    }
}

void HistoryRecorder::commit()
{
    m_committed = true;
    if (m_earlierChecked.valid())
        m_earlierChecked.wait();
    settleMoved();
    // The blobs' names reach the disk before the entry names them.
    if (!flushBlobs())
        throw Error(QStringLiteral("The history's entry cannot be written (%1).").arg(describeErrno(errno)));
    // The last hash of each created name: a later member of the same name replaced the first.
    hashCreatedSoon();
    const FoldedNames created = std::exchange(m_createdNames, {});
    for (const QByteArray& name : created.names()) {
        HistoryFile f;
        f.name = name;
        std::tie(f.hash, f.size) = hasher().result(m_createdTickets.value(name));
        if (!f.hash.isEmpty())
            m_entry.created.append(f);
    }
    m_createdTickets.clear();
    // The pending entry holds every kept file; it stays until the entry is on disk (the next
    // change or start sees to it), and makes the entry if it never gets there.
    if (!writeEntryFile(m_store.folder() + QStringLiteral("/entries/%1.entry").arg(m_entry.id), entryBytes(m_entry),
                        false))
        throw Error(QStringLiteral("The history's entry cannot be written (%1).").arg(describeErrno(errno)));
    m_pendingFd.reset();
    // Only a history over its cap is read whole.
    if (const qint64 cap = m_store.cap(); m_store.spaceUsed() > cap)
        m_store.prune(cap);
}

namespace {
bool g_historyKept = true;
} // namespace

void setHistoryDiskFull(bool full)
{
    g_diskFull = full;
}

void setHistoryKept(bool on)
{
    g_historyKept = on;
}

bool historyKept()
{
    return g_historyKept;
}

// ---- Several changes as one entry -----------------------------------------------------------------

HistoryBatch::HistoryBatch(const QString& kind) : m_kind(kind), m_previous(std::exchange(t_batch, this)) {}

HistoryBatch::~HistoryBatch()
{
    t_batch = m_previous;
    if (m_recorder) {
        try {
            m_recorder->commit();
        } catch (const Error& e) {
            qCWarning(lcInstall, "history: %s", qUtf8Printable(e.description()));
        }
    }
}

HistoryBatch* HistoryBatch::active()
{
    return t_batch;
}

std::shared_ptr<HistoryRecorder> HistoryBatch::join(const QString& settingsFile, const QString& localGameFolder,
                                                    const HistorySlot& slot, const QStringList& patterns)
{
    if (m_recorder && m_recorder->entry().gameFolder == localGameFolder) {
        m_recorder->addSlot(slot, patterns);
        return m_recorder;
    }
    if (m_recorder)
        return std::make_shared<HistoryRecorder>(settingsFile, localGameFolder, m_kind, QList<HistorySlot>{slot},
                                                 patterns);
    m_recorder =
        std::make_shared<HistoryRecorder>(settingsFile, localGameFolder, m_kind, QList<HistorySlot>{slot}, patterns);
    return m_recorder;
}

// ---- Undo and restore ----------------------------------------------------------------------------

namespace {

ChangeProbe& restoreProbe()
{
    static ChangeProbe probe;
    return probe;
}

void reachRestore(ChangeStep step)
{
    if (const ChangeProbe& probe = restoreProbe())
        probe(step);
}

} // namespace

ChangeProbe setRestoreProbe(ChangeProbe probe)
{
    return std::exchange(restoreProbe(), std::move(probe));
}

void restoreBefore(const QString& settingsFile, const QString& gameFolder, const HistoryEntry& target,
                   const QString& kind, const LockWait& wait)
{
    if (!target.damage.isEmpty())
        throw Error(QStringLiteral("This change cannot be undone: %1.").arg(target.damage));
    const QString local = usableFolder(gameFolder);
    if (local.isEmpty() || local != target.gameFolder)
        throw Error(QStringLiteral("This change was made in the game folder %1, which is not the one in use.")
                        .arg(target.gameFolder));
    // Every kept file is read and checked before anything in the game folder is touched.
    const HistoryStore store(settingsFile);
    QList<QByteArray> contents;
    for (const HistoryFile& f : target.kept) {
        const FileRead read = readRegularFile(store.blobPath(f.hash), f.size + 1, Links::Refuse);
        if (!read.ok() || read.data.size() != f.size || sha256Hex(read.data) != f.hash)
            throw Error(QStringLiteral("This change cannot be undone: the kept bytes of %1 are damaged.")
                            .arg(QFile::decodeName(f.name)));
        contents.append(read.data);
    }
    // The game folder's lock, as every change takes it: never blocking, waiting through `wait`.
    FolderLock lock(local);
    if (!lock.tryLock()) {
        const QString waitingFor =
            QStringLiteral("Another program is using the game folder \"%1\".\nWaiting for it to let go of it...")
                .arg(local);
        const auto tries = [&lock] { return lock.tryLock(); };
        if (!(wait ? wait(waitingFor, tries) : lockedWithin(std::chrono::seconds(10), tries)))
            throw Error(QStringLiteral("The game folder %1 stayed in use by another program, so nothing was changed "
                                       "in it.")
                            .arg(local));
    }
    const UniqueFd folder(::open(QFile::encodeName(local).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isValid())
        throw Error(QStringLiteral("The game folder %1 cannot be used, so nothing was changed in it.").arg(local));

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
    HistoryRecorder recorder(settingsFile, local, kind, slots, target.patterns);
    recorder.setRestores(target.id);
    QList<QByteArray> names;
    for (const HistoryFile& f : target.created)
        names.append(f.name);
    for (const HistoryFile& f : target.kept)
        names.append(f.name);
    recorder.removeMatching(target.patterns, names);
    recorder.settleMoved();
    reachRestore(ChangeStep::Deleted);
    // What the change wrote and someone changed since is kept, and the entry says so.
    QHash<QString, QByteArray> wrote;
    for (const HistoryFile& f : target.created)
        wrote.insert(FoldedNames::fold(f.name), f.hash);
    for (const HistoryFile& now : recorder.entry().kept)
        if (const auto it = wrote.constFind(FoldedNames::fold(now.name));
            it != wrote.constEnd() && it.value() != now.hash)
            recorder.markChanged(now.name);
    std::vector<std::unique_ptr<NewFile>> staged(static_cast<size_t>(target.kept.size()));
    const auto failed = [](const HistoryFile& f) {
        const int err = errno;
        return Error(QStringLiteral("%1 could not be written back into the game folder (%2).")
                         .arg(QFile::decodeName(f.name), describeErrno(err)));
    };
    for (qsizetype i = 0; i < target.kept.size(); ++i)
        if (!stageFile(folder.get(), contents.at(i), target.kept.at(i), staged[size_t(i)]))
            throw failed(target.kept.at(i));
    for (qsizetype i = 0; i < target.kept.size(); ++i) {
        if (!placeFile(*staged[size_t(i)], target.kept.at(i).name))
            throw failed(target.kept.at(i));
        recorder.noteWritten(target.kept.at(i));
    }
    reachRestore(ChangeStep::Unpacked);
    if (!skins.isEmpty() || !neverRecorded.isEmpty())
        (void)writeProfileStrings(settingsFile, SettingsNames::kSkinsSection, skins, neverRecorded);
    reachRestore(ChangeStep::Recorded);
    recorder.commit();
}

} // namespace kvr
