#include "installer/skinsreport.h"

#include "testsupport.h"
#include "zipwriter.h"

#include <cstdio>

class TestReport : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // One planted file per reason, and good files beside them that must not be named.
    void everyProblemNamedOnce_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("short name") << QByteArray("HURR.zip") << "shorter than nine characters";
        QTest::newRow("no slot code") << QByteArray("XXXX_Desert.zip")
                                      << "does not start with one of the 30 slot codes";
        QTest::newRow("no underscore") << QByteArray("HURRICANE.zip") << "does not start with one of the 30 slot codes";
        QTest::newRow("not a zip") << QByteArray("HURR_Desert.7z") << "not a ZIP archive";
        QTest::newRow("not readable") << QByteArray("HURR_Garbage.zip") << "Not readable as a ZIP archive";
        QTest::newRow("bad encoding") << QByteArray("HURR_D\xe9sert.zip") << "not valid in the file system's encoding";
        QTest::newRow("no slot file") << QByteArray("HURR_Empty.zip") << "Holds no PHURR file";
        QTest::newRow("leftovers") << QByteArray("HURR_Readme.zip")
                                   << "no slot change removes again from the game folder: readme.txt";
        QTest::newRow("other slot's files")
            << QByteArray("HURR_Twin.zip")
            << "another slot's files, which installing it overwrites in that slot: PMOSQ.TPC";
        QTest::newRow("encrypted") << QByteArray("HURR_Locked.zip")
                                   << "encrypted or damaged members, which installing skips: PHURR_L.TPC";
        QTest::newRow("lonely picture") << QByteArray("Nothing.jpg") << "preview picture with no package";
        QTest::newRow("lonely note") << QByteArray("Nothing.txt") << "note with no package";
    }
    void everyProblemNamedOnce()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString skins = dir.path();
        const QList<kvr::ZipMember> good = {{"PHURR.TPC", "skin"}};
        QVERIFY(kvr::writeZip(skins + "/HURR_Good.zip", good));
        kvrtest::writeFile(skins + "/Good.jpg", "picture");
        kvrtest::writeFile(skins + "/good.txt", "note"); // matched without regard to case
        QVERIFY(QDir(skins).mkdir("HURR_Folder.zip"));

        const QString path = skins + '/' + QFile::decodeName(file);
        const QByteArray local = skins.toUtf8() + '/' + file;
        if (file.contains("\xe9")) {
            // A name that is not UTF-8 can only be made with its raw bytes.
            QVERIFY(kvr::writeZip(skins + "/plain.tmp", good));
            QCOMPARE(::rename(QFile::encodeName(skins + "/plain.tmp").constData(), local.constData()), 0);
        } else if (file.endsWith(".zip") && !file.contains("Garbage") && !file.contains("Empty") &&
                   !file.contains("Readme") && !file.contains("Locked") && !file.contains("Twin"))
            QVERIFY(kvr::writeZip(path, good));
        else if (file.contains("Empty"))
            QVERIFY(kvr::writeZip(path, {{"readme/", ""}}));
        else if (file.contains("Twin"))
            QVERIFY(kvr::writeZip(path, {{"PHURR.TPC", "skin"}, {"PMOSQ.TPC", "other"}}));
        else if (file.contains("Readme"))
            QVERIFY(kvr::writeZip(path, {{"PHURR.TPC", "skin"}, {"docs/readme.txt", "hi"}}));
        else if (file.contains("Locked")) {
            kvr::ZipMember locked("PHURR_L.TPC", "secret");
            locked.encryption = ZIP_EM_AES_256;
            QVERIFY(kvr::writeZip(path, {{"PHURR.TPC", "skin"}, locked}));
        } else
            kvrtest::writeFile(QFile::decodeName(local), "not a zip");

        const QList<kvr::ReportProblem> problems = kvr::skinsFolderProblems(skins);
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0].reason.contains(reason), qPrintable(problems[0].reason));
    }

    void installedState()
    {
        QTemporaryDir dir;
        const QString skins = dir.filePath("skins"), game = dir.filePath("game");
        QVERIFY(QDir().mkpath(skins) && QDir().mkpath(game));
        QVERIFY(kvr::writeZip(skins + "/MOSQ_Sqn105.zip",
                              {{"x/PMOSQ.TPC", "body"}, {"PMOSQ_L.TPC", "wing"}, {"PMOSQ.3DZ", "model"}}));
        kvrtest::writeFile(game + "/pmosq.tpc", "body"); // as the platform finds it: any case
        kvrtest::writeFile(game + "/PMOSQ_L.TPC", "wing");
        kvrtest::writeFile(game + "/PMOSQ.3DZ", "model");
        QCOMPARE(kvr::installedState(skins, game, "MOSQ", "Sqn105").state, QString("as installed"));
        QVERIFY(kvr::installedState(skins, game, "MOSQ", "sqn105").asInstalled);

        kvrtest::writeFile(game + "/PMOSQ_L.TPC", "WING"); // same size, other CRC
        QFile::remove(game + "/PMOSQ.3DZ");
        const kvr::SlotState changed = kvr::installedState(skins, game, "MOSQ", "Sqn105");
        QCOMPARE(changed.state, QString("1 file differs, 1 file missing"));
        QVERIFY(!changed.asInstalled);
        QFile::remove(game + "/pmosq.tpc");
        QCOMPARE(kvr::installedState(skins, game, "MOSQ", "Sqn105").state, QString("1 file differs, 2 files missing"));
        QCOMPARE(kvr::installedState(skins, game, "MOSQ", "Gone").state, QString("package not found"));
        QCOMPARE(kvr::installedState({}, game, "MOSQ", "Sqn105").state, QString("package not found"));
    }
};

QTEST_GUILESS_MAIN(TestReport)
#include "test_report.moc"
