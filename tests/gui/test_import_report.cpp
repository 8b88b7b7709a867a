#include "installer/combolist.h"
#include "installer/importflow.h"
#include "installer/principal.h"
#include "installer/principalmenu.h"
#include "installer/report.h"
#include "settings/controlpanel.h"
#include "testsupport.h"
#include "viewer/visor.h"
#include "zipwriter.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableWidget>
#include <QUrl>

#include <optional>

using kvr::Principal;

namespace {

template <typename... Forms> void closeForms()
{
    (void(Forms::exists() && Forms::instance().close()), ...);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The entries of the menu the window pops up, as "text|enabled", and the menu closed again.
QStringList itemsOf(const QComboBox& box)
{
    QStringList items;
    for (int i = 0; i < box.count(); ++i)
        items << box.itemText(i);
    return items;
}

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
            entries << a->text() + (a->isEnabled() ? "|on" : "|off");
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

void activate(QWidget& window)
{
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
}

void drop(QWidget* target, const QStringList& files)
{
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& f : files)
        urls << QUrl::fromLocalFile(f);
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
    QVERIFY(dropped.isAccepted());
}

} // namespace

class TestImportReport : public QObject
{
    Q_OBJECT

    std::optional<kvrtest::Workspace> ws;
    std::optional<kvrtest::MsgBoxRecorder> messages;

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init()
    {
        ws.emplace();
        messages.emplace();
    }
    void cleanup()
    {
        closeForms<kvr::Report, kvr::Visor, kvr::ControlPanel>();
        closeForms<Principal>();
        kvr::setImportQuestionHandler({});
        kvr::setExistingPackageHandler({});
        messages.reset();
        ws.reset();
    }

    void menuEntriesAndTheirState()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        {
            // No settings yet: nothing to open, and importing says where to start.
            Principal& main = Principal::instance();
            main.Show();
            const QStringList expected = {"Import Packages...|on", "Skins Folder Report...|on", "Open Game Folder|off",
                                          "Open Skins Folder|off"};
            QCOMPARE(popUpEntries(&main), expected);
            QCOMPARE(popUpEntries(main.findChild<QLabel*>("Label7")), expected); // a slot caption
            std::unique_ptr<QMenu> menu(kvr::buildPrincipalMenu(main));
            QCOMPARE(menu->actions().first()->shortcut(), QKeySequence("Ctrl+I"));
            menu->findChild<QAction*>("ImportPackages")->trigger();
            menu.reset();
            QCOMPARE(messages->calls.size(), 1);
            QCOMPARE(messages->calls[0].prompt, QString("Set the skins folder in the Control Panel first."));
            QCOMPARE(messages->calls[0].style, int(kvr::vbExclamation));
            closeForms<Principal>();
        }
        ws->writeSettings();
        Principal& main = Principal::instance();
        main.Show();
        QCOMPARE(popUpEntries(&main), QStringList({"Import Packages...|on", "Skins Folder Report...|on",
                                                   "Open Game Folder|on", "Open Skins Folder|on"}));
        std::unique_ptr<QMenu> menu(kvr::buildPrincipalMenu(main));
        menu->findChild<QAction*>("OpenSkinsFolder")->trigger();
        QCOMPARE(catcher.urls, QList<QUrl>({QUrl::fromLocalFile(ws->skinsFolder())}));
        QDesktopServices::unsetUrlHandler("file");

        // The keyboard's ways to the menu, with the focus in a slot box.
        activate(main);
        main.Combo(7).setFocus();
        for (const auto& [key, modifiers] :
             {std::pair{Qt::Key_F10, Qt::ShiftModifier}, std::pair{Qt::Key_Menu, Qt::NoModifier}}) {
            QTest::keyClick(main.Combo(7).lineEdit(), key, modifiers);
            auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(popup);
            QCOMPARE(popup->objectName(), QString("PrincipalMenu"));
            popup->close();
        }

        // Withdrawn under a child window, the main window offers no menu.
        main.setEnabled(false);
        QVERIFY(popUpEntries(&main).isEmpty());
        main.setEnabled(true);
    }

    // A misnamed .zip whose files tell the slot, and a .7z whose files fit two slots: the player
    // is asked about the second only, and both are in the slot lists at once with their previews.
    void dropTwoArchives()
    {
        if (QStandardPaths::findExecutable("7z").isEmpty())
            QSKIP("7z (p7zip-full) is not installed");
        ws->writeSettings();
        QTemporaryDir downloads;
        const QString zip = downloads.filePath("spitfire_desert_v2.zip");
        QVERIFY(kvr::writeZip(zip, {{"PSP2A.TPC", "body"}, {"desert.jpg", "picture"}, {"notes.txt", "by Jo"}}));
        kvrtest::writeFile(downloads.filePath("two/PHURR.TPC"), "h");
        kvrtest::writeFile(downloads.filePath("two/PMOSQ.TPC"), "m");
        kvrtest::writeFile(downloads.filePath("two/PMOSQ_L.TPC"), "m");
        kvrtest::writeFile(downloads.filePath("two/shot.png"), "png");
        QProcess p;
        p.setWorkingDirectory(downloads.filePath("two"));
        p.start("7z", {"a", "-bd", downloads.filePath("pack.7z"), "."});
        QVERIFY(p.waitForFinished(60000) && p.exitCode() == 0);

        QList<kvr::ImportQuestion> asked;
        kvr::setImportQuestionHandler([&](const kvr::ImportQuestion& q) {
            asked << q;
            return kvr::ImportAnswer{true, q.guess.best(), "Pack Two"};
        });
        Principal& main = Principal::instance();
        main.Show();
        drop(&main, {zip, downloads.filePath("pack.7z")});
        QTRY_COMPARE(messages->calls.size(), 1);

        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked[0].fileName, QString("pack.7z"));
        QCOMPARE(asked[0].guess.candidates, QStringList({"MOSQ", "HURR"}));
        QCOMPARE(kvrtest::filesIn(ws->skinsFolder()),
                 QStringList({"MOSQ_Pack Two.zip", "Pack Two.jpg", "SP2A_spitfire_desert_v2.zip",
                              "spitfire_desert_v2.jpg", "spitfire_desert_v2.txt"}));
        QVERIFY2(messages->calls[0].prompt.contains("SP2A_spitfire_desert_v2.zip, with its preview and note"),
                 qPrintable(messages->calls[0].prompt));
        main.ComboN_DropDown(2);
        QVERIFY(itemsOf(main.Combo(2)).contains("spitfire_desert_v2"));
        main.ComboN_DropDown(7);
        QVERIFY(itemsOf(main.Combo(7)).contains("Pack Two"));

        // The same archive again on the viewer: the name exists; Skip leaves everything as it was.
        kvr::setExistingPackageHandler([](const QString&) { return kvr::ExistingPackageAnswer::Skip; });
        kvr::Visor& viewer = kvr::Visor::instance();
        viewer.Show();
        drop(&viewer, {zip});
        QTRY_COMPARE(messages->calls.size(), 2);
        QVERIFY(messages->calls[1].prompt.contains("skipped: SP2A_spitfire_desert_v2.zip exists"));
        QCOMPARE(kvrtest::filesIn(ws->skinsFolder()).size(), 5);
    }

    // A Steam library with a Proton prefix under the home folder shows in the control panel's
    // drive list once the worker has looked, and picking it opens the tree at its drive C.
    void protonPrefixInTheDriveList()
    {
        QTemporaryDir home;
        const QString steam = home.filePath(".local/share/Steam/steamapps");
        QVERIFY(QDir().mkpath(steam + "/common") && QDir().mkpath(steam + "/compatdata/4242/pfx/drive_c"));
        kvrtest::writeFile(steam + "/appmanifest_4242.acf", "\"AppState\" { \"name\" \"Kestrava\" }");
        const QByteArray realHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        Principal::instance().Show();
        kvr::ControlPanel& panel = kvr::ControlPanel::instance();
        qputenv("HOME", realHome);
        auto* drives = panel.findChild<kvr::DriveList*>("Drive1");
        QTRY_VERIFY(drives->findText("Proton Kestrava C:") >= 0);
        QVERIFY(drives->findText("Steam: ~/.local/share/Steam games") >= 0);
        drives->setCurrentIndex(drives->findText("Proton Kestrava C:"));
        QCOMPARE(panel.findChild<kvr::FolderTree*>("Dir1")->Path(), steam + "/compatdata/4242/pfx/drive_c");
        panel.close();
    }

    // The report opens as every child does, names the planted problem, and reinstalls a slot.
    void reportWindow()
    {
        QVERIFY(kvr::writeZip(ws->skinsFolder() + "/MOSQ_Sqn105.zip", {{"PMOSQ.TPC", "body"}}));
        kvrtest::writeFile(ws->skinsFolder() + "/MOSQ.zip", "short");
        kvrtest::writeFile(ws->gameFolder() + "/PMOSQ.TPC", "BODY");
        ws->writeSettings("[Skins]\r\nMOSQ=Sqn105\r\nHURR=(Default)\r\nSP2A=Gone\r\n");
        Principal& main = Principal::instance();
        main.Show();
        std::unique_ptr<QMenu> menu(kvr::buildPrincipalMenu(main));
        menu->findChild<QAction*>("SkinsFolderReport")->trigger();
        QVERIFY(kvr::Report::exists());
        kvr::Report& report = kvr::Report::instance();
        QVERIFY(report.isVisible() && !main.isEnabled());
        QCOMPARE(report.windowTitle(), QString("Kestrava _ Skin Installer v1.1 _ Report"));
        QTRY_VERIFY(report.ready());

        auto* problems = report.findChild<QTableWidget*>("Table1");
        QCOMPARE(problems->rowCount(), 1);
        QCOMPARE(problems->item(0, 0)->text(), QString("MOSQ.zip"));
        auto* slots = report.findChild<QTableWidget*>("Table2");
        QCOMPARE(slots->rowCount(), 2); // "(Default)" is no package
        QCOMPARE(slots->item(0, 2)->text(), QString("package not found"));
        QCOMPARE(slots->item(1, 2)->text(), QString("1 file differs"));
        QVERIFY(!report.findChild<QPushButton*>("Reinstall1")->isEnabled());
        report.findChild<QPushButton*>("Reinstall2")->click();
        QCOMPARE(slots->item(1, 2)->text(), QString("as installed"));
        QCOMPARE(kvrtest::readFile(ws->gameFolder() + "/PMOSQ.TPC"), QByteArray("body"));

        report.close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!kvr::Report::exists() && main.isEnabled());
    }
};

QTEST_MAIN(TestImportReport)
#include "test_import_report.moc"
