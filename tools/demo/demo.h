// A demo workspace for a first run: a game folder and a skins folder with a few packages, each
// with its preview picture and note, and the settings file pointing at them.
#pragma once

#include <QString>
#include <QStringList>

namespace kvr::demo {

struct Result
{
    QString gameFolder;
    QString skinsFolder;
    QStringList packages;
};

// Creates <root>/game and <root>/skins and writes KVRSI.INI's two folders in programFolder.
// Returns an empty result when a folder cannot be written.
Result createWorkspace(const QString& root, const QString& programFolder);

} // namespace kvr::demo
