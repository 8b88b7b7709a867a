// A pack: one file that hands a whole squadron a loadout and the packages it names, with each
// package's picture and note, needing nothing else. A ZIP named <name>.kvrpack whose members are
// stored as they are (packages are compressed already), all at its top level:
//
//   Desert 1941.kvrloadout     the loadout, describing each package the pack holds
//   MOSQ_Sqn105.zip            a package, as the skins folder held it
//   Sqn105.jpg, Sqn105.txt     its picture and note, when it has them
//
// A pack is an archive from a stranger: it is read whole before anything is written, refused
// with the reason when anything in it is out of place, and what it adds goes only into the
// skins folder and the loadouts folder.
#pragma once

#include "loadouts/loadoutstate.h"

#include <QHash>

namespace kvr {

inline const QString kPackExtension = QStringLiteral(".kvrpack");

// `done` of `total` bytes so far; called from the thread doing the work.
using PackProgress = std::function<void(qint64 done, qint64 total)>;

// ---- Writing a pack ------------------------------------------------------------------------

// The slots whose package is missing from the skins folder or differs from the one the loadout
// was saved with, "Caption (CODE): why", for the question asked before a pack is written.
QStringList packDoubts(const Loadout& loadout, const LoadoutCheck& checks);

struct PackWritten
{
    bool written = false;
    bool cancelled = false;
    QString problem;     // why nothing was written, in words for the player
    QStringList leftOut; // "Caption (CODE): skin" of the slots whose package the skins folder lacks
};

// Writes the pack of the loadout at `localTarget` (replacing a file there): every package it
// names as the skins folder holds it now, each with its picture and note, and the loadout
// describing those packages; a slot whose package is missing is left out of the pack. Written
// into an unnamed file that takes its name once whole, so a cancel or a failure leaves no file.
PackWritten writePack(const Loadout& loadout, const QString& localSkinsFolder, const QString& localTarget,
                      const std::atomic<bool>& cancel, const PackProgress& progress = {});

// ---- Reading a pack ------------------------------------------------------------------------

struct PackMember
{
    QString name;      // as stored
    quint64 index = 0; // in the archive
    qint64 size = 0;   // unpacked
    quint32 crc = 0;
};

struct Pack
{
    QString path;    // the pack's local path
    QString problem; // why the pack is refused; "" when it can be used
    Loadout loadout;
    QHash<QString, PackMember> members; // by case-folded name

    bool ok() const { return problem.isEmpty(); }
    const PackMember* member(const QString& name) const;
};

// Reads the pack's directory and its loadout, and refuses it, with the reason, when it is not a
// ZIP, holds folders, "..", absolute names, names other than packages and their pictures and
// notes, no loadout or two, members over the import's caps or packed like a bomb, members that
// share bytes, or a loadout naming a package the pack does not hold.
Pack readPack(const QString& localPath);

// ---- Comparing it with the skins folder ----------------------------------------------------

enum class PackStatus {
    Same,       // the pack's skin is recorded now and its package is the one the player has
    WillChange, // another skin is recorded, and the player has the pack's package
    Added,      // the skins folder has no package of that name yet
    Differs,    // the player has a package of that name with another size or CRC
    NotInPack,  // the pack gives no skin for the slot
};

QString packStatusText(PackStatus status);

struct PackSlot
{
    PackStatus status = PackStatus::NotInPack;
    QString detail;
};
using PackComparison = std::array<PackSlot, kSlotCount>;

PackComparison comparePack(const Pack& pack, const std::array<QString, kSlotCount>& recorded, PackageFolder& packages,
                           const std::atomic<bool>& cancel);

// ---- Adding what it brings -----------------------------------------------------------------

// What becomes of the pack's package when the player has another of the same name: theirs
// always stays.
enum class DifferingPackage {
    AddUnderFreeName, // the pack's is added as "<skin> (2)" and the loadout uses that name
    Skip,             // the pack's is left out; the loadout keeps naming it
};

struct PackAdded
{
    Loadout loadout;      // the pack's, naming the packages under the names they were added as
    QStringList added;    // the package files written
    QStringList notAdded; // "file: why" of those refused or skipped
    bool cancelled = false;
};

// Copies each package the skins folder lacks, with its picture and note, through the import's
// checks (a package the installer would refuse stays out, with the reason). A package of the
// same name the player has is never overwritten. A cancel removes what this call added.
PackAdded addPackPackages(const Pack& pack, const QString& localSkinsFolder, DifferingPackage differing,
                          const std::atomic<bool>& cancel, const PackProgress& progress = {});

} // namespace kvr
