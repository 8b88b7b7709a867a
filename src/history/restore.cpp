#include "history/restore.h"

#include "app/fileio.h"
#include "app/newfile.h"
#include "app/toolkit.h"
#include "history/hashing.h"
#include "history/recorder.h"
#include "installer/folderlock.h"
#include "settings/modulo_ini.h"
#include "settings/profile.h"
#include "settings/settings_names.h"

#include <QFile>
#include <QHash>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kvr {

namespace {

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
