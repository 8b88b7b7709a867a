#include "app/widgets.h"

#include "app/art.h"

#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QToolButton>

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

QToolButton* makeImageButton(const QString& name, const QString& caption, ButtonArt art)
{
    auto* button = new QToolButton;
    button->setObjectName(name);
    button->setText(caption);
    button->setIcon(buttonIcon(art));
    button->setIconSize(kButtonIconSize);
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    return button;
}

QTableWidget* makeTable(const QString& name, const QStringList& headers, int rows)
{
    auto* table = new QTableWidget(rows, static_cast<int>(headers.size()));
    table->setObjectName(name);
    table->setHorizontalHeaderLabels(headers);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setWordWrap(true);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

void setTabChain(const QList<QWidget*>& widgets)
{
    for (qsizetype i = 1; i < widgets.size(); ++i)
        QWidget::setTabOrder(widgets[i - 1], widgets[i]);
}

} // namespace kvr
