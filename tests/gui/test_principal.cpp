#include "guisupport.h"
#include "installer/slots.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>

using namespace Qt::StringLiterals;

using kvr::DropDownCombo;
using kvr::Principal;
using kvrtest::comboOf;
using kvrtest::itemsOf;
using kvrtest::writeFile;

namespace {

// Opens a slot's list as the user does, reads it, and closes it without a choice.
QStringList openList(int n)
{
    DropDownCombo* combo = comboOf(n);
    combo->showPopup();
    const QStringList items = itemsOf(*combo);
    combo->hidePopup();
    return items;
}

} // namespace

class TestPrincipal : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup();
    void windowShowsThirtySlotsInThreeColumns();
    void eightLinesFrameTheSlots();
    void loadShowsRecordedSkinsAndListsFollowTheSlotCode();
    void loadWithoutSettingsOrFolders();
    void onlyAChoiceChangesASlot_data();
    void onlyAChoiceChangesASlot();
};

void TestPrincipal::cleanup()
{
    QVERIFY(kvrtest::closeEveryWindow());
}

void TestPrincipal::windowShowsThirtySlotsInThreeColumns()
{
    kvrtest::Workspace ws;
    Principal& main = kvrtest::shownMainWindow();
    QCOMPARE(main.windowTitle(), QStringLiteral("Kestrava _ Skin Installer v1.1 _ Principal"));

    // Each slot's caption in its colour (the table's texts are pinned on their own), right of its
    // editable combo box; ten per column, top to bottom, columns left to right.
    for (int number = 1; number <= 30; ++number) {
        auto* label = kvrtest::childOf<QLabel>(main, u"Label%1"_s.arg(number));
        DropDownCombo* combo = comboOf(number);
        QCOMPARE(label->text(), kvr::slot(number).Caption());
        QCOMPARE(label->palette().color(QPalette::WindowText).rgb() & 0xFFFFFF, uint(kvr::slot(number).captionRgb));
        QCOMPARE(label->buddy(), combo);
        QVERIFY(combo->isEditable());
        QVERIFY(label->mapTo(&main, QPoint()).x() > combo->mapTo(&main, QPoint()).x());
        if (number % 10 != 1) {
            DropDownCombo* above = comboOf(number - 1);
            QCOMPARE(combo->mapTo(&main, QPoint()).x(), above->mapTo(&main, QPoint()).x());
            QVERIFY(combo->mapTo(&main, QPoint()).y() > above->mapTo(&main, QPoint()).y());
        } else if (number > 1) {
            QVERIFY(combo->mapTo(&main, QPoint()).x() >
                    label->width() + comboOf(number - 10)->mapTo(&main, QPoint()).x());
        }
    }

    const QStringList buttons{u"Command1"_s, u"Command4"_s, u"Command2"_s, u"Command3"_s, u"Command5"_s};
    const QStringList buttonCaptions{u"Reset Skins"_s, u"Skin Wiewer"_s, u"Control Panel"_s, u"Help"_s, u"About..."_s};
    int lastX = -1;
    for (int i = 0; i < buttons.size(); ++i) {
        auto* button = main.findChild<QToolButton*>(buttons[i]);
        QVERIFY(button);
        QCOMPARE(button->text(), buttonCaptions[i]);
        QVERIFY(button->mapTo(&main, QPoint()).x() > lastX);
        lastX = button->mapTo(&main, QPoint()).x();
    }
    QVERIFY(main.findChild<QLabel*>(QStringLiteral("Image1")));

    // Withdrawn under a child window, it cannot be closed.
    main.setEnabled(false);
    QVERIFY(!main.close());
    QVERIFY(main.isVisible());
    main.setEnabled(true);
    QVERIFY(main.close());
}

void TestPrincipal::eightLinesFrameTheSlots()
{
    kvrtest::Workspace ws;
    Principal& main = kvrtest::shownMainWindow();
    const auto rectOf = [&main](const QString& name) {
        auto* widget = main.findChild<QWidget*>(name);
        return widget ? QRect(widget->mapTo(&main, QPoint()), widget->size()) : QRect();
    };
    const auto line = [&](int n) {
        const QRect r = rectOf(u"Line%1"_s.arg(n));
        return std::pair{r, !r.isNull() && main.findChild<QFrame*>(u"Line%1"_s.arg(n))->isVisible()};
    };
    const auto slotRect = [&](int n) { return rectOf(u"Combo%1"_s.arg(n)) | rectOf(u"Label%1"_s.arg(n)); };
    QRect slotsArea;
    for (int n = 1; n <= 30; ++n)
        slotsArea |= slotRect(n);
    for (int n = 1; n <= 8; ++n)
        QVERIFY2(line(n).second, qPrintable(u"Line%1"_s.arg(n)));

    // The frame: above, below, left of and right of every slot row.
    QVERIFY(line(1).first.bottom() < slotsArea.top() && line(1).first.width() >= slotsArea.width());
    QVERIFY(line(2).first.top() > slotsArea.bottom() && line(2).first.width() >= slotsArea.width());
    QVERIFY(line(3).first.right() < slotsArea.left() && line(3).first.height() >= slotsArea.height());
    QVERIFY(line(4).first.left() > slotsArea.right() && line(4).first.height() >= slotsArea.height());
    // Upright between the columns: right of slots 1-10, left of 11-20; right of 11-20, left of 21-30.
    for (auto [n, leftSlot] : {std::pair{5, 1}, std::pair{6, 11}}) {
        const QRect upright = line(n).first;
        QVERIFY(upright.height() > upright.width() * 50);
        for (int k = 0; k < 10; ++k) {
            QVERIFY(slotRect(leftSlot + k).right() < upright.left());
            QVERIFY(slotRect(leftSlot + 10 + k).left() > upright.right());
        }
    }
    // The short rules where the caption colour changes: below slot 7 and below slot 16.
    for (auto [n, slot] : {std::pair{7, 7}, std::pair{8, 16}}) {
        const QRect rule = line(n).first;
        QVERIFY(rule.width() > rule.height() * 50);
        QVERIFY(rule.top() > slotRect(slot).bottom() && rule.bottom() < slotRect(slot + 1).top());
        QVERIFY(rule.left() <= slotRect(slot).left() && rule.right() >= slotRect(slot).right());
        QVERIFY(rule.right() < slotRect(slot + 10).left()); // short: within its own column
    }
}

void TestPrincipal::loadShowsRecordedSkinsAndListsFollowTheSlotCode()
{
    kvrtest::Workspace ws;
    QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"HURR=Desert"_s, u"V1V1=(Default)"_s})));
    for (const QString& name : {u"HURR_Desert.zip"_s, u"HURR_Winter.zip"_s, u"hurr_night.ZIP"_s, u"SP2A_Sand.zip"_s,
                                u"readme.txt"_s, u"HURRICANE.zip"_s, u"HURR.zip"_s, u"B26B_Marauder.zip"_s})
        QVERIFY(writeFile(ws.skinsFolder() + QLatin1Char('/') + name, "PK"_ba));
    Principal& main = kvrtest::shownMainWindow();
    QCOMPARE(main.INIFILE, ws.programFolder() + QStringLiteral("\\KVRSI.INI"));
    QCOMPARE(main.INSTFOLDER, ws.gameFolder());
    QCOMPARE(main.SKINSFOLDER, ws.skinsFolder());
    QCOMPARE(comboOf(1)->Text(), QStringLiteral("Desert"));
    QCOMPARE(comboOf(30)->Text(), QStringLiteral("(Default)"));
    // Nothing recorded: an empty text, not "(Default)"; and no list is filled at load.
    QCOMPARE(comboOf(7)->Text(), QString());
    QCOMPARE(comboOf(1)->count(), 0);
    // The load writes nothing.
    QCOMPARE(kvrtest::readFile(ws.iniPath()).count(kvrtest::skinsSection({})), 1);

    // Opening a list empties the text, also once the list is closed without a choice.
    DropDownCombo* combo = comboOf(1);
    combo->showPopup();
    QCOMPARE(combo->Text(), QString());
    QCOMPARE(combo->lineEdit()->text(), QString());
    QCOMPARE(combo->currentIndex(), -1);
    combo->hidePopup();
    QCOMPARE(combo->Text(), QString());
    // HURRICANE.zip is slot 1's too (the fifth character is not looked at); HURR.zip has no skin name.
    // A second opening lists no entry twice.
    QCOMPARE(openList(1), QStringList({u"(Default)"_s, u"Desert"_s, u"night"_s, u"Winter"_s, u"CANE"_s}));
    QCOMPARE(combo->Text(), QString());
    QCOMPARE(openList(2), QStringList({u"(Default)"_s, u"Sand"_s}));
    QCOMPARE(openList(14), QStringList({u"(Default)"_s})); // B26_B's code is B26A
    QCOMPARE(openList(30), QStringList({u"(Default)"_s}));

    // A package added later shows only once File1 is pointed at the folder again.
    QVERIFY(writeFile(ws.skinsFolder() + QStringLiteral("/SP2A_Arctic.zip"), "PK"_ba));
    QCOMPARE(openList(2), QStringList({u"(Default)"_s, u"Sand"_s}));
    main.File1.setPath(ws.skinsFolder());
    QCOMPARE(openList(2), QStringList({u"(Default)"_s, u"Arctic"_s, u"Sand"_s}));
}

void TestPrincipal::loadWithoutSettingsOrFolders()
{
    {
        kvrtest::Workspace ws;
        Principal& main = Principal::instance();
        QVERIFY(main.INSTFOLDER.isEmpty() && main.SKINSFOLDER.isEmpty());
        QCOMPARE(openList(1), QStringList({u"(Default)"_s}));
        QVERIFY(!QFile::exists(ws.iniPath()));
        QVERIFY(kvrtest::closeEveryWindow());
    }
    {
        // Binary garbage where the settings should be, and a skins folder that is gone.
        kvrtest::Workspace ws;
        QByteArray garbage;
        for (int i = 0; i < 70000; ++i)
            garbage.append(static_cast<char>((i * 7919) % 256));
        QVERIFY(
            writeFile(ws.iniPath(), garbage + "\r\n" + kvrtest::Workspace::foldersSection({}, ws.root() + u"/gone"_s)));
        Principal& main = Principal::instance();
        QCOMPARE(main.SKINSFOLDER, ws.root() + QStringLiteral("/gone"));
        QCOMPARE(openList(1), QStringList({u"(Default)"_s}));
    }
}

void TestPrincipal::onlyAChoiceChangesASlot_data()
{
    QTest::addColumn<QString>("gesture");
    QTest::addColumn<bool>("installs");
    QTest::newRow("wheel down over the text field") << u"wheel field"_s << false;
    QTest::newRow("wheel down over the arrow") << u"wheel arrow"_s << false;
    QTest::newRow("wheel up over the arrow") << u"wheel up"_s << false;
    QTest::newRow("typing a list entry and Return") << u"type"_s << false;
    QTest::newRow("Down key on the focused box") << u"key"_s << true;
}

void TestPrincipal::onlyAChoiceChangesASlot()
{
    QFETCH(QString, gesture);
    QFETCH(bool, installs);
    kvrtest::Workspace ws;
    QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"HURR=Winter"_s})));
    QVERIFY(writeFile(ws.skinsFolder() + u"/HURR_Desert.zip"_s, "PK"_ba));
    QVERIFY(writeFile(ws.skinsFolder() + u"/HURR_Winter.zip"_s, "PK"_ba));
    QVERIFY(writeFile(ws.gameFolder() + u"/PHURR.TPC"_s, "the installed skin"_ba));
    const QByteArray settings = kvrtest::readFile(ws.iniPath());
    kvrtest::shownMainWindow();
    DropDownCombo* combo = comboOf(1);
    int clicks = 0;
    connect(combo, &DropDownCombo::Click, this, [&clicks] { ++clicks; });

    // The list was opened once and closed without a choice: its entries are there to step through.
    openList(1);
    if (gesture == u"wheel up"_s)
        combo->setCurrentIndex(2);
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
        QWheelEvent wheel(at, target->mapToGlobal(at), QPoint(), QPoint(0, gesture == u"wheel up"_s ? 120 : -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        // Delivered as the window system's own event (sendEvent would mark it synthetic), so the
        // text field passes it on to its box as it does under the pointer.
        QSpontaneKeyEvent::setSpontaneous(&wheel);
        qApp->notify(target, &wheel);
    }

    QCOMPARE(clicks, installs ? 1 : 0);
    QCOMPARE(QFile::exists(ws.gameFolder() + u"/PHURR.TPC"_s), !installs);
    if (installs) {
        QCOMPARE(combo->Text(), u"(Default)"_s);
        QVERIFY(kvrtest::readFile(ws.iniPath()).contains("HURR=(Default)"_ba));
    } else {
        if (gesture != u"type"_s)
            QCOMPARE(combo->Text(), shown);
        QCOMPARE(kvrtest::readFile(ws.iniPath()), settings);
    }
}

QTEST_MAIN(TestPrincipal)
#include "test_principal.moc"
