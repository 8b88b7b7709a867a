#include "installer/report.h"

#include "app/background.h"
#include "app/widgets.h"
#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "change/slotchange.h"
#include "history/history.h"
#include "installer/changeprompts.h"
#include "installer/principal.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace kvr {

namespace {

constexpr int kStateColumn = 2;
constexpr int kButtonColumn = 3;
// Rows of the files table: filling and measuring tens of thousands would hold the window.
constexpr int kMaxProblemRows = 2000;

} // namespace

Report::Report()
{
    setUpWindow(QStringLiteral("Report"), QStringLiteral("Kestrava _ Skin Installer v1.1 _ Report"));
    closeOnEscape(*this);
    buildLayout();
}

Report::~Report()
{
    // Checks still running for a closed window are called off; their results go nowhere.
    for (const StopFlag& flag : std::as_const(m_work))
        flag->store(true);
}

void Report::buildLayout()
{
    Label1 = new QLabel(QStringLiteral("Files in the skins folder that need your attention:"));
    Label1->setObjectName(QStringLiteral("Label1"));
    Table1 = makeTable(QStringLiteral("Table1"), {QStringLiteral("File"), QStringLiteral("Reason")});
    Label1->setBuddy(Table1);
    Label2 = new QLabel(QStringLiteral("Slots with a recorded skin, checked against the game folder:"));
    Label2->setObjectName(QStringLiteral("Label2"));
    Table2 = makeTable(QStringLiteral("Table2"),
                       {QStringLiteral("Slot"), QStringLiteral("Skin"), QStringLiteral("Game folder"), QString()});
    Label2->setBuddy(Table2);
    Label3 = new QLabel(QStringLiteral("Reading the skins folder..."));
    Label3->setObjectName(QStringLiteral("Label3"));
    Image1 = makeBanner(QStringLiteral("Image1"));

    const int charWidth = fontMetrics().averageCharWidth();
    Table1->setFixedSize(charWidth * 110, fontMetrics().height() * 14);
    Table1->setColumnWidth(0, charWidth * 28);
    Table2->setFixedSize(charWidth * 110, fontMetrics().height() * 12);
    Table2->setColumnWidth(0, charWidth * 24);
    Table2->setColumnWidth(1, charWidth * 30);
    Table2->setColumnWidth(kStateColumn, charWidth * 30);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(6);
    layout->addWidget(Label1);
    layout->addWidget(Table1);
    layout->addSpacing(6);
    layout->addWidget(Label2);
    layout->addWidget(Table2);
    layout->addWidget(Label3);
    layout->addWidget(Image1, 0, Qt::AlignHCenter);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void Report::Form_Load()
{
    // The folders the main window works with: its list's skins folder, and the game folder and
    // skins folder an installation uses.
    Principal& main = Principal::instance();
    const QString listed = usableFolder(main.File1.Path());
    m_skinsFolderSet = !main.File1.Path().isEmpty();
    m_skins = main.SKINSFOLDER;
    m_game = usableFolder(main.INSTFOLDER);
    const QString settings = Modulo::settingsPath();
    QList<QPair<QString, QString>> recorded;
    for (const Slot& s : slotTable()) {
        const QString skin = Modulo::LEEINI(settings, SettingsNames::kSkinsSectionAtLoad, s.SlotCode());
        if (!skin.isEmpty() && skin != kDefaultSkin)
            recorded.append({s.SlotCode(), skin});
    }
    // Thousands of packages take a moment: the window opens at once and fills when ready.
    QPointer<Report> self(this);
    m_work.append(
        background::run([self, listed, skins = m_skins, game = m_game, recorded](const std::atomic_bool& stop) {
            const QList<ReportProblem> problems = skinsFolderProblems(listed, stop);
            QList<SlotState> states;
            for (const auto& [code, skin] : recorded)
                states.append(installedState(usableFolder(skins), game, code, skin, stop));
            if (stop)
                return;
            QMetaObject::invokeMethod(QCoreApplication::instance(), [self, problems, states] {
                if (self)
                    self->fill(problems, states);
            });
        }));
}

void Report::fill(const QList<ReportProblem>& problems, const QList<SlotState>& states)
{
    const int shown = static_cast<int>(std::min<qsizetype>(problems.size(), kMaxProblemRows));
    Table1->setRowCount(shown);
    for (int row = 0; row < shown; ++row) {
        Table1->setItem(row, 0, new QTableWidgetItem(problems[row].file));
        auto* reason = new QTableWidgetItem(problems[row].reason);
        reason->setToolTip(problems[row].reason);
        Table1->setItem(row, 1, reason);
    }
    Table1->resizeRowsToContents();

    m_states = states;
    Table2->setRowCount(static_cast<int>(states.size()));
    for (int row = 0; row < states.size(); ++row) {
        Table2->setItem(row, 0, new QTableWidgetItem(slotTitle(states[row].code)));
        Table2->setItem(row, 1, new QTableWidgetItem(states[row].skin));
        fillState(row, states[row]);
    }
    if (!m_skinsFolderSet)
        Label3->setText(QStringLiteral("No skins folder is set."));
    else
        Label3->setText(
            problems.isEmpty()
                ? QStringLiteral("No file in the skins folder needs your attention.")
                : QString::number(problems.size()) +
                      QLatin1String(problems.size() == 1 ? " file needs your attention."
                                                         : " files need your attention.") +
                      (shown < problems.size() ? QStringLiteral(" The first %1 are listed.").arg(shown) : QString()));
    m_ready = true;
    Q_EMIT Ready();
}

void Report::fillState(int row, const SlotState& state)
{
    Table2->setItem(row, kStateColumn, new QTableWidgetItem(state.state));
    Table2->removeCellWidget(row, kButtonColumn);
    if (state.asInstalled)
        return;
    auto* button = new QPushButton(QStringLiteral("Reinstall"));
    button->setObjectName(QStringLiteral("Reinstall%1").arg(row + 1));
    // With its package gone or unreadable, or no folder to install into, installing would at
    // best delete the slot's files.
    button->setEnabled(state.reinstallable);
    button->setToolTip(state.reinstallable ? QStringLiteral("Install %1 into this slot again").arg(state.skin)
                                           : QStringLiteral("Cannot install: ") + state.state);
    connectHandler(button, &QPushButton::clicked, this, &Report::Reinstall_Click, row);
    Table2->setCellWidget(row, kButtonColumn, button);
}

void Report::Reinstall_Click(int row)
{
    if (row < 0 || row >= m_states.size())
        return;
    const SlotState old = m_states[row];
    // The sequence every change runs, with a package that must still be whole: the button was
    // offered for a package this window saw.
    const Principal& main = Principal::instance();
    {
        // Its history entry says what it was.
        const HistoryBatch reinstall(QStringLiteral("reinstall"));
        SlotChange change =
            SlotChange::install(main.INSTFOLDER, m_skins, main.INIFILE, old.code, old.skin, PackageRule::OnlyWhole);
        if (change.run() == SlotChange::Begun::Refused)
            tellNotInstalled(old.skin, change.problem());
    }
    // The check reads every file of the package again: on the program's pool, so the window
    // answers meanwhile. Its button waits for the result.
    m_states[row].state = QStringLiteral("checking...");
    m_states[row].asInstalled = false;
    m_states[row].reinstallable = false;
    fillState(row, m_states[row]);
    m_ready = false;
    QPointer<Report> self(this);
    m_work.append(background::run([self, row, skins = m_skins, game = m_game, old](const std::atomic_bool& stop) {
        const SlotState state = installedState(usableFolder(skins), game, old.code, old.skin, stop);
        if (stop)
            return;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, row, state] {
            if (!self)
                return;
            self->m_states[row] = state;
            self->fillState(row, state);
            self->m_ready = true;
            Q_EMIT self->Ready();
        });
    }));
}

} // namespace kvr
