#include "installer/combolist.h"
#include "installer/principal.h"
#include "installer/slots.h"
#include "testsupport.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>

using kvr::DropDownCombo;
using kvr::Principal;
using kvrtest::writeFile;

namespace {

QStringList itemsOf(const QComboBox& combo)
{
    QStringList items;
    for (int i = 0; i < combo.count(); ++i)
        items << combo.itemText(i);
    return items;
}

DropDownCombo* comboOf(int n)
{
    return Principal::instance().findChild<DropDownCombo*>(QStringLiteral("Combo%1").arg(n));
}

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
    void loadShowsRecordedSkins();
    void loadWithoutSettingsOrFolders();
    void listsFollowTheSlotCode();
    void listOpeningEmptiesTheTextAndNeverDuplicates();
    void typingAndReturnInstallNothing();
    void onlyAChoiceChangesASlot_data();
    void onlyAChoiceChangesASlot();
    void withdrawnWindowCannotBeClosed();
};

void TestPrincipal::cleanup()
{
    if (Principal::exists())
        delete &Principal::instance();
}

void TestPrincipal::windowShowsThirtySlotsInThreeColumns()
{
    kvrtest::Workspace ws;
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    QCOMPARE(main.windowTitle(), QStringLiteral("Kestrava _ Skin Installer v1.1 _ Principal"));

    for (const kvr::Slot& s : kvr::slotTable()) {
        auto* label = main.findChild<QLabel*>(QStringLiteral("Label%1").arg(s.number));
        DropDownCombo* combo = comboOf(s.number);
        QVERIFY(label && combo);
        QCOMPARE(label->text(), s.Caption());
        QCOMPARE(label->palette().color(QPalette::WindowText).rgb() & 0xFFFFFF, s.captionRgb);
        QCOMPARE(label->buddy(), combo);
        QVERIFY(combo->isEditable());
        // The caption stands to the right of its combo box.
        QVERIFY(label->mapTo(&main, QPoint()).x() > combo->mapTo(&main, QPoint()).x());
        // Ten per column, top to bottom, columns left to right.
        const int row = (s.number - 1) % 10;
        if (row > 0) {
            DropDownCombo* above = comboOf(s.number - 1);
            QCOMPARE(combo->mapTo(&main, QPoint()).x(), above->mapTo(&main, QPoint()).x());
            QVERIFY(combo->mapTo(&main, QPoint()).y() > above->mapTo(&main, QPoint()).y());
        } else if (s.number > 1) {
            QVERIFY(combo->mapTo(&main, QPoint()).x() >
                    label->width() + comboOf(s.number - 10)->mapTo(&main, QPoint()).x());
        }
    }

    const QStringList buttons{"Command1", "Command4", "Command2", "Command3", "Command5"};
    const QStringList captions{"Reset Skins", "Skin Wiewer", "Control Panel", "Help", "About..."};
    int lastX = -1;
    for (int i = 0; i < buttons.size(); ++i) {
        auto* button = main.findChild<QToolButton*>(buttons[i]);
        QVERIFY(button);
        QCOMPARE(button->text(), captions[i]);
        QVERIFY(button->mapTo(&main, QPoint()).x() > lastX);
        lastX = button->mapTo(&main, QPoint()).x();
    }
    QVERIFY(main.findChild<QLabel*>(QStringLiteral("Image1")));
}

void TestPrincipal::eightLinesFrameTheSlots()
{
    kvrtest::Workspace ws;
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    const auto rectOf = [&main](const QString& name) {
        auto* widget = main.findChild<QWidget*>(name);
        return widget ? QRect(widget->mapTo(&main, QPoint()), widget->size()) : QRect();
    };
    const auto line = [&](int n) {
        const QRect r = rectOf(QString("Line%1").arg(n));
        return std::pair{r, !r.isNull() && main.findChild<QFrame*>(QString("Line%1").arg(n))->isVisible()};
    };
    const auto slotRect = [&](int n) { return rectOf(QString("Combo%1").arg(n)) | rectOf(QString("Label%1").arg(n)); };
    QRect slotsArea;
    for (int n = 1; n <= 30; ++n)
        slotsArea |= slotRect(n);
    for (int n = 1; n <= 8; ++n)
        QVERIFY2(line(n).second, qPrintable(QString("Line%1").arg(n)));

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

void TestPrincipal::loadShowsRecordedSkins()
{
    kvrtest::Workspace ws;
    ws.writeSettings("[Skins]\r\nHURR=Desert\r\nV1V1=(Default)\r\n");
    Principal& main = Principal::instance();
    QCOMPARE(main.INIFILE, ws.programFolder() + QStringLiteral("\\KVRSI.INI"));
    QCOMPARE(main.INSTFOLDER, ws.gameFolder());
    QCOMPARE(main.SKINSFOLDER, ws.skinsFolder());
    QCOMPARE(comboOf(1)->Text(), QStringLiteral("Desert"));
    QCOMPARE(comboOf(30)->Text(), QStringLiteral("(Default)"));
    // Nothing recorded: an empty text, not "(Default)"; and no list is filled at load.
    QCOMPARE(comboOf(7)->Text(), QString());
    QCOMPARE(comboOf(1)->count(), 0);
    // The load writes nothing.
    QCOMPARE(kvrtest::readFile(ws.iniPath()).count("[Skins]"), 1);
}

void TestPrincipal::loadWithoutSettingsOrFolders()
{
    {
        kvrtest::Workspace ws;
        Principal& main = Principal::instance();
        QVERIFY(main.INSTFOLDER.isEmpty() && main.SKINSFOLDER.isEmpty());
        QCOMPARE(openList(1), QStringList({"(Default)"}));
        QVERIFY(!QFile::exists(ws.iniPath()));
        cleanup();
    }
    {
        // Binary garbage where the settings should be, and a skins folder that is gone.
        kvrtest::Workspace ws;
        QByteArray garbage;
        for (int i = 0; i < 70000; ++i)
            garbage.append(static_cast<char>((i * 7919) % 256));
        writeFile(ws.iniPath(), garbage + "\r\n[Folders]\r\nSkinsFolder=" + ws.root().toUtf8() + "/gone\r\n");
        Principal& main = Principal::instance();
        QCOMPARE(main.SKINSFOLDER, ws.root() + QStringLiteral("/gone"));
        QCOMPARE(openList(1), QStringList({"(Default)"}));
    }
}

void TestPrincipal::listsFollowTheSlotCode()
{
    kvrtest::Workspace ws;
    ws.writeSettings();
    for (const char* name : {"HURR_Desert.zip", "HURR_Winter.zip", "hurr_night.ZIP", "SP2A_Sand.zip", "readme.txt",
                             "HURRICANE.zip", "HURR.zip", "P38H_Glacier.zip", "P38J_Lightning.zip", "B26A_Invasion.zip",
                             "B26B_Marauder.zip", "109E_Tropical.zip"})
        writeFile(ws.skinsFolder() + QLatin1Char('/') + QString::fromLatin1(name), "PK");

    Principal::instance();
    // HURRICANE.zip is slot 1's too (the fifth character is not looked at); HURR.zip has no skin name.
    QCOMPARE(openList(1), QStringList({"(Default)", "Desert", "night", "Winter", "CANE"}));
    QCOMPARE(openList(2), QStringList({"(Default)", "Sand"}));
    QCOMPARE(openList(10), QStringList({"(Default)", "Glacier"}));
    QCOMPARE(openList(11), QStringList({"(Default)", "Lightning"}));
    QCOMPARE(openList(14), QStringList({"(Default)", "Invasion"}));
    QCOMPARE(openList(17), QStringList({"(Default)", "Tropical"}));
    QCOMPARE(openList(30), QStringList({"(Default)"}));

    // A package added later shows only once File1 is pointed at the folder again.
    writeFile(ws.skinsFolder() + QStringLiteral("/SP2A_Arctic.zip"), "PK");
    QCOMPARE(openList(2), QStringList({"(Default)", "Sand"}));
    Principal::instance().File1.setPath(ws.skinsFolder());
    QCOMPARE(openList(2), QStringList({"(Default)", "Arctic", "Sand"}));
}

void TestPrincipal::listOpeningEmptiesTheTextAndNeverDuplicates()
{
    kvrtest::Workspace ws;
    ws.writeSettings("[Skins]\r\nHURR=Winter\r\n");
    writeFile(ws.skinsFolder() + QStringLiteral("/HURR_Desert.zip"), "PK");
    writeFile(ws.skinsFolder() + QStringLiteral("/HURR_Winter.zip"), "PK");
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    DropDownCombo* combo = comboOf(1);
    QCOMPARE(combo->Text(), QStringLiteral("Winter"));

    combo->showPopup();
    QCOMPARE(combo->Text(), QString());
    QCOMPARE(combo->lineEdit()->text(), QString());
    QCOMPARE(combo->currentIndex(), -1);
    combo->hidePopup();
    QCOMPARE(combo->Text(), QString());

    combo->showPopup();
    QCOMPARE(itemsOf(*combo), QStringList({"(Default)", "Desert", "Winter"}));
    combo->hidePopup();
    QCOMPARE(combo->Text(), QString());
}

void TestPrincipal::typingAndReturnInstallNothing()
{
    kvrtest::Workspace ws;
    ws.writeSettings();
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    DropDownCombo* combo = comboOf(3);
    int clicks = 0;
    connect(combo, &DropDownCombo::Click, this, [&clicks] { ++clicks; });
    combo->showPopup();
    combo->hidePopup();
    combo->lineEdit()->setFocus();
    QTest::keyClicks(combo->lineEdit(), "(Default)");
    QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
    comboOf(4)->setFocus();
    QCOMPARE(clicks, 0);
    QVERIFY(!kvrtest::readFile(ws.iniPath()).contains("SP09"));
}

void TestPrincipal::onlyAChoiceChangesASlot_data()
{
    QTest::addColumn<QString>("gesture");
    QTest::addColumn<bool>("installs");
    QTest::newRow("wheel down over the text field") << "wheel field" << false;
    QTest::newRow("wheel down over the arrow") << "wheel arrow" << false;
    QTest::newRow("wheel up over the arrow") << "wheel up" << false;
    QTest::newRow("Down key on the focused box") << "key" << true;
}

void TestPrincipal::onlyAChoiceChangesASlot()
{
    QFETCH(QString, gesture);
    QFETCH(bool, installs);
    kvrtest::Workspace ws;
    ws.writeSettings("[Skins]\r\nHURR=Winter\r\n");
    writeFile(ws.skinsFolder() + "/HURR_Desert.zip", "PK");
    writeFile(ws.skinsFolder() + "/HURR_Winter.zip", "PK");
    writeFile(ws.gameFolder() + "/PHURR.TPC", "the installed skin");
    const QByteArray settings = kvrtest::readFile(ws.iniPath());
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    DropDownCombo* combo = comboOf(1);
    int clicks = 0;
    connect(combo, &DropDownCombo::Click, this, [&clicks] { ++clicks; });

    // The list was opened once and closed without a choice: its entries are there to step through.
    openList(1);
    if (gesture == "wheel up")
        combo->setCurrentIndex(2);
    const QString shown = combo->Text();
    if (gesture == "key") {
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_Down);
    } else {
        QWidget* target = gesture == "wheel field" ? static_cast<QWidget*>(combo->lineEdit()) : combo;
        const QPoint at = target->rect().center();
        QWheelEvent wheel(at, target->mapToGlobal(at), QPoint(), QPoint(0, gesture == "wheel up" ? 120 : -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        // Delivered as the window system's own event (sendEvent would mark it synthetic), so the
        // text field passes it on to its box as it does under the pointer.
        QSpontaneKeyEvent::setSpontaneous(&wheel);
        qApp->notify(target, &wheel);
    }

    QCOMPARE(clicks, installs ? 1 : 0);
    QCOMPARE(QFile::exists(ws.gameFolder() + "/PHURR.TPC"), !installs);
    if (installs) {
        QCOMPARE(combo->Text(), QString("(Default)"));
        QVERIFY(kvrtest::readFile(ws.iniPath()).contains("HURR=(Default)"));
    } else {
        QCOMPARE(combo->Text(), shown);
        QCOMPARE(kvrtest::readFile(ws.iniPath()), settings);
    }
}

void TestPrincipal::withdrawnWindowCannotBeClosed()
{
    kvrtest::Workspace ws;
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    main.setEnabled(false);
    QVERIFY(!main.close());
    QVERIFY(main.isVisible());
    main.setEnabled(true);
    QVERIFY(main.close());
}

QTEST_MAIN(TestPrincipal)
#include "test_principal.moc"
