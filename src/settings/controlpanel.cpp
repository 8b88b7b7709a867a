#include "controlpanel.h"

namespace kvr {

ControlPanel::ControlPanel()
{
    setObjectName(QStringLiteral("ControlPanel"));
    setWindowTitle(QStringLiteral("Kestrava _ Skin Installer v1.1 _ Control Panel"));
}

} // namespace kvr
