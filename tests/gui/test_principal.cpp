#include "catalogue/slots.h"
#include "demo.h"
#include "guisupport.h"

#include <QAbstractButton>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>

using namespace Qt::StringLiterals;

using kvr::DropDownCombo;
using kvr::Principal;
using kvrtest::comboOf;
using kvrtest::writeFile;

namespace {

// Opens a slot's list as the user does, reads it, and closes it without a choice.
QStringList openList(int n)
{
    DropDownCombo* combo = comboOf(n);
    combo->showPopup();
    const QStringList items = kvrtest::itemsOf(*combo);
    combo->hidePopup();
    return items;
}

} // namespace

class TestPrincipal : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { QVERIFY(kvrtest::closeEveryWindow()); }
    void slotCaptionsAndWithdrawnWindow();
    void loadShowsRecordedSkinsAndListsFollowTheSlotCode();
    void loadWithoutSettingsOrFolders();
    void onlyAChoiceChangesASlot_data();
    void onlyAChoiceChangesASlot();
    void demoWorkspaceIsListedAndInstalls();
};

void TestPrincipal::slotCaptionsAndWithdrawnWindow()
{
    kvrtest::Workspace ws;
    Principal& main = kvrtest::shownMainWindow();
    for (int number = 1; number <= 30; ++number) {
        auto* label = kvrtest::childOf<QLabel>(main, u"Label%1"_s.arg(number));
        QCOMPARE(label->text(), kvr::slot(number).Caption());
        QCOMPARE(label->palette().color(QPalette::WindowText).rgb() & 0xFFFFFF, uint(kvr::slot(number).captionRgb));
        QCOMPARE(label->buddy(), comboOf(number));
    }
    QCOMPARE(kvrtest::childOf<QAbstractButton>(main, u"Command1"_s)->text(), u"Reset Skins"_s);
    main.setEnabled(false);
    QVERIFY(!main.close() && main.isVisible());
    main.setEnabled(true);
    QVERIFY(main.close());
}

void TestPrincipal::loadShowsRecordedSkinsAndListsFollowTheSlotCode()
{
    kvrtest::Workspace ws;
    QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"HURR=Desert"_s, u"V1V1=(Default)"_s})));
    QVERIFY(kvrtest::plantFiles(ws.skinsFolder(), {u"HURR_Desert.zip"_s, u"HURR_Winter.zip"_s, u"hurr_night.ZIP"_s,
                                                   u"SP2A_Sand.zip"_s, u"readme.txt"_s}));
    kvrtest::shownMainWindow();
    QCOMPARE(comboOf(1)->Text(), u"Desert"_s);
    QCOMPARE(comboOf(30)->Text(), u"(Default)"_s);
    // Nothing recorded: an empty text, not "(Default)"; no list is filled and nothing written at load.
    QCOMPARE(comboOf(7)->Text(), QString());
    QCOMPARE(comboOf(1)->count(), 0);
    QCOMPARE(kvrtest::readFile(ws.iniPath()).count(kvrtest::skinsSection({})), 1);

    // Opening a list empties the text, also once the list is closed without a choice.
    DropDownCombo* combo = comboOf(1);
    combo->showPopup();
    QCOMPARE(combo->lineEdit()->text(), QString());
    combo->hidePopup();
    QCOMPARE(combo->Text(), QString());
    // Which names a code takes is the slot table's own test; a second opening lists no entry twice.
    QCOMPARE(openList(1), QStringList({u"(Default)"_s, u"Desert"_s, u"night"_s, u"Winter"_s}));
    QCOMPARE(openList(2), QStringList({u"(Default)"_s, u"Sand"_s}));
}

void TestPrincipal::loadWithoutSettingsOrFolders()
{
    // No settings file (and the load writes none), or a skins folder that is gone.
    for (const bool gone : {false, true}) {
        kvrtest::Workspace ws;
        QVERIFY(!gone || writeFile(ws.iniPath(), kvrtest::Workspace::foldersSection({}, ws.root() + u"/gone"_s)));
        QCOMPARE(openList(1), QStringList({u"(Default)"_s}));
        QCOMPARE(QFile::exists(ws.iniPath()), gone);
        QVERIFY(kvrtest::closeEveryWindow());
    }
}

void TestPrincipal::onlyAChoiceChangesASlot_data()
{
    QTest::addColumn<QString>("gesture");
    QTest::addColumn<bool>("installs");
    QTest::newRow("wheel down over the text field") << u"wheel field"_s << false;
    QTest::newRow("wheel down over the arrow") << u"wheel arrow"_s << false;
    QTest::newRow("typing a list entry and Return") << u"type"_s << false;
    QTest::newRow("Down key on the focused box") << u"key"_s << true;
}

void TestPrincipal::onlyAChoiceChangesASlot()
{
    QFETCH(QString, gesture);
    QFETCH(bool, installs);
    kvrtest::Workspace ws;
    QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"HURR=Winter"_s})));
    QVERIFY(kvrtest::plantFiles(ws.skinsFolder(), {u"HURR_Desert.zip"_s, u"HURR_Winter.zip"_s}));
    QVERIFY(writeFile(ws.gameFolder() + u"/PHURR.TPC"_s, "the installed skin"_ba));
    kvrtest::shownMainWindow();
    DropDownCombo* combo = comboOf(1);
    int clicks = 0;
    connect(combo, &DropDownCombo::Click, this, [&clicks] { ++clicks; });

    // The list was opened once and closed without a choice: its entries are there to step through.
    openList(1);
    const QString shown = combo->Text();
    if (gesture == u"key"_s) {
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_Down);
    } else if (gesture == u"type"_s) {
        combo->lineEdit()->setFocus();
        QTest::keyClicks(combo->lineEdit(), u"(Default)"_s);
        QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        comboOf(2)->setFocus();
    } else {
        QWidget* target = gesture == u"wheel field"_s ? static_cast<QWidget*>(combo->lineEdit()) : combo;
        const QPoint at = target->rect().center();
        QWheelEvent wheel(at, target->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        // Delivered as the window system's own event (sendEvent would mark it synthetic), so the
        // text field passes it on to its box as it does under the pointer.
        QSpontaneKeyEvent::setSpontaneous(&wheel);
        qApp->notify(target, &wheel);
    }

    // What a change writes is the change's own test; here only whether one ran.
    QCOMPARE(clicks, installs ? 1 : 0);
    QCOMPARE(QFile::exists(ws.gameFolder() + u"/PHURR.TPC"_s), !installs);
    if (installs)
        QCOMPARE(combo->Text(), u"(Default)"_s);
    else if (gesture != u"type"_s)
        QCOMPARE(combo->Text(), shown);
}

void TestPrincipal::demoWorkspaceIsListedAndInstalls()
{
    kvrtest::Workspace ws;
    const kvr::demo::Result demo = kvr::demo::createWorkspace(ws.root() + u"/demo"_s, ws.programFolder());
    QVERIFY(!demo.packages.isEmpty());

    // Every package has a picture that loads and a note.
    for (const QString& package : demo.packages) {
        const QString name = demo.skinsFolder + u'/' + package.mid(5, package.size() - 9);
        QCOMPARE(QImageReader(name + u".jpg"_s).size(), QSize(320, 240));
        QVERIFY(!kvrtest::readFile(name + u".txt"_s).isEmpty());
    }

    Principal& main = Principal::instance();
    QCOMPARE(openList(7), QStringList({u"(Default)"_s, u"Night Intruder"_s, u"Sqn105"_s}));

    // Installing a demo skin puts the slot's files into the demo game folder.
    main.DESCOMPRIME(u"Sqn105"_s, u"MOSQ"_s);
    QCOMPARE(kvrtest::filesIn(demo.gameFolder),
             QStringList({u"DEMO-GAME-FOLDER.txt"_s, u"PMOSQ.3DZ"_s, u"PMOSQ.TPC"_s, u"PMOSQ_WING.TPC"_s}));
}

QTEST_MAIN(TestPrincipal)
#include "test_principal.moc"
