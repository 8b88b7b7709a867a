// Where a change works: the game folder, the skins folder and the settings file.
#pragma once

#include <QString>

namespace kvr {

// The three as the settings and the windows hold them; a loadout's apply, a command and the
// windows hand them on as one value.
struct Workspace
{
    QString gameFolder;
    QString skinsFolder;
    QString settingsFile;
};

// A workspace's folders checked once for the changes made in it: usable local paths, or "" for
// a value that is not usable (nothing is then deleted, unpacked or looked for there). The
// settings file stays as given: every reader of it takes it so. The steps of a change take
// their paths from here and check no folder value again.
class LocalWorkspace
{
public:
    explicit LocalWorkspace(const Workspace& values);

    const QString& gameFolder() const { return m_gameFolder; }
    const QString& skinsFolder() const { return m_skinsFolder; }
    const QString& settingsFile() const { return m_settingsFile; }

private:
    QString m_gameFolder;
    QString m_skinsFolder;
    QString m_settingsFile;
};

} // namespace kvr
