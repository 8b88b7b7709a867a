#include "history/recorder.h"

#include "app/logging.h"
#include "app/newfile.h"
#include "app/toolkit.h"
#include "history/blobcopy.h"
#include "history/folderscan.h"
#include "history/hashing.h"

#include <QDateTime>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace kvr {

namespace {

QByteArray randomName(const char* prefix)
{
    return prefix + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
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

bool g_historyKept = true;

// A file linked into blobs/ under a temporary name, its hash not known yet.
QByteArray movedLine(const MovedFile& m)
{
    const HistoryFile& f = m.file;
    return "moved=" + m.temporary + ' ' + QByteArray::number(f.size) + ' ' + QByteArray::number(f.mode, 8) + ' ' +
           QByteArray::number(f.mtimeSec) + ' ' + QByteArray::number(f.mtimeNsec) + ' ' + entryField(f.name) + '\n';
}

} // namespace

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
    m_entry.gameFolder = canonicalGameFolder(localGameFolder);
    m_entry.slots = slots;
    m_entry.patterns = patterns;
    // Numbered and created under the history's lock: a start's finishing of pending entries must
    // not take this one for a kill's leftover.
    const UniqueFd lock = lockFolder(folder);
    if (!lock.isValid())
        throw historyInUse(folder);
    const QString entries = folder + QStringLiteral("/entries");
    // Those of committed changes whose entries have reached the disk go in secure().
    qint64 next = nextEntryId(entries);
    for (; next > 0 && next <= kMaxEntryId; ++next) {
        m_pendingPath = entries + QStringLiteral("/%1.pending").arg(next);
        m_pendingFd.reset(::open(QFile::encodeName(m_pendingPath).constData(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (m_pendingFd.isValid() || errno != EEXIST)
            break;
    }
    if (!m_blobsFd.isValid() || !m_pendingFd.isValid())
        throw refuse(m_pendingFd.isValid() || next > 0 ? errno : ENOSPC);
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
    activate();
}

void HistoryRecorder::activate()
{
    m_previous = UnpackObserver::setActive(this);
}

HistoryRecorder::~HistoryRecorder()
{
    joinFlushes();
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
    m_earlierChecker.wait();
    UnpackObserver::setActive(m_previous);
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
        // Linked only when the history would be the file's one other name: a file linked
        // elsewhere too is copied, so a write through that link never reaches the kept bytes.
        const QByteArray temporary = randomName(".in-");
        const bool linked = st.st_nlink == 1 && linkIntoBlobs(m_gameFd.get(), name, m_blobsFd.get(), temporary);
        if (!linked && (g_diskFull || !copyIntoBlobs(fd.get(), m_blobsFd.get(), temporary))) {
            if (g_diskFull)
                errno = ENOSPC;
            return false;
        }
        if (::renameat(m_blobsFd.get(), temporary.constData(), m_blobsFd.get(), file.hash.constData()) != 0) {
            ::unlinkat(m_blobsFd.get(), temporary.constData(), 0);
            return false;
        }
        m_blobsDirty = true;
    }
    file.changedBehind = changedBehind(file);
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
    const Scan scan = scanGameFolder(m_gameFd.get(), patterns, foldedSet(alsoNames), foldedSet(unpacked), m_replacing);
    m_preparedFrom = {m_entry.kept.size(), m_moved.size(), m_creating.names().size()};
    // The names the unpack will create, noted before: an entry a kill cut short lists them too.
    QByteArray creating;
    for (const QByteArray& name : unpacked) {
        if (scan.staying.contains(FoldedNames::fold(name)) || m_creating.contains(name))
            continue;
        m_creating.append(name);
        creating += "creating=" + entryField(name) + '\n';
    }
    if (scan.found.isEmpty() && creating.isEmpty())
        return;
    checkRoom(scan.bytes);
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
    try {
        for (const Candidate& c : scan.found)
            keepCandidate(c.name, c.regular, c.removed, c.st, moved, removable);
    } catch (const Error&) {
        for (const MovedFile& m : std::as_const(moved))
            ::unlinkat(m_blobsFd.get(), m.temporary.constData(), 0);
        dropPrepared();
        throw;
    }
    QByteArray lines;
    for (qsizetype i = first; i < m_entry.kept.size(); ++i)
        lines += keptLine(m_entry.kept.at(i));
    for (const MovedFile& m : std::as_const(moved))
        lines += movedLine(m);
    lines += creating;
    if (!writeBytes(m_pendingFd.get(), lines)) {
        const int err = errno;
        for (const MovedFile& m : std::as_const(moved))
            ::unlinkat(m_blobsFd.get(), m.temporary.constData(), 0);
        dropPrepared();
        throw notKept(err, m_store.folder());
    }
    startFlushes();
    for (const MovedFile& m : std::as_const(moved)) {
        if (m.awaitingReplace)
            m_awaiting.insert(FoldedNames::fold(m.file.name), m_moved.size());
        m_moved.append(m);
    }
    m_removable.append(removable);
}

// Where the history is on another file system the bytes are copied: there must be room first.
void HistoryRecorder::checkRoom(qint64 bytes)
{
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
}

void HistoryRecorder::keepCandidate(const QByteArray& name, bool regular, bool removed, const struct stat& st,
                                    QList<MovedFile>& moved, QList<QByteArray>& removable)
{
    // On the history's file system a link under a temporary name keeps the bytes: they are
    // hashed while the unpack runs. A file with links of its own elsewhere is never shared
    // with the history (a write through the other link would change the kept bytes): it is
    // copied now, as on another file system.
    // The change cut short kept (or created) this name already: what stands there now is
    // its own doing, or the very file it kept.
    if (m_carried.contains(FoldedNames::fold(name))) {
        if (removed)
            removable.append(name);
        return;
    }
    MovedFile m{randomName(".in-"), {}, !removed, quint64(st.st_dev), quint64(st.st_ino)};
    if (regular && st.st_nlink == 1) {
        if (linkIntoBlobs(m_gameFd.get(), name, m_blobsFd.get(), m.temporary)) {
            m.file.name = name;
            m.file.size = st.st_size;
            m.file.mode = st.st_mode & 07777;
            m.file.mtimeSec = st.st_mtim.tv_sec;
            m.file.mtimeNsec = st.st_mtim.tv_nsec;
            moved.append(m);
            m_blobsDirty = true;
            if (removed)
                removable.append(name);
            return;
        }
        if (errno == ENOSPC)
            throw notKept(ENOSPC, m_store.folder());
    }
    // The unpack's hook keeps a file it replaces when it comes to it.
    if (regular && !removed)
        return;
    // A link holds no bytes of the folder: it goes as before.
    if (!regular || keep(name)) {
        removable.append(name);
    } else if (errno == ENOSPC) {
        throw notKept(ENOSPC, m_store.folder());
    } else {
        qCWarning(lcInstall, "history: %s could not be kept and stays in the game folder", name.constData());
    }
}

// Flushed beside the change while it writes its journal: the disk takes the three flushes
// together. secure() waits for them.
void HistoryRecorder::startFlushes()
{
    joinFlushes();
    const int blobs = std::exchange(m_blobsDirty, false) ? m_blobsFd.get() : -1;
    m_flushErrors = {0, 0};
    m_flushing = true;
    m_flushers[0] = HelperJob([this, blobs] { m_flushErrors[0] = blobs < 0 || ::fsync(blobs) == 0 ? 0 : errno; });
    m_flushers[1] =
        HelperJob([this, pending = m_pendingFd.get()] { m_flushErrors[1] = ::fsync(pending) == 0 ? 0 : errno; });
}

int HistoryRecorder::joinFlushes()
{
    for (HelperJob& flush : m_flushers)
        flush.wait();
    return m_flushErrors[1] ? m_flushErrors[1] : m_flushErrors[0];
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
    if (std::exchange(m_flushing, false)) {
        if (const int err = joinFlushes()) {
            dropPrepared();
            throw notKept(err, m_store.folder());
        }
        // Hashed while the unpack runs; not before, where reading them slows the journal's flush.
        for (qsizetype i = m_preparedFrom.moved; i < m_moved.size(); ++i)
            m_moved[i].hashTicket = hasher().add(m_blobsFd.get(), m_moved.at(i).temporary);
    }
    // The pending entries of committed changes whose entries have reached the disk since, beside
    // the change: checking costs a flush each, which the change need not wait for.
    if (m_earlierChecker.pending())
        return;
    m_earlierChecker = HelperJob([folder = m_store.folder(), own = m_entry.id] {
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

bool HistoryRecorder::removePrepared(const std::function<void()>& beforeEach)
{
    bool all = true;
    for (const QByteArray& name : std::exchange(m_removable, {})) {
        if (beforeEach)
            beforeEach();
        if (::unlinkat(m_gameFd.get(), name.constData(), 0) == 0) {
            m_removed.append(name);
            continue;
        }
        all = false;
        qCWarning(lcInstall, "history: %s kept but not removed: %s", name.constData(), std::strerror(errno));
    }
    return all;
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
    if (m_carried.contains(FoldedNames::fold(name))) {
        if (m_creating.contains(name)) {
            m_createdNames.append(name);
            m_placing = name;
        }
        return true;
    }
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
    QByteArray lines =
        "slot=" + entryField(slot.slot) + ' ' + entryField(slot.before) + ' ' + entryField(slot.after) + '\n';
    for (const QString& p : patterns)
        if (!m_entry.patterns.contains(p))
            lines += "pattern=" + entryField(p) + '\n';
    appendLine(lines);
    m_entry.slots.append(slot);
    for (const QString& p : patterns)
        if (!m_entry.patterns.contains(p))
            m_entry.patterns.append(p);
}

void HistoryRecorder::dropSlot(const QString& slot, const QStringList& patterns)
{
    m_entry.slots.removeIf([&slot](const HistorySlot& s) { return s.slot == slot; });
    for (const QString& p : patterns)
        m_entry.patterns.removeAll(p);
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
        if (!writeWhole(m_pendingFd.get(), "creating=" + entryField(name) + '\n'))
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

void HistoryRecorder::expectWritten(const QByteArray& name, const QByteArray& hash)
{
    m_expected.insert(FoldedNames::fold(name), hash);
}

bool HistoryRecorder::changedBehind(const HistoryFile& file) const
{
    const QString folded = FoldedNames::fold(file.name);
    const auto expected = m_expected.constFind(folded);
    return m_changedBehind.contains(folded) || (expected != m_expected.constEnd() && expected.value() != file.hash);
}

void HistoryRecorder::markChanged(const QByteArray& name)
{
    m_changedBehind.insert(FoldedNames::fold(name));
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
        f.changedBehind = changedBehind(f);
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
    if (!settled.isEmpty() && !writeBytes(m_pendingFd.get(), lines))
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
    m_earlierChecker.wait();
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
    pruneSoon(m_store.settingsFile());
}

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

} // namespace kvr
