// A loadout: a name and, for each of the 30 slots, the skin recorded for it with the package's
// file name, size and CRC-32, so that a receiver can tell the same package from another of the
// same name. Kept as one file per loadout, <name>.kvrloadout, in a `loadouts` folder beside
// KVRSI.INI, in the profile format a player can read and edit by hand:
//
//   [Loadout]
//   Name=Desert 1941
//   [Skins]
//   HURR=(Default)
//   MOSQ=Sqn105
//   [Packages]
//   MOSQ=MOSQ_Sqn105.zip|4194304|1A2B3C4D
//   [Sources]
//   MOSQ=https://example.org/sqn105
#pragma once

#include "catalogue/slots.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>

namespace kvr {

inline const QString kLoadoutExtension = QStringLiteral(".kvrloadout");

// A loadout file is small; anything larger is read only this far.
inline constexpr qint64 kLoadoutFileMax = qint64{1024} * 1024;

struct PackageId
{
    QString file; // the package's file name in the skins folder
    qint64 size = -1;
    quint32 crc = 0;

    bool operator==(const PackageId&) const = default;
};

struct LoadoutSlot
{
    QString skin;      // a skin name, "(Default)", or "" when the loadout gives none for the slot
    PackageId package; // empty for "(Default)"
    QString problem;   // why the slot's lines are not understood; "" when they are

    bool understood() const { return !skin.isEmpty() && problem.isEmpty(); }
    bool operator==(const LoadoutSlot&) const = default;
};

struct Loadout
{
    QString name;
    std::array<LoadoutSlot, kSlotCount> entries{}; // in slot order
    QStringList notUnderstood;                     // the file's other lines that are not understood
    // Where each slot's package can be downloaded (an http or https address); "" when not said.
    std::array<QString, kSlotCount> sources{};

    bool operator==(const Loadout&) const = default;
};

// Reads a loadout from a file's bytes as far as it makes sense: a slot whose lines cannot be used
// carries its problem, and lines that name nothing known are listed in notUnderstood. The name is
// the file's own when it has a usable one, else `fallbackName`.
Loadout parseLoadout(const QByteArray& bytes, const QString& fallbackName);

// True when the bytes hold a [Loadout] section: what tells a loadout from any other file.
bool looksLikeLoadout(const QByteArray& bytes);

// The file's bytes, written by the profile writer.
QByteArray loadoutBytes(const Loadout& loadout);

// Why a skin or package description of a slot cannot be used; "" when it can.
QString skinProblem(const QString& code, const QString& skin);
QString packageProblem(const QString& code, const QString& skin, const QString& file);

// Why a name cannot name a loadout; "" when it can.
QString loadoutNameProblem(const QString& name);

// ---- The loadouts folder ------------------------------------------------------------------

// The `loadouts` folder beside the settings file (a local path).
QString loadoutsFolder(const QString& settingsFile);
QString loadoutPath(const QString& folder, const QString& name);

// The names of the loadouts in the folder, ordered without regard to case; none when the folder
// is missing.
QStringList listLoadouts(const QString& folder);

struct LoadoutRead
{
    Loadout loadout;
    QString problem; // why the file is not a loadout at all; "" when it is one
    QByteArray bytes;
    bool whole = false; // false when it could not be read whole (problem says why)
};

// Reads a loadout file of at most kLoadoutFileMax bytes: a larger one, a folder or a pipe in its
// place is refused with its problem, never blocking on the pipe. UTF-16 with its mark and CR line
// ends are read as well as the profile format.
LoadoutRead readLoadoutFile(const QString& localPath, const QString& fallbackName);

enum class WriteMode { Create, Replace };
struct WriteResult
{
    enum class Status { Written, NameTaken, Failed };
    Status status = Status::Failed;
    QString problem; // worded for the player when it failed

    bool ok() const { return status == Status::Written; }
};

// Writes the bytes whole into a new file in the same folder, flushed, then renamed over the name
// (Replace) or linked in under it (Create, which never takes the place of a file there): a crash
// or a full disk leaves what was there whole, and a link in the way is replaced, never written
// through. Another writer of the same file is waited for a moment, never for long.
WriteResult writeFileWhole(const QString& localPath, const QByteArray& bytes, WriteMode mode);

// Removes one loadout's file; false when it could not be removed.
bool deleteLoadout(const QString& folder, const QString& name);

} // namespace kvr
