#include "ayuda.h"

namespace kvr {

Ayuda::Ayuda()
{
    setObjectName(QStringLiteral("Ayuda"));
    setWindowTitle(QStringLiteral("Kestrava _ Skin Installer v1.1 _ Help"));
}

} // namespace kvr
