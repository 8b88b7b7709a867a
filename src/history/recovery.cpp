#include "history/recovery.h"

#include "app/fileio.h"
#include "app/logging.h"
#include "app/toolkit.h"
#include "history/hashing.h"
#include "history/restore.h"
#include "history/store.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {

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
            result += "created=" + hash + ' ' + entryField(name) + '\n';
    }
    return result;
}

} // namespace

void finishPendingEntries(const HistoryStore& store)
{
    const QString folder = store.folder();
    const QString entries = folder + QStringLiteral("/entries");
    if (!QFileInfo::exists(entries))
        return;
    // Held by another program: the entries wait for the next start.
    UniqueFd lock = lockFolder(folder, kStartLockWait);
    if (!lock.isValid()) {
        qCWarning(lcInstall, "history: %s stays locked; pending entries are left for the next start",
                  qUtf8Printable(folder));
        return;
    }
    QList<HistoryEntry> redo;
    const UniqueFd blobs(
        ::open(QFile::encodeName(folder + QStringLiteral("/blobs")).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
        const QList<HistoryEntry> all = store.entries(cut.gameFolder);
        const auto target =
            std::find_if(all.begin(), all.end(), [&cut](const HistoryEntry& e) { return e.id == cut.restores; });
        try {
            if (target == all.end())
                throw Error(QStringLiteral("the entry it puts back is gone"));
            // As a journaled change at start: a game folder held by another program waits for the next start.
            restoreBefore(store.settingsFile(), cut.gameFolder, *target, cut.kind,
                          [](const QString&, const std::function<bool()>& tryLock) {
                              return lockedWithin(kStartLockWait, tryLock);
                          });
        } catch (const Error& e) {
            qCWarning(lcInstall, "history: the %s of entry %lld not finished: %s", qUtf8Printable(cut.kind),
                      cut.restores, qUtf8Printable(e.description()));
        }
    }
}

} // namespace kvr
