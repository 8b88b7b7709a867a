#include "installer/principal.h"
#include "settings/controlpanel.h"
#include "settings/modulo_ini.h"

#include "testsupport.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include <memory>

using kvr::ControlPanel;
using kvr::Principal;

namespace {

const QString kPrompt = QStringLiteral("Need to restart Kestrava Skin Installer to take changes.\r\n"
                                       "Finish Kestrava Skin Installer now?");
const QString kTitle = QStringLiteral("Kestrava _ Skin Installer v1.0");

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

// Closing as the title bar's close box does, then letting the window go.
void closeWindow(QWidget& window)
{
    window.close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestControlPanel : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<kvrtest::Workspace> ws;
    QTemporaryDir home;

    QString wineDrive(const QString& name) const { return home.filePath(QStringLiteral(".wine/") + name); }

    // The main window, loaded from the workspace's settings, opens the panel with its button.
    ControlPanel& openPanel()
    {
        Principal::instance().Command2_Click();
        return ControlPanel::instance();
    }

    QString setting(const QString& key) const
    {
        return kvr::Modulo::LEEINI(kvr::Modulo::settingsPath(), QStringLiteral("Folders"), key);
    }

    // Picks a drive as the user would, by its row in the drive list.
    void pickDrive(const QString& path)
    {
        auto* drives = control<kvr::DriveList>(QStringLiteral("Drive1"));
        const int row = drives->findData(path);
        QVERIFY2(row >= 0, qPrintable(path));
        drives->setCurrentIndex(row);
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The drive list offers the default Wine prefix of the home folder: give it one drive
        // that can be read and one whose medium is missing.
        qputenv("HOME", QFile::encodeName(home.path()));
        QDir().mkpath(wineDrive(QStringLiteral("drive_c/Program Files/Kestrava")));
        QDir().mkpath(wineDrive(QStringLiteral("dosdevices")));
        QFile::link(QStringLiteral("../drive_c"), wineDrive(QStringLiteral("dosdevices/c:")));
        QFile::link(home.filePath(QStringLiteral("no-medium")), wineDrive(QStringLiteral("dosdevices/e:")));
    }

    void init()
    {
        ws = std::make_unique<kvrtest::Workspace>(false);
        kvrtest::writeFile(ws->skinsFolder() + QStringLiteral("/HURR_Desert.zip"), "zip");
    }

    void cleanup()
    {
        // The panel first: its closing gives the main window back.
        if (ControlPanel::exists())
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
                                      << QStringLiteral("c:\\g") << QStringLiteral("/s k");
        QTest::newRow("game folder only") << QByteArray("[Folders]\r\nKVRInstallationFolder=/games/k\r\n")
                                          << QStringLiteral("/games/k") << QString();
    }
    void showsWhatTheFileHolds()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, game);
        QFETCH(QString, skins);
        if (!file.isNull())
            kvrtest::writeFile(ws->iniPath(), file);

        ControlPanel& panel = openPanel();
        QCOMPARE(panel.windowTitle(), QStringLiteral("Kestrava _ Skin Installer v1.1 _ Control Panel"));
        QCOMPARE(text(QStringLiteral("Text1")), game);
        QCOMPARE(text(QStringLiteral("Text2")), skins);
        QCOMPARE(control<QLabel>(QStringLiteral("Label3"))->text(), ws->programFolder() + QStringLiteral("\\KVRSI.INI"));
        // Opening reads and never writes.
        QCOMPARE(QFile::exists(ws->iniPath()), !file.isNull());
    }

    void fingersCopyTheTreesFolder()
    {
        openPanel();
        // Before any pick the tree stands at drive C's root.
        QCOMPARE(control<kvr::DriveList>(QStringLiteral("Drive1"))->Drive(), QStringLiteral("/"));
        click(QStringLiteral("Command1"));
        QCOMPARE(text(QStringLiteral("Text1")), QStringLiteral("/"));

        // A Wine drive, then a folder picked inside it.
        pickDrive(wineDrive(QStringLiteral("drive_c")));
        auto* tree = control<kvr::FolderTree>(QStringLiteral("Dir1"));
        QCOMPARE(tree->Path(), wineDrive(QStringLiteral("drive_c")));
        const QString game = wineDrive(QStringLiteral("drive_c/Program Files/Kestrava"));
        const QModelIndex row = tree->indexOf(game);
        QVERIFY(row.isValid());
        tree->setCurrentIndex(row);
        click(QStringLiteral("Command2"));
        QCOMPARE(text(QStringLiteral("Text2")), game);
        // The other box keeps what it had; each finger fills its own box only.
        QCOMPARE(text(QStringLiteral("Text1")), QStringLiteral("/"));
    }

    void unreadableDriveFallsBackToRootSilently()
    {
        kvrtest::MsgBoxRecorder msgBox;
        openPanel();
        auto* drives = control<kvr::DriveList>(QStringLiteral("Drive1"));
        auto* tree = control<kvr::FolderTree>(QStringLiteral("Dir1"));
        pickDrive(wineDrive(QStringLiteral("drive_c")));
        QCOMPARE(tree->Path(), wineDrive(QStringLiteral("drive_c")));

        pickDrive(home.filePath(QStringLiteral("no-medium")));
        QCOMPARE(drives->currentIndex(), 0);
        QCOMPARE(drives->Drive(), QStringLiteral("/"));
        QCOMPARE(tree->Path(), QStringLiteral("/"));
        QVERIFY(msgBox.calls.isEmpty());
    }

    void updateThenCancelKeepsThePanelAndClosingRepointsTheList()
    {
        ws->writeSettings();
        const QString newSkins = ws->root() + QStringLiteral("/more skins");
        kvrtest::writeFile(newSkins + QStringLiteral("/SPIT_Night.ZIP"), "zip");
        kvrtest::writeFile(newSkins + QStringLiteral("/readme.txt"), "not a package");
        Principal& main = Principal::instance();
        QCOMPARE(main.File1.names(), QStringList({QStringLiteral("HURR_Desert.zip")}));

        kvrtest::MsgBoxRecorder msgBox(kvr::vbCancel);
        ControlPanel& panel = openPanel();
        panel.Show();
        // The boxes take typing as well as the fingers.
        auto* game = control<QLineEdit>(QStringLiteral("Text1"));
        game->clear();
        QTest::keyClicks(game, QStringLiteral("/opt/kestrava game"));
        control<QLineEdit>(QStringLiteral("Text2"))->setText(newSkins);
        click(QStringLiteral("Command3"));

        QCOMPARE(msgBox.calls.size(), 1);
        QCOMPARE(msgBox.calls[0].prompt, kPrompt);
        QCOMPARE(msgBox.calls[0].style, 33);
        QCOMPARE(msgBox.calls[0].title, kTitle);
        QVERIFY(ControlPanel::exists());
        QVERIFY(panel.isVisible());
        QVERIFY(!kvr::endingAtOnce());
        QCOMPARE(kvrtest::readFile(ws->iniPath()),
                 "[Folders]\r\nKVRInstallationFolder=/opt/kestrava game\r\nSkinsFolder=" + newSkins.toUtf8() + "\r\n");
        QVERIFY(!main.isEnabled());

        closeWindow(panel);
        QVERIFY(!ControlPanel::exists());
        QVERIFY(main.isEnabled());
        QCOMPARE(main.File1.Path(), newSkins);
        QCOMPARE(main.File1.names(), QStringList({QStringLiteral("SPIT_Night.ZIP")}));
        // The folders the main window installs with stay until the next start.
        QCOMPARE(main.INSTFOLDER, ws->gameFolder());
        QCOMPARE(main.SKINSFOLDER, ws->skinsFolder());
    }

    void closingRepointsAtTheRecordedFolder_data()
    {
        QTest::addColumn<bool>("folderGone");
        QTest::newRow("same folder") << false;
        QTest::newRow("folder no longer there") << true;
    }
    void closingRepointsAtTheRecordedFolder()
    {
        QFETCH(bool, folderGone);
        ws->writeSettings();
        Principal& main = Principal::instance();
        ControlPanel& panel = openPanel();
        // What is typed but not saved does not count: the closing reads the file.
        control<QLineEdit>(QStringLiteral("Text2"))->setText(QStringLiteral("/typed/not/saved"));
        const QString recorded = folderGone ? ws->root() + QStringLiteral("/gone") : ws->skinsFolder();
        kvr::Modulo::GRABAINI(ws->iniPath(), QStringLiteral("Folders"), QStringLiteral("SkinsFolder"), recorded);

        closeWindow(panel);
        QVERIFY(main.isEnabled());
        QCOMPARE(main.File1.Pattern(), QStringLiteral("*.zip"));
        QCOMPARE(main.File1.Path(), recorded);
        QCOMPARE(main.File1.names(),
                 folderGone ? QStringList() : QStringList({QStringLiteral("HURR_Desert.zip")}));
    }

    void secondOpeningReadsTheFileAfresh()
    {
        ws->writeSettings();
        ControlPanel& first = openPanel();
        control<QLineEdit>(QStringLiteral("Text1"))->setText(QStringLiteral("/typed/not/saved"));
        closeWindow(first);

        kvrtest::writeFile(ws->iniPath(), "[Folders]\r\nKVRInstallationFolder=/new/game\r\nSkinsFolder=/new/skins\r\n");
        openPanel();
        QCOMPARE(text(QStringLiteral("Text1")), QStringLiteral("/new/game"));
        QCOMPARE(text(QStringLiteral("Text2")), QStringLiteral("/new/skins"));
        QCOMPARE(control<kvr::FolderTree>(QStringLiteral("Dir1"))->Path(), QStringLiteral("/"));
    }

    void tabReachesEveryControlInWorkingOrder()
    {
        ControlPanel& panel = openPanel();
        panel.Show();
        QVERIFY(QTest::qWaitForWindowActive(&panel));
        control<QWidget>(QStringLiteral("Drive1"))->setFocus();
        QStringList order;
        for (int i = 0; i < 8; ++i) {
            order << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(order, QStringList({QStringLiteral("Drive1"), QStringLiteral("Dir1"), QStringLiteral("Command1"),
                                     QStringLiteral("Text1"), QStringLiteral("Command2"), QStringLiteral("Text2"),
                                     QStringLiteral("Command3"), QStringLiteral("Drive1")}));
    }

    // Ending at once cannot be undone within a run, so this comes last.
    void updateThenOkEndsWithoutClosingSteps()
    {
        ws->writeSettings();
        Principal& main = Principal::instance();
        kvrtest::MsgBoxRecorder msgBox(kvr::vbOK);
        ControlPanel& panel = openPanel();
        panel.Show();
        control<QLineEdit>(QStringLiteral("Text2"))->setText(QStringLiteral("/elsewhere"));
        click(QStringLiteral("Command3"));

        QCOMPARE(msgBox.calls.size(), 1);
        QCOMPARE(msgBox.calls[0].prompt, kPrompt);
        QVERIFY(kvr::endingAtOnce());
        QVERIFY(!panel.isVisible());
        QCOMPARE(setting(QStringLiteral("SkinsFolder")), QStringLiteral("/elsewhere"));
        // No closing step ran: the main window was neither given back nor re-pointed.
        QVERIFY(!main.isEnabled());
        QCOMPARE(main.File1.Path(), ws->skinsFolder());
        QCOMPARE(main.File1.names(), QStringList({QStringLiteral("HURR_Desert.zip")}));
    }
};

QTEST_MAIN(TestControlPanel)
#include "test_controlpanel.moc"
