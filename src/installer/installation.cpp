#include "installer/installation.h"

#include "app/fileio.h"
#include "app/logging.h"
#include "app/toolkit.h"
#include "extract/unzip.h"
#include "history/history.h"
#include "installer/skinpackage.h"
#include "installer/slots.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kvr {

// What a change does, as its journal records it. The game folder is already the usable local
// folder (or "" when the value was not usable); the package is "" when nothing is unpacked.
struct ChangePlan
{
    enum class Kind { Install, Reset };
    Kind kind = Kind::Install;
    QString slot;
    QString skin;
    QString package;
    QString gameFolder;
    QString journal; // the journal's path while there is one
    QString settingsFile;
    // The history entry the change makes; present while the change holds the game folder.
    std::shared_ptr<HistoryRecorder> history;
    bool refused = false;
    bool batched = false; // one of several changes of one entry, committed by the batch
};

namespace {

// Set while a change whose history could not be started holds the game folder: it removes,
// unpacks and records nothing.
thread_local bool t_changeRefused = false;

FileServices& installedServices()
{
    static FileServices services;
    return services;
}

ChangeProbe& installedProbe()
{
    static ChangeProbe probe;
    return probe;
}

void reach(ChangeStep step)
{
    if (const ChangeProbe& probe = installedProbe())
        probe(step);
}

// Under a change with a history, the files go there instead of nowhere. A history that cannot
// take them (a full disk) stops the change before anything is removed.
void keepAndRemove(HistoryRecorder& history, const QString& pattern)
{
    try {
        history.removeMatching({pattern});
    } catch (const Error& e) {
        t_changeRefused = true;
        MsgBox(e.description(), vbExclamation);
    }
}

void deleteMatching(const QString& localFolder, const QString& pattern)
{
    if (t_changeRefused)
        return;
    try {
        HistoryRecorder* history = HistoryRecorder::active();
        if (const auto& service = installedServices().deleteFiles)
            service(localFolder, pattern);
        else if (history && history->entry().gameFolder == localFolder)
            keepAndRemove(*history, pattern);
        else
            deleteFiles(localFolder, pattern);
    } catch (const Error& e) {
        // Nothing matching is the ordinary case of a first installation; anything else is a file
        // that stays (read-only, in use).
        if (e.description() == Error::fromErrno(ENOENT).description())
            qCInfo(lcInstall, "delete %s/%s: nothing matches", qUtf8Printable(localFolder), qUtf8Printable(pattern));
        else
            qCWarning(lcInstall, "delete %s/%s: %s", qUtf8Printable(localFolder), qUtf8Printable(pattern),
                      qUtf8Printable(e.description()));
    }
}

void unzip(const QString& package, const QString& target)
{
    if (const auto& service = installedServices().unzip)
        service(package, target);
    else
        Modulo::Unzip(package, target);
}

QString usableGameFolder(const QString& value)
{
    QString folder = usableFolder(value);
    if (folder.isEmpty())
        qCInfo(lcInstall, "game folder \"%s\" is not usable: nothing is deleted or unpacked", qUtf8Printable(value));
    return folder;
}

// ---- The library's paths ---------------------------------------------------------------------

// The extraction library reads every '\' as '/'. A path that holds one (a folder whose own name
// has it) is handed over as the open file's /proc entry, which names the same file whatever the
// library does to it. A package name is found without regard to case, as the library would.
class LibraryPath
{
public:
    LibraryPath(const QString& localPath, bool folder)
    {
        m_path = localPath + (folder ? QStringLiteral("/") : QString());
        if (!localPath.contains(QLatin1Char('\\')))
            return;
        const QString found = folder ? localPath : findLocalFile(localPath);
        m_fd.reset(::open(QFile::encodeName(found).constData(),
                          O_RDONLY | O_CLOEXEC | O_NONBLOCK | (folder ? O_DIRECTORY : 0)));
        if (m_fd.isValid())
            m_path = QStringLiteral("/proc/self/fd/%1").arg(m_fd.get()) + (folder ? QStringLiteral("/") : QString());
    }
    LibraryPath(const LibraryPath&) = delete;
    LibraryPath& operator=(const LibraryPath&) = delete;

    const QString& path() const { return m_path; }

private:
    QString m_path;
    UniqueFd m_fd;
};

// ---- The journal ------------------------------------------------------------------------------

const QByteArray kJournalHeader = "KVRSI journal 1";

QString settingsLocal(const QString& settingsFile)
{
    return toLocalPath(settingsFile);
}

QString journalPrefix(const QString& settingsFile)
{
    return QFileInfo(settingsLocal(settingsFile)).fileName() + QStringLiteral(".journal-");
}

QByteArray journalBytes(const ChangePlan& plan)
{
    QByteArray bytes = kJournalHeader + '\n';
    const auto line = [&bytes](const char* key, const QString& value) {
        bytes += key + QByteArray("=") + value.toUtf8().toPercentEncoding() + '\n';
    };
    line("kind", plan.kind == ChangePlan::Kind::Reset ? QStringLiteral("reset") : QStringLiteral("install"));
    line("slot", plan.slot);
    line("skin", plan.skin);
    line("package", plan.package);
    line("game", plan.gameFolder);
    // A journal cut short by a kill lacks this line and is not taken for a whole one.
    bytes += "end\n";
    return bytes;
}

std::optional<ChangePlan> parseJournal(const QByteArray& bytes)
{
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 3 || lines.first() != kJournalHeader || lines.at(lines.size() - 2) != "end" ||
        !lines.last().isEmpty())
        return std::nullopt;
    ChangePlan plan;
    QString kind;
    for (qsizetype i = 1; i + 2 < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            return std::nullopt;
        const QByteArray key = line.left(eq);
        const QString value = QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(eq + 1)));
        if (key == "kind")
            kind = value;
        else if (key == "slot")
            plan.slot = value;
        else if (key == "skin")
            plan.skin = value;
        else if (key == "package")
            plan.package = value;
        else if (key == "game")
            plan.gameFolder = value;
    }
    if (kind == QStringLiteral("reset"))
        plan.kind = ChangePlan::Kind::Reset;
    else if (kind != QStringLiteral("install") || plan.slot.isEmpty())
        return std::nullopt;
    return plan;
}

// Written whole and flushed before the first delete. A journal that cannot be written (a
// read-only program folder, where the settings cannot be written either) does not stop the change.
QString writeJournal(const ChangePlan& plan, const QString& settingsFile)
{
    const QString folder = QFileInfo(settingsLocal(settingsFile)).absolutePath();
    const QByteArray bytes = journalBytes(plan);
    // Written into an unnamed file and then linked in, a journal appears whole or not at all, so
    // another instance starting meanwhile never takes half of one for a broken one. Where the file
    // system has no unnamed files it is made under its name.
    UniqueFd unnamed(::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
    if (unnamed.isValid() && !writeWhole(unnamed.get(), bytes))
        unnamed.reset();
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString path = folder + QLatin1Char('/') + journalPrefix(settingsFile) +
                       QString::number(QRandomGenerator::global()->generate(), 16);
        const QByteArray local = QFile::encodeName(path);
        if (unnamed.isValid()) {
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(unnamed.get());
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, local.constData(), AT_SYMLINK_FOLLOW) == 0)
                return path;
            if (errno == EEXIST)
                continue;
            unnamed.reset();
        }
        const int fd = ::open(local.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            break;
        if (writeDurably(UniqueFd(fd), bytes))
            return path;
        ::unlink(local.constData());
        break;
    }
    qCWarning(lcInstall, "no journal written beside %s: an interruption now would not be finished at start",
              qUtf8Printable(settingsFile));
    return {};
}

void removeJournal(ChangePlan& plan)
{
    if (!plan.journal.isEmpty())
        ::unlink(QFile::encodeName(plan.journal).constData());
    plan.journal.clear();
}

// ---- Leftovers --------------------------------------------------------------------------------

// Removes the regular files of a folder whose names match; links and folders stay.
void removeMatching(int folderFd, const QRegularExpression& names)
{
    DirStream dir(folderFd);
    while (const dirent* entry = dir.next()) {
        if (!names.match(QFile::decodeName(entry->d_name)).hasMatch())
            continue;
        struct stat st
        {
        };
        if (::fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            ::unlinkat(folderFd, entry->d_name, 0) == 0)
            qCInfo(lcInstall, "removed the leftover %s", entry->d_name);
    }
}

} // namespace

// The game folder's lock: flock on the folder itself, so nothing is made in it. Taken, the
// extraction library's temporary files left there by an interrupted change are removed.
class FolderLock
{
public:
    explicit FolderLock(const QString& localFolder)
    {
        m_fd.reset(::open(QFile::encodeName(localFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_fd.isValid())
            return;
        lockExclusive(m_fd.get());
        static const QRegularExpression leftovers(QStringLiteral("^\\.unzip32-[0-9a-f]{8}-[0-9]+\\.tmp$"));
        removeMatching(m_fd.get(), leftovers);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    UniqueFd m_fd;
};

FileServices setFileServices(FileServices services)
{
    return std::exchange(installedServices(), std::move(services));
}

ChangeProbe setChangeProbe(ChangeProbe probe)
{
    return std::exchange(installedProbe(), std::move(probe));
}

void deleteSlotFiles(const QString& gameFolder, const QString& slotCode)
{
    const QString folder = usableGameFolder(gameFolder);
    if (!folder.isEmpty())
        deleteMatching(folder, QStringLiteral("P") + slotCode + QStringLiteral("*.*"));
    reach(ChangeStep::Deleted);
}

namespace {

// The entry of the change: the slots it touches with their skins before and after, and the files
// it clears.
void startHistory(ChangePlan& plan, const QString& settingsFile)
{
    plan.settingsFile = settingsFile;
    if (!historyKept())
        return;
    QList<HistorySlot> slots;
    QStringList patterns;
    QString kind;
    if (plan.kind == ChangePlan::Kind::Reset) {
        kind = QStringLiteral("reset");
        for (const Slot& s : slotTable())
            slots.append(
                {s.SlotCode(), Modulo::LEEINI(settingsFile, SettingsNames::kSkinsSection, s.SlotCode()), kDefaultSkin});
        patterns = {QStringLiteral("P*.TPC"), QStringLiteral("P*.3DZ")};
    } else {
        kind = plan.skin == kDefaultSkin ? QStringLiteral("default") : QStringLiteral("install");
        slots.append({plan.slot, Modulo::LEEINI(settingsFile, SettingsNames::kSkinsSection, plan.slot), plan.skin});
        patterns = {QStringLiteral("P") + plan.slot + QStringLiteral("*.*")};
    }
    try {
        if (HistoryBatch* batch = HistoryBatch::active(); batch && slots.size() == 1) {
            plan.history = batch->join(settingsFile, plan.gameFolder, slots.first(), patterns);
            plan.batched = true;
        } else {
            plan.history = std::make_shared<HistoryRecorder>(settingsFile, plan.gameFolder, kind, slots, patterns);
        }
    } catch (const Error& e) {
        // Nothing leaves the game folder unless its bytes can be kept: the change stops here.
        plan.refused = true;
        t_changeRefused = true;
        MsgBox(e.description(), vbExclamation);
    }
}

void commitHistory(ChangePlan& plan)
{
    if (plan.history && !plan.batched) {
        plan.history->commit();
        plan.history.reset();
    }
}

// Takes the game folder's lock and writes the journal before the first delete. With no usable
// game folder nothing is deleted or unpacked, and the settings write alone needs neither.
std::unique_ptr<FolderLock> beginChange(ChangePlan& plan, const QString& settingsFile)
{
    if (plan.gameFolder.isEmpty())
        return nullptr;
    auto lock = std::make_unique<FolderLock>(plan.gameFolder);
    // Before the journal: a history that cannot be written stops the change with nothing done.
    startHistory(plan, settingsFile);
    if (plan.refused)
        return lock;
    plan.journal = writeJournal(plan, settingsFile);
    reach(ChangeStep::Journaled);
    return lock;
}

// A change found in a journal at start takes the lock again, in the folder where it began.
std::unique_ptr<FolderLock> resumeChange(ChangePlan& plan, const QString& journal)
{
    plan.journal = journal;
    plan.gameFolder = usableGameFolder(plan.gameFolder);
    if (plan.gameFolder.isEmpty())
        return nullptr;
    auto lock = std::make_unique<FolderLock>(plan.gameFolder);
    startHistory(plan, plan.settingsFile);
    return lock;
}

} // namespace

// ---- SlotChange -------------------------------------------------------------------------------

SlotChange::SlotChange(const QString& gameFolder, const QString& skinsFolder, const QString& settingsFile,
                       const QString& slotCode, const QString& skin)
    : m_plan(std::make_unique<ChangePlan>())
{
    m_plan->slot = slotCode;
    m_plan->skin = skin;
    m_plan->gameFolder = usableGameFolder(gameFolder);
    const QString skins = usableFolder(skinsFolder);
    if (skin != kDefaultSkin && !skins.isEmpty())
        m_plan->package = skins + QLatin1Char('/') + slotCode + QLatin1Char('_') + skin + QStringLiteral(".ZIP");
    m_lock = beginChange(*m_plan, settingsFile);
}

SlotChange::SlotChange(std::unique_ptr<ChangePlan> plan, const QString& journal)
    : m_plan(std::move(plan)), m_lock(resumeChange(*m_plan, journal))
{
}

SlotChange::~SlotChange()
{
    // A change stopped for its history did nothing: there is nothing to finish at start.
    if (t_changeRefused)
        removeJournal(*m_plan);
    t_changeRefused = false;
}

void SlotChange::unpack() const
{
    if (t_changeRefused)
        return;
    if (m_plan->gameFolder.isEmpty() || m_plan->package.isEmpty()) {
        qCInfo(lcInstall, "%s: nothing unpacked, a folder value is not usable", qUtf8Printable(m_plan->slot));
    } else {
        const LibraryPath package(m_plan->package, false);
        const LibraryPath target(m_plan->gameFolder, true);
        unzip(package.path(), target.path());
    }
    reach(ChangeStep::Unpacked);
}

void SlotChange::record(const QString& settingsFile) const
{
    if (t_changeRefused)
        return;
    Modulo::GRABAINI(settingsFile, SettingsNames::kSkinsSection, m_plan->slot, m_plan->skin);
    commitHistory(*m_plan);
    reach(ChangeStep::Recorded);
    removeJournal(*m_plan);
}

// ---- SlotReset --------------------------------------------------------------------------------

SlotReset::SlotReset(const QString& gameFolder, const QString& settingsFile) : m_plan(std::make_unique<ChangePlan>())
{
    m_plan->kind = ChangePlan::Kind::Reset;
    m_plan->slot = QStringLiteral("*");
    m_plan->gameFolder = usableGameFolder(gameFolder);
    // A reset cut short leaves some slots' files deleted while the settings still name their
    // skins, as a cut slot change does: it is journaled and finished the same way.
    m_lock = beginChange(*m_plan, settingsFile);
}

SlotReset::SlotReset(std::unique_ptr<ChangePlan> plan, const QString& journal)
    : m_plan(std::move(plan)), m_lock(resumeChange(*m_plan, journal))
{
}

SlotReset::~SlotReset()
{
    // A change stopped for its history did nothing: there is nothing to finish at start.
    if (t_changeRefused)
        removeJournal(*m_plan);
    t_changeRefused = false;
}

void SlotReset::deleteSkinFiles() const
{
    if (!m_plan->gameFolder.isEmpty()) {
        deleteMatching(m_plan->gameFolder, QStringLiteral("P*.TPC"));
        deleteMatching(m_plan->gameFolder, QStringLiteral("P*.3DZ"));
    }
    reach(ChangeStep::Deleted);
}

void SlotReset::record(const QString& settingsFile) const
{
    // All 30 codes in slot order, in one replace of the file: a reset is recorded whole.
    if (t_changeRefused)
        return;
    QList<ProfileEntry> defaults;
    for (const Slot& s : slotTable())
        defaults.append({s.SlotCode(), kDefaultSkin});
    Modulo::GRABAINI(settingsFile, SettingsNames::kSkinsSection, defaults);
    commitHistory(*m_plan);
    reach(ChangeStep::Recorded);
    removeJournal(*m_plan);
}

// ---- Whole changes ----------------------------------------------------------------------------

void changeSlot(const QString& gameFolder, const QString& skinsFolder, const QString& settingsFile,
                const QString& slotCode, const QString& skin)
{
    const SlotChange change(gameFolder, skinsFolder, settingsFile, slotCode, skin);
    deleteSlotFiles(gameFolder, slotCode);
    if (skin != kDefaultSkin)
        change.unpack();
    change.record(settingsFile);
}

void resetSlots(const QString& gameFolder, const QString& settingsFile)
{
    const SlotReset reset(gameFolder, settingsFile);
    reset.deleteSkinFiles();
    reset.record(settingsFile);
}

namespace {

// A temporary file of a settings write is live only while its writer holds the settings file's
// lock; under that lock every one left beside the file is stale.
void removeStaleSettingsTemporaries(const QString& settingsFile)
{
    QString local = settingsLocal(settingsFile);
    if (const QFileInfo link(local); link.isSymLink() && link.exists())
        local = link.canonicalFilePath();
    const QFileInfo info(local);
    const UniqueFd fd(::open(QFile::encodeName(local).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    struct stat st
    {
    };
    if (fd.isValid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode))
        lockExclusive(fd.get());
    const UniqueFd folderFd(
        ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.isValid()) {
        const QRegularExpression temporaries(QStringLiteral("^") + QRegularExpression::escape(info.fileName()) +
                                             QStringLiteral("\\.tmp[0-9a-f]+$"));
        removeMatching(folderFd.get(), temporaries);
    }
}

} // namespace

void finishInterruptedChanges(const QString& settingsFile)
{
    removeStaleSettingsTemporaries(settingsFile);

    const QFileInfo settings(settingsLocal(settingsFile));
    const QStringList journals =
        QDir(settings.absolutePath())
            .entryList({journalPrefix(settingsFile) + QStringLiteral("*")}, QDir::Files | QDir::Hidden, QDir::Name);
    // Entries a kill left pending first, so the redone changes come after them.
    HistoryStore(settingsFile).finishPending();
    if (journals.isEmpty())
        return;
    // Finished silently: the one message an unpacking can show goes to the diagnostics instead.
    struct QuietMessages
    {
        MsgBoxHandler previous = setMsgBoxHandler([](const QString& prompt, int, const QString&) {
            qCWarning(lcInstall, "while finishing an interrupted change: %s", qUtf8Printable(prompt));
            return int(vbOK);
        });
        ~QuietMessages() { setMsgBoxHandler(std::move(previous)); }
    } quiet;
    for (const QString& name : journals) {
        const QString journal = settings.absolutePath() + QLatin1Char('/') + name;
        const FileRead read = readRegularFile(journal, qint64{64} * 1024);
        const std::optional<ChangePlan> plan = read.ok() ? parseJournal(read.data) : std::nullopt;
        if (!plan) {
            qCWarning(lcInstall, "removed the unreadable journal %s", qUtf8Printable(journal));
            QFile::remove(journal);
            continue;
        }
        auto resumed = std::make_unique<ChangePlan>(*plan);
        resumed->settingsFile = settingsFile;
        qCInfo(lcInstall, "finishing an interrupted %s of %s (%s) in \"%s\"",
               plan->kind == ChangePlan::Kind::Reset ? "reset" : "slot change", qUtf8Printable(plan->slot),
               qUtf8Printable(plan->skin), qUtf8Printable(plan->gameFolder));
        // A history that cannot be written leaves the journal for a later start: nothing is removed.
        try {
            if (plan->kind == ChangePlan::Kind::Reset) {
                const SlotReset reset(std::move(resumed), journal);
                // Another instance may have finished it while this one waited for the folder.
                if (QFileInfo::exists(journal)) {
                    reset.deleteSkinFiles();
                    reset.record(settingsFile);
                }
            } else {
                const SlotChange change(std::move(resumed), journal);
                if (QFileInfo::exists(journal)) {
                    deleteSlotFiles(plan->gameFolder, plan->slot);
                    if (plan->skin != kDefaultSkin)
                        change.unpack();
                    change.record(settingsFile);
                }
            }
        } catch (const Error& e) {
            qCWarning(lcInstall, "not finished: %s", qUtf8Printable(e.description()));
        }
    }
}

} // namespace kvr
