// What in the skins folder needs the player's attention, and whether the game folder still holds
// what each slot's recorded package installs.
#pragma once

#include <QList>
#include <QString>

namespace kvr {

struct ReportProblem
{
    QString file;   // name in the skins folder, as shown
    QString reason; // in plain words
};

// Every file of the skins folder that is listed nowhere, listed but suspect, or a picture or note
// with no package of its skin name, in ascending order of name. Reads only the ZIP central
// directories. An unreadable folder gives none.
QList<ReportProblem> skinsFolderProblems(const QString& skinsFolder);

struct SlotState
{
    QString code;
    QString skin;
    QString state; // "as installed", "N files differ", "N files missing", "package not found"
    bool asInstalled = false;
};

// For one slot's recorded skin: whether the game folder holds the package's files with the same
// names, sizes and CRCs.
SlotState installedState(const QString& skinsFolder, const QString& gameFolder, const QString& code,
                         const QString& skin);

} // namespace kvr
