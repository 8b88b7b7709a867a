#include "installer/skinpackage.h"
#include "installer/slots.h"

#include <QTest>

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
    const auto row = [](int number, const char* caption, const char* code, uint rgb, const char* viewerEntry) {
        QTest::addRow("%d %s", number, code) << number << QString::fromLatin1(caption) << QString::fromLatin1(code)
                                             << rgb << QString::fromLatin1(viewerEntry);
    };
    row(1, "Hurricane_I", "HURR", 0x000080, "Hurricane_I Slot");
    row(2, "Spitfire_Ia", "SP2A", 0x000080, "Spitfire_Ia Slot");
    row(3, "Spitfire_IX", "SP09", 0x000080, "Spitfire_IX Slot");
    row(4, "Spitfire_XIV", "SP14", 0x000080, "Spitfire_XIV Slot");
    row(5, "Typhoon_Ib", "TYPH", 0x000080, "Typhoon_Ib Slot");
    row(6, "Tempest_V", "TEMP", 0x000080, "Tempest_V Slot");
    row(7, "Mosquito_VI", "MOSQ", 0x000080, "Mosquito_VI Slot");
    row(8, "P51_B", "P51B", 0x008000, "P51_B Slot");
    row(9, "P51_D", "P51D", 0x008000, "P51_D Slot");
    row(10, "P38_H", "P38H", 0x008000, "P38_H Slot");
    row(11, "P38_J", "P38J", 0x008000, "P38_J Slot");
    row(12, "P47_C", "P47C", 0x008000, "P47_C Slot");
    row(13, "P47_D", "P47D", 0x008000, "P47_D Slot");
    row(14, "B26_B", "B26A", 0x008000, "B26_B Slot");
    row(15, "B17_F", "BB17", 0x008000, "B17_F Slot ");
    row(16, "B24_D", "B24A", 0x008000, "B24_D Slot");
    row(17, "BF109_E4", "109E", 0xC00000, "Bf109_E4 Slot");
    row(18, "BF109_G6", "109G", 0xC00000, "Bf109_G6 Slot");
    row(19, "BF104_K4", "109K", 0xC00000, "Bf109_K4 Slot");
    row(20, "BF110_C4", "110C", 0xC00000, "Bf110_C4 Slot");
    row(21, "BF110_G2", "110G", 0xC00000, "Bf110_G2 Slot");
    row(22, "M410_A2", "M410", 0xC00000, "M410_A2 Slot");
    row(23, "FW190_A8", "190A", 0xC00000, "Fw190_A8 Slot");
    row(24, "Fw190_D9", "190D", 0xC00000, "Fw190_D9 Slot");
    row(25, "Me262_A2", "262A", 0xC00000, "Me262_A2 Slot");
    row(26, "Ju88_A4", "J88A", 0xC00000, "Ju88_A4 Slot");
    row(27, "Ju88_C6", "J88C", 0xC00000, "Ju88_C6 Slot");
    row(28, "Ju87_B2", "JU87", 0xC00000, "Ju87_B2 Slot");
    row(29, "He111_H2", "H111", 0xC00000, "He111_H2 Slot");
    row(30, "Fi103_V1", "V1V1", 0xC00000, "Fi103_V1 Slot");
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
    QTest::newRow("ordinary") << "MOSQ_Sqn105.ZIP" << true << "Sqn105";
    QTest::newRow("case kept") << "hurr_night.ZIP" << true << "night";
    QTest::newRow("fifth character dropped whatever it is") << "HURRICANE.zip" << true << "CANE";
    QTest::newRow("blanks kept") << "HURR_Desert Camo.zip" << true << "Desert Camo";
    QTest::newRow("nine characters: empty name") << "HURR_.zip" << true << "";
    QTest::newRow("shorter than nine: not a package") << "HURR.zip" << false << "";
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
    QTest::newRow("first four characters in any case; too short left out") << "HURR" << QStringList{"", "Desert"};
    QTest::newRow("B26_B's code is B26A") << "B26A" << QStringList{"Invasion"};
    QTest::newRow("P38H, not P38J") << "P38H" << QStringList{"Glacier"};
    QTest::newRow("code starting with a digit") << "109E" << QStringList{"Desert"};
    QTest::newRow("no code: every package, whatever its first four")
        << "" << QStringList{"Desert", "Invasion", "Wrong", "", "Desert", "Glacier", "Glacier"};
}

void TestSlots::slotLists()
{
    QFETCH(QString, code);
    QFETCH(QStringList, names);
    const QStringList files{"109E_Desert.zip", "b26a_Invasion.zip", "B26B_Wrong.zip",   "HURR.zip",
                            "HURR_.zip",       "hurr_Desert.zip",   "P38H_Glacier.zip", "P38J_Glacier.zip"};
    QCOMPARE(kvr::skinNames(files, code), names);
}

void TestSlots::packagePathJoinsWithBackslash()
{
    QCOMPARE(kvr::packagePath("/skins", "MOSQ", "Sqn105"), QStringLiteral("/skins\\MOSQ_Sqn105.ZIP"));
    // A folder that already ends in a separator gives a doubled one, which the file services accept.
    QCOMPARE(kvr::packagePath("/skins/", "HURR", ""), QStringLiteral("/skins/\\HURR_.ZIP"));
}

QTEST_GUILESS_MAIN(TestSlots)
#include "test_slots.moc"
