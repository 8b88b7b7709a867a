#include "installer/combolist.h"
#include "installer/installation.h"
#include "installer/principal.h"
#include "installer/slots.h"
#include "settings/modulo_ini.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QAbstractItemView>
#include <QTest>
#include <QToolButton>

using kvr::DropDownCombo;
using kvr::Principal;
using kvrtest::filesIn;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

DropDownCombo* comboOf(int n)
{
    return Principal::instance().findChild<DropDownCombo*>(QStringLiteral("Combo%1").arg(n));
}

// Opens a slot's list and picks an entry with the keyboard, as a user would.
void choose(int n, const QString& entry)
{
    DropDownCombo* combo = comboOf(n);
    combo->showPopup();
    const int index = combo->findText(entry, Qt::MatchExactly | Qt::MatchCaseSensitive);
    QVERIFY2(index >= 0, qPrintable(entry));
    QAbstractItemView* view = combo->view();
    QTRY_VERIFY(view->isVisible());
    view->setCurrentIndex(view->model()->index(index, 0));
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY(!view->isVisible());
}

QByteArray skinsSection(const QStringList& lines)
{
    return "[Skins]\r\n" + lines.join(QStringLiteral("\r\n")).toUtf8() + "\r\n";
}

} // namespace

class TestInstallation : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup();
    void installReplacesTheSlotsFilesAndRecordsTheChoice();
    void missingLibraryIsTheOneMessage();
    void resetPutsEverySlotBack();
    void interruptedChangeIsFinishedBeforeTheLoad();
};

void TestInstallation::cleanup()
{
    if (Principal::exists())
        delete &Principal::instance();
}

void TestInstallation::installReplacesTheSlotsFilesAndRecordsTheChoice()
{
    kvrtest::Workspace ws;
    ws.writeSettings();
    const QString skins = ws.skinsFolder();
    QVERIFY(kvr::writeZip(skins + QStringLiteral("/MOSQ_Sqn105.zip"),
                          {{"PMOSQ_body.tpc", QByteArray(5000, 'b')}, {"maps/PMOSQ_wing.3dz", "wing", ZIP_CM_STORE}}));
    QVERIFY(kvr::writeZip(skins + QStringLiteral("/mosq_Night.ZIP"), {{"PMOSQ_night.tpc", "night"}}));
    const QString game = ws.gameFolder();
    for (const char* name : {"PMOSQ_old.tpc", "pmosq_from_elsewhere.3DZ", "PMOSQ", "PHURR.tpc", "other.txt"})
        writeFile(game + QLatin1Char('/') + QString::fromLatin1(name), "old");

    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    choose(7, QStringLiteral("Sqn105"));

    // The slot's files are gone, whatever their case or origin; the package landed flat.
    QCOMPARE(filesIn(game), QStringList({"PHURR.tpc", "PMOSQ_body.tpc", "PMOSQ_wing.3dz", "other.txt"}));
    QCOMPARE(readFile(game + QStringLiteral("/PMOSQ_body.tpc")), QByteArray(5000, 'b'));
    QCOMPARE(readFile(game + QStringLiteral("/PHURR.tpc")), QByteArray("old"));
    QCOMPARE(main.FILE, QStringLiteral("Sqn105"));
    QCOMPARE(comboOf(7)->Text(), QStringLiteral("Sqn105"));
    const QByteArray folders = readFile(ws.iniPath()).left(readFile(ws.iniPath()).indexOf("[Skins]"));
    QCOMPARE(readFile(ws.iniPath()), folders + skinsSection({"MOSQ=Sqn105"}));

    // A second installation replaces the first, also through a lower-case package name.
    choose(7, QStringLiteral("Night"));
    QCOMPARE(filesIn(game), QStringList({"PHURR.tpc", "PMOSQ_night.tpc", "other.txt"}));
    QCOMPARE(readFile(ws.iniPath()), folders + skinsSection({"MOSQ=Night"}));

    // The next start shows the choice.
    cleanup();
    QCOMPARE(comboOf(7)->Text(), QStringLiteral("Night"));
}

void TestInstallation::missingLibraryIsTheOneMessage()
{
    kvrtest::Workspace ws(/*withUnzipLibrary=*/false);
    ws.writeSettings();
    QVERIFY(kvr::writeZip(ws.skinsFolder() + QStringLiteral("/TYPH_Sand.zip"), {{"PTYPH.tpc", "sand"}}));
    writeFile(ws.gameFolder() + QStringLiteral("/PTYPH.tpc"), "old");
    kvrtest::MsgBoxRecorder boxes;
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    choose(5, QStringLiteral("Sand"));
    QCOMPARE(boxes.calls.size(), 1);
    QVERIFY2(boxes.calls[0].prompt.startsWith(QStringLiteral("Unzip: ")), qPrintable(boxes.calls[0].prompt));
    QVERIFY2(boxes.calls[0].prompt.contains(QStringLiteral("libunzip32.so")), qPrintable(boxes.calls[0].prompt));
    QCOMPARE(boxes.calls[0].style, 48);
    QCOMPARE(boxes.calls[0].title, QStringLiteral("KVR Skin Installer v1.1"));
    // The slot's files were deleted before, and the choice is recorded after.
    QCOMPARE(filesIn(ws.gameFolder()), QStringList());
    QVERIFY(readFile(ws.iniPath()).endsWith(skinsSection({"TYPH=Sand"})));
}

void TestInstallation::resetPutsEverySlotBack()
{
    kvrtest::Workspace ws;
    ws.writeSettings("[Skins]\r\nMOSQ=Sqn105\r\nNOTASLOT=kept\r\n");
    const QString game = ws.gameFolder();
    for (const char* name :
         {"PMOSQ.TPC", "pmosq_wing.3dz", "PANYTHING.tpc", "P.3DZ", "PMOSQ.txt", "HURR.TPC", "readme.TPC", "PHURR.TPCX"})
        writeFile(game + QLatin1Char('/') + QString::fromLatin1(name), "x");
    QVERIFY(QDir(game).mkdir(QStringLiteral("PFOLDER.TPC")));
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    QCOMPARE(comboOf(7)->Text(), QStringLiteral("Sqn105"));
    const QByteArray before = readFile(ws.iniPath());

    QString expectedSkins = QStringLiteral("MOSQ=(Default)\r\nNOTASLOT=kept\r\n");
    for (const kvr::Slot& s : kvr::slotTable()) {
        if (s.SlotCode() != QStringLiteral("MOSQ"))
            expectedSkins += s.SlotCode() + QStringLiteral("=(Default)\r\n");
    }
    const QByteArray expected = before.left(before.indexOf("[Skins]")) + "[Skins]\r\n" + expectedSkins.toUtf8();

    for (int round = 0; round < 2; ++round) {
        main.findChild<QToolButton*>(QStringLiteral("Command1"))->click();
        QCOMPARE(filesIn(game), QStringList({"HURR.TPC", "PHURR.TPCX", "PMOSQ.txt", "readme.TPC"}));
        QVERIFY(QFileInfo(game + QStringLiteral("/PFOLDER.TPC")).isDir());
        for (const kvr::Slot& s : kvr::slotTable()) {
            QCOMPARE(comboOf(s.number)->Text(), QStringLiteral("(Default)"));
            QCOMPARE(comboOf(s.number)->count(), 0);
        }
        QCOMPARE(readFile(ws.iniPath()), expected);
    }
    QVERIFY(main.FILE.isEmpty());
}

// A change cut short after its unpacking: the next start finishes it before the slots are shown.
void TestInstallation::interruptedChangeIsFinishedBeforeTheLoad()
{
    struct Interrupted
    {
    };
    kvrtest::Workspace ws;
    ws.writeSettings("[Skins]\r\nMOSQ=Old\r\n");
    QVERIFY(kvr::writeZip(ws.skinsFolder() + QStringLiteral("/MOSQ_Sqn105.zip"), {{"PMOSQ_new.tpc", "new"}}));
    writeFile(ws.gameFolder() + QStringLiteral("/PMOSQ_old.tpc"), "old");
    const kvr::ChangeProbe previous = kvr::setChangeProbe([](kvr::ChangeStep step) {
        if (step == kvr::ChangeStep::Deleted)
            throw Interrupted{};
    });
    try {
        kvr::changeSlot(ws.gameFolder(), ws.skinsFolder(), kvr::Modulo::settingsPath(), QStringLiteral("MOSQ"),
                        QStringLiteral("Sqn105"));
        QFAIL("the change was not interrupted");
    } catch (const Interrupted&) {
    }
    kvr::setChangeProbe(previous);
    QCOMPARE(filesIn(ws.gameFolder()), QStringList());

    kvrtest::MsgBoxRecorder boxes;
    QCOMPARE(comboOf(7)->Text(), QStringLiteral("Sqn105"));
    QCOMPARE(filesIn(ws.gameFolder()), QStringList({"PMOSQ_new.tpc"}));
    QVERIFY(boxes.calls.isEmpty());
}

QTEST_MAIN(TestInstallation)
#include "test_installation.moc"
