#include "installer/principal.h"
#include "app/widgets.h"
#include "settings/settings_names.h"

#include "app/acercade.h"
#include "app/art.h"
#include "app/ayuda.h"
#include "app/mainwindow.h"
#include "app/navigation.h"
#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "change/slotchange.h"
#include "installer/changeprompts.h"
#include "installer/combolist.h"
#include "installer/importer.h"
#include "installer/principalmenu.h"
#include "settings/controlpanel.h"
#include "settings/modulo_ini.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QScopeGuard>
#include <QToolButton>
#include <QVBoxLayout>

namespace kvr {

namespace {

constexpr int kRowsPerColumn = 10;
constexpr int kColumns = 3;

QToolButton* makeButton(const QString& name, const QString& caption, ButtonArt art)
{
    QToolButton* button = makeImageButton(name, caption, art);
    button->setMinimumSize(96, 64);
    return button;
}

} // namespace

Principal::Principal()
{
    setUpWindow(QStringLiteral("Principal"), QStringLiteral("Kestrava _ Skin Installer v1.1 _ Principal"));
    buildLayout();
    connectSignals();
    installPrincipalMenu(*this);
    // A game folder another program keeps locked is waited for in view of the player.
    setLockWait(&waitInWindow);
    windowLinks().acceptLoadoutDrops(this);
}

void Principal::buildLayout()
{
    auto* slotRows = new QWidget;

    // One grid for all three columns so rows line up across them: every slot row is followed by
    // a thin gap row, which carries the rules where the caption colour changes.
    auto* grid = new QGridLayout(slotRows);
    grid->setContentsMargins(12, 10, 12, 10);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(0);
    constexpr int kGapHeight = 7;
    int nextLine = 5;
    for (int c = 0; c < kColumns; ++c) {
        const int column = c * 3;
        if (c > 0) {
            // Centred in its gap, so the captions on its left stand as far from it as the boxes on its right.
            grid->addWidget(makeLine(QFrame::VLine, nextLine++), 0, column - 1, 2 * kRowsPerColumn, 1,
                            Qt::AlignHCenter);
            grid->setColumnMinimumWidth(column - 1, 18);
        }
        for (int r = 0; r < kRowsPerColumn; ++r) {
            const Slot& s = slotTable()[static_cast<size_t>(c) * kRowsPerColumn + static_cast<size_t>(r)];
            auto* combo = new DropDownCombo;
            combo->setObjectName(QStringLiteral("Combo%1").arg(s.number));
            combo->setMinimumWidth(150);
            auto* label = new QLabel(s.Caption());
            label->setObjectName(QStringLiteral("Label%1").arg(s.number));
            label->setBuddy(combo);
            QPalette palette = label->palette();
            palette.setColor(QPalette::WindowText, QColor::fromRgb(s.captionRgb));
            label->setPalette(palette);
            QFont font = label->font();
            font.setBold(true);
            label->setFont(font);
            grid->addWidget(combo, 2 * r, column);
            grid->addWidget(label, 2 * r, column + 1);
            grid->setRowMinimumHeight(2 * r + 1, kGapHeight);
            Combos[static_cast<size_t>(s.number - 1)] = combo;
        }
    }
    // Below slot 7 and below slot 16.
    grid->addWidget(makeLine(QFrame::HLine, 7), 2 * 6 + 1, 0, 1, 2);
    grid->addWidget(makeLine(QFrame::HLine, 8), 2 * 5 + 1, 3, 1, 2);

    // The frame around the slot rows (top, bottom, left, right).
    auto* frame = new QGridLayout;
    frame->setSpacing(0);
    frame->addWidget(makeLine(QFrame::HLine, 1), 0, 0, 1, 3);
    frame->addWidget(makeLine(QFrame::VLine, 3), 1, 0);
    frame->addWidget(slotRows, 1, 1);
    frame->addWidget(makeLine(QFrame::VLine, 4), 1, 2);
    frame->addWidget(makeLine(QFrame::HLine, 2), 2, 0, 1, 3);

    Command1 = makeButton(QStringLiteral("Command1"), QStringLiteral("Reset Skins"), ButtonArt::ResetSkins);
    Command4 = makeButton(QStringLiteral("Command4"), QStringLiteral("Skin Wiewer"), ButtonArt::SkinViewer);
    Command2 = makeButton(QStringLiteral("Command2"), QStringLiteral("Control Panel"), ButtonArt::ControlPanel);
    Command3 = makeButton(QStringLiteral("Command3"), QStringLiteral("Help"), ButtonArt::Help);
    Command5 = makeButton(QStringLiteral("Command5"), QStringLiteral("About..."), ButtonArt::About);
    Image1 = new QLabel;
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(mainPicture());
    Image1->setFrameShape(QFrame::StyledPanel);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    for (QToolButton* button : {Command1, Command4, Command2, Command3, Command5})
        buttons->addWidget(button);
    buttons->addStretch(1);
    buttons->addWidget(Image1);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(10, 10, 10, 10);
    outer->setSpacing(10);
    outer->addLayout(frame);
    outer->addLayout(buttons);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    // Tab order: down each column, then the buttons.
    QList<QWidget*> tabChain(Combos.begin(), Combos.end());
    tabChain += {Command1, Command4, Command2, Command3, Command5};
    setTabChain(tabChain);
}

void Principal::connectSignals()
{
    for (const Slot& s : slotTable()) {
        const int n = s.number;
        connectHandler(&Combo(n), &DropDownCombo::DropDown, this, &Principal::ComboN_DropDown, n);
        connectHandler(&Combo(n), &DropDownCombo::Click, this, &Principal::ComboN_Click, n);
    }
    connectHandler(Command1, &QToolButton::clicked, this, &Principal::Command1_Click);
    connectHandler(Command2, &QToolButton::clicked, this, &Principal::Command2_Click);
    connectHandler(Command3, &QToolButton::clicked, this, &Principal::Command3_Click);
    connectHandler(Command4, &QToolButton::clicked, this, &Principal::Command4_Click);
    connectHandler(Command5, &QToolButton::clicked, this, &Principal::Command5_Click);
}

void Principal::Form_Load()
{
    // A slot change or reset that was cut short is finished before the settings are read.
    finishInterruptedChanges(Modulo::settingsPath());
    INIFILE = Modulo::settingsPath();
    INSTFOLDER = Modulo::LEEINI(INIFILE, SettingsNames::kFoldersSection, SettingsNames::kGameFolderKey);
    SKINSFOLDER = Modulo::LEEINI(INIFILE, SettingsNames::kFoldersSection, SettingsNames::kSkinsFolderKey);
    removeImportLeftovers(SKINSFOLDER);
    listPackages(SKINSFOLDER);
    for (const Slot& s : slotTable())
        Combo(s.number).setText(Modulo::LEEINI(INIFILE, SettingsNames::kSkinsSectionAtLoad, s.SlotCode()));
}

void Principal::closeEvent(QCloseEvent* event)
{
    // Withdrawn, the window is out of the user's reach: a window manager's close button too.
    if (!isEnabled() && !endingAtOnce()) {
        event->ignore();
        return;
    }
    FormBase::closeEvent(event);
}

void Principal::listPackages(const QString& skinsFolder)
{
    File1.setPattern(kPackagePattern);
    File1.setPath(skinsFolder);
}

void Principal::showRecordedSkin(const QString& slotCode)
{
    for (const Slot& s : slotTable()) {
        if (s.SlotCode() == slotCode)
            Combo(s.number).setText(Modulo::LEEINI(INIFILE, SettingsNames::kSkinsSection, slotCode));
    }
}

void Principal::COMBOLIST(DropDownCombo& COMBO, const QString& SLOT)
{
    QStringList items{kDefaultSkin};
    items += skinNames(File1.names(), SLOT);
    COMBO.setItems(items);
}

void Principal::ComboN_DropDown(int n)
{
    COMBOLIST(Combo(n), slot(n).SlotCode());
}

void Principal::ComboN_Click(int n)
{
    FILE = Combo(n).Text();
    DESCOMPRIME(FILE, slot(n).SlotCode());
}

void Principal::DESCOMPRIME(const QString& skin, const QString& SLOT)
{
    // One change of the sequence from the folder's lock to the record.
    SlotChange change = SlotChange::install(INSTFOLDER, SKINSFOLDER, INIFILE, SLOT, skin);
    if (!beginChange(change))
        return;
    m_change = &change;
    const auto done = qScopeGuard([this] { m_change = nullptr; });
    BORRASKIN(SLOT);
    if (skin == kDefaultSkin) {
        change.record(INIFILE);
        return;
    }
    change.unpack();
    INIFILE = Modulo::settingsPath();
    change.record(INIFILE);
}

void Principal::BORRASKIN(const QString& /*SLOT: the change's own*/)
{
    if (m_change)
        m_change->deleteFiles();
}

bool Principal::beginChange(SlotChange& change)
{
    const SlotChange::Begun begun = change.begin();
    if (begun == SlotChange::Begun::Yes)
        return true;
    const ChangePlan& plan = change.plan();
    showRecordedSkin(plan.slot);
    if (begun == SlotChange::Begun::Refused)
        tellNotInstalled(plan.skin, change.problem());
    return false;
}

void Principal::Command1_Click()
{
    SlotChange reset = SlotChange::reset(INSTFOLDER, INIFILE);
    if (!beginChange(reset))
        return;
    reset.deleteFiles();
    for (const Slot& s : slotTable())
        Combo(s.number).setText(kDefaultSkin);
    reset.record(INIFILE);
}

void Principal::Command2_Click()
{
    openChild<ControlPanel>(Withdraw::AfterShowing);
}

void Principal::Command3_Click()
{
    openChild<Ayuda>(Withdraw::AfterShowing);
}

void Principal::Command4_Click()
{
    windowLinks().openViewer();
}

void Principal::Command5_Click()
{
    openChild<Acercade>(Withdraw::BeforeShowing);
}

} // namespace kvr
