#include "installer/skinpackage.h"
#include "installer/slots.h"

#include <QSet>
#include <QTest>

class TestSlots : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void catalogueIsConsistent();
    void skinNames_data();
    void skinNames();
    void slotListsFollowTheCode();
    void packagePathJoinsWithBackslash();
};

void TestSlots::catalogueIsConsistent()
{
    QSet<QString> codes;
    for (int n = 1; n <= kvr::kSlotCount; ++n) {
        const kvr::Slot& s = kvr::slot(n);
        QCOMPARE(s.number, n);
        const QString code = s.SlotCode();
        QCOMPARE(code.size(), 4);
        for (QChar c : code)
            QVERIFY2(c.isDigit() || (c.isUpper() && c.isLetter()), qPrintable(code));
        codes.insert(code);
        const std::uint32_t expected = n <= 7 ? kvr::kNavy : n <= 16 ? kvr::kGreen : kvr::kDarkRed;
        QCOMPARE(s.captionRgb, expected);
    }
    QCOMPARE(codes.size(), kvr::kSlotCount);
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

void TestSlots::slotListsFollowTheCode()
{
    const QStringList files{"109E_Desert.zip", "b26a_Invasion.zip", "B26B_Wrong.zip",   "HURR.zip",
                            "HURR_.zip",       "hurr_Desert.zip",   "P38H_Glacier.zip", "P38J_Glacier.zip"};
    QCOMPARE(kvr::skinNames(files, u"HURR"), QStringList({"", "Desert"}));
    QCOMPARE(kvr::skinNames(files, u"B26A"), QStringList({"Invasion"}));
    QCOMPARE(kvr::skinNames(files, u"P38H"), QStringList({"Glacier"}));
    QCOMPARE(kvr::skinNames(files, u"109E"), QStringList({"Desert"}));
    // Without a code every package is taken, whatever its first four characters.
    QCOMPARE(kvr::skinNames(files).size(), 7);
    // Every package belongs to at most one slot.
    for (const QString& file : files) {
        int owners = 0;
        for (const kvr::Slot& s : kvr::slotTable())
            owners += kvr::packageBelongsTo(file, s.SlotCode()) ? 1 : 0;
        QVERIFY(owners <= 1);
    }
}

void TestSlots::packagePathJoinsWithBackslash()
{
    QCOMPARE(kvr::packagePath("/skins", "MOSQ", "Sqn105"), QStringLiteral("/skins\\MOSQ_Sqn105.ZIP"));
    // A folder that already ends in a separator gives a doubled one, which the file services accept.
    QCOMPARE(kvr::packagePath("/skins/", "HURR", ""), QStringLiteral("/skins/\\HURR_.ZIP"));
}

QTEST_GUILESS_MAIN(TestSlots)
#include "test_slots.moc"
