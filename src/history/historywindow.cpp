#include "history/historywindow.h"

#include "app/background.h"
#include "app/progresstask.h"
#include "app/toolkit.h"
#include "catalogue/slots.h"

#include <QAction>
#include <QCoreApplication>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <optional>

namespace kvr {

namespace {

enum Column { When, Change, Slots, From, To, Files, Size, ColumnCount };

// A reset touches every slot: its row says so rather than listing thirty.
QString joined(const QList<HistorySlot>& slots, QString HistorySlot::*field)
{
    QStringList values;
    for (const HistorySlot& s : slots)
        if (!values.contains(s.*field))
            values.append(s.*field);
    return values.join(QStringLiteral(", "));
}

QString slotList(const QList<HistorySlot>& slots)
{
    if (slots.size() == qsizetype(slotTable().size()))
        return QStringLiteral("all %1").arg(slots.size());
    return joined(slots, &HistorySlot::slot);
}

// Undo and restore share one progress dialog name: by it the pool's tasks tell whether one runs.
const QString kRestoreProgress = QStringLiteral("RestoreProgress");

bool restoreRunning()
{
    return ProgressTask::running(kRestoreProgress) != nullptr;
}

struct RestoreOutcome
{
    QList<HistorySlot> slots;
    QString problem;
};

// An undo (no target: the newest entry) or a restore, on the program's pool. The window stays
// usable meanwhile; a second one cannot start until it is done. Once it writes into the game
// folder it finishes, even when the player quits.
void startRestore(QWidget* window, const std::optional<HistoryEntry>& target)
{
    if (restoreRunning())
        return;
    const MainWindow& main = mainWindow();
    const QString settings = main.settingsFile();
    const QString game = main.gameFolder();
    const QString kind = target ? QStringLiteral("restore") : QStringLiteral("undo");
    auto outcome = std::make_shared<RestoreOutcome>();
    ProgressLook look;
    look.objectName = kRestoreProgress;
    look.title = window->windowTitle();
    look.label = target ? QStringLiteral("Putting the slots back as they were before the change...")
                        : QStringLiteral("Undoing the last change...");
    // Once the game folder is locked, the files are put back whole: Cancel is off then.
    const QString finishing = target ? QStringLiteral("Finishing the restore: putting the slots' files back...")
                                     : QStringLiteral("Finishing the undo: putting the slots' files back...");
    const auto work = [settings, game, kind, target, outcome, finishing](const std::atomic_bool& stop,
                                                                         WorkProgress& progress) {
        // Only a wait for a game folder another program holds can be cancelled: nothing has
        // been touched until the lock is won.
        const LockWait waitForLock = [&stop, &progress, &finishing](const QString& waitingFor,
                                                                    const std::function<bool()>& tryLock) {
            progress.cancellable(waitingFor);
            return lockWaitUntilCancelled(stop)(waitingFor, tryLock) && progress.finishing(stop, finishing);
        };
        if (!progress.finishing(stop, finishing))
            return;
        try {
            HistoryEntry entry;
            if (target) {
                entry = *target;
            } else {
                const std::optional<HistoryEntry> newest = HistoryStore(settings).newest(usableFolder(game));
                if (!newest) {
                    outcome->problem = QStringLiteral("There is no change to undo.");
                    return;
                }
                entry = *newest;
            }
            outcome->slots = entry.slots;
            restoreBefore(settings, game, entry, kind, waitForLock);
        } catch (const Error& e) {
            if (!stop)
                outcome->problem = e.description();
        }
    };
    ProgressTask* task = ProgressTask::start(window, look, work, Qt::NonModal, ProgressTask::Ending::Finish);
    QObject::connect(task, &ProgressTask::Finished, task, [outcome] {
        if (mainWindowExists())
            showSkins(mainWindow(), outcome->slots);
        if (HistoryWindow::exists())
            HistoryWindow::instance().refill();
        if (!outcome->problem.isEmpty())
            MsgBox(outcome->problem, vbExclamation);
    });
    if (HistoryWindow::exists())
        HistoryWindow::instance().enableCommands();
}

} // namespace

ProgressTask* restoreUnderWay()
{
    return ProgressTask::running(kRestoreProgress);
}

HistoryWindow::HistoryWindow()
{
    setUpWindow(QStringLiteral("History"), QStringLiteral("Kestrava _ Skin Installer v1.1 _ History"));
    closeOnEscape(*this);
    buildLayout();
}

void HistoryWindow::buildLayout()
{
    Label1 = new QLabel(QStringLiteral("Changes to the game folder, newest first:"));
    Label1->setObjectName(QStringLiteral("Label1"));
    Table1 = new QTableWidget(0, ColumnCount);
    Table1->setObjectName(QStringLiteral("Table1"));
    Table1->setHorizontalHeaderLabels({QStringLiteral("When"), QStringLiteral("Change"), QStringLiteral("Slots"),
                                       QStringLiteral("From"), QStringLiteral("To"), QStringLiteral("Files"),
                                       QStringLiteral("Size")});
    Table1->verticalHeader()->hide();
    Table1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table1->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table1->setSelectionMode(QAbstractItemView::SingleSelection);
    Table1->horizontalHeader()->setStretchLastSection(true);
    Table1->setWordWrap(false);
    Label1->setBuddy(Table1);
    Label2 = new QLabel(QStringLiteral("Reading the history..."));
    Label2->setObjectName(QStringLiteral("Label2"));
    Command1 = new QPushButton(QStringLiteral("&Restore"));
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setToolTip(QStringLiteral("Put this change's slots back as they were just before it"));
    Command1->setEnabled(false);
    Command2 = new QPushButton(QStringLiteral("&Forget Older Changes"));
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setToolTip(QStringLiteral("Forget the changes older than the selected one; the game's own files stay"));

    const int charWidth = fontMetrics().averageCharWidth();
    Table1->setFixedSize(charWidth * 120, fontMetrics().height() * 18);
    Table1->setColumnWidth(When,
                           fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + charWidth * 3);
    Table1->setColumnWidth(Change, charWidth * 14);
    Table1->setColumnWidth(Slots, charWidth * 12);
    Table1->setColumnWidth(From, charWidth * 20);
    Table1->setColumnWidth(To, charWidth * 20);
    Table1->setColumnWidth(Files, charWidth * 7);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Label2, 1);
    buttons->addWidget(Command1);
    buttons->addWidget(Command2);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(6);
    layout->addWidget(Label1);
    layout->addWidget(Table1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    ForgetFirstStates = new QAction(QStringLiteral("Forget Older Changes and the Game's Own Skins..."), Table1);
    ForgetFirstStates->setObjectName(QStringLiteral("ForgetFirstStates"));
    Table1->addAction(ForgetFirstStates);
    Table1->setContextMenuPolicy(Qt::ActionsContextMenu);

    connect(Table1, &QTableWidget::itemSelectionChanged, this, &HistoryWindow::enableCommands);
    connectHandler(Command1, &QPushButton::clicked, this, &HistoryWindow::Command1_Click);
    connectHandler(Command2, &QPushButton::clicked, this, &HistoryWindow::Command2_Click);
    connectHandler(ForgetFirstStates, &QAction::triggered, this, &HistoryWindow::ForgetFirstStates_Click);
}

const HistoryEntry* HistoryWindow::selectedEntry() const
{
    // The selection, not the current cell: a row can be current without being selected.
    const QModelIndexList rows = Table1->selectionModel()->selectedRows();
    if (!m_ready || rows.size() != 1 || rows[0].row() >= m_entries.size())
        return nullptr;
    return &m_entries[rows[0].row()];
}

void HistoryWindow::enableCommands()
{
    const HistoryEntry* selected = selectedEntry();
    const bool free = !restoreRunning() && selected;
    Command1->setEnabled(free && selected->damage.isEmpty());
    Command2->setEnabled(free);
    ForgetFirstStates->setEnabled(free);
}

void HistoryWindow::Form_Load()
{
    const MainWindow& main = mainWindow();
    m_settings = main.settingsFile();
    m_game = usableFolder(main.gameFolder());
    refill();
}

void HistoryWindow::refill()
{
    m_ready = false;
    // A long history takes a moment to read: the window opens at once and fills when ready.
    QPointer<HistoryWindow> self(this);
    background::run([self, settings = m_settings, game = m_game](const std::atomic_bool&) {
        const HistoryStore store(settings);
        const QList<HistoryEntry> entries = store.entries(game);
        const qint64 used = store.spaceUsed();
        const qint64 cap = store.cap(used);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, entries, used, cap] {
            if (self)
                self->fill(entries, used, cap);
        });
    });
}

void HistoryWindow::fill(const QList<HistoryEntry>& entries, qint64 used, qint64 cap)
{
    m_entries = entries;
    Table1->clearSelection();
    Table1->setRowCount(static_cast<int>(entries.size()));
    const QLocale locale;
    for (int row = 0; row < entries.size(); ++row) {
        const HistoryEntry& e = entries[row];
        const bool damaged = !e.damage.isEmpty();
        const QStringList cells = {
            locale.toString(QDateTime::fromMSecsSinceEpoch(e.time), QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            damaged ? QStringLiteral("damaged: ") + e.damage : e.kind,
            slotList(e.slots),
            joined(e.slots, &HistorySlot::before),
            joined(e.slots, &HistorySlot::after),
            QString::number(e.kept.size() + e.created.size()),
            locale.formattedDataSize(e.keptBytes()),
        };
        for (int column = 0; column < ColumnCount; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setToolTip(cells[column]);
            if (damaged)
                item->setForeground(palette().color(QPalette::Disabled, QPalette::Text));
            Table1->setItem(row, column, item);
        }
    }
    Label2->setText(
        QStringLiteral("Space used: %1 of %2").arg(locale.formattedDataSize(used), locale.formattedDataSize(cap)));
    m_ready = true;
    enableCommands();
    Q_EMIT Ready();
}

void HistoryWindow::Command1_Click()
{
    if (const HistoryEntry* selected = selectedEntry())
        startRestore(this, *selected);
}

void HistoryWindow::Command2_Click()
{
    if (!selectedEntry() ||
        MsgBox(QStringLiteral("Forget the changes older than the selected one? They can no longer be undone. The "
                              "game's own files of each slot are kept."),
               vbOKCancel | vbQuestion | vbDefaultButton2) != vbOK)
        return;
    forget(false);
}

void HistoryWindow::ForgetFirstStates_Click()
{
    if (!selectedEntry() ||
        MsgBox(QStringLiteral("Forget the changes older than the selected one, and the game's own files each slot "
                              "had before this program first changed it?\n\nThis cannot be undone: the game's own "
                              "skins can no longer be put back from the history."),
               vbOKCancel | vbExclamation | vbDefaultButton2) != vbOK)
        return;
    forget(true);
}

void HistoryWindow::forget(bool firstStatesToo)
{
    const HistoryEntry* selected = selectedEntry();
    if (restoreRunning() || !selected)
        return;
    // By its number: rows another instance added since the list was read do not shift it.
    const qint64 id = selected->id;
    m_ready = false;
    QPointer<HistoryWindow> self(this);
    // Another instance's change may hold the history a moment.
    background::run([self, settings = m_settings, id, firstStatesToo](const std::atomic_bool&) {
        QString problem;
        try {
            HistoryStore(settings).forgetOlderThan(id, firstStatesToo);
        } catch (const Error& e) {
            problem = e.description();
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, problem] {
            if (!problem.isEmpty())
                MsgBox(problem, vbExclamation);
            if (self)
                self->refill();
        });
    });
}

void showSkins(MainWindow& main, const QList<HistorySlot>& slots)
{
    for (const HistorySlot& s : slots)
        main.showRecordedSkin(s.slot);
}

void undoLastChange(MainWindow& main)
{
    startRestore(&main.widget(), std::nullopt);
}

} // namespace kvr
