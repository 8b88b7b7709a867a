#include "settings/controlpanel.h"
#include "app/widgets.h"
#include "settings/settings_names.h"

#include "app/art.h"
#include "app/background.h"
#include "app/mainwindow.h"
#include "settings/modulo_ini.h"
#include "settings/prefixes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QSet>
#include <QSortFilterProxyModel>
#include <QStyle>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include <algorithm>

namespace kvr {

// ---- Drive list -----------------------------------------------------------------------------

DriveList::DriveList(const QList<kvr::Drive>& drives, QWidget* parent) : QComboBox(parent)
{
    for (const kvr::Drive& drive : drives)
        addItem(drive.label, drive.path);
    setCurrentIndex(0);
    // Connected after filling, so building the list is not taken for a change of drive.
    connect(this, &QComboBox::currentIndexChanged, this, &DriveList::Change);
}

QString DriveList::Drive() const
{
    return currentData().toString();
}

void DriveList::setDrive(const QString& drive)
{
    const int i = findData(localDrivePath(drive));
    if (i >= 0)
        setCurrentIndex(i);
}

void DriveList::appendDrives(const QList<kvr::Drive>& drives)
{
    // Each listed folder is looked up once, by its path as given and by its real path.
    QSet<QString> listed;
    auto remember = [&listed](const QString& path) {
        listed.insert(path);
        if (const QString real = QFileInfo(path).canonicalFilePath(); !real.isEmpty())
            listed.insert(real);
    };
    for (int i = 0; i < count(); ++i)
        remember(itemData(i).toString());
    // Appending never changes the current entry, so it raises no Change.
    for (const kvr::Drive& drive : drives) {
        const QString real = QFileInfo(drive.path).canonicalFilePath();
        if (listed.contains(drive.path) || (!real.isEmpty() && listed.contains(real)))
            continue;
        addItem(drive.label, drive.path);
        remember(drive.path);
    }
}

// ---- Folder tree ----------------------------------------------------------------------------

// Shows one drive as the tree's single top row: of the drive's own parent folder only the drive
// is let through, so its sibling folders stay out of sight.
class FolderTree::DriveFilter : public QSortFilterProxyModel
{
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setDrive(const QModelIndex& drive)
    {
        m_drive = drive;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override
    {
        if (parent != m_drive.parent())
            return true;
        return sourceModel()->index(row, 0, parent) == m_drive;
    }

private:
    QPersistentModelIndex m_drive;
};

FolderTree::FolderTree(QWidget* parent) : QTreeView(parent)
{
    m_model = new QFileSystemModel(this);
    // Hidden folders too: a game inside a Wine prefix lies under ~/.wine.
    m_model->setFilter(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    m_model->setReadOnly(true);
    m_filter = new DriveFilter(this);
    m_filter->setSourceModel(m_model);
    setModel(m_filter);

    setHeaderHidden(true);
    for (int column = 1; column < m_model->columnCount(); ++column)
        hideColumn(column);
    setUniformRowHeights(true);

    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        if (current.isValid())
            m_path = m_model->filePath(m_filter->mapToSource(current));
    });
}

void FolderTree::setPath(const QString& path)
{
    const QString folder = QDir::cleanPath(localDrivePath(path));
    checkFolderReadable(folder);
    m_model->setRootPath(folder);
    const QModelIndex source = m_model->index(folder);
    if (!source.isValid())
        throw Error(QStringLiteral("Path not found"));

    m_filter->setDrive(source);
    setRootIndex(m_filter->mapFromSource(source.parent()));
    const QModelIndex shown = m_filter->mapFromSource(source);
    expand(shown);
    setCurrentIndex(shown);
    m_path = folder;
}

QModelIndex FolderTree::indexOf(const QString& path) const
{
    return m_filter->mapFromSource(m_model->index(QDir::cleanPath(path)));
}

// ---- Path label -----------------------------------------------------------------------------

QSize PathLabel::minimumSizeHint() const
{
    return {fontMetrics().averageCharWidth() * 10, QLabel::minimumSizeHint().height()};
}

QSize PathLabel::sizeHint() const
{
    return minimumSizeHint();
}

void PathLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width());
    style()->drawItemText(&painter, area, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), shown,
                          foregroundRole());
}

bool PathLabel::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && !text().isEmpty()) {
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
        return true;
    }
    return QLabel::event(event);
}

// ---- The window -----------------------------------------------------------------------------

ControlPanel::ControlPanel()
{
    setUpWindow(QStringLiteral("ControlPanel"), QStringLiteral("Kestrava _ Skin Installer v1.1 _ Control Panel"));
    buildLayout();
    connectSignals();
}

ControlPanel::~ControlPanel()
{
    // A panel closed before its search ended calls the search off.
    if (m_prefixScan)
        m_prefixScan->store(true);
}

void ControlPanel::buildLayout()
{
    Drive1 = new DriveList(listDrives(DriveSources::system()));
    Drive1->setObjectName(QStringLiteral("Drive1"));
    Drive1->setAccessibleName(QStringLiteral("Drive"));
    // Launcher prefixes take reading many small files: they are found on the program's pool and
    // added when ready, so the window opens at once. A window closed before then drops the result.
    m_prefixScan = background::run(
        [list = QPointer<DriveList>(Drive1), home = DriveSources::system().homeFolder](const std::atomic_bool& stop) {
            QList<Drive> prefixes = listPrefixDrives(home, stop);
            // The pointer is looked at only on the window thread, where the window may be closed.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [list, prefixes] {
                    if (list)
                        list->appendDrives(prefixes);
                },
                Qt::QueuedConnection);
        });

    Dir1 = new FolderTree;
    Dir1->setObjectName(QStringLiteral("Dir1"));
    Dir1->setAccessibleName(QStringLiteral("Folder"));

    Label6 = new QLabel(QStringLiteral(
        "Select a folder and clik in the finger to add the path to the text box. Then click in the UPDATE button "
        "to save the changes in KVRSI.INI. Is very important the the path will be correct to the perfect run of "
        "the program."));
    Label6->setObjectName(QStringLiteral("Label6"));
    Label6->setWordWrap(true);
    Label6->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Command3 = makeImageButton(QStringLiteral("Command3"), QStringLiteral("Update KVRSI.INI"), ButtonArt::Update);

    Label3 = new PathLabel(QStringLiteral("Label3"));
    Label3->setObjectName(QStringLiteral("Label3"));

    Line1 = new QFrame;
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);

    auto makeFinger = [](const QString& name, const QString& box) {
        auto* button = new QToolButton;
        button->setObjectName(name);
        button->setIcon(buttonIcon(ButtonArt::Finger));
        button->setIconSize(kButtonIconSize);
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
        // The button shows only a picture; screen readers and the mouse pointer get words.
        const QString what = QStringLiteral("Copy the selected folder into ") + box;
        button->setToolTip(what);
        button->setAccessibleName(what);
        return button;
    };
    auto makeBox = [](const QString& name) {
        // The boxes accept typing: a path pasted from a file manager is quicker than walking a
        // deep tree, and a box can be emptied on purpose. What is saved is the text as it stands.
        auto* box = new QLineEdit;
        box->setObjectName(name);
        return box;
    };
    Label1 = new QLabel(QStringLiteral("Kestrava Folder"));
    Label1->setObjectName(QStringLiteral("Label1"));
    Command1 = makeFinger(QStringLiteral("Command1"), Label1->text());
    Text1 = makeBox(QStringLiteral("Text1"));
    Label1->setBuddy(Text1);
    Label2 = new QLabel(QStringLiteral("Skins Folder"));
    Label2->setObjectName(QStringLiteral("Label2"));
    Command2 = makeFinger(QStringLiteral("Command2"), Label2->text());
    Text2 = makeBox(QStringLiteral("Text2"));
    Label2->setBuddy(Text2);

    Image1 = makeBanner(QStringLiteral("Image1"));

    // Sizes follow the font, so the instructions fit at any desktop font size. The panel is wide
    // enough for the boxes below to show a deep folder, such as a game inside a Wine prefix, whole.
    const int charWidth = fontMetrics().averageCharWidth();
    const int treeWidth = std::max(280, charWidth * 38);
    const int textWidth = std::max(260, charWidth * 36);
    Drive1->setFixedWidth(treeWidth);
    Dir1->setFixedSize(treeWidth, std::max(190, fontMetrics().height() * 12));
    Label6->setFixedWidth(textWidth);
    Label6->setMinimumHeight(Label6->heightForWidth(textWidth));

    auto* left = new QVBoxLayout;
    left->setSpacing(6);
    left->addWidget(Drive1);
    left->addWidget(Dir1, 1);

    auto* right = new QVBoxLayout;
    right->setSpacing(10);
    right->addWidget(Label6);
    right->addWidget(Command3, 0, Qt::AlignHCenter);
    right->addStretch(1);

    auto* top = new QHBoxLayout;
    top->setSpacing(14);
    top->addLayout(left);
    top->addLayout(right);

    auto* rows = new QGridLayout;
    rows->setHorizontalSpacing(8);
    rows->setVerticalSpacing(6);
    rows->addWidget(Label1, 0, 0);
    rows->addWidget(Command1, 0, 1);
    rows->addWidget(Text1, 0, 2);
    rows->addWidget(Label2, 1, 0);
    rows->addWidget(Command2, 1, 1);
    rows->addWidget(Text2, 1, 2);
    rows->setColumnStretch(2, 1);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(12, 12, 12, 12);
    outer->setSpacing(8);
    outer->addLayout(top);
    outer->addSpacing(4);
    outer->addWidget(Label3);
    outer->addWidget(Line1);
    outer->addLayout(rows);
    outer->addSpacing(4);
    outer->addWidget(Image1, 0, Qt::AlignHCenter);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    // The order of the work: pick a drive and a folder, copy it into each box, then save.
    setTabChain({Drive1, Dir1, Command1, Text1, Command2, Text2, Command3});
}

void ControlPanel::connectSignals()
{
    connectHandler(Drive1, &DriveList::Change, this, &ControlPanel::Drive1_Change);
    connectHandler(Command1, &QToolButton::clicked, this, &ControlPanel::Command1_Click);
    connectHandler(Command2, &QToolButton::clicked, this, &ControlPanel::Command2_Click);
    connectHandler(Command3, &QToolButton::clicked, this, &ControlPanel::Command3_Click);
}

void ControlPanel::Form_Load()
{
    // The tree opens at drive C, which is "/" here. Should even "/" be unreadable, the tree stays
    // empty and the panel still opens: the user can type the folders.
    skipFailing([&] { Dir1->setPath(QStringLiteral("c:\\")); });
    Label3->setText(Modulo::settingsPath());
    const QString settings = Label3->text();
    Text1->setText(Modulo::LEEINI(settings, SettingsNames::kFoldersSection, SettingsNames::kGameFolderKey));
    Text2->setText(Modulo::LEEINI(settings, SettingsNames::kFoldersSection, SettingsNames::kSkinsFolderKey));
}

void ControlPanel::Drive1_Change()
{
    try {
        Dir1->setPath(Drive1->Drive());
    } catch (const Error&) {
        // A drive that cannot be read (no medium, a broken link) sends both lists back to drive C
        // without a word; the drive list's own change brings the tree there through this handler.
        Drive1->setDrive(QStringLiteral("C:"));
    }
}

void ControlPanel::Command1_Click()
{
    Text1->setText(Dir1->Path());
}

void ControlPanel::Command2_Click()
{
    Text2->setText(Dir1->Path());
}

void ControlPanel::Command3_Click()
{
    Label3->setText(Modulo::settingsPath());
    const QString settings = Label3->text();
    Modulo::GRABAINI(settings, SettingsNames::kFoldersSection, SettingsNames::kGameFolderKey, Text1->text());
    Modulo::GRABAINI(settings, SettingsNames::kFoldersSection, SettingsNames::kSkinsFolderKey, Text2->text());
    // The main window reads the folders only as it loads, hence the offer to finish now.
    const int answer = MsgBox(QStringLiteral("Need to restart Kestrava Skin Installer to take changes.") +
                                  QStringLiteral("\r\n") + QStringLiteral("Finish Kestrava Skin Installer now?"),
                              vbOKCancel + vbQuestion, QStringLiteral("Kestrava _ Skin Installer v1.0"));
    if (answer == vbOK)
        endAtOnce();
}

void ControlPanel::Child_Unload(bool& /*cancel*/)
{
    INIFILE = Modulo::settingsPath();
    SKINSFOLDER = Modulo::LEEINI(INIFILE, SettingsNames::kFoldersSection, SettingsNames::kSkinsFolderKey);
    // A skins folder that does not exist leaves the main window's list without names.
    mainWindow().listPackages(SKINSFOLDER);
}

} // namespace kvr
