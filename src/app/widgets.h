// Small pieces the windows are built from.
#pragma once

#include <QFrame>
#include <QSize>

class QLabel;

namespace kvr {

// A plain line named "Line<number>", as thin as it is drawn so that frames' corners meet.
QFrame* makeLine(QFrame::Shape shape, int number);

inline constexpr QSize kBannerSize(387, 49);

// The program's title banner at its own size, named as the window calls it.
QLabel* makeBanner(const QString& name);

} // namespace kvr
