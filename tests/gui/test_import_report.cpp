#include "guisupport.h"
#include "installer/importflow.h"
#include "zipwriter.h"

#include <QContextMenuEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

using namespace Qt::StringLiterals;

using kvr::Principal;

namespace {

using kvrtest::dropFiles;
using kvrtest::itemsOf;

// The entries of the menu the window pops up, as "text shortcut|enabled", and the menu closed again.
QStringList popUpEntries(QWidget* target)
{
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), target->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(target, &event);
    QStringList entries;
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu)
        return entries;
    for (QAction* a : menu->actions())
        if (!a->isSeparator())
            entries << QStringList{a->text(), a->shortcut().toString()}.join(u' ').trimmed() +
                           (a->isEnabled() ? u"|on"_s : u"|off"_s);
    menu->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return entries;
}

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }
};

// The main window shown, and its report opened from the menu and filled.
kvr::Report& openReport()
{
    Principal::instance().Show();
    kvrtest::triggerMenuEntry(u"SkinsFolderReport"_s);
    kvr::Report& report = kvr::Report::instance();
    QTest::qVerify(QTest::qWaitFor([&report] { return report.ready(); }), "openReport", "", __FILE__, __LINE__);
    return report;
}

} // namespace

class TestImportReport : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { openProgram(); }
    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        kvr::setImportQuestionHandler({});
        kvr::setExistingPackageHandler({});
        closeProgram();
    }

    void menuEntriesAndTheirState()
    {
        const auto expected = [](const QString& opens) {
            return QStringList{u"Import Packages... Ctrl+I|on"_s,
                               u"Skins Folder Report...|on"_s,
                               u"Loadouts...|on"_s,
                               u"Undo Last Change Ctrl+Z|on"_s,
                               u"History...|on"_s,
                               u"Open Game Folder|"_s + opens,
                               u"Open Skins Folder|"_s + opens};
        };
        // No settings yet: nothing to open, and importing says where to start.
        Principal::instance().Show();
        QCOMPARE(popUpEntries(&Principal::instance()), expected(u"off"_s));
        QCOMPARE(popUpEntries(Principal::instance().findChild<QLabel*>(u"Label7"_s)), expected(u"off"_s));
        Principal::instance().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&Principal::instance()));
        QTest::keyClick(&Principal::instance(), Qt::Key_I, Qt::ControlModifier);
        QVERIFY(messages->askedOnce(u"Set the skins folder in the Control Panel first."_s, kvr::vbExclamation,
                                    kvr::defaultMsgBoxTitle()));
        // The keyboard's ways to the menu, with the focus in a slot box.
        Principal::instance().Combo(7).setFocus();
        for (const auto& [key, modifiers] :
             {std::pair{Qt::Key_F10, Qt::ShiftModifier}, std::pair{Qt::Key_Menu, Qt::NoModifier}}) {
            QTest::keyClick(Principal::instance().Combo(7).lineEdit(), key, modifiers);
            auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(popup);
            QCOMPARE(popup->objectName(), u"PrincipalMenu"_s);
            popup->close();
        }
        QVERIFY(kvrtest::closeEveryWindow());

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(u"file"_s, &catcher, "open");
        QVERIFY(ws->writeSettings());
        Principal& main = kvrtest::shownMainWindow();
        QCOMPARE(popUpEntries(&main), expected(u"on"_s));
        kvrtest::triggerMenuEntry(u"OpenSkinsFolder"_s);
        QCOMPARE(catcher.urls, QList<QUrl>({QUrl::fromLocalFile(ws->skinsFolder())}));
        QDesktopServices::unsetUrlHandler(u"file"_s);

        // Withdrawn under a child window, the main window offers no menu.
        main.setEnabled(false);
        QVERIFY(popUpEntries(&main).isEmpty());
        main.setEnabled(true);
    }

    // A misnamed archive whose files tell the slot, and one whose files fit two slots: the player
    // is asked about the second only, and both are in the slot lists at once with their previews.
    void dropTwoArchives()
    {
        QVERIFY(ws->writeSettings());
        QTemporaryDir downloads;
        const QString zip = downloads.filePath(u"spitfire_desert_v2.zip"_s), two = downloads.filePath(u"pack.zip"_s);
        QVERIFY(kvr::writeZip(zip, {{"PSP2A.TPC", "body"}, {"desert.jpg", "picture"}, {"notes.txt", "by Jo"}}));
        QVERIFY(
            kvr::writeZip(two, {{"PHURR.TPC", "PK"}, {"PMOSQ.TPC", "PK"}, {"PMOSQ_L.TPC", "PK"}, {"shot.png", "PK"}}));
        QList<kvr::ImportQuestion> asked;
        kvr::setImportQuestionHandler([&](const kvr::ImportQuestion& q) {
            asked << q;
            return kvr::ImportAnswer{true, q.guess.best(), u"Pack Two"_s};
        });
        Principal& main = kvrtest::shownMainWindow();
        QVERIFY(dropFiles(&main, {zip, two}));
        QTRY_COMPARE(messages->calls.size(), 1);

        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked[0].fileName, u"pack.zip"_s);
        QVERIFY2(messages->calls[0].prompt.contains(u"SP2A_spitfire_desert_v2.zip, with its preview and note"_s),
                 qPrintable(messages->calls[0].prompt));
        main.ComboN_DropDown(2);
        QVERIFY(itemsOf(main.Combo(2)).contains(u"spitfire_desert_v2"_s));
        main.ComboN_DropDown(7);
        QVERIFY(itemsOf(main.Combo(7)).contains(u"Pack Two"_s));

        // The same archive again on the viewer: the name exists; Skip leaves everything as it was.
        kvr::setExistingPackageHandler([](const QString&, bool) { return kvr::ExistingPackageAnswer::Skip; });
        kvr::Visor& viewer = kvr::Visor::instance();
        viewer.Show();
        QVERIFY(dropFiles(&viewer, {zip}));
        QTRY_COMPARE(messages->calls.size(), 2);
        QVERIFY(messages->calls[1].prompt.contains(u"skipped: SP2A_spitfire_desert_v2.zip exists"_s));
    }

    // Two archives of one drop that make one package: the player is told it is this import's,
    // Replace means replace, Keep Both keeps both, and the viewer dropped on lists them at once.
    // A leftover of a killed import is gone when the main window loads.
    void oneNameTwiceInOneDrop_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::addColumn<QStringList>("packages");
        QTest::newRow("replace") << true << QStringList({u"SP2A_Desert.zip"_s});
        QTest::newRow("keep both") << false << QStringList({u"SP2A_Desert (2).zip"_s, u"SP2A_Desert.zip"_s});
    }
    void oneNameTwiceInOneDrop()
    {
        QFETCH(bool, replace);
        QFETCH(QStringList, packages);
        QVERIFY(ws->writeSettings());
        const QString leftover = ws->skinsFolder() + u"/.kvrsi-import-0a1b2c.zip"_s;
        QVERIFY(kvrtest::writeFile(leftover, "cut"_ba));
        QFile old(leftover);
        QVERIFY(old.open(QIODevice::ReadWrite) &&
                old.setFileTime(QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime));
        old.close();
        QTemporaryDir downloads;
        const QString first = downloads.filePath(u"a/SP2A_Desert.zip"_s),
                      second = downloads.filePath(u"b/SP2A_Desert.zip"_s);
        QVERIFY(QDir().mkpath(downloads.filePath(u"a"_s)) && QDir().mkpath(downloads.filePath(u"b"_s)));
        QVERIFY(kvr::writeZip(first, {{"PSP2A.TPC", "first"}}));
        QVERIFY(kvr::writeZip(second, {{"PSP2A.TPC", "second"}}));
        QStringList asked;
        kvr::setExistingPackageHandler([&](const QString& package, bool earlierInImport) {
            asked << package + (earlierInImport ? u" in this import"_s : u" in the folder"_s);
            return replace ? kvr::ExistingPackageAnswer::Replace : kvr::ExistingPackageAnswer::KeepBoth;
        });
        Principal::instance().Show();
        QVERIFY(!QFileInfo::exists(leftover));
        kvr::Visor& viewer = kvr::Visor::instance();
        viewer.Show();
        QVERIFY(dropFiles(&viewer, {first, second}));
        QTRY_COMPARE(messages->calls.size(), 1);
        QCOMPARE(asked, QStringList({u"SP2A_Desert.zip in this import"_s}));
        QCOMPARE(kvrtest::filesIn(ws->skinsFolder()), packages);
        QCOMPARE(kvrtest::readFile(ws->skinsFolder() + u'/' + packages.first()), kvrtest::readFile(second));
        QCOMPARE(messages->calls[0].prompt.contains(u"SP2A_Desert.zip: replaced by SP2A_Desert.zip of this import"_s),
                 replace);
        auto* list = viewer.findChild<QListWidget*>(u"List1"_s);
        QVERIFY(!list->findItems(QFileInfo(packages.first()).completeBaseName().mid(5), Qt::MatchExactly).isEmpty());
    }

    // The slot dialog tells why it asks: the name that tells the slot is not taken for "no slot".
    void slotDialogHint_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QString>("problem");
        QTest::newRow("name tells the slot, no skin name")
            << u"SP2A_.zip"_s << u"Its slot is selected; the skin name will not do as it is."_s
            << u"The skin name is empty."_s;
        // The list has the focus, which makes a row current; only a selected one is a choice.
        QTest::newRow("nothing tells it")
            << u"pack.zip"_s << u"Neither its name nor its files tell the slot."_s << u"Choose a slot."_s;
    }
    void slotDialogHint()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, hint);
        QFETCH(QString, problem);
        QVERIFY(ws->writeSettings());
        QTemporaryDir downloads;
        QVERIFY(kvr::writeZip(downloads.filePath(fileName), {{"readme.txt", "note"}}));
        QString shown, problemShown;
        QColor problemColour;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (QWidget* dialog = kvrtest::openWindow(u"ImportDialog"_s)) {
                shown = dialog->findChild<QLabel*>(u"Label2"_s)->text();
                const auto* problemLabel = dialog->findChild<QLabel*>(u"NameProblem"_s);
                problemShown = problemLabel->text();
                problemColour = problemLabel->palette().color(QPalette::WindowText);
                dialog->findChild<QPushButton*>(u"Skip"_s)->click();
            }
        });
        poll.start(20);
        QVERIFY(dropFiles(&kvrtest::shownMainWindow(), {downloads.filePath(fileName)}));
        QTRY_COMPARE(messages->calls.size(), 1);
        QCOMPARE(shown, hint);
        QCOMPARE(problemShown, problem);
        QCOMPARE(problemColour, QColor(0xC0, 0, 0)); // what stops the import shows in red
    }

    // With neither folder set the report says so, and looks at no other folder in their place. Then
    // it names the planted problem, and reinstalls a slot; and of tens of thousands of files, which
    // would hold the window, it lists the first 2,000.
    void reportWindow()
    {
        QVERIFY(kvrtest::writeFile(ws->iniPath(), kvrtest::skinsSection({u"MOSQ=Sqn105"_s})));
        kvr::Report& unset = openReport();
        QCOMPARE(unset.findChild<QLabel*>(u"Label3"_s)->text(), u"No skins folder is set."_s);
        QCOMPARE(unset.findChild<QTableWidget*>(u"Table2"_s)->item(0, 2)->text(), u"game folder not set"_s);
        QVERIFY(kvrtest::closeEveryWindow());
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s, {{"PMOSQ.TPC", "body"}}));
        QVERIFY(kvrtest::writeFile(ws->skinsFolder() + u"/MOSQ.zip"_s, "short"_ba));
        QVERIFY(kvrtest::writeFile(ws->gameFolder() + u"/PMOSQ.TPC"_s, "BODY"_ba));
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"MOSQ=Sqn105"_s, u"HURR=(Default)"_s, u"SP2A=Gone"_s})));
        kvr::Report& report = openReport();
        QCOMPARE(report.windowTitle(), u"Kestrava _ Skin Installer v1.1 _ Report"_s);

        auto* problems = report.findChild<QTableWidget*>(u"Table1"_s);
        QCOMPARE(problems->rowCount(), 1);
        QCOMPARE(problems->item(0, 0)->text(), u"MOSQ.zip"_s);
        auto* slots = report.findChild<QTableWidget*>(u"Table2"_s);
        QCOMPARE(slots->rowCount(), 2); // "(Default)" is no package
        QCOMPARE(slots->item(0, 2)->text(), u"package not found"_s);
        QCOMPARE(slots->item(1, 2)->text(), u"1 file differs"_s);
        QVERIFY(!report.findChild<QPushButton*>(u"Reinstall1"_s)->isEnabled());
        // The check after installing runs away from the window thread: the row says so meanwhile.
        report.findChild<QPushButton*>(u"Reinstall2"_s)->click();
        QCOMPARE(slots->item(1, 2)->text(), u"checking..."_s);
        QTRY_COMPARE(slots->item(1, 2)->text(), u"as installed"_s);
        // A package that cannot be opened any more: the row says why.
        QVERIFY(kvrtest::writeFile(ws->gameFolder() + u"/PMOSQ.TPC"_s, "BODY"_ba));
        kvrtest::closeWindow(report);
        kvr::Report& again = openReport();
        QVERIFY(kvrtest::writeFile(ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s, "not a zip"_ba));
        again.findChild<QPushButton*>(u"Reinstall2"_s)->click();
        slots = again.findChild<QTableWidget*>(u"Table2"_s);
        QTRY_COMPARE(slots->item(1, 2)->text(), u"package not readable: Not a zip archive"_s);
        QVERIFY(!again.findChild<QPushButton*>(u"Reinstall2"_s)->isEnabled());
        QCOMPARE(again.findChild<QLabel*>(u"Label3"_s)->text(), u"1 file needs your attention."_s);

        // With the two already named, 2,002 files need attention.
        for (int i = 0; i < 2000; ++i)
            QVERIFY(
                QFile(ws->skinsFolder() + u"/Lonely %1.txt"_s.arg(i, 4, 10, QChar(u'0'))).open(QIODevice::WriteOnly));
        kvrtest::closeWindow(again);
        kvr::Report& many = openReport();
        QCOMPARE(many.findChild<QTableWidget*>(u"Table1"_s)->rowCount(), 2000);
        QCOMPARE(many.findChild<QLabel*>(u"Label3"_s)->text(),
                 u"2002 files need your attention. The first 2000 are listed."_s);
    }
};

QTEST_MAIN(TestImportReport)
#include "test_import_report.moc"
