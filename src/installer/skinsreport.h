// What in the skins folder needs the player's attention, and whether the game folder still holds
// what each slot's recorded package installs.
#pragma once

#include <QList>
#include <QString>

#include <atomic>

namespace kvr {

struct ReportProblem
{
    QString file;   // name in the skins folder, as shown
    QString reason; // in plain words
};

// Every file of the skins folder that is listed nowhere, listed but suspect, or a picture or note
// with no package of its skin name, in ascending order of name. Reads only the ZIP central
// directories, of at most kMaxReportFiles files. An unreadable folder gives none; so does stop,
// once set.
inline constexpr qsizetype kMaxReportFiles = 200000;
QList<ReportProblem> skinsFolderProblems(const QString& skinsFolder, const std::atomic_bool& stop);
QList<ReportProblem> skinsFolderProblems(const QString& skinsFolder);

struct SlotState
{
    QString code;
    QString skin;
    // "as installed", "N files differ", "N files missing", "package not found", "package not
    // readable: <why>", "game folder not set", "skins folder not set", "check stopped"
    QString state;
    bool asInstalled = false;
    bool reinstallable = false; // installing again could help: the package can be read
};

// For one slot's recorded skin: whether the game folder holds the package's files with the same
// names, sizes and CRCs. The game folder is listed once, so the check is linear in the members
// and the files. An empty folder is one not set: nothing is looked at.
SlotState installedState(const QString& skinsFolder, const QString& gameFolder, const QString& code,
                         const QString& skin, const std::atomic_bool& stop);
SlotState installedState(const QString& skinsFolder, const QString& gameFolder, const QString& code,
                         const QString& skin);

} // namespace kvr
