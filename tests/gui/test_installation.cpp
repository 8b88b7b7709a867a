#include "installer/combolist.h"
#include "installer/principal.h"
#include "installer/slots.h"
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
    void defaultAndVanishedPackage();
    void missingLibraryIsTheOneMessage();
    void emptyFoldersNeverReachTheRoot();
    void resetPutsEverySlotBack();
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

void TestInstallation::defaultAndVanishedPackage()
{
    kvrtest::Workspace ws;
    ws.writeSettings();
    QVERIFY(kvr::writeZip(ws.skinsFolder() + QStringLiteral("/HURR_Desert.zip"), {{"PHURR.tpc", "desert"}}));
    writeFile(ws.gameFolder() + QStringLiteral("/PHURR_old.tpc"), "old");
    writeFile(ws.gameFolder() + QStringLiteral("/PSP2A.tpc"), "other slot");
    kvrtest::MsgBoxRecorder boxes;
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    choose(1, QStringLiteral("(Default)"));
    QCOMPARE(filesIn(ws.gameFolder()), QStringList({"PSP2A.tpc"}));
    QVERIFY(readFile(ws.iniPath()).endsWith(skinsSection({"HURR=(Default)"})));

    // The package vanished after the list was filled: the slot is cleared, nothing unpacked,
    // no message, and the choice is still recorded.
    writeFile(ws.gameFolder() + QStringLiteral("/PHURR_old.tpc"), "old");
    DropDownCombo* combo = comboOf(1);
    combo->showPopup();
    combo->hidePopup();
    QVERIFY(QFile::remove(ws.skinsFolder() + QStringLiteral("/HURR_Desert.zip")));
    choose(1, QStringLiteral("Desert"));
    QCOMPARE(filesIn(ws.gameFolder()), QStringList({"PSP2A.tpc"}));
    QVERIFY(readFile(ws.iniPath()).endsWith(skinsSection({"HURR=Desert"})));
    QVERIFY(boxes.calls.isEmpty());
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

void TestInstallation::emptyFoldersNeverReachTheRoot()
{
    // No game folder recorded: the deletes and the unpacking would name the file system's root.
    kvrtest::Workspace ws(/*withUnzipLibrary=*/false);
    writeFile(ws.iniPath(), "[Folders]\r\nSkinsFolder=" + ws.skinsFolder().toUtf8() + "\r\n");
    QVERIFY(kvr::writeZip(ws.skinsFolder() + QStringLiteral("/JU87_Stuka.zip"), {{"PJU87.tpc", "x"}}));
    kvrtest::MsgBoxRecorder boxes;
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    choose(28, QStringLiteral("Stuka"));
    // Unzip was never called (its library is missing, and no message came), yet the choice is kept.
    QVERIFY(boxes.calls.isEmpty());
    QVERIFY(readFile(ws.iniPath()).endsWith(skinsSection({"JU87=Stuka"})));
    QVERIFY(!QFile::exists(QStringLiteral("/PJU87.tpc")));

    main.findChild<QToolButton*>(QStringLiteral("Command1"))->click();
    QCOMPARE(comboOf(28)->Text(), QStringLiteral("(Default)"));
    QVERIFY(readFile(ws.iniPath()).contains("V1V1=(Default)"));
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

QTEST_MAIN(TestInstallation)
#include "test_installation.moc"
