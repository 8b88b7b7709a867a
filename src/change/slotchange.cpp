#include "change/slotchange.h"

#include "app/fileio.h"
#include "app/folderlock.h"
#include "app/guarded.h"
#include "app/logging.h"
#include "app/toolkit.h"
#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "change/workspace.h"
#include "extract/package_check.h"
#include "extract/unzip.h"
#include "history/history.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <utility>

namespace kvr {

namespace {

Guarded<FileServices>& installedServices()
{
    static Guarded<FileServices> services;
    return services;
}

// The open file's /proc entry, which names that file whatever happens to its name.
QString openFilePath(int fd)
{
    return QStringLiteral("/proc/self/fd/%1").arg(fd);
}

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
            m_path = openFilePath(m_fd.get()) + (folder ? QStringLiteral("/") : QString());
    }
    LibraryPath(const LibraryPath&) = delete;
    LibraryPath& operator=(const LibraryPath&) = delete;

    const QString& path() const { return m_path; }

private:
    QString m_path;
    UniqueFd m_fd;
};

} // namespace

FileServices setFileServices(FileServices services)
{
    return installedServices().exchange(std::move(services));
}

// ---- The sequence ------------------------------------------------------------------------------

SlotChange::SlotChange(ChangePlan plan, const QString& settingsFile, PackageRule rule)
    : m_plan(std::move(plan)), m_settingsFile(settingsFile), m_rule(rule)
{
}

SlotChange::SlotChange(SlotChange&&) noexcept = default;
SlotChange::~SlotChange() = default;

SlotChange SlotChange::install(const LocalWorkspace& where, const QString& slotCode, const QString& skin,
                               PackageRule rule)
{
    ChangePlan plan;
    plan.slot = slotCode;
    plan.skin = skin;
    plan.gameFolder = where.gameFolder();
    if (skin != kDefaultSkin && !where.skinsFolder().isEmpty())
        plan.package = localPackagePath(where.skinsFolder(), slotCode, skin);
    return SlotChange(std::move(plan), where.settingsFile(), rule);
}

SlotChange SlotChange::install(const QString& gameFolder, const QString& skinsFolder, const QString& settingsFile,
                               const QString& slotCode, const QString& skin, PackageRule rule)
{
    return install(LocalWorkspace({gameFolder, skinsFolder, settingsFile}), slotCode, skin, rule);
}

SlotChange SlotChange::reset(const LocalWorkspace& where)
{
    // A reset cut short leaves some slots' files deleted while the settings still name their
    // skins, as a cut slot change does: it is journaled and finished the same way.
    ChangePlan plan;
    plan.kind = ChangePlan::Kind::Reset;
    plan.gameFolder = where.gameFolder();
    return SlotChange(std::move(plan), where.settingsFile(), PackageRule::AsChosen);
}

SlotChange SlotChange::reset(const QString& gameFolder, const QString& settingsFile)
{
    return reset(LocalWorkspace({gameFolder, {}, settingsFile}));
}

SlotChange::Begun SlotChange::begin(const LockWait& wait)
{
    // With no usable game folder nothing is deleted or unpacked: the settings write alone
    // needs neither lock nor journal.
    if (m_plan.gameFolder.isEmpty()) {
        m_begun = true;
        return Begun::Yes;
    }
    std::unique_ptr<FolderLock> lock = lockGameFolder(m_plan.gameFolder, wait ? wait : installedLockWait());
    if (!lock) {
        qCInfo(lcInstall, "%s: the game folder stayed locked; nothing changed", qUtf8Printable(m_plan.slot));
        return Begun::Cancelled;
    }
    // Checked under the lock, before the first delete: a package the library would refuse
    // must not cost the slot its files.
    if (!m_plan.package.isEmpty()) {
        if (m_verifier) {
            m_packageFd.reset(::open(QFile::encodeName(findLocalFile(m_plan.package)).constData(),
                                     O_RDONLY | O_CLOEXEC | O_NONBLOCK));
            m_problem = m_packageFd.isValid() ? m_verifier(m_packageFd.get()) : Error::fromErrno(errno).description();
            if (!m_problem.isEmpty()) {
                qCWarning(lcInstall, "%s: %s not installed: %s", qUtf8Printable(m_plan.slot),
                          qUtf8Printable(m_plan.package), qUtf8Printable(m_problem));
                m_packageFd.reset();
                return Begun::Refused;
            }
        }
        const PackageCheck check =
            checkPackage(m_packageFd.isValid() ? openFilePath(m_packageFd.get()) : m_plan.package);
        const bool vanished = check.state == PackageCheck::State::Missing && m_rule == PackageRule::AsChosen;
        if (check.state != PackageCheck::State::Whole && !vanished) {
            m_problem = check.problem;
            qCWarning(lcInstall, "%s: %s not installed: %s", qUtf8Printable(m_plan.slot),
                      qUtf8Printable(m_plan.package), qUtf8Printable(m_problem));
            return Begun::Refused;
        }
        m_unpacked = check.names;
    }
    // A change found in a journal at start may have been finished by another instance while
    // this one waited for the folder.
    if (!m_journal.isEmpty() && !QFileInfo::exists(m_journal))
        return Begun::Cancelled;
    m_lock = std::move(lock);
    // Before the journal: a history that cannot be written stops the change with nothing done.
    if (!startHistory())
        return Begun::Cancelled;
    // What the change removes and replaces goes into the history before the journal, and is
    // flushed after it: the journal's flush carries the history's.
    historyStep([this] {
        if (m_history && !installedServices().get().deleteFiles)
            m_history->prepare(clearedPatterns(), {}, m_unpacked);
    });
    // A start finishing a cut change comes with its journal.
    const bool ownJournal = m_journal.isEmpty();
    if (ownJournal && !m_stopped) {
        m_plan.historyEntry = m_history ? m_history->entry().id : 0;
        m_journal = writeJournal(m_plan, m_settingsFile);
    }
    historyStep([this] {
        if (m_history)
            m_history->secure();
    });
    if (m_stopped) {
        // Nothing changed. A journal of its own would carry the stopped change out at the next
        // start; a start's journal stays for the next one, and no other journal is touched.
        if (ownJournal)
            removeJournal(std::exchange(m_journal, QString()));
        if (m_batched)
            m_history->dropSlot(m_plan.slot, clearedPatterns());
        m_lock.reset();
        return Begun::Cancelled;
    }
    m_begun = true;
    reachStep(ProbedChange::Slot, ChangeStep::Journaled);
    return Begun::Yes;
}

QStringList SlotChange::clearedPatterns() const
{
    if (m_plan.kind == ChangePlan::Kind::Reset)
        return {QStringLiteral("P*.TPC"), QStringLiteral("P*.3DZ")};
    return {QStringLiteral("P") + m_plan.slot + QStringLiteral("*.*")};
}

void SlotChange::deleteFiles()
{
    if (m_begun && !m_plan.gameFolder.isEmpty())
        for (const QString& pattern : clearedPatterns())
            removeFromGameFolder(pattern);
    reachStep(ProbedChange::Slot, ChangeStep::Deleted);
}

void SlotChange::unpack()
{
    if (!m_begun)
        return;
    if (m_plan.gameFolder.isEmpty() || m_plan.package.isEmpty())
        qCInfo(lcInstall, "%s: nothing unpacked, a folder value is not usable", qUtf8Printable(m_plan.slot));
    else
        unpackPackage();
    reachStep(ProbedChange::Slot, ChangeStep::Unpacked);
}

void SlotChange::record(const QString& settingsFile)
{
    if (!m_begun)
        return;
    writeRecord(settingsFile);
    reachStep(ProbedChange::Slot, ChangeStep::Recorded);
    removeFinishedJournal(std::exchange(m_journal, QString()), m_plan, settingsFile);
}

SlotChange::Begun SlotChange::run(const LockWait& wait)
{
    const Begun begun = begin(wait);
    if (begun != Begun::Yes)
        return begun;
    deleteFiles();
    if (m_plan.kind == ChangePlan::Kind::Install && m_plan.skin != kDefaultSkin)
        unpack();
    record(m_settingsFile);
    return begun;
}

// ---- The three places every change of the user's files passes ----------------------------------

bool SlotChange::startHistory()
{
    if (!historyKept())
        return true;
    QList<HistorySlot> slots;
    QString kind;
    if (m_plan.kind == ChangePlan::Kind::Reset) {
        kind = QStringLiteral("reset");
        for (const Slot& s : slotTable())
            slots.append({s.SlotCode(), Modulo::LEEINI(m_settingsFile, SettingsNames::kSkinsSection, s.SlotCode()),
                          kDefaultSkin});
    } else {
        kind = m_plan.skin == kDefaultSkin ? QStringLiteral("default") : QStringLiteral("install");
        slots.append(
            {m_plan.slot, Modulo::LEEINI(m_settingsFile, SettingsNames::kSkinsSection, m_plan.slot), m_plan.skin});
    }
    const QStringList patterns = clearedPatterns();
    // Carried out again at start: the change goes on in the entry it began, so one undo takes
    // back all of it.
    if (!m_journal.isEmpty() && m_plan.historyEntry > 0) {
        try {
            m_history = std::make_shared<HistoryRecorder>(m_settingsFile, m_plan.gameFolder, m_plan.historyEntry);
            return true;
        } catch (const Error& e) {
            qCInfo(lcInstall, "history: %s; the change makes an entry of its own", qUtf8Printable(e.description()));
        }
    }
    try {
        if (HistoryBatch* batch = HistoryBatch::active(); batch && slots.size() == 1) {
            m_history = batch->join(m_settingsFile, m_plan.gameFolder, slots.first(), patterns);
            m_batched = true;
        } else {
            m_history = std::make_shared<HistoryRecorder>(m_settingsFile, m_plan.gameFolder, kind, slots, patterns);
        }
    } catch (const Error& e) {
        // Nothing leaves the game folder unless its bytes can be kept.
        m_lock.reset();
        m_problem = e.description();
        MsgBox(e.description(), vbExclamation);
        return false;
    }
    return true;
}

void SlotChange::historyStep(const std::function<void()>& step)
{
    if (m_stopped)
        return;
    try {
        step();
    } catch (const Error& e) {
        // A history that cannot take the files (a full disk) stops the change before anything
        // is removed.
        m_stopped = true;
        m_problem = e.description();
        MsgBox(e.description(), vbExclamation);
    }
}

void SlotChange::removeFromGameFolder(const QString& pattern) const
{
    if (m_stopped)
        return;
    try {
        if (const auto& service = installedServices().get().deleteFiles) {
            service(m_plan.gameFolder, pattern);
        } else if (m_history) {
            // Into the history instead of nowhere: begin() kept them there.
            m_history->removePrepared();
        } else {
            kvr::deleteFiles(m_plan.gameFolder, pattern);
        }
    } catch (const Error& e) {
        // Nothing matching is the ordinary case of a first installation; anything else is a file
        // that stays (read-only, in use).
        if (e.code() == ENOENT)
            qCInfo(lcInstall, "delete %s/%s: nothing matches", qUtf8Printable(m_plan.gameFolder),
                   qUtf8Printable(pattern));
        else
            qCWarning(lcInstall, "delete %s/%s: %s", qUtf8Printable(m_plan.gameFolder), qUtf8Printable(pattern),
                      qUtf8Printable(e.description()));
    }
}

void SlotChange::unpackPackage() const
{
    // The library hands the history every file it replaces, through the recorder of this thread.
    if (m_stopped)
        return;
    const LibraryPath package(m_plan.package, false);
    const QString packagePath = m_packageFd.isValid() ? openFilePath(m_packageFd.get()) : package.path();
    const LibraryPath target(m_plan.gameFolder, true);
    if (const auto& service = installedServices().get().unzip)
        service(packagePath, target.path());
    else
        Modulo::Unzip(packagePath, target.path());
    // A batch of changes goes on unpacking: its entry hashes what they created at its end.
    if (m_history && !m_batched)
        m_history->hashCreatedSoon();
}

void SlotChange::writeRecord(const QString& settingsFile) const
{
    if (m_stopped)
        return;
    if (m_plan.kind == ChangePlan::Kind::Install) {
        Modulo::GRABAINI(settingsFile, SettingsNames::kSkinsSection, m_plan.slot, m_plan.skin);
    } else {
        // All 30 codes in slot order, in one replace of the file: a reset is recorded whole.
        QList<ProfileEntry> defaults;
        for (const Slot& s : slotTable())
            defaults.append({s.SlotCode(), kDefaultSkin});
        Modulo::GRABAINI(settingsFile, SettingsNames::kSkinsSection, defaults);
    }
    // The entry after the record, before the journal goes: a kill between them redoes the change,
    // whose own entry then keeps what is left.
    if (m_history && !m_batched) {
        try {
            m_history->commit();
        } catch (const Error& e) {
            qCWarning(lcInstall, "history: %s", qUtf8Printable(e.description()));
        }
    }
}

// ---- Whole changes ---------------------------------------------------------------------------

SlotChange::Begun changeSlot(const QString& gameFolder, const QString& skinsFolder, const QString& settingsFile,
                             const QString& slotCode, const QString& skin, PackageRule rule)
{
    return SlotChange::install(gameFolder, skinsFolder, settingsFile, slotCode, skin, rule).run();
}

SlotChange::Begun resetSlots(const QString& gameFolder, const QString& settingsFile)
{
    return SlotChange::reset(gameFolder, settingsFile).run();
}

} // namespace kvr
