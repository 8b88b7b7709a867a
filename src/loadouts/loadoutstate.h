// A loadout against the state of the program now: the skins recorded in KVRSI.INI and the
// packages of the skins folder. Saving the current skins as a loadout, the status of each slot,
// and applying a loadout.
#pragma once

#include "change/workspace.h"
#include "loadouts/loadoutfile.h"

#include <QHash>

#include <array>
#include <atomic>
#include <functional>
#include <optional>

namespace kvr {

// The packages of one skins folder, listed once into a map of case-folded names; sizes are
// looked up and CRCs computed only for the packages asked about, and each CRC once.
class PackageFolder
{
public:
    PackageFolder() = default;
    // Lists the folder (a usable local folder, or "" for none).
    explicit PackageFolder(const QString& localFolder);

    qsizetype count() const { return m_names.size(); }

    // The package of that name as it stands on disk (name in its own case, size), found without
    // regard to case; nothing when absent or not a regular file.
    std::optional<PackageId> find(const QString& fileName) const;

    // The same with its CRC-32, read in pieces and checked against `cancel` between them;
    // nothing when absent, unreadable or cancelled.
    std::optional<PackageId> identify(const QString& fileName, const std::atomic<bool>& cancel);

private:
    struct Identified
    {
        PackageId id;
        qint64 modified = 0; // nanoseconds: a package replaced by one of the same size is read again
    };
    std::optional<Identified> stat(const QString& fileName) const;

    QString m_folder;
    QHash<QString, QString> m_names; // case-folded name -> name on disk (the first in byte order)
    QHash<QString, Identified> m_identified;
};

// The CRC-32 of a whole file, read a piece at a time; nothing when it cannot be read or the read
// was cancelled.
std::optional<quint32> fileCrc32(const QString& localPath, const std::atomic<bool>& cancel);

// The skin recorded for each slot in the settings file, in slot order; "" where none is.
std::array<QString, kSlotCount> recordedSkins(const QString& settingsFile);

enum class SlotStatus {
    Same,           // the loadout's skin is recorded now and its package is the one described
    WillChange,     // another skin is recorded, and the loadout's package is there
    PackageMissing, // the skins folder has no package of that name
    PackageDiffers, // a package of that name with another size or CRC
    SkinGone,       // the slot is recorded with this skin, whose package the folder no longer has
    NotUnderstood,  // the loadout's lines for the slot cannot be used
    NotInLoadout,   // the loadout gives no skin for the slot: it is left as it is
};

QString statusText(SlotStatus status);

struct SlotCheck
{
    SlotStatus status = SlotStatus::NotInLoadout;
    QString detail; // a few words on why, for the summary and the tooltip
};
using LoadoutCheck = std::array<SlotCheck, kSlotCount>;

LoadoutCheck checkLoadout(const Loadout& loadout, const std::array<QString, kSlotCount>& recorded,
                          PackageFolder& packages, const std::atomic<bool>& cancel);

// The skins recorded now as a loadout: a slot with nothing recorded is "(Default)"; a slot whose
// package the skins folder no longer has is left out and named in `leftOut`.
Loadout currentLoadout(const QString& name, const std::array<QString, kSlotCount>& recorded, PackageFolder& packages,
                       const std::atomic<bool>& cancel, QStringList* leftOut);

// Where an apply installs and records.
using InstallTarget = Workspace;

struct SlotOutcome
{
    enum class Kind { Changed, Skipped, NotReached };
    int number = 0; // the slot's number, 1 to 30
    QString skin;
    Kind kind = Kind::Skipped;
    QString reason; // why it was skipped
};

struct ApplyResult
{
    QList<SlotOutcome> outcomes; // the slots changed, skipped or not reached, in slot order
    bool cancelled = false;
    int changed() const;
};

// `done` of `total` slots changed so far; called before the first change and after each.
using ApplyProgress = std::function<void(int done, int total)>;

// Applies a loadout: checks every slot against the folders as they stand now, then changes each
// slot that differs, in slot order, through the ordinary slot change. A package that is missing
// is skipped, and one that differs unless `applyAnyway`. `cancel` is looked at between slots, so
// every slot changed is changed whole. The one place a loadout is applied. `waiting` hears why
// the apply stands by (another program holding the game folder), and "" once it goes on.
ApplyResult applyLoadout(const Loadout& loadout, const InstallTarget& target, bool applyAnyway,
                         const std::atomic<bool>& cancel, const ApplyProgress& progress,
                         const std::function<void(const QString& waitingFor)>& waiting = {});

// What an apply did, in plain words: the slots changed, those skipped and why, and those a cancel
// left as they were.
QString applySummary(const QString& name, const ApplyResult& result);

} // namespace kvr
