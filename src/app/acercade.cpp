#include "app/acercade.h"
#include "app/widgets.h"

#include "app/art.h"

#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace kvr {

namespace {

constexpr QSize kIconSize(32, 32);

QLabel* makeLabel(const QString& name, const QString& text)
{
    auto* label = new QLabel(text);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

Acercade::Acercade()
{
    setUpWindow(QStringLiteral("Acercade"), QStringLiteral("Kestrava _ Skin Installer v1.1 _ About..."));

    Image1 = makeBanner(QStringLiteral("Image1"));

    Image2 = new QLabel;
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setFixedSize(kIconSize);
    Image2->setScaledContents(true);
    Image2->setPixmap(programIcon().pixmap(kIconSize));

    Label1 = makeLabel(QStringLiteral("Label1"), QStringLiteral("Kestrava _ SkinInstaller v1.1"));
    QFont title = Label1->font();
    title.setBold(true);
    Label1->setFont(title);
    Label2 = makeLabel(QStringLiteral("Label2"), QStringLiteral("Made by the Kestrava Skin Installer project"));
    Label3 = makeLabel(QStringLiteral("Label3"), QStringLiteral("16 April 2003"));
    Label4 =
        makeLabel(QStringLiteral("Label4"),
                  QStringLiteral("This Program is free, I made thinking in make more easy the use of the thousands "
                                 "skins for diferents planes that this game have, so this program haven't got "
                                 "sense unless all KVR programers previous work. Thanks to all for that. Hope "
                                 "you like it and use. "));
    Label4->setWordWrap(true);
    // A wrapped label in a fixed-size window needs its width settled to know its height.
    const int noteWidth = kBannerSize.width() - 2 * 12;
    Label4->setFixedWidth(noteWidth);
    Label4->setMinimumHeight(Label4->heightForWidth(noteWidth));

    // The frame's top, bottom, left and right, and the rule above the note.
    QFrame* Line1 = makeLine(QFrame::HLine, 1);
    QFrame* Line2 = makeLine(QFrame::HLine, 2);
    QFrame* Line3 = makeLine(QFrame::VLine, 3);
    QFrame* Line4 = makeLine(QFrame::VLine, 4);
    QFrame* Line5 = makeLine(QFrame::HLine, 5);

    auto* lines = new QVBoxLayout;
    lines->setSpacing(2);
    lines->addWidget(Label1);
    lines->addWidget(Label2);
    lines->addWidget(Label3);

    auto* heading = new QHBoxLayout;
    heading->setSpacing(12);
    heading->addWidget(Image2, 0, Qt::AlignTop);
    heading->addLayout(lines, 1);

    auto* inside = new QVBoxLayout;
    inside->setContentsMargins(10, 8, 10, 8);
    inside->setSpacing(8);
    inside->addLayout(heading);
    inside->addWidget(Line5);
    inside->addWidget(Label4);

    auto* frame = new QGridLayout;
    frame->setSpacing(0);
    frame->addWidget(Line1, 0, 0, 1, 3);
    frame->addWidget(Line3, 1, 0);
    frame->addLayout(inside, 1, 1);
    frame->addWidget(Line4, 1, 2);
    frame->addWidget(Line2, 2, 0, 1, 3);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(10);
    layout->addWidget(Image1, 0, Qt::AlignHCenter);
    layout->addLayout(frame);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace kvr
