#include "guisupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

using namespace Qt::StringLiterals;

using kvr::ControlPanel;
using kvr::Principal;

namespace {

template <typename T> T* control(const QString& name)
{
    return kvrtest::childOf<T>(ControlPanel::instance(), name);
}

QString text(const QString& box)
{
    return control<QLineEdit>(box)->text();
}
void click(const QString& button)
{
    QTest::mouseClick(control<QToolButton>(button), Qt::LeftButton);
}

// The main window, loaded from the workspace's settings, opens the panel with its button.
ControlPanel& openPanel()
{
    Principal::instance().Command2_Click();
    return ControlPanel::instance();
}

} // namespace

class TestControlPanel : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT
private:
    QTemporaryDir home;

    QString wineDrive(const QString& name) const { return home.filePath(u".wine/"_s + name); }
    QString steam(const QString& name) const { return home.filePath(u".local/share/Steam/steamapps/"_s + name); }

    // Picks a drive as the user would, by its row in the drive list.
    bool pickDrive(const QString& path)
    {
        auto* drives = control<kvr::DriveList>(u"Drive1"_s);
        const int row = drives->findData(path);
        drives->setCurrentIndex(row);
        return QTest::qVerify(row >= 0, "pickDrive", qPrintable(path), __FILE__, __LINE__);
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The drive list offers the home folder's Wine prefix (one readable drive, one without its
        // medium) and a Steam library's Proton prefix, which a worker finds after the window shows.
        qputenv("HOME", QFile::encodeName(home.path()));
        QDir().mkpath(wineDrive(u"drive_c/Program Files/Kestrava"_s));
        QDir().mkpath(wineDrive(u"dosdevices"_s));
        QFile::link(u"../drive_c"_s, wineDrive(u"dosdevices/c:"_s));
        QFile::link(home.filePath(u"no-medium"_s), wineDrive(u"dosdevices/e:"_s));
        QDir().mkpath(steam(u"common"_s));
        QDir().mkpath(steam(u"compatdata/4242/pfx/drive_c"_s));
        QVERIFY(kvrtest::writeFile(steam(u"appmanifest_4242.acf"_s), "\"AppState\" { \"name\" \"Kestrava\" }"_ba));
    }

    void init() { openProgram(/*withUnzipLibrary=*/false); }

    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        closeProgram();
    }

    // Without a settings file the boxes are empty, and opening writes none.
    void fingersCopyTheTreesFolderAndUnreadableDriveFallsBack()
    {
        openPanel();
        QCOMPARE(text(u"Text1"_s) + text(u"Text2"_s), QString());
        QCOMPARE(control<QLabel>(u"Label3"_s)->text(), ws->programFolder() + u"\\KVRSI.INI"_s);
        auto* drives = control<kvr::DriveList>(u"Drive1"_s);
        auto* tree = control<kvr::FolderTree>(u"Dir1"_s);
        QCOMPARE(drives->Drive(), u"/"_s); // before any pick: drive C's root
        click(u"Command1"_s);
        QCOMPARE(text(u"Text1"_s), u"/"_s);

        QVERIFY(pickDrive(wineDrive(u"drive_c"_s)));
        QCOMPARE(tree->Path(), wineDrive(u"drive_c"_s));
        const QString game = wineDrive(u"drive_c/Program Files/Kestrava"_s);
        tree->setCurrentIndex(tree->indexOf(game));
        click(u"Command2"_s);
        QCOMPARE(text(u"Text2"_s), game);
        QCOMPARE(text(u"Text1"_s), u"/"_s); // each finger fills its own box only

        QVERIFY(pickDrive(home.filePath(u"no-medium"_s)));
        QCOMPARE(drives->currentIndex(), 0);
        QCOMPARE(tree->Path(), u"/"_s);
        QTRY_VERIFY(drives->findText(u"Proton Kestrava C:"_s) >= 0);
        drives->setCurrentIndex(drives->findText(u"Proton Kestrava C:"_s));
        QCOMPARE(tree->Path(), steam(u"compatdata/4242/pfx/drive_c"_s));
        QVERIFY(messages->calls.isEmpty());
        QVERIFY(!QFile::exists(ws->iniPath()));
    }

    // Update writes the boxes; Cancel keeps the panel. What is typed but not saved does not count:
    // closing re-points the main window's list at the folder the file names, and the next opening
    // reads the file afresh.
    void updateThenCancelKeepsThePanelAndClosingReadsTheFile()
    {
        QVERIFY(ws->writeSettings());
        Principal& main = Principal::instance();
        messages->nextAnswers = {kvr::vbCancel};
        ControlPanel& panel = openPanel();
        panel.Show();
        auto* game = control<QLineEdit>(u"Text1"_s);
        game->clear();
        QTest::keyClicks(game, u"/opt/kestrava game"_s); // the boxes take typing too
        control<QLineEdit>(u"Text2"_s)->setText(u"/typed/skins"_s);
        click(u"Command3"_s);

        QVERIFY(messages->askedOnce(u"Need to restart Kestrava Skin Installer to take changes.\r\n"
                                    u"Finish Kestrava Skin Installer now?"_s,
                                    33, u"Kestrava _ Skin Installer v1.0"_s));
        QVERIFY(ControlPanel::exists() && panel.isVisible() && !kvr::endingAtOnce() && !main.isEnabled());
        QCOMPARE(kvrtest::readFile(ws->iniPath()),
                 kvrtest::Workspace::foldersSection(u"/opt/kestrava game"_s, u"/typed/skins"_s));

        control<QLineEdit>(u"Text1"_s)->setText(u"/typed/not/saved"_s);
        control<QLineEdit>(u"Text2"_s)->setText(u"/typed/not/saved"_s);
        QVERIFY(pickDrive(wineDrive(u"drive_c"_s)));
        const QString recorded = ws->root() + u"/recorded"_s;
        QVERIFY(kvrtest::writeFile(recorded + u"/SP2A_Sand.zip"_s, "zip"_ba));
        QVERIFY(kvrtest::writeFile(ws->iniPath(), kvrtest::Workspace::foldersSection(u"/new/game"_s, recorded)));
        kvrtest::closeWindow(panel);
        QVERIFY(!ControlPanel::exists() && main.isEnabled());
        QCOMPARE(main.File1.names(), QStringList({u"SP2A_Sand.zip"_s}));
        // The folders the main window installs with stay until the next start.
        QCOMPARE(main.INSTFOLDER, ws->gameFolder());
        QCOMPARE(main.SKINSFOLDER, ws->skinsFolder());

        openPanel();
        QCOMPARE(text(u"Text1"_s), u"/new/game"_s);
        QCOMPARE(text(u"Text2"_s), recorded);
        QCOMPARE(control<kvr::FolderTree>(u"Dir1"_s)->Path(), u"/"_s);
    }

    // Ending at once cannot be undone within a run, so this comes last.
    void updateThenOkEndsWithoutClosingSteps()
    {
        QVERIFY(ws->writeSettings());
        Principal& main = Principal::instance();
        ControlPanel& panel = openPanel();
        panel.Show();
        control<QLineEdit>(u"Text2"_s)->setText(u"/elsewhere"_s);
        click(u"Command3"_s);

        QCOMPARE(messages->calls.size(), 1);
        QVERIFY(kvr::endingAtOnce() && !panel.isVisible());
        // No closing step ran: the main window was neither given back nor re-pointed at the folder
        // the file now names (written before the question, as the Cancel test shows).
        QVERIFY(!main.isEnabled());
        QCOMPARE(main.File1.Path(), ws->skinsFolder());
    }
};

QTEST_MAIN(TestControlPanel)
#include "test_controlpanel.moc"
