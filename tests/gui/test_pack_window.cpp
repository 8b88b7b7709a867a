#include "guisupport.h"
#include "loadouts/packwindow.h"
#include "zipwriter.h"

#include <QPushButton>
#include <QTableWidget>

using namespace Qt::StringLiterals;

using kvr::Loadouts;
using kvr::Principal;

class TestPackWindow : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    static void click(const QWidget& window, const char* name)
    {
        kvrtest::childOf<QPushButton>(window, QString::fromLatin1(name))->click();
    }
    static QString status(const QWidget& window, int slot)
    {
        return kvrtest::childOf<QTableWidget>(window, u"Table1"_s)->item(slot - 1, 2)->text();
    }

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { openProgram(); }
    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        kvr::setLoadoutFileHandler({});
        closeProgram();
    }

    // "Evening" packed with a question about Hurricane's repainted package, opened after Mosquito's
    // package is gone, its package added back and the loadout applied; then dropped on the main window.
    void exportOpenAddApply()
    {
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u"/HURR_Desert.zip"_s, {{"PHURR.TPC", "desert"}}));
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s, {{"PMOSQ.TPC", "sqn"}}));
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"HURR=Desert"_s, u"MOSQ=Sqn105"_s})));
        Principal& main = kvrtest::shownMainWindow();
        kvrtest::triggerMenuEntry(u"Loadouts"_s);
        Loadouts& window = Loadouts::instance();
        kvr::setLoadoutNameHandler([] { return std::optional<QString>(u"Evening"_s); });
        click(window, "SaveCurrent");
        QTRY_VERIFY(window.ready());
        // Saved again over itself, the loadout keeps where its packages can be downloaded.
        const QString stored = kvr::loadoutPath(kvr::loadoutsFolder(ws->iniPath()), u"Evening"_s);
        QVERIFY(kvrtest::writeFile(stored, kvrtest::readFile(stored) + "[Sources]\r\nMOSQ=https://example.org/m\r\n"));
        messages->nextAnswers = {kvr::vbOK};
        click(window, "SaveCurrent");
        kvr::setLoadoutNameHandler({});
        QTRY_VERIFY(window.ready());
        QVERIFY(kvrtest::readFile(stored).contains("MOSQ=https://example.org/m"));
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u"/HURR_Desert.zip"_s, {{"PHURR.TPC", "repainted"}}));

        const QString pack = ws->root() + u"/Evening.kvrpack"_s;
        kvr::setLoadoutFileHandler([&](bool forSaving, const QString& suggested) {
            return forSaving == (suggested == u"Evening.kvrpack"_s) ? pack : QString();
        });
        messages->nextAnswers = {kvr::vbCancel};
        click(window, "ExportPack");
        QCOMPARE(messages->calls.size(), 2);
        QVERIFY2(messages->calls[1].prompt.contains(u"\n    Hurricane_I (HURR) Desert: package differs\n"_s),
                 qPrintable(messages->calls[1].prompt));
        QVERIFY(!QFile::exists(pack));
        click(window, "ExportPack");
        QVERIFY(QFile::exists(pack));

        // The receiver lacks Mosquito's package and records another skin for it.
        QVERIFY(QFile::remove(ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s));
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"HURR=Desert"_s, u"MOSQ=Old"_s})));
        window.refreshList(u"Evening"_s);
        QTRY_VERIFY(window.ready());
        QCOMPARE(kvrtest::childOf<QLabel>(window, u"Source7"_s)->text(),
                 u"package missing: <a href=\"https://example.org/m\">download</a>"_s);
        click(window, "Import");
        QWidget* shown = kvrtest::openWindow(u"Pack"_s);
        QVERIFY(shown);
        QCOMPARE(status(*shown, 1), u"same as now"_s);
        QCOMPARE(status(*shown, 7), u"package added"_s);
        QCOMPARE(status(*shown, 8), u"same as now"_s); // (Default) in the loadout, nothing recorded

        messages->nextAnswers = {kvr::vbOK, kvr::vbOK}; // replace "Evening"; the summary
        click(*shown, "AddPackages");
        QCOMPARE(messages->calls.size(), 5);
        QCOMPARE(messages->calls[4].prompt,
                 u"Packages added:\n    MOSQ_Sqn105.zip\n\nAdded the loadout \"Evening\"."_s);
        QCOMPARE(status(*shown, 7), u"will change"_s);
        click(*shown, "Apply");
        QTRY_COMPARE(messages->calls.size(), 6);
        QVERIFY2(messages->calls[5].prompt.startsWith(u"Loadout \"Evening\": 1 of its slots changed."_s),
                 qPrintable(messages->calls[5].prompt));
        QCOMPARE(kvrtest::readFile(ws->gameFolder() + u"/PMOSQ.TPC"_s), "sqn"_ba);
        QCOMPARE(main.Combo(7).Text(), u"Sqn105"_s);

        // Dropped on the main window, once it is given back.
        kvrtest::closeForms<Loadouts>();
        QVERIFY(kvrtest::dropFiles(&main, {pack}));
        QTRY_VERIFY(kvrtest::openWindow(u"Pack"_s));
        QCOMPARE(status(*kvrtest::openWindow(u"Pack"_s), 7), u"same as now"_s);
        kvrtest::openWindow(u"Pack"_s)->close();
    }
};

QTEST_MAIN(TestPackWindow)
#include "test_pack_window.moc"
