// The Loadouts and Pack windows, and later starts of the program reaching the open window.
#include "cli/instance.h"
#include "cli/windowrequests.h"
#include "guisupport.h"
#include "loadouts/pack.h"
#include "loadouts/packwindow.h"
#include "loadoutsupport.h"

#include <QProgressDialog>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <fcntl.h>
#include <future>
#include <sys/file.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

using kvr::Loadouts;
using kvr::Principal;

class TestLoadoutsWindow : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    QTemporaryDir m_runtime;
    QObject* m_receiver = nullptr;

    // Hands the arguments over as a later start does, from a thread of its own, while the window
    // goes on; the answer.
    kvr::InstanceReply handOver(const QStringList& arguments)
    {
        const QString socket = kvr::instancePlace(ws->programFolder()).socketPath;
        std::future<std::optional<kvr::InstanceReply>> reply = std::async(std::launch::async, [=, root = ws->root()] {
            return kvr::handToOpenProgram(socket, {arguments, root});
        });
        for (int i = 0; i < 400 && reply.wait_for(0s) != std::future_status::ready; ++i)
            QTest::qWait(50);
        return reply.get().value_or(kvr::InstanceReply{-1, {}, {}});
    }

    static void click(const QWidget& window, const char* name)
    {
        kvrtest::childOf<QPushButton>(window, QString::fromLatin1(name))->click();
    }
    static QString status(const QWidget& window, int slot)
    {
        return kvrtest::childOf<QTableWidget>(window, u"Table1"_s)->item(slot - 1, 2)->text();
    }
    static QStringList listed()
    {
        return kvrtest::itemsOf(*kvrtest::childOf<QListWidget>(Loadouts::instance(), u"List1"_s));
    }

    // Hurricane on Desert and Mosquito on Sqn105, recorded; the Loadouts window opened from the
    // main window's menu and done listing.
    bool openLoadouts()
    {
        if (!kvr::writeZip(ws->skinsFolder() + u"/HURR_Desert.zip"_s, {{"PHURR.TPC", "desert"}}) ||
            !kvr::writeZip(ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s, {{"PMOSQ.TPC", "sqn"}}) ||
            !ws->writeSettings(kvrtest::skinsSection({u"HURR=Desert"_s, u"MOSQ=Sqn105"_s})))
            return false;
        kvrtest::shownMainWindow();
        kvrtest::triggerMenuEntry(u"Loadouts"_s);
        return QTest::qWaitFor([] { return Loadouts::instance().ready(); });
    }
    // What is recorded now saved as "Evening".
    static bool saveEvening()
    {
        kvr::setLoadoutNameHandler([] { return std::optional<QString>(u"Evening"_s); });
        click(Loadouts::instance(), "SaveCurrent");
        kvr::setLoadoutNameHandler({});
        return QTest::qWaitFor([] { return Loadouts::instance().ready(); });
    }

private Q_SLOTS:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
    }
    void init() { openProgram(); }
    void cleanup()
    {
        delete std::exchange(m_receiver, nullptr);
        QVERIFY(kvrtest::closeEveryWindow());
        kvr::setLoadoutNameHandler({});
        kvr::setLoadoutFileHandler({});
        closeProgram();
    }

    // Saved with Hurricane on Desert, applied after a change back to (Default), exported, deleted,
    // imported again through the window.
    void saveApplyExportImportDelete()
    {
        QVERIFY(openLoadouts());
        Principal& main = Principal::instance();
        Loadouts& window = Loadouts::instance();
        QCOMPARE(window.windowTitle(), u"Kestrava _ Skin Installer v1.1 _ Loadouts"_s);

        QStringList names{u"a/b"_s, u"Evening"_s, u"Evening"_s};
        kvr::setLoadoutNameHandler([&] { return std::optional<QString>(names.takeFirst()); });
        click(window, "SaveCurrent");
        QCOMPARE(messages->calls.size(), 1); // the name refused
        QCOMPARE(messages->calls[0].prompt, u"A loadout name cannot hold / or \\."_s);
        click(window, "SaveCurrent");
        QTRY_VERIFY(window.ready());
        QCOMPARE(listed(), QStringList{u"Evening"_s});
        messages->nextAnswers = {kvr::vbCancel};
        click(window, "SaveCurrent"); // the name is in use: not replaced
        QCOMPARE(messages->calls.size(), 2);
        QVERIFY(messages->calls[1].prompt.contains(u"exists. Replace it?"_s));
        QVERIFY(messages->calls[1].style & kvr::vbDefaultButton2); // a replaced loadout is gone

        main.DESCOMPRIME(u"(Default)"_s, u"HURR"_s);
        main.Combo(1).setText(u"(Default)"_s);
        window.refreshList(u"Evening"_s);
        QTRY_VERIFY(window.ready());
        QCOMPARE(status(window, 1), u"will change"_s);
        QCOMPARE(status(window, 7), u"same as now"_s);
        click(window, "Apply");
        QTRY_COMPARE(messages->calls.size(), 3);
        QVERIFY2(messages->calls[2].prompt.startsWith(u"Loadout \"Evening\": 1 of its slots changed."_s),
                 qPrintable(messages->calls[2].prompt));
        QCOMPARE(main.Combo(1).Text(), u"Desert"_s);
        QTRY_VERIFY(window.ready());
        QCOMPARE(status(window, 1), u"same as now"_s);

        const QString exported = ws->root() + u"/Evening.kvrloadout"_s;
        kvr::setLoadoutFileHandler([&](bool forSaving, const QString& suggested) {
            return forSaving && suggested == u"Evening.kvrloadout"_s ? exported : QString();
        });
        click(window, "Export");
        const QString stored = kvr::loadoutPath(kvr::loadoutsFolder(ws->iniPath()), u"Evening"_s);
        QCOMPARE(kvrtest::readFile(exported), kvrtest::readFile(stored));

        messages->nextAnswers = {kvr::vbOK};
        click(window, "Delete");
        QVERIFY(messages->calls.last().style & kvr::vbDefaultButton2);
        QTRY_VERIFY(window.ready());
        QCOMPARE(listed(), QStringList());

        // Import: a package is no loadout; the exported file is.
        QStringList picked{ws->skinsFolder() + u"/HURR_Desert.zip"_s, exported};
        kvr::setLoadoutFileHandler([&](bool, const QString&) { return picked.takeFirst(); });
        click(window, "Import");
        QCOMPARE(messages->calls.size(), 5);
        QCOMPARE(messages->calls[4].prompt,
                 u"Not added:\n    HURR_Desert.zip: not a loadout: it has no [Loadout] section"_s);
        click(window, "Import");
        QTRY_COMPARE(listed(), QStringList{u"Evening"_s});
    }

    // An apply waiting for a game folder another program holds says so, and Cancel ends the wait
    // with nothing changed.
    void applyWaitingForTheGameFolder()
    {
        QVERIFY(openLoadouts());
        QVERIFY(saveEvening());
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"HURR=(Default)"_s, u"MOSQ=Sqn105"_s})));
        Loadouts& window = Loadouts::instance();
        window.refreshList(u"Evening"_s);
        QTRY_VERIFY(window.ready());

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
        click(window, "Apply");
        QCOMPARE(said, u"Another program is using the game folder \"%1\".\nWaiting for it to let go of it..."_s.arg(
                           kvr::usableFolder(ws->gameFolder())));
        QCOMPARE(messages->calls.size(), 1);
        QVERIFY2(messages->calls[0].prompt.endsWith(u"Cancelled, not changed:\n    Hurricane_I (HURR) Desert"_s),
                 qPrintable(messages->calls[0].prompt));
        QTRY_VERIFY(window.ready());
        QCOMPARE(status(window, 1), u"will change"_s);
    }

    // "Evening" packed with a question about Hurricane's repainted package, opened after Mosquito's
    // package is gone, its package added back and the loadout applied; then dropped on the main window
    // with another loadout, which is added.
    void exportOpenAddApplyPack()
    {
        QVERIFY(openLoadouts());
        QVERIFY(saveEvening());
        Loadouts& window = Loadouts::instance();
        // Saved again over itself, the loadout keeps where its packages can be downloaded.
        const QString stored = kvr::loadoutPath(kvr::loadoutsFolder(ws->iniPath()), u"Evening"_s);
        QVERIFY(kvrtest::writeFile(stored, kvrtest::readFile(stored) + "[Sources]\r\nMOSQ=https://example.org/m\r\n"));
        messages->nextAnswers = {kvr::vbOK};
        QVERIFY(saveEvening());
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
        QCOMPARE(status(*shown, 7), u"package added"_s);

        messages->nextAnswers = {kvr::vbOK, kvr::vbOK}; // replace "Evening"; the summary
        click(*shown, "AddPackages");
        QCOMPARE(messages->calls.size(), 5);
        QCOMPARE(messages->calls[4].prompt,
                 u"Packages added:\n    MOSQ_Sqn105.zip\n\nAdded the loadout \"Evening\"."_s);
        QCOMPARE(status(*shown, 7), u"will change"_s);
        click(*shown, "Apply");
        QTRY_COMPARE(messages->calls.size(), 6);
        QCOMPARE(kvrtest::comboOf(7)->Text(), u"Sqn105"_s);

        // Dropped on the main window, once it is given back.
        kvrtest::closeForms<Loadouts>();
        const QString other = ws->root() + u"/Other.kvrloadout"_s;
        QVERIFY(kvrtest::writeFile(other, kvrtest::mosquitoLoadout(ws->skinsFolder(), u"Other"_s)));
        QVERIFY(kvrtest::dropFiles(&Principal::instance(), {pack, other}));
        QTRY_VERIFY(kvrtest::openWindow(u"Pack"_s));
        QCOMPARE(status(*kvrtest::openWindow(u"Pack"_s), 7), u"same as now"_s);
        QCOMPARE(messages->calls.last().prompt, u"Added:\n    Other"_s);
    }

    // Later starts reaching the open window: a command is carried out on the window's folders and
    // shows in its slot boxes and lists.
    void commandsShowInTheWindow()
    {
        QVERIFY(kvrtest::plantCommandFiles(*ws));
        kvr::Principal& main = kvrtest::shownMainWindow();
        m_receiver = kvr::receiveLaterStarts({});
        handOver({u"--apply-loadout"_s, u"Squadron"_s});
        QCOMPARE(main.Combo(7).Text(), u"Sqn105"_s);

        kvr::InstanceReply reply = handOver({u"--undo"_s, u"--json"_s});
        QCOMPARE(reply.status, 0);
        QVERIFY2(reply.out.contains("\"undone\": \"loadout\""), reply.out.constData());
        QCOMPARE(main.Combo(7).Text(), QString());

        reply = handOver({u"--import"_s, u"dl/MOSQ_Red.zip"_s});
        QCOMPARE(reply.status, 0);
        QVERIFY(main.File1.names().contains(u"MOSQ_Red.zip"_s));
        QVERIFY(messages->calls.isEmpty());

        QCOMPARE(handOver({u"--status"_s, u"--undo"_s}).status, 2);
    }

    // Started with a file, the program opens it once the main window shows, not before. A later
    // start ends at once; the window imports as a drop does, with its summaries.
    void filesOpenInTheWindow()
    {
        QVERIFY(kvrtest::plantCommandFiles(*ws));
        m_receiver = kvr::receiveLaterStarts({ws->root() + u"/Other.kvrloadout"_s});
        QTest::qWait(300);
        QVERIFY(messages->calls.isEmpty());
        kvrtest::shownMainWindow();
        const std::atomic<bool> no{false};
        const QString pack = ws->root() + u"/Trip.kvrpack"_s;
        QVERIFY(kvr::writePack(kvr::readLoadoutFile(ws->root() + u"/Other.kvrloadout"_s, u"Other"_s).loadout,
                               ws->skinsFolder(), pack, no)
                    .written);
        const kvr::InstanceReply reply =
            handOver({QUrl::fromLocalFile(ws->root() + u"/dl/MOSQ_Red.zip"_s).toString(), pack});
        QCOMPARE(reply.status, 0);
        // A pack shows what it would change, and nothing else.
        QTRY_VERIFY(kvrtest::openWindow(u"Pack"_s));
        QTRY_COMPARE(messages->calls.size(), 2);
        QCOMPARE(messages->calls[0].prompt, u"Added:\n    Other"_s);
        QVERIFY2(messages->calls[1].prompt.startsWith(u"Imported into"_s), qPrintable(messages->calls[1].prompt));
    }
};

QTEST_MAIN(TestLoadoutsWindow)
#include "test_loadouts_window.moc"
