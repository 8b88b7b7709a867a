// The main window's Undo Last Change (menu and Ctrl+Z) and the History window: rows newest first,
// a damaged entry shown with its reason and never restored, Restore off the window's thread, one
// at a time, and the slot boxes showing the restored skins as soon as it is done; the progress
// dialog's Cancel, and Escape closing the program's newer windows.
#include "app/msgboxdialog.h"
#include "app/progresstask.h"
#include "guisupport.h"
#include "history/undotext.h"
#include "zipwriter.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTableWidget>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>

using namespace Qt::StringLiterals;
using kvr::Principal;

namespace {

// Waits for the end of the undo or restore under way.
bool restoreEnds()
{
    kvr::ProgressTask* task = kvr::restoreUnderWay();
    if (!task)
        return false;
    QSignalSpy finished(task, &kvr::ProgressTask::Finished);
    return finished.wait(20000);
}

// Holds the undo or restore under way half-way, its slot's files cleared, until released.
struct HeldRestore
{
    HeldRestore()
    {
        kvr::setRestoreProbe([this](kvr::ChangeStep step) {
            if (step != kvr::ChangeStep::Deleted)
                return;
            ranOn = QThread::currentThread();
            reached.release();
            if (ranOn != QCoreApplication::instance()->thread()) // held there, the window would hang
                goOn.acquire();
        });
    }
    ~HeldRestore() { kvr::setRestoreProbe({}); }
    bool held() { return reached.tryAcquire(1, 20000); }

    QSemaphore reached, goOn;
    QThread* ranOn = nullptr;
};

// The texts of one column of the History window's list, top to bottom.
QStringList column(const QTableWidget* table, int c)
{
    QStringList texts;
    for (int row = 0; row < table->rowCount(); ++row)
        texts.append(table->item(row, c)->text());
    return texts;
}

} // namespace

class TestHistoryWindow : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init()
    {
        openProgram();
        QVERIFY(kvrtest::writeFile(ws->gameFolder() + u"/PMOSQ.TPC"_s, "the game's own"));
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s, {{"PMOSQ.TPC", "Sqn105"}}));
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"MOSQ=(Default)"_s})));
    }
    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        closeProgram();
    }

    void undoLastChange()
    {
        Principal& main = kvrtest::shownMainWindow();
        main.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        // Nothing to undo yet: the menu's entry is off; Ctrl+Z says so, changing nothing.
        const auto undoEntry = [&main] {
            auto menu = std::shared_ptr<QMenu>(kvr::buildPrincipalMenu(main));
            return std::make_pair(menu, menu->findChild<QAction*>(u"UndoLastChange"_s));
        };
        auto [menu, undo] = undoEntry();
        QTRY_VERIFY(!undo->isEnabled());
        QCOMPARE(undo->text(), u"Undo Last Change"_s);
        kvr::undoLastChange(main);
        QVERIFY(restoreEnds());
        QVERIFY(messages->askedOnce(u"There is no change to undo."_s, kvr::vbExclamation, kvr::defaultMsgBoxTitle()));
        main.DESCOMPRIME(u"Sqn105"_s, u"MOSQ"_s);
        kvrtest::comboOf(7)->setText(u"Sqn105"_s);
        std::tie(menu, undo) = undoEntry();
        QTRY_COMPARE(undo->text(), u"Undo Last Change: Mosquito_VI to Sqn105"_s);
        // Wherever the focus is: a slot box's text field keeps no Ctrl+Z of its own.
        kvrtest::comboOf(7)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(restoreEnds());
        QCOMPARE(kvrtest::comboOf(7)->Text(), u"(Default)"_s);
        // The undo undone from the menu.
        std::tie(menu, undo) = undoEntry();
        QTRY_COMPARE(undo->text(), u"Undo Last Change: Mosquito_VI to (Default)"_s);
        undo->trigger();
        QVERIFY(restoreEnds());
        QCOMPARE(kvrtest::comboOf(7)->Text(), u"Sqn105"_s);
    }

    void historyRestoreAndForget()
    {
        Principal& main = kvrtest::shownMainWindow();
        main.DESCOMPRIME(u"Sqn105"_s, u"MOSQ"_s);
        QVERIFY(kvrtest::writeFile(ws->programFolder() + u"/KVRSI.history/entries/99.entry"_s, "hand-edited"));
        kvrtest::triggerMenuEntry(u"History"_s);
        kvr::HistoryWindow& history = kvr::HistoryWindow::instance();
        QVERIFY(history.isVisible() && !main.isEnabled());
        QCOMPARE(history.windowTitle(), u"Kestrava _ Skin Installer v1.1 _ History"_s);
        QTRY_VERIFY(history.ready());
        auto* table = kvrtest::childOf<QTableWidget>(history, u"Table1"_s);
        auto* restore = kvrtest::childOf<QPushButton>(history, u"Command1"_s);
        QVERIFY(table->item(0, 1)->text().startsWith(u"damaged: "_s));
        QCOMPARE(column(table, 1).mid(1), QStringList{u"install"_s});
        QCOMPARE(table->item(1, 2)->text() + u' ' + table->item(1, 4)->text(), u"MOSQ Sqn105"_s);
        QVERIFY(kvrtest::childOf<QLabel>(history, u"Label2"_s)->text().startsWith(u"Space used: "_s));
        table->selectRow(0);
        QVERIFY(!restore->isEnabled());

        // Back to just before the installation, as one new entry, on another thread: held there
        // half-way, it leaves the window painting its progress and refusing a second one.
        auto held = std::make_unique<HeldRestore>();
        table->selectRow(1);
        restore->click();
        QVERIFY(held->held());
        QVERIFY(held->ranOn != QThread::currentThread());
        QTRY_VERIFY(history.findChild<QProgressDialog*>(u"RestoreProgress"_s));
        QVERIFY(!restore->isEnabled());
        kvr::undoLastChange(main);
        std::unique_ptr<QMenu> during(kvr::buildPrincipalMenu(main));
        QVERIFY(!during->findChild<QAction*>(u"UndoLastChange"_s)->isEnabled());
        held->goOn.release();
        QVERIFY(restoreEnds());
        const auto* dialog = history.findChild<QProgressDialog*>(u"RestoreProgress"_s);
        QVERIFY(!dialog || !dialog->isVisible());
        held.reset();
        QCOMPARE(kvrtest::comboOf(7)->Text(), u"(Default)"_s);
        QTRY_COMPARE(column(table, 1).first(), u"restore"_s);
        QCOMPARE(table->rowCount(), 3);

        // Forget Older Changes acts on the selected entry alone, by its number, and asks first
        // with Cancel the default; the slot's first state stays.
        auto* forget = kvrtest::childOf<QPushButton>(history, u"Command2"_s);
        auto* forgetAll = table->findChild<QAction*>(u"ForgetFirstStates"_s);
        table->setCurrentCell(0, 0, QItemSelectionModel::NoUpdate);
        QVERIFY(!forget->isEnabled() && !forgetAll->isEnabled()); // a current cell, nothing selected
        // Another instance's change, newer than every row shown.
        main.DESCOMPRIME(u"Sqn105"_s, u"MOSQ"_s);
        table->selectRow(0); // the restore
        messages->nextAnswers = {kvr::vbCancel};
        forget->click();
        QCOMPARE(messages->calls[0].style, kvr::vbOKCancel | kvr::vbQuestion | kvr::vbDefaultButton2);
        QVERIFY(history.ready()); // nothing forgotten, so nothing to read again
        forget->click();
        QTRY_VERIFY(history.ready());
        QCOMPARE(column(table, 1), QStringList({u"install"_s, u"restore"_s, u"install"_s}));
        // The list's context menu forgets the first state too, once the player has read that this
        // cannot be undone.
        QVERIFY(table->actions().contains(forgetAll));
        messages->calls.clear();
        messages->nextAnswers = {kvr::vbCancel};
        table->selectRow(0);
        forgetAll->trigger();
        QVERIFY(messages->calls.size() == 1 && messages->calls[0].prompt.contains(u"cannot be undone"_s));
        QVERIFY(messages->calls[0].style & kvr::vbDefaultButton2);
        QVERIFY(history.ready());
        forgetAll->trigger();
        QTRY_COMPARE(column(table, 1), QStringList{u"install"_s});

        kvrtest::closeWindow(history);
        QVERIFY(!kvr::HistoryWindow::exists() && main.isEnabled());
    }

    // Cancel of an undo's progress dialog: while it waits for another program to let go of the
    // game folder it calls the undo off, nothing changed; once files are being put back it is
    // off, the dialog says what is being finished and stays until it is. The History window closed
    // while its restore runs: the restore finishes, and the main window shows it.
    void cancelOfAnUndo_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("waiting for the game folder") << u"held"_s;
        QTest::newRow("putting the files back") << u"half-way"_s;
        QTest::newRow("a restore, its window closed") << u"closed"_s;
    }
    void cancelOfAnUndo()
    {
        QFETCH(QString, how);
        const bool folderHeld = how == u"held";
        Principal& main = kvrtest::shownMainWindow();
        main.DESCOMPRIME(u"Sqn105"_s, u"MOSQ"_s);
        kvrtest::comboOf(7)->setText(u"Sqn105"_s);
        const kvr::UniqueFd held(folderHeld ? ::open(QFile::encodeName(ws->gameFolder()).constData(), O_RDONLY) : -1);
        QVERIFY(!folderHeld || ::flock(held.get(), LOCK_EX) == 0);
        std::optional<HeldRestore> halfWay;
        if (!folderHeld)
            halfWay.emplace();
        if (how == u"closed") {
            kvrtest::triggerMenuEntry(u"History"_s);
            kvr::HistoryWindow& history = kvr::HistoryWindow::instance();
            QTRY_VERIFY(history.ready());
            kvrtest::childOf<QTableWidget>(history, u"Table1"_s)->selectRow(0);
            kvrtest::childOf<QPushButton>(history, u"Command1"_s)->click();
            QVERIFY(halfWay->held());
            QTRY_VERIFY(history.findChild<QProgressDialog*>(u"RestoreProgress"_s));
            kvrtest::closeWindow(history);
        } else {
            kvr::undoLastChange(main);
            if (halfWay)
                QVERIFY(halfWay->held());
            QProgressDialog* dialog = nullptr;
            QTRY_VERIFY((dialog = main.findChild<QProgressDialog*>(u"RestoreProgress"_s)) && dialog->isVisible());
            auto* cancel = kvrtest::childOf<QPushButton>(*dialog, QString());
            const QString waiting = u"Another program is using the game folder"_s;
            QTRY_VERIFY(dialog->labelText().startsWith(folderHeld ? waiting : u"Finishing the undo"_s));
            QCOMPARE(cancel->isEnabled(), folderHeld);
            if (folderHeld) {
                cancel->click();
                QVERIFY(restoreEnds());
                QCOMPARE(kvrtest::comboOf(7)->Text(), u"Sqn105"_s);
                QVERIFY(messages->calls.isEmpty());
                return;
            }
            // Neither the button, Escape nor the window's close calls it off or hides it.
            QTest::keyClick(dialog, Qt::Key_Escape);
            dialog->close();
            QVERIFY(dialog->isVisible());
        }
        halfWay->goOn.release();
        QVERIFY(restoreEnds());
        QCOMPARE(kvrtest::comboOf(7)->Text(), u"(Default)"_s);
    }

    // Work a window waits for: a click made before its dialog shows is dropped, not delivered
    // once the work is done; a question of the work's own is answered.
    void clicksBeforeTheDialogAreDropped()
    {
        QPushButton button(u"Reset"_s);
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
        QSignalSpy clicked(&button, &QPushButton::clicked);
        QTimer::singleShot(50, &button, [&button] { QTest::mouseClick(&button, Qt::LeftButton); });
        kvr::ProgressLook look;
        kvr::runWithProgress(&button, look, [](const std::atomic_bool&, kvr::WorkProgress&) { QThread::msleep(250); });
        QTest::qWait(50);
        QCOMPARE(clicked.count(), 0);

        // A question the work asks before its dialog shows takes the player's answer.
        std::atomic_bool answered{false};
        int answer = -1;
        QTimer::singleShot(20, &button, [&] {
            QMessageBox box(QMessageBox::Question, u"Import"_s, u"Which slot?"_s,
                            QMessageBox::Ok | QMessageBox::Cancel);
            box.setDefaultButton(QMessageBox::Ok);
            QTimer::singleShot(50, &box, [&box] { QTest::keyClick(&box, Qt::Key_Return); });
            QTimer::singleShot(2000, &box, &QMessageBox::reject); // unanswered: not kept open for good
            answer = box.exec();
            answered = true;
        });
        kvr::runWithProgress(&button, look, [&answered](const std::atomic_bool& stop, kvr::WorkProgress&) {
            while (!answered && !stop)
                QThread::msleep(10);
        });
        QCOMPARE(answer, int(QMessageBox::Ok));

        // The program ending while the window waits: the wait ends once the work has returned.
        bool returned = false;
        QTimer::singleShot(0, &button, [&] {
            QTimer::singleShot(100, qApp, [] { QCoreApplication::exit(); });
            kvr::runWithProgress(&button, look, [&returned](const std::atomic_bool&, kvr::WorkProgress&) {
                QThread::msleep(400);
                returned = true;
            });
        });
        QCoreApplication::exec();
        QVERIFY(returned);
    }

    // What Undo Last Change names, for each kind of change.
    void undoNamesTheChange_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("slots");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("text");
        QTest::newRow("reset") << u"reset"_s << 30 << QString() << u"Undo Last Change: Reset Skins"_s;
        QTest::newRow("loadout") << u"loadout"_s << 3 << QString() << u"Undo Last Change: Loadout, 3 slots"_s;
        QTest::newRow("loadout of one slot")
            << u"loadout"_s << 1 << QString() << u"Undo Last Change: Loadout, Mosquito_VI to Sqn105"_s;
        QTest::newRow("damaged") << u"install"_s << 1 << u"cut short"_s << u"Undo Last Change"_s;
    }
    void undoNamesTheChange()
    {
        QFETCH(QString, kind);
        QFETCH(int, slots);
        QFETCH(QString, damage);
        QFETCH(QString, text);
        kvr::HistoryEntry entry;
        entry.kind = kind;
        entry.damage = damage;
        for (int i = 0; i < slots; ++i)
            entry.slots.append({i == 0 ? u"MOSQ"_s : kvr::slot(i + 1).SlotCode(), u"(Default)"_s, u"Sqn105"_s});
        QCOMPARE(kvr::undoText(entry), text);
    }

    // Enter answers a question with its default button: Cancel where OK cannot be undone.
    void defaultAnswer_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("answer");
        QTest::newRow("question") << int(kvr::vbOKCancel | kvr::vbQuestion) << int(kvr::vbOK);
        QTest::newRow("cannot be undone")
            << int(kvr::vbOKCancel | kvr::vbQuestion | kvr::vbDefaultButton2) << int(kvr::vbCancel);
    }
    void defaultAnswer()
    {
        QFETCH(int, style);
        QFETCH(int, answer);
        kvr::installMsgBoxDialog();
        QTimer::singleShot(100, qApp, [] {
            if (QWidget* box = QApplication::activeModalWidget())
                QTest::keyClick(box, Qt::Key_Return);
        });
        QCOMPARE(kvr::MsgBox(u"Forget?"_s, style), answer);
    }

    void escapeClosesTheNewWindows_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::newRow("history") << u"History"_s;
        QTest::newRow("loadouts") << u"Loadouts"_s;
        QTest::newRow("report") << u"SkinsFolderReport"_s;
    }
    void escapeClosesTheNewWindows()
    {
        QFETCH(QString, entry);
        Principal& main = kvrtest::shownMainWindow();
        kvrtest::triggerMenuEntry(entry);
        QWidget* window = entry == u"History"_s    ? static_cast<QWidget*>(&kvr::HistoryWindow::instance())
                          : entry == u"Loadouts"_s ? static_cast<QWidget*>(&kvr::Loadouts::instance())
                                                   : static_cast<QWidget*>(&kvr::Report::instance());
        // The offscreen platform leaves the withdrawn main window the active one.
        QApplication::setActiveWindow(window);
        QTest::keyClick(window, Qt::Key_Escape);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTRY_VERIFY(main.isEnabled());
        QVERIFY(!kvr::HistoryWindow::exists() && !kvr::Loadouts::exists() && !kvr::Report::exists());
    }
};

QTEST_MAIN(TestHistoryWindow)
#include "test_history_window.moc"
