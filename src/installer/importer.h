// Importing downloaded archives into the skins folder as packages the slot lists show:
// <CODE>_<skin name>.zip, with the preview picture and note beside it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

namespace kvr {

// The hidden names an import's temporaries take in the skins folder; the file lists never show
// them and the start removes those a killed import left.
inline const QByteArray kImportTempPattern = ".kvrsi-import-XXXXXX.zip";

// An archive that unpacks to more than this (a skin is a few megabytes) is a bomb or not a skin.
inline constexpr qint64 kImportUnpackedMax = qint64(1) << 30;
// A picture or note larger than this is not put beside the package.
inline constexpr qint64 kImportSideFileMax = qint64(32) << 20;

// The archive kinds that can be imported: .zip as is; .7z, .rar and .tar.* repacked as ZIP.
bool isImportableArchive(const QString& fileName);

// The members of an archive (names as stored, files only), or readable == false with a reason.
struct ArchiveListing
{
    bool readable = false;
    QString problem;
    QStringList members;
};
// Reads the archive whole (every member checked, within the caps the import has); a cancel stops
// it between blocks.
ArchiveListing listArchive(const QString& path);
ArchiveListing listArchive(const QString& path, const std::atomic<bool>& cancel,
                           const std::function<void(double)>& progress = {});

// The slot an archive belongs to. `code` is set when the file name starts with a slot code and
// "_", or when the members' bare names start "P<CODE>" for exactly one slot. Otherwise the
// player chooses; `candidates` holds the codes the members point at, most members first.
struct SlotGuess
{
    QString code;
    QStringList candidates;
    QString best() const { return !code.isEmpty() ? code : candidates.value(0); }
};
SlotGuess inferSlot(const QString& fileName, const QStringList& members);

// The file name without its archive extension and without a leading "<CODE>_".
QString defaultSkinName(const QString& fileName);

// Why "<code>_<skin>.zip" would not be a package the slot lists show and the installation finds,
// in words for the player; "" when it would.
QString skinNameProblem(const QString& code, const QString& skin);

// The package file of a slot's skin in a folder, found without regard to case; "" when none.
QString existingPackage(const QString& skinsFolder, const QString& code, const QString& skin);
// "<skin> (2)", "<skin> (3)", ...: the first that names no package yet.
QString keepBothName(const QString& skinsFolder, const QString& code, const QString& skin);

struct ImportJob
{
    QString source; // the archive the player gave
    QString code;   // the slot
    QString skin;   // the skin name, already checked and made unique unless `replace`
    bool replace = false;
};

struct ImportResult
{
    bool imported = false;
    bool cancelled = false;
    QString package; // file name written in the skins folder
    QString problem; // why nothing was written
    bool preview = false;
    bool note = false;
};

// Fraction done of the current archive, 0..1; called from the thread doing the work.
using ImportProgress = std::function<void(double)>;

// Writes the package into an unnamed file, streaming member by member, and gives it its name,
// then the preview picture (first .jpg/.jpeg/.png/.bmp member, as <skin>.jpg) and note (first
// .txt member, as <skin>.txt) unless the player has files of those names. Every write goes
// through FolderFile. A cancel, or an archive that cannot be read whole, leaves nothing.
// Memory stays small whatever the archive. Runs on any thread.
ImportResult importPackage(const ImportJob& job, const QString& skinsFolder, const std::atomic<bool>& cancel,
                           const ImportProgress& progress = {});

// Removes the temporaries a killed import left in the skins folder, those older than this run.
void removeImportLeftovers(const QString& skinsFolder);

} // namespace kvr
