#include "change/workspace.h"

#include "app/logging.h"
#include "app/toolkit.h"

namespace kvr {

LocalWorkspace::LocalWorkspace(const Workspace& values)
    : m_gameFolder(usableFolder(values.gameFolder)), m_skinsFolder(usableFolder(values.skinsFolder)),
      m_settingsFile(values.settingsFile)
{
    if (m_gameFolder.isEmpty())
        qCInfo(lcInstall, "game folder \"%s\" is not usable: nothing is deleted or unpacked",
               qUtf8Printable(values.gameFolder));
}

} // namespace kvr
