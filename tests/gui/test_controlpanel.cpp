#include "installer/principal.h"
#include "settings/controlpanel.h"
#include "settings/modulo_ini.h"

#include "testsupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include <memory>

using kvr::ControlPanel;
using kvr::Principal;

namespace {

template <typename T> T* control(const QString& name)
{
    T* found = ControlPanel::instance().findChild<T*>(name);
    if (!found)
        qFatal("no control %s", qPrintable(name));
    return found;
}

QString text(const QString& box)
{
    return control<QLineEdit>(box)->text();
}
void click(const QString& button)
{
    QTest::mouseClick(control<QToolButton>(button), Qt::LeftButton);
}

// As the title bar's close box does, then letting the window go.
void closeWindow(QWidget& window)
{
    window.close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The main window, loaded from the workspace's settings, opens the panel with its button.
ControlPanel& openPanel()
{
    Principal::instance().Command2_Click();
    return ControlPanel::instance();
}

} // namespace

class TestControlPanel : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<kvrtest::Workspace> ws;
    QTemporaryDir home;

    QString wineDrive(const QString& name) const { return home.filePath(".wine/" + name); }

    // Picks a drive as the user would, by its row in the drive list.
    void pickDrive(const QString& path)
    {
        auto* drives = control<kvr::DriveList>("Drive1");
        const int row = drives->findData(path);
        QVERIFY2(row >= 0, qPrintable(path));
        drives->setCurrentIndex(row);
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The drive list offers the home folder's Wine prefix: one readable drive, one without its medium.
        qputenv("HOME", QFile::encodeName(home.path()));
        QDir().mkpath(wineDrive("drive_c/Program Files/Kestrava"));
        QDir().mkpath(wineDrive("dosdevices"));
        QFile::link("../drive_c", wineDrive("dosdevices/c:"));
        QFile::link(home.filePath("no-medium"), wineDrive("dosdevices/e:"));
    }

    void init()
    {
        ws = std::make_unique<kvrtest::Workspace>(false);
        kvrtest::writeFile(ws->skinsFolder() + "/HURR_Desert.zip", "zip");
    }

    void cleanup()
    {
        if (ControlPanel::exists()) // first: its closing gives the main window back
            closeWindow(ControlPanel::instance());
        if (Principal::exists())
            closeWindow(Principal::instance());
        ws.reset();
    }

    void showsWhatTheFileHolds_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("game");
        QTest::addColumn<QString>("skins");
        QTest::newRow("no settings file") << QByteArray() << QString() << QString();
        QTest::newRow("both folders") << QByteArray("[folders]\r\nskinsfolder=/s k\r\nKVRInstallationFolder=c:\\g\r\n")
                                      << "c:\\g"
                                      << "/s k";
    }
    void showsWhatTheFileHolds()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, game);
        QFETCH(QString, skins);
        if (!file.isNull())
            kvrtest::writeFile(ws->iniPath(), file);
        openPanel();
        QCOMPARE(text("Text1"), game);
        QCOMPARE(text("Text2"), skins);
        QCOMPARE(control<QLabel>("Label3")->text(), ws->programFolder() + "\\KVRSI.INI");
        QCOMPARE(QFile::exists(ws->iniPath()), !file.isNull()); // opening reads and never writes
    }

    void fingersCopyTheTreesFolderAndUnreadableDriveFallsBack()
    {
        kvrtest::MsgBoxRecorder msgBox;
        openPanel();
        auto* drives = control<kvr::DriveList>("Drive1");
        auto* tree = control<kvr::FolderTree>("Dir1");
        QCOMPARE(drives->Drive(), "/"); // before any pick: drive C's root
        click("Command1");
        QCOMPARE(text("Text1"), "/");

        pickDrive(wineDrive("drive_c"));
        QCOMPARE(tree->Path(), wineDrive("drive_c"));
        const QString game = wineDrive("drive_c/Program Files/Kestrava");
        QVERIFY(tree->indexOf(game).isValid());
        tree->setCurrentIndex(tree->indexOf(game));
        click("Command2");
        QCOMPARE(text("Text2"), game);
        QCOMPARE(text("Text1"), "/"); // each finger fills its own box only

        pickDrive(home.filePath("no-medium"));
        QCOMPARE(drives->currentIndex(), 0);
        QCOMPARE(drives->Drive(), "/");
        QCOMPARE(tree->Path(), "/");
        QVERIFY(msgBox.calls.isEmpty());
    }

    void updateThenCancelKeepsThePanelAndClosingRepointsTheList()
    {
        ws->writeSettings();
        const QString newSkins = ws->root() + "/more skins";
        kvrtest::writeFile(newSkins + "/SPIT_Night.ZIP", "zip");
        kvrtest::writeFile(newSkins + "/readme.txt", "not a package");
        Principal& main = Principal::instance();
        kvrtest::MsgBoxRecorder msgBox(kvr::vbCancel);
        ControlPanel& panel = openPanel();
        panel.Show();
        auto* game = control<QLineEdit>("Text1");
        game->clear();
        QTest::keyClicks(game, "/opt/kestrava game"); // the boxes take typing too
        control<QLineEdit>("Text2")->setText(newSkins);
        click("Command3");

        QCOMPARE(msgBox.calls.size(), 1);
        QCOMPARE(msgBox.calls[0].prompt, QStringLiteral("Need to restart Kestrava Skin Installer to take changes.\r\n"
                                                        "Finish Kestrava Skin Installer now?"));
        QCOMPARE(msgBox.calls[0].style, 33);
        QCOMPARE(msgBox.calls[0].title, "Kestrava _ Skin Installer v1.0");
        QVERIFY(ControlPanel::exists() && panel.isVisible() && !kvr::endingAtOnce() && !main.isEnabled());
        QCOMPARE(kvrtest::readFile(ws->iniPath()),
                 "[Folders]\r\nKVRInstallationFolder=/opt/kestrava game\r\nSkinsFolder=" + newSkins.toUtf8() + "\r\n");

        closeWindow(panel);
        QVERIFY(!ControlPanel::exists() && main.isEnabled());
        QCOMPARE(main.File1.Path(), newSkins);
        QCOMPARE(main.File1.names(), QStringList({"SPIT_Night.ZIP"}));
        // The folders the main window installs with stay until the next start.
        QCOMPARE(main.INSTFOLDER, ws->gameFolder());
        QCOMPARE(main.SKINSFOLDER, ws->skinsFolder());
    }

    void closingRepointsTheListAndSecondOpeningReadsTheFileAfresh()
    {
        ws->writeSettings();
        Principal& main = Principal::instance();
        ControlPanel& first = openPanel();
        control<QLineEdit>("Text1")->setText("/typed/not/saved");
        control<QLineEdit>("Text2")->setText("/typed/not/saved");
        pickDrive(wineDrive("drive_c"));
        // What is typed but not saved does not count: closing and opening read the file.
        const QString recorded = ws->root() + "/recorded";
        kvrtest::writeFile(recorded + "/SP2A_Sand.zip", "zip");
        kvrtest::writeFile(ws->iniPath(),
                           "[Folders]\r\nKVRInstallationFolder=/new/game\r\nSkinsFolder=" + recorded.toUtf8() + "\r\n");
        closeWindow(first);
        QCOMPARE(main.File1.Pattern(), "*.zip");
        QCOMPARE(main.File1.Path(), recorded);
        QCOMPARE(main.File1.names(), QStringList({"SP2A_Sand.zip"}));

        openPanel();
        QCOMPARE(text("Text1"), "/new/game");
        QCOMPARE(text("Text2"), recorded);
        QCOMPARE(control<kvr::FolderTree>("Dir1")->Path(), "/");
    }

    // Ending at once cannot be undone within a run, so this comes last.
    void updateThenOkEndsWithoutClosingSteps()
    {
        ws->writeSettings();
        Principal& main = Principal::instance();
        kvrtest::MsgBoxRecorder msgBox(kvr::vbOK);
        ControlPanel& panel = openPanel();
        panel.Show();
        control<QLineEdit>("Text2")->setText("/elsewhere");
        click("Command3");

        QCOMPARE(msgBox.calls.size(), 1);
        QVERIFY(kvr::endingAtOnce() && !panel.isVisible());
        QCOMPARE(kvr::Modulo::LEEINI(ws->iniPath(), "Folders", "SkinsFolder"), "/elsewhere");
        // No closing step ran: the main window was neither given back nor re-pointed.
        QVERIFY(!main.isEnabled());
        QCOMPARE(main.File1.Path(), ws->skinsFolder());
        QCOMPARE(main.File1.names(), QStringList({"HURR_Desert.zip"}));
    }
};

QTEST_MAIN(TestControlPanel)
#include "test_controlpanel.moc"
