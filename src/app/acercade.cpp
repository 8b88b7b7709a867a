#include "acercade.h"

namespace kvr {

Acercade::Acercade()
{
    setObjectName(QStringLiteral("Acercade"));
    setWindowTitle(QStringLiteral("Kestrava _ Skin Installer v1.1 _ About..."));
}

} // namespace kvr
