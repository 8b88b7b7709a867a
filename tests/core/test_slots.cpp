#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

class TestSlots : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void slotLists_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QStringList>("names");
        // The name is what follows the fifth character, whatever it is, case and blanks kept; a file
        // too short to have one is left out.
        QTest::newRow("first four characters in any case")
            << u"HURR"_s << QStringList{u""_s, u"Desert Camo"_s, u"CANE"_s};
        QTest::newRow("B26_B's code is B26A") << u"B26A"_s << QStringList{u"Invasion"_s};
        QTest::newRow("P38H, not P38J") << u"P38H"_s << QStringList{u"Glacier"_s};
        QTest::newRow("code starting with a digit") << u"109E"_s << QStringList{u"Desert"_s};
        QTest::newRow("no code: every package, whatever its first four")
            << u""_s << QStringList{u"Desert"_s,      u"Invasion"_s, u"Wrong"_s,   u""_s,
                                    u"Desert Camo"_s, u"CANE"_s,     u"Glacier"_s, u"Glacier"_s};
    }

    void slotLists()
    {
        QFETCH(QString, code);
        QFETCH(QStringList, names);
        const QStringList files{u"109E_Desert.zip"_s, u"b26a_Invasion.zip"_s, u"B26B_Wrong.zip"_s,
                                u"HURR.zip"_s,        u"HURR_.zip"_s,         u"hurr_Desert Camo.zip"_s,
                                u"HURRICANE.zip"_s,   u"P38H_Glacier.zip"_s,  u"P38J_Glacier.zip"_s};
        QCOMPARE(kvr::skinNames(files, code), names);
    }

    // A package's slot is its first four characters followed by "_"; a skin file's, the four after
    // its "P". Either way only one of the 30 codes.
    void slotCodeOfAName_data()
    {
        QTest::addColumn<bool>("package");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("code");
        QTest::newRow("package") << true << u"mosq_Sqn105.zip"_s << u"MOSQ"_s;
        QTest::newRow("package, a fifth character before _") << true << u"MOSQX_Sqn105.zip"_s << QString();
        QTest::newRow("package, no _") << true << u"MOSQ"_s << QString();
        QTest::newRow("package, no such code") << true << u"B26B_Wrong.zip"_s << QString();
        QTest::newRow("skin file") << false << u"pmosq_Sqn105.tpc"_s << u"MOSQ"_s;
        QTest::newRow("skin file, no P") << false << u"XMOSQ.TPC"_s << QString();
        QTest::newRow("skin file, too short") << false << u"PMOS"_s << QString();
    }
    void slotCodeOfAName()
    {
        QFETCH(bool, package);
        QFETCH(QString, name);
        QFETCH(QString, code);
        QCOMPARE(package ? kvr::packageSlotCode(name) : kvr::skinFileSlotCode(name), code);
    }

    void packagePathJoinsWithBackslash()
    {
        QCOMPARE(kvr::packagePath(u"/skins"_s, u"MOSQ"_s, u"Sqn105"_s), QStringLiteral("/skins\\MOSQ_Sqn105.ZIP"));
        // A folder that already ends in a separator gives a doubled one, which the file services accept.
        QCOMPARE(kvr::packagePath(u"/skins/"_s, u"HURR"_s, u""_s), QStringLiteral("/skins/\\HURR_.ZIP"));
    }
};

QTEST_GUILESS_MAIN(TestSlots)
#include "test_slots.moc"
