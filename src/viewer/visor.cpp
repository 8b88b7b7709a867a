#include "viewer/visor.h"
#include "app/widgets.h"
#include "settings/settings_names.h"

#include "app/art.h"
#include "app/logging.h"
#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "settings/modulo_ini.h"
#include "viewer/pictureloader.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace kvr {

namespace {

const QString kAllSkins = QStringLiteral("ALL");

constexpr QSize kPictureSize(320, 240);
constexpr int kNoteHeight = 120;
constexpr int kListWidth = 190;

// A note is a few lines of text. A huge or binary file would keep the box busy laying out one
// endless paragraph for many seconds, so only its beginning is shown.
constexpr qsizetype kMaxNoteCharacters = qsizetype{256} * 1024;

// The filter code of an item of the filter list: "ALL" for the first, then slot N's code.
QString filterCode(int item)
{
    return item >= 1 && item <= kSlotCount ? slot(item).SlotCode() : kAllSkins;
}

QString readNote(const QString& path)
{
    QString text = readTextFile(path);
    if (text.size() > kMaxNoteCharacters) {
        qCInfo(lcViewer) << "Note" << path << "shown up to its first" << kMaxNoteCharacters << "characters";
        qsizetype end = kMaxNoteCharacters;
        if (text.at(end - 1).isHighSurrogate())
            --end;
        text.truncate(end);
    }
    return text;
}

} // namespace

Visor::Visor()
{
    setUpWindow(QStringLiteral("Visor"), QStringLiteral("Kestrava _ Skin Installer v1.1 _ Wiewer"));
    m_pictures = new PictureLoader(this);
    buildLayout();
    connectSignals();
    acceptArchiveDrops(this);
}

void Visor::buildLayout()
{
    Image2 = makeBanner(QStringLiteral("Image2"));

    Label1 = new QLabel(QStringLiteral("Skins Installed"));
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont heading = Label1->font();
    heading.setBold(true);
    Label1->setFont(heading);

    Combo1 = new QComboBox;
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setEditable(false);
    QStringList filters{QStringLiteral("All Skins")};
    for (const Slot& s : slotTable())
        filters.append(s.ViewerEntry());
    Combo1->addItems(filters);
    Combo1->setMaxVisibleItems(kSlotCount + 1);
    Label1->setBuddy(Combo1);

    List1 = new QListWidget;
    List1->setObjectName(QStringLiteral("List1"));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    // Thousands of packages: one row height for all keeps filling and scrolling quick.
    List1->setUniformItemSizes(true);

    // The heading shows the chosen skin name, however long: its size must not move the layout.
    Label3 = new QLabel(QStringLiteral("Skin"));
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setTextFormat(Qt::PlainText);
    Label3->setFont(heading);
    Label3->setFixedSize(kPictureSize.width(), Label3->sizeHint().height());

    Image1 = new QLabel;
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Image1->setFixedSize(kPictureSize);
    Image1->setScaledContents(true);

    Text1 = new QPlainTextEdit;
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setReadOnly(true);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setFixedSize(kPictureSize.width(), kNoteHeight);

    auto* left = new QVBoxLayout;
    left->setContentsMargins(8, 8, 8, 8);
    left->setSpacing(6);
    left->addWidget(Label1);
    left->addWidget(Combo1);
    left->addWidget(List1, 1);
    auto* leftColumn = new QWidget;
    leftColumn->setLayout(left);
    leftColumn->setFixedWidth(kListWidth);

    auto* right = new QVBoxLayout;
    right->setContentsMargins(8, 8, 8, 8);
    right->setSpacing(6);
    right->addWidget(Label3);
    right->addWidget(Image1);
    right->addWidget(makeLine(QFrame::HLine, 6));
    right->addWidget(Text1);

    // The frame around the working area (top, bottom, left, right) and the line between the columns.
    auto* frame = new QGridLayout;
    frame->setSpacing(0);
    frame->addWidget(makeLine(QFrame::HLine, 1), 0, 0, 1, 5);
    frame->addWidget(makeLine(QFrame::VLine, 3), 1, 0);
    frame->addWidget(leftColumn, 1, 1);
    frame->addWidget(makeLine(QFrame::VLine, 5), 1, 2);
    frame->addLayout(right, 1, 3);
    frame->addWidget(makeLine(QFrame::VLine, 4), 1, 4);
    frame->addWidget(makeLine(QFrame::HLine, 2), 2, 0, 1, 5);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(10);
    layout->addWidget(Image2, 0, Qt::AlignHCenter);
    layout->addLayout(frame);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabChain({Combo1, List1, Text1});
}

void Visor::connectSignals()
{
    // Only a choice of the user's changes the filter; filling the combo box raises nothing.
    connectHandler(Combo1, &QComboBox::activated, this, &Visor::Combo1_Click);
    // A choice by mouse or keyboard selects an entry; emptying the list selects nothing and is no choice.
    connect(List1, &QListWidget::itemSelectionChanged, this, [this] {
        if (List1->currentItem() && List1->currentItem()->isSelected())
            handle([this] { List1_Click(); });
    });
    connect(m_pictures, &PictureLoader::loaded, this,
            [this](const QImage& image) { Image1->setPixmap(QPixmap::fromImage(image)); });
}

void Visor::Form_Load()
{
    INIFILE = Modulo::settingsPath();
    SKINSFOLDER = Modulo::LEEINI(INIFILE, SettingsNames::kFoldersSection, SettingsNames::kSkinsFolderKey);
    File1.setPattern(kPackagePattern);
    File1.setPath(SKINSFOLDER);
    PONENLISTA(kAllSkins);
}

void Visor::PONENLISTA(const QString& filter)
{
    // Names too short to hold a skin name are left out, as in the main window's lists. A code
    // that is not four characters long names no slot and passes nothing.
    if (filter == kAllSkins)
        List1->addItems(skinNames(File1.names()));
    else if (filter.size() == 4)
        List1->addItems(skinNames(File1.names(), filter));
}

void Visor::Combo1_Click()
{
    const QString filter = filterCode(Combo1->currentIndex());
    List1->clear();
    PONENLISTA(filter);
}

void Visor::listPackagesAgain()
{
    File1.setPath(File1.Path());
    Combo1_Click();
}

void Visor::List1_Click()
{
    INIFILE = Modulo::settingsPath();
    SKINSFOLDER = Modulo::LEEINI(INIFILE, SettingsNames::kFoldersSection, SettingsNames::kSkinsFolderKey);
    const QListWidgetItem* chosen = List1->item(List1->currentRow());
    if (!chosen)
        return;
    const QString entry = chosen->text();
    Label3->setText(entry);
    const QString base = SKINSFOLDER + QLatin1Char('\\') + entry;

    // The preview files are the user's: a missing or broken one fails silently. A note that cannot
    // be read empties the box; a picture that cannot be loaded leaves the previous one showing.
    QString note;
    skipFailing([&] {
        try {
            note = readNote(base + QStringLiteral(".txt"));
        } catch (const Error& e) {
            qCInfo(lcViewer) << "Note" << base + QStringLiteral(".txt") << "not read:" << e.description();
            throw;
        }
    });
    Text1->setPlainText(note);
    // Decoded away from the window, which answers the next click at once; the picture shows when
    // it is ready, unless another choice came first.
    const QSize shownSize = Image1->contentsRect().size() * Image1->devicePixelRatio();
    m_pictures->load(base + QStringLiteral(".jpg"), shownSize);
}

bool Visor::pictureLoading() const
{
    return m_pictures->busy();
}

} // namespace kvr
