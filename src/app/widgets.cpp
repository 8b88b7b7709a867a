#include "app/widgets.h"

#include "app/art.h"

#include <QLabel>

namespace kvr {

QFrame* makeLine(QFrame::Shape shape, int number)
{
    auto* line = new QFrame;
    line->setObjectName(QStringLiteral("Line%1").arg(number));
    line->setFrameShape(shape);
    line->setFrameShadow(QFrame::Sunken);
    if (shape == QFrame::HLine)
        line->setFixedHeight(2);
    else
        line->setFixedWidth(2);
    return line;
}

QLabel* makeBanner(const QString& name)
{
    auto* banner = new QLabel;
    banner->setObjectName(name);
    banner->setFixedSize(kBannerSize);
    banner->setScaledContents(true);
    banner->setPixmap(bannerPicture());
    return banner;
}

} // namespace kvr
