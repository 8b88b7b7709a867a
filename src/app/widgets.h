// Small pieces the windows are built from.
#pragma once

#include "app/art.h"

#include <QFrame>
#include <QList>
#include <QSize>

class QLabel;
class QTableWidget;
class QToolButton;

namespace kvr {

// A plain line named "Line<number>", as thin as it is drawn so that frames' corners meet.
QFrame* makeLine(QFrame::Shape shape, int number);

inline constexpr QSize kBannerSize(387, 49);
inline constexpr QSize kButtonIconSize(32, 32);

// The program's title banner at its own size, named as the window calls it.
QLabel* makeBanner(const QString& name);

// A button showing its picture above its caption, as the windows' main buttons are drawn.
QToolButton* makeImageButton(const QString& name, const QString& caption, ButtonArt art);

// A table the user reads and selects whole rows of, with these column headings and no row
// numbers; the last column takes the width left.
QTableWidget* makeTable(const QString& name, const QStringList& headers, int rows = 0);

// Sets the keyboard's tab order to the order given.
void setTabChain(const QList<QWidget*>& widgets);

} // namespace kvr
