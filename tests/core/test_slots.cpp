#include "installer/skinpackage.h"
#include "installer/slots.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestSlots : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void table_data();
    void table();
    void skinNames_data();
    void skinNames();
    void slotLists_data();
    void slotLists();
    void packagePathJoinsWithBackslash();
};

// Written out here, not taken from the table, so that a changed caption, code, colour or viewer
// entry fails. The quirks are the game's own: "BF104_K4" for the K4, the blank after "B17_F Slot".
void TestSlots::table_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("code");
    QTest::addColumn<uint>("rgb");
    QTest::addColumn<QString>("viewerEntry");
    const auto row = [](int number, const QString& caption, const QString& code, uint rgb, const QString& viewerEntry) {
        QTest::addRow("%d %s", number, qPrintable(code)) << number << caption << code << rgb << viewerEntry;
    };
    row(1, u"Hurricane_I"_s, u"HURR"_s, 0x000080, u"Hurricane_I Slot"_s);
    row(2, u"Spitfire_Ia"_s, u"SP2A"_s, 0x000080, u"Spitfire_Ia Slot"_s);
    row(3, u"Spitfire_IX"_s, u"SP09"_s, 0x000080, u"Spitfire_IX Slot"_s);
    row(4, u"Spitfire_XIV"_s, u"SP14"_s, 0x000080, u"Spitfire_XIV Slot"_s);
    row(5, u"Typhoon_Ib"_s, u"TYPH"_s, 0x000080, u"Typhoon_Ib Slot"_s);
    row(6, u"Tempest_V"_s, u"TEMP"_s, 0x000080, u"Tempest_V Slot"_s);
    row(7, u"Mosquito_VI"_s, u"MOSQ"_s, 0x000080, u"Mosquito_VI Slot"_s);
    row(8, u"P51_B"_s, u"P51B"_s, 0x008000, u"P51_B Slot"_s);
    row(9, u"P51_D"_s, u"P51D"_s, 0x008000, u"P51_D Slot"_s);
    row(10, u"P38_H"_s, u"P38H"_s, 0x008000, u"P38_H Slot"_s);
    row(11, u"P38_J"_s, u"P38J"_s, 0x008000, u"P38_J Slot"_s);
    row(12, u"P47_C"_s, u"P47C"_s, 0x008000, u"P47_C Slot"_s);
    row(13, u"P47_D"_s, u"P47D"_s, 0x008000, u"P47_D Slot"_s);
    row(14, u"B26_B"_s, u"B26A"_s, 0x008000, u"B26_B Slot"_s);
    row(15, u"B17_F"_s, u"BB17"_s, 0x008000, u"B17_F Slot "_s);
    row(16, u"B24_D"_s, u"B24A"_s, 0x008000, u"B24_D Slot"_s);
    row(17, u"BF109_E4"_s, u"109E"_s, 0xC00000, u"Bf109_E4 Slot"_s);
    row(18, u"BF109_G6"_s, u"109G"_s, 0xC00000, u"Bf109_G6 Slot"_s);
    row(19, u"BF104_K4"_s, u"109K"_s, 0xC00000, u"Bf109_K4 Slot"_s);
    row(20, u"BF110_C4"_s, u"110C"_s, 0xC00000, u"Bf110_C4 Slot"_s);
    row(21, u"BF110_G2"_s, u"110G"_s, 0xC00000, u"Bf110_G2 Slot"_s);
    row(22, u"M410_A2"_s, u"M410"_s, 0xC00000, u"M410_A2 Slot"_s);
    row(23, u"FW190_A8"_s, u"190A"_s, 0xC00000, u"Fw190_A8 Slot"_s);
    row(24, u"Fw190_D9"_s, u"190D"_s, 0xC00000, u"Fw190_D9 Slot"_s);
    row(25, u"Me262_A2"_s, u"262A"_s, 0xC00000, u"Me262_A2 Slot"_s);
    row(26, u"Ju88_A4"_s, u"J88A"_s, 0xC00000, u"Ju88_A4 Slot"_s);
    row(27, u"Ju88_C6"_s, u"J88C"_s, 0xC00000, u"Ju88_C6 Slot"_s);
    row(28, u"Ju87_B2"_s, u"JU87"_s, 0xC00000, u"Ju87_B2 Slot"_s);
    row(29, u"He111_H2"_s, u"H111"_s, 0xC00000, u"He111_H2 Slot"_s);
    row(30, u"Fi103_V1"_s, u"V1V1"_s, 0xC00000, u"Fi103_V1 Slot"_s);
}

void TestSlots::table()
{
    QFETCH(int, number);
    QFETCH(QString, caption);
    QFETCH(QString, code);
    QFETCH(uint, rgb);
    QFETCH(QString, viewerEntry);
    QCOMPARE(int(kvr::slotTable().size()), 30);
    const kvr::Slot& s = kvr::slotTable()[static_cast<size_t>(number - 1)];
    QCOMPARE(s.number, number);
    QCOMPARE(s.Caption(), caption);
    QCOMPARE(s.SlotCode(), code);
    QCOMPARE(uint(s.captionRgb), rgb);
    QCOMPARE(s.ViewerEntry(), viewerEntry);
    QCOMPARE(&kvr::slot(number), &s);
}

void TestSlots::skinNames_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("hasName");
    QTest::addColumn<QString>("name");
    QTest::newRow("ordinary") << u"MOSQ_Sqn105.ZIP"_s << true << u"Sqn105"_s;
    QTest::newRow("case kept") << u"hurr_night.ZIP"_s << true << u"night"_s;
    QTest::newRow("fifth character dropped whatever it is") << u"HURRICANE.zip"_s << true << u"CANE"_s;
    QTest::newRow("blanks kept") << u"HURR_Desert Camo.zip"_s << true << u"Desert Camo"_s;
    QTest::newRow("nine characters: empty name") << u"HURR_.zip"_s << true << u""_s;
    QTest::newRow("shorter than nine: not a package") << u"HURR.zip"_s << false << u""_s;
}

void TestSlots::skinNames()
{
    QFETCH(QString, file);
    QFETCH(bool, hasName);
    QFETCH(QString, name);
    QCOMPARE(kvr::hasSkinName(file), hasName);
    QCOMPARE(kvr::skinName(file), name);
}

void TestSlots::slotLists_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("first four characters in any case; too short left out")
        << u"HURR"_s << QStringList{u""_s, u"Desert"_s};
    QTest::newRow("B26_B's code is B26A") << u"B26A"_s << QStringList{u"Invasion"_s};
    QTest::newRow("P38H, not P38J") << u"P38H"_s << QStringList{u"Glacier"_s};
    QTest::newRow("code starting with a digit") << u"109E"_s << QStringList{u"Desert"_s};
    QTest::newRow("no code: every package, whatever its first four")
        << u""_s << QStringList{u"Desert"_s, u"Invasion"_s, u"Wrong"_s, u""_s, u"Desert"_s, u"Glacier"_s, u"Glacier"_s};
}

void TestSlots::slotLists()
{
    QFETCH(QString, code);
    QFETCH(QStringList, names);
    const QStringList files{u"109E_Desert.zip"_s, u"b26a_Invasion.zip"_s, u"B26B_Wrong.zip"_s,   u"HURR.zip"_s,
                            u"HURR_.zip"_s,       u"hurr_Desert.zip"_s,   u"P38H_Glacier.zip"_s, u"P38J_Glacier.zip"_s};
    QCOMPARE(kvr::skinNames(files, code), names);
}

void TestSlots::packagePathJoinsWithBackslash()
{
    QCOMPARE(kvr::packagePath(u"/skins"_s, u"MOSQ"_s, u"Sqn105"_s), QStringLiteral("/skins\\MOSQ_Sqn105.ZIP"));
    // A folder that already ends in a separator gives a doubled one, which the file services accept.
    QCOMPARE(kvr::packagePath(u"/skins/"_s, u"HURR"_s, u""_s), QStringLiteral("/skins/\\HURR_.ZIP"));
}

QTEST_GUILESS_MAIN(TestSlots)
#include "test_slots.moc"
