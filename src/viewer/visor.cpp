#include "visor.h"

namespace kvr {

Visor::Visor()
{
    setObjectName(QStringLiteral("Visor"));
    setWindowTitle(QStringLiteral("Kestrava _ Skin Installer v1.1 _ Wiewer"));
}

} // namespace kvr
