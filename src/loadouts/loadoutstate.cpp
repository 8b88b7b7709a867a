#include "loadouts/loadoutstate.h"

#include "app/fileio.h"
#include "app/toolkit.h"
#include "catalogue/skinpackage.h"
#include "change/slotchange.h"
#include "history/history.h"
#include "settings/profile.h"
#include "settings/settings_names.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace kvr {

namespace {

// Read a piece at a time: a package is never held in memory whole.
constexpr qsizetype kCrcPiece = qsizetype{1} << 20;

QString describe(const PackageId& id)
{
    // Only the CRC's hex digits are upper-case.
    return QStringLiteral("%1 bytes, CRC %2")
        .arg(id.size)
        .arg(QStringLiteral("%1").arg(id.crc, 8, 16, QLatin1Char('0')).toUpper());
}

} // namespace

PackageFolder::PackageFolder(const QString& localFolder) : m_folder(localFolder)
{
    if (localFolder.isEmpty())
        return;
    DirStream dir(localFolder);
    while (const dirent* entry = dir.next()) {
        const QString name = QFile::decodeName(entry->d_name);
        if (!name.endsWith(QStringLiteral(".zip"), Qt::CaseInsensitive))
            continue;
        QString& kept = m_names[name.toCaseFolded()];
        if (kept.isEmpty() || name < kept)
            kept = name;
    }
}

std::optional<PackageFolder::Identified> PackageFolder::stat(const QString& fileName) const
{
    const auto it = m_names.constFind(fileName.toCaseFolded());
    if (it == m_names.constEnd())
        return std::nullopt;
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(m_folder + QLatin1Char('/') + *it).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return Identified{{*it, static_cast<qint64>(st.st_size), 0},
                      static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::optional<PackageId> PackageFolder::find(const QString& fileName) const
{
    const std::optional<Identified> found = stat(fileName);
    return found ? std::optional<PackageId>(found->id) : std::nullopt;
}

std::optional<PackageId> PackageFolder::identify(const QString& fileName, const std::atomic<bool>& cancel)
{
    std::optional<Identified> found = stat(fileName);
    if (!found)
        return std::nullopt;
    if (const auto it = m_identified.constFind(found->id.file);
        it != m_identified.constEnd() && it->id.size == found->id.size && it->modified == found->modified)
        return it->id;
    const std::optional<quint32> crc = fileCrc32(m_folder + QLatin1Char('/') + found->id.file, cancel);
    if (!crc)
        return std::nullopt;
    found->id.crc = *crc;
    m_identified.insert(found->id.file, *found);
    return found->id;
}

namespace {

// The CRC-32 of an open file from its start, read a piece at a time; nothing when it cannot be
// read or the read was cancelled.
std::optional<quint32> crcOfOpenFile(int fd, const std::atomic<bool>& cancel)
{
    QByteArray piece(kCrcPiece, Qt::Uninitialized);
    uLong crc = crc32(0, nullptr, 0);
    for (off_t at = 0;;) {
        if (cancel)
            return std::nullopt;
        const ssize_t n = ::pread(fd, piece.data(), static_cast<size_t>(piece.size()), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return static_cast<quint32>(crc);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(piece.constData()), static_cast<uInt>(n));
        at += n;
    }
}

} // namespace

std::optional<quint32> fileCrc32(const QString& localPath, const std::atomic<bool>& cancel)
{
    const UniqueFd fd(::open(QFile::encodeName(localPath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st
    {
    };
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return crcOfOpenFile(fd.get(), cancel);
}

std::array<QString, kSlotCount> recordedSkins(const QString& settingsFile)
{
    std::array<QString, kSlotCount> skins;
    const FileRead read = readRegularFile(toLocalPath(settingsFile), kProfileFileMax);
    if (!read.ok())
        return skins;
    const ProfileFile file = ProfileFile::parse(read.data);
    for (const Slot& s : slotTable())
        if (const std::optional<QString> v = file.value(SettingsNames::kSkinsSectionAtLoad, s.SlotCode()))
            skins[static_cast<size_t>(s.number - 1)] = profileReadResult(*v);
    return skins;
}

QString statusText(SlotStatus status)
{
    switch (status) {
    case SlotStatus::Same:
        return QStringLiteral("same as now");
    case SlotStatus::WillChange:
        return QStringLiteral("will change");
    case SlotStatus::PackageMissing:
        return QStringLiteral("package missing");
    case SlotStatus::PackageDiffers:
        return QStringLiteral("package differs");
    case SlotStatus::SkinGone:
        return QStringLiteral("recorded skin no longer in the skins folder");
    case SlotStatus::NotUnderstood:
        return QStringLiteral("not understood");
    case SlotStatus::NotInLoadout:
        break;
    }
    return QStringLiteral("not in this loadout");
}

namespace {

// How the CRC of a package whose size matches is taken: now, or for a slot that changes only in
// its own turn, under the game folder's lock (see packageVerifier).
enum class CrcNow { Always, WhenSame };

SlotCheck checkSlot(const LoadoutSlot& slot, const QString& now, PackageFolder& packages,
                    const std::atomic<bool>& cancel, CrcNow crcNow)
{
    if (!slot.problem.isEmpty())
        return {SlotStatus::NotUnderstood, slot.problem};
    if (slot.skin.isEmpty())
        return {SlotStatus::NotInLoadout, {}};
    // Nothing recorded is the game's own skin too.
    if (slot.skin == kDefaultSkin)
        return {now == kDefaultSkin || now.isEmpty() ? SlotStatus::Same : SlotStatus::WillChange, {}};
    const std::optional<PackageId> found = packages.find(slot.package.file);
    if (!found)
        return {now == slot.skin ? SlotStatus::SkinGone : SlotStatus::PackageMissing,
                slot.package.file + QStringLiteral(" is not in the skins folder")};
    if (found->size != slot.package.size)
        return {SlotStatus::PackageDiffers,
                found->file + QStringLiteral(" is %1 bytes, not %2").arg(found->size).arg(slot.package.size)};
    if (crcNow == CrcNow::WhenSame && now != slot.skin)
        return {SlotStatus::WillChange, {}};
    const std::optional<PackageId> id = packages.identify(slot.package.file, cancel);
    if (!id)
        return {SlotStatus::PackageMissing, found->file + QStringLiteral(" cannot be read")};
    if (id->crc != slot.package.crc)
        return {SlotStatus::PackageDiffers, found->file + QStringLiteral(" is ") + describe(*id) +
                                                QStringLiteral(", not ") + describe(slot.package)};
    return {now == slot.skin ? SlotStatus::Same : SlotStatus::WillChange, {}};
}

// The slot's package checked in its own turn, open and under the game folder's lock: its size
// and CRC are the loadout's, or the slot is skipped with the reason.
PackageVerifier packageVerifier(const PackageId& expected, const std::atomic<bool>& cancel)
{
    return [expected, &cancel](int fd) -> QString {
        const auto differs = [&expected](const QString& detail) -> QString {
            return statusText(SlotStatus::PackageDiffers) + QStringLiteral(": ") + expected.file + detail;
        };
        struct stat st
        {
        };
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            return QStringLiteral("The package is not a file.");
        if (st.st_size != expected.size)
            return differs(QStringLiteral(" is %1 bytes, not %2").arg(st.st_size).arg(expected.size));
        const std::optional<quint32> crc = crcOfOpenFile(fd, cancel);
        if (!crc)
            return cancel ? QStringLiteral("cancelled")
                          : statusText(SlotStatus::PackageMissing) + QStringLiteral(": ") + expected.file +
                                QStringLiteral(" cannot be read");
        if (*crc != expected.crc) {
            PackageId found = expected;
            found.crc = *crc;
            return differs(QStringLiteral(" is ") + describe(found) + QStringLiteral(", not ") + describe(expected));
        }
        return QString();
    };
}

} // namespace

LoadoutCheck checkLoadout(const Loadout& loadout, const std::array<QString, kSlotCount>& recorded,
                          PackageFolder& packages, const std::atomic<bool>& cancel)
{
    LoadoutCheck checks;
    for (size_t i = 0; i < checks.size(); ++i)
        checks[i] = checkSlot(loadout.entries[i], recorded[i], packages, cancel, CrcNow::Always);
    return checks;
}

Loadout currentLoadout(const QString& name, const std::array<QString, kSlotCount>& recorded, PackageFolder& packages,
                       const std::atomic<bool>& cancel, QStringList* leftOut)
{
    Loadout loadout;
    loadout.name = name;
    for (const Slot& s : slotTable()) {
        const QString& skin = recorded[static_cast<size_t>(s.number - 1)];
        LoadoutSlot& slot = loadout.entries[static_cast<size_t>(s.number - 1)];
        if (skin.isEmpty() || skin == kDefaultSkin) {
            slot.skin = kDefaultSkin;
            continue;
        }
        const QString file = s.SlotCode() + QLatin1Char('_') + skin + QStringLiteral(".zip");
        std::optional<PackageId> id =
            skinProblem(s.SlotCode(), skin).isEmpty() ? packages.identify(file, cancel) : std::nullopt;
        if (!id) {
            if (leftOut)
                leftOut->append(slotTitle(s) + QStringLiteral(": ") + skin);
            continue;
        }
        slot.skin = skin;
        slot.package = *id;
    }
    return loadout;
}

int ApplyResult::changed() const
{
    return static_cast<int>(std::count_if(outcomes.begin(), outcomes.end(),
                                          [](const SlotOutcome& o) { return o.kind == SlotOutcome::Kind::Changed; }));
}

ApplyResult applyLoadout(const Loadout& loadout, const InstallTarget& target, bool applyAnyway,
                         const std::atomic<bool>& cancel, const ApplyProgress& progress,
                         const std::function<void(const QString& waitingFor)>& waiting)
{
    ApplyResult result;
    const LocalWorkspace where(target);
    PackageFolder packages(where.skinsFolder());
    // A slot that changes has its package's CRC read in its own turn, under the game folder's lock:
    // a cancel never waits for every package to be read first, and what is installed is what was
    // checked.
    const std::array<QString, kSlotCount> recorded = recordedSkins(target.settingsFile);
    LoadoutCheck checks;
    for (size_t i = 0; i < checks.size() && !cancel; ++i)
        checks[i] = checkSlot(loadout.entries[i], recorded[i], packages, cancel, CrcNow::WhenSame);
    if (cancel) {
        result.cancelled = true;
        return result;
    }
    int total = 0;
    for (const SlotCheck& c : checks)
        total += c.status == SlotStatus::WillChange || (applyAnyway && c.status == SlotStatus::PackageDiffers);
    if (progress)
        progress(0, total);
    const LockWait waitForLock = lockWaitUntilCancelled(cancel, waiting);
    // Every slot changed is one entry of the history: one undo takes the whole loadout back, and
    // after a cancel the entry holds the slots that were changed.
    std::optional<HistoryBatch> batch;
    if (total > 0)
        batch.emplace(QStringLiteral("loadout"));
    int done = 0;
    for (const Slot& s : slotTable()) {
        const SlotCheck& check = checks[static_cast<size_t>(s.number - 1)];
        SlotOutcome outcome{s.number, loadout.entries[static_cast<size_t>(s.number - 1)].skin,
                            SlotOutcome::Kind::Skipped, statusText(check.status) + QStringLiteral(": ") + check.detail};
        switch (check.status) {
        case SlotStatus::Same:
        case SlotStatus::NotInLoadout:
            continue;
        case SlotStatus::PackageDiffers:
            if (!applyAnyway)
                break;
            [[fallthrough]];
        case SlotStatus::WillChange:
            if (cancel) {
                result.cancelled = true;
                outcome.kind = SlotOutcome::Kind::NotReached;
                outcome.reason = QStringLiteral("cancelled");
                break;
            }
            outcome.reason.clear();
            try {
                SlotChange change = SlotChange::install(where, s.SlotCode(), outcome.skin);
                const LoadoutSlot& wanted = loadout.entries[static_cast<size_t>(s.number - 1)];
                // Applied anyway, a package is taken as it is.
                if (!applyAnyway && wanted.skin != kDefaultSkin)
                    change.verifyPackage(packageVerifier(wanted.package, cancel));
                switch (change.run(waitForLock)) {
                case SlotChange::Begun::Yes:
                    outcome.kind = SlotOutcome::Kind::Changed;
                    break;
                case SlotChange::Begun::Cancelled:
                    // The history could not keep the slot's files: this slot alone stays.
                    if (!change.problem().isEmpty()) {
                        outcome.reason = change.problem();
                        break;
                    }
                    result.cancelled = true;
                    outcome.kind = SlotOutcome::Kind::NotReached;
                    outcome.reason = QStringLiteral("cancelled");
                    break;
                case SlotChange::Begun::Refused:
                    if (cancel) {
                        result.cancelled = true;
                        outcome.kind = SlotOutcome::Kind::NotReached;
                        outcome.reason = QStringLiteral("cancelled");
                        break;
                    }
                    outcome.reason = change.problem();
                    break;
                }
            } catch (const Error& e) {
                outcome.reason = e.description();
            }
            if (progress)
                progress(++done, total);
            break;
        case SlotStatus::SkinGone:
        case SlotStatus::PackageMissing:
        case SlotStatus::NotUnderstood:
            break;
        }
        result.outcomes.append(outcome);
    }
    return result;
}

QString applySummary(const QString& name, const ApplyResult& result)
{
    QString changed, skipped, notReached;
    for (const SlotOutcome& o : result.outcomes) {
        const QString line = QStringLiteral("\n    ") + slotTitle(slot(o.number)) + QStringLiteral(" ") + o.skin;
        if (o.kind == SlotOutcome::Kind::Changed)
            changed += line;
        else if (o.kind == SlotOutcome::Kind::Skipped)
            skipped += line + QStringLiteral(": ") + o.reason;
        else
            notReached += line;
    }
    QString text = QStringLiteral("Loadout \"%1\": %2 of its slots changed.").arg(name).arg(result.changed());
    if (result.outcomes.isEmpty() && !result.cancelled)
        text = QStringLiteral("Loadout \"%1\": every slot is as the loadout has it already.").arg(name);
    if (!changed.isEmpty())
        text += QStringLiteral("\n\nChanged:") + changed;
    if (!skipped.isEmpty())
        text += QStringLiteral("\n\nSkipped:") + skipped;
    if (result.cancelled)
        text += QStringLiteral("\n\nCancelled") +
                (notReached.isEmpty() ? QStringLiteral(".") : QStringLiteral(", not changed:") + notReached);
    return text;
}

} // namespace kvr
