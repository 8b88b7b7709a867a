#include "guisupport.h"
#include "zipwriter.h"

#include <QProgressDialog>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>

using namespace Qt::StringLiterals;

using kvr::Loadouts;
using kvr::Principal;

class TestLoadoutsWindow : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    void click(const char* name)
    {
        kvrtest::childOf<QPushButton>(Loadouts::instance(), QString::fromLatin1(name))->click();
    }
    QString status(int slot) const
    {
        return kvrtest::childOf<QTableWidget>(Loadouts::instance(), u"Table1"_s)->item(slot - 1, 2)->text();
    }
    QStringList listed() const
    {
        return kvrtest::itemsOf(*kvrtest::childOf<QListWidget>(Loadouts::instance(), u"List1"_s));
    }

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init() { openProgram(); }
    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        kvr::setLoadoutNameHandler({});
        kvr::setLoadoutFileHandler({});
        closeProgram();
    }

    // Saved with Hurricane on Desert, applied after a change back to (Default), exported, deleted,
    // imported again through the window and by a drop on the main window.
    void saveApplyExportImportDelete()
    {
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u"/HURR_Desert.zip"_s, {{"PHURR.TPC", "desert"}}));
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s, {{"PMOSQ.TPC", "sqn"}}));
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"HURR=Desert"_s, u"MOSQ=Sqn105"_s})));
        Principal& main = Principal::instance();
        main.Show();
        kvrtest::triggerMenuEntry(u"Loadouts"_s);
        Loadouts& window = Loadouts::instance();
        QVERIFY(window.isVisible() && !main.isEnabled());
        QCOMPARE(window.windowTitle(), u"Kestrava _ Skin Installer v1.1 _ Loadouts"_s);
        QTRY_VERIFY(window.ready());

        QStringList names{u""_s, u"a/b"_s, u"Evening"_s, u"Evening"_s};
        kvr::setLoadoutNameHandler([&] { return std::optional<QString>(names.takeFirst()); });
        click("SaveCurrent");
        click("SaveCurrent");
        QCOMPARE(messages->calls.size(), 2); // the two names refused
        QCOMPARE(messages->calls[1].prompt, u"A loadout name cannot hold / or \\."_s);
        click("SaveCurrent");
        QTRY_VERIFY(window.ready());
        QCOMPARE(listed(), QStringList{u"Evening"_s});
        messages->nextAnswers = {kvr::vbCancel};
        click("SaveCurrent"); // the name is in use: not replaced
        QCOMPARE(messages->calls.size(), 3);
        QVERIFY(messages->calls[2].prompt.contains(u"exists. Replace it?"_s));
        QVERIFY(messages->calls[2].style & kvr::vbDefaultButton2); // a replaced loadout is gone

        main.DESCOMPRIME(u"(Default)"_s, u"HURR"_s);
        main.Combo(1).setText(u"(Default)"_s);
        window.refreshList(u"Evening"_s);
        QTRY_VERIFY(window.ready());
        QCOMPARE(status(1), u"will change"_s);
        QCOMPARE(status(7), u"same as now"_s);
        QCOMPARE(status(2), u"same as now"_s);
        click("Apply");
        QTRY_COMPARE(messages->calls.size(), 4);
        QVERIFY2(messages->calls[3].prompt.startsWith(u"Loadout \"Evening\": 1 of its slots changed."_s),
                 qPrintable(messages->calls[3].prompt));
        QCOMPARE(main.Combo(1).Text(), u"Desert"_s);
        QCOMPARE(kvrtest::readFile(ws->gameFolder() + u"/PHURR.TPC"_s), "desert"_ba);
        QTRY_VERIFY(window.ready());
        QCOMPARE(status(1), u"same as now"_s);

        const QString exported = ws->root() + u"/shared/Evening.kvrloadout"_s;
        QVERIFY(QDir().mkpath(ws->root() + u"/shared"_s));
        kvr::setLoadoutFileHandler([&](bool forSaving, const QString& suggested) {
            return forSaving && suggested == u"Evening.kvrloadout"_s ? exported : QString();
        });
        click("Export");
        const QString stored = kvr::loadoutPath(kvr::loadoutsFolder(ws->iniPath()), u"Evening"_s);
        QCOMPARE(kvrtest::readFile(exported), kvrtest::readFile(stored));

        messages->nextAnswers = {kvr::vbOK};
        click("Delete");
        QVERIFY(messages->calls.last().style & kvr::vbDefaultButton2);
        QTRY_VERIFY(window.ready());
        QCOMPARE(listed(), QStringList());
        QVERIFY(!QFile::exists(stored));

        // Import: a package is no loadout; the exported file is.
        const QString zip = ws->skinsFolder() + u"/HURR_Desert.zip"_s;
        QStringList picked{zip, exported};
        kvr::setLoadoutFileHandler([&](bool, const QString&) { return picked.takeFirst(); });
        click("Import");
        QCOMPARE(messages->calls.size(), 6);
        QCOMPARE(messages->calls[5].prompt,
                 u"Not added:\n    HURR_Desert.zip: not a loadout: it has no [Loadout] section"_s);
        click("Import");
        QTRY_COMPARE(listed(), QStringList{u"Evening"_s});
        QCOMPARE(kvrtest::filesIn(ws->gameFolder()), QStringList{u"PHURR.TPC"_s});

        // Dropped on the main window, once it is given back.
        kvrtest::closeForms<Loadouts>();
        QVERIFY(main.isEnabled());
        QVERIFY(QFile::remove(stored));
        QVERIFY(kvrtest::dropFiles(&main, {exported}));
        QTRY_COMPARE(messages->calls.size(), 8);
        QCOMPARE(messages->calls[7].prompt, u"Added:\n    Evening"_s);
        QCOMPARE(kvrtest::readFile(stored), kvrtest::readFile(exported));
    }

    // An apply waiting for a game folder another program holds says so, and Cancel ends the wait
    // with nothing changed.
    void applyWaitingForTheGameFolder()
    {
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u"/HURR_Desert.zip"_s, {{"PHURR.TPC", "desert"}}));
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"HURR=Desert"_s})));
        kvrtest::shownMainWindow();
        kvrtest::triggerMenuEntry(u"Loadouts"_s);
        Loadouts& window = Loadouts::instance();
        QTRY_VERIFY(window.ready());
        kvr::setLoadoutNameHandler([] { return std::optional<QString>(u"Evening"_s); });
        click("SaveCurrent");
        QTRY_VERIFY(window.ready());
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"HURR=(Default)"_s})));
        window.refreshList(u"Evening"_s);
        QTRY_VERIFY(window.ready());
        QCOMPARE(status(1), u"will change"_s);

        const kvr::UniqueFd held(::open(QFile::encodeName(ws->gameFolder()).constData(), O_RDONLY));
        QVERIFY(::flock(held.get(), LOCK_EX) == 0);
        QString said;
        int looks = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, &window, [&] {
            auto* dialog = window.findChild<QProgressDialog*>(u"LoadoutProgress"_s);
            if (!dialog || !dialog->isVisible())
                return;
            said = dialog->labelText();
            // The reason comes at once; a dialog without it is cancelled all the same.
            if (!said.startsWith(u"Another program"_s) && ++looks < 25)
                return;
            watch.stop();
            kvrtest::childOf<QPushButton>(*dialog, QString())->click();
        });
        watch.start(20);
        click("Apply");
        QCOMPARE(said, u"Another program is using the game folder \"%1\".\nWaiting for it to let go of it..."_s.arg(
                           kvr::usableFolder(ws->gameFolder())));
        QCOMPARE(messages->calls.size(), 1);
        QVERIFY2(messages->calls[0].prompt.endsWith(u"Cancelled, not changed:\n    Hurricane_I (HURR) Desert"_s),
                 qPrintable(messages->calls[0].prompt));
        QCOMPARE(kvrtest::filesIn(ws->gameFolder()), QStringList());
    }
};

QTEST_MAIN(TestLoadoutsWindow)
#include "test_loadouts_window.moc"
