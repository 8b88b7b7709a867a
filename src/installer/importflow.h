// Importing archives the player drops on a window or picks with "Import Packages...": asks what
// the archive's name does not tell, writes the packages off the window's thread, and sums up.
#pragma once

#include "installer/importer.h"

#include <functional>

class QWidget;

namespace kvr {

// What the import asks when no slot or several match, or when the skin name will not do.
struct ImportQuestion
{
    QString fileName;
    SlotGuess guess;
    QString skin;
};
struct ImportAnswer
{
    bool accepted = false; // false: skip this archive
    QString code;
    QString skin;
};
using ImportQuestionHandler = std::function<ImportAnswer(const ImportQuestion&)>;

// What to do when a package of the chosen name exists, or an earlier archive of the same import
// is to become it (`earlierInImport`).
enum class ExistingPackageAnswer { Replace, KeepBoth, Skip };
using ExistingPackageHandler = std::function<ExistingPackageAnswer(const QString& packageName, bool earlierInImport)>;

// The real dialogs by default; tests answer through these and get the previous handler back.
ImportQuestionHandler setImportQuestionHandler(ImportQuestionHandler handler);
ExistingPackageHandler setExistingPackageHandler(ExistingPackageHandler handler);

// A window that lists the packages of the skins folder: an import dropped on it lists them again.
class PackageListWindow
{
public:
    virtual ~PackageListWindow() = default;
    virtual void listPackagesAgain() = 0;
};

// Imports the archives into the skins folder the main window lists, then re-reads its list and
// shows what was imported where and what was skipped and why.
void importArchives(QWidget* window, const QStringList& paths);

// "Import Packages...": a file dialog that starts in the home folder every time.
void chooseAndImportArchives(QWidget* window);

// Lets archives dropped on the window be imported.
void acceptArchiveDrops(QWidget* window);

} // namespace kvr
