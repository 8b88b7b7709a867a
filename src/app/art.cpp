#include "art.h"

namespace kvr {

QPixmap splashPicture()
{
    return QPixmap(468, 315);
}

QPixmap bannerPicture()
{
    return QPixmap(387, 49);
}

QPixmap mainPicture()
{
    return QPixmap();
}

QIcon programIcon()
{
    return QIcon();
}

QIcon buttonIcon(ButtonArt)
{
    return QIcon();
}

} // namespace kvr
