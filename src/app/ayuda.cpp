#include "app/ayuda.h"
#include "app/widgets.h"

#include "app/art.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

namespace kvr {

namespace {
// The help text is laid out for this many columns; its tables line up in a fixed-pitch font.
constexpr int kTextColumns = 72;
constexpr int kTextLines = 30;
} // namespace

Ayuda::Ayuda()
{
    setUpWindow(QStringLiteral("Ayuda"), QStringLiteral("Kestrava _ Skin Installer v1.1 _ Help"));

    Image1 = makeBanner(QStringLiteral("Image1"));

    Text1 = new QPlainTextEdit;
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setReadOnly(true);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    const QFontMetrics metrics(Text1->font());
    const int frame = 2 * Text1->frameWidth() + 2 * static_cast<int>(Text1->document()->documentMargin());
    Text1->setFixedSize(metrics.horizontalAdvance(QString(kTextColumns, QLatin1Char('M'))) + frame +
                            Text1->verticalScrollBar()->sizeHint().width(),
                        metrics.lineSpacing() * kTextLines + frame);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(10);
    layout->addWidget(Image1, 0, Qt::AlignHCenter);
    layout->addWidget(Text1);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void Ayuda::Form_Load()
{
    const QString folder = programFolder();
    // A help file that is missing or unreadable leaves the box empty, without a message.
    QString text;
    skipFailing([&] { text = readTextFile(folder + QStringLiteral("\\readme.txt")); });
    Text1->setPlainText(text);
}

} // namespace kvr
