#include "installer/skinsreport.h"

#include "testsupport.h"
#include "zipwriter.h"

#include <cstdio>

using namespace Qt::StringLiterals;

class TestReport : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // One planted file per reason, and good files beside them that must not be named.
    void everyProblemNamedOnce_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("short name") << QByteArray("HURR.zip") << u"shorter than nine characters"_s;
        QTest::newRow("no slot code") << QByteArray("XXXX_Desert.zip")
                                      << u"does not start with one of the 30 slot codes"_s;
        QTest::newRow("no underscore") << QByteArray("HURRICANE.zip")
                                       << u"does not start with one of the 30 slot codes"_s;
        QTest::newRow("not a zip") << QByteArray("HURR_Desert.7z") << u"not a ZIP archive"_s;
        QTest::newRow("not readable") << QByteArray("HURR_Garbage.zip") << u"Not readable as a ZIP archive"_s;
        QTest::newRow("bad encoding") << QByteArray("HURR_D\xe9sert.zip")
                                      << u"not valid in the file system's encoding"_s;
        QTest::newRow("no slot file") << QByteArray("HURR_Empty.zip") << u"Holds no PHURR file"_s;
        QTest::newRow("leftovers") << QByteArray("HURR_Readme.zip")
                                   << u"no slot change removes again from the game folder: readme.txt"_s;
        QTest::newRow("other slot's files")
            << QByteArray("HURR_Twin.zip")
            << u"another slot's files, which installing it overwrites in that slot: PMOSQ.TPC"_s;
        QTest::newRow("encrypted") << QByteArray("HURR_Locked.zip")
                                   << u"encrypted or damaged members, which installing skips: PHURR_L.TPC"_s;
        QTest::newRow("lonely picture") << QByteArray("Nothing.jpg") << u"preview picture with no package"_s;
        QTest::newRow("lonely note") << QByteArray("Nothing.txt") << u"note with no package"_s;
    }
    void everyProblemNamedOnce()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString skins = dir.path();
        const QList<kvr::ZipMember> good = {{"PHURR.TPC", "skin"}};
        QVERIFY(kvr::writeZip(skins + u"/HURR_Good.zip"_s, good));
        QVERIFY(kvrtest::writeFile(skins + u"/Good.jpg"_s, "picture"_ba));
        QVERIFY(kvrtest::writeFile(skins + u"/good.txt"_s, "note"_ba)); // matched without regard to case
        QVERIFY(QDir(skins).mkdir(u"HURR_Folder.zip"_s));

        const QString path = skins + u'/' + QFile::decodeName(file);
        const QByteArray local = skins.toUtf8() + '/' + file;
        if (file.contains("\xe9")) {
            // A name that is not UTF-8 can only be made with its raw bytes.
            QVERIFY(kvr::writeZip(skins + u"/plain.tmp"_s, good));
            QCOMPARE(::rename(QFile::encodeName(skins + u"/plain.tmp"_s).constData(), local.constData()), 0);
        } else if (file.endsWith(".zip"_ba) && !file.contains("Garbage"_ba) && !file.contains("Empty"_ba) &&
                   !file.contains("Readme"_ba) && !file.contains("Locked"_ba) && !file.contains("Twin"_ba))
            QVERIFY(kvr::writeZip(path, good));
        else if (file.contains("Empty"_ba))
            QVERIFY(kvr::writeZip(path, {{"readme/", ""}}));
        else if (file.contains("Twin"_ba))
            QVERIFY(kvr::writeZip(path, {{"PHURR.TPC", "skin"}, {"PMOSQ.TPC", "other"}}));
        else if (file.contains("Readme"_ba))
            QVERIFY(kvr::writeZip(path, {{"PHURR.TPC", "skin"}, {"docs/readme.txt", "hi"}}));
        else if (file.contains("Locked"_ba)) {
            kvr::ZipMember locked("PHURR_L.TPC", "secret");
            locked.encryption = ZIP_EM_AES_256;
            QVERIFY(kvr::writeZip(path, {{"PHURR.TPC", "skin"}, locked}));
        } else
            QVERIFY(kvrtest::writeFile(QFile::decodeName(local), "not a zip"_ba));

        const QList<kvr::ReportProblem> problems = kvr::skinsFolderProblems(skins);
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0].reason.contains(reason), qPrintable(problems[0].reason));
    }

    void installedState()
    {
        QTemporaryDir dir;
        const QString skins = dir.filePath(u"skins"_s), game = dir.filePath(u"game"_s);
        QVERIFY(QDir().mkpath(skins) && QDir().mkpath(game));
        QVERIFY(kvr::writeZip(skins + u"/MOSQ_Sqn105.zip"_s,
                              {{"x/PMOSQ.TPC", "body"}, {"PMOSQ_L.TPC", "wing"}, {"PMOSQ.3DZ", "model"}}));
        QVERIFY(kvrtest::writeFile(game + u"/pmosq.tpc"_s, "body"_ba)); // as the platform finds it: any case
        QVERIFY(kvrtest::writeFile(game + u"/PMOSQ_L.TPC"_s, "wing"_ba));
        QVERIFY(kvrtest::writeFile(game + u"/PMOSQ.3DZ"_s, "model"_ba));
        QCOMPARE(kvr::installedState(skins, game, u"MOSQ"_s, u"Sqn105"_s).state, u"as installed"_s);
        QVERIFY(kvr::installedState(skins, game, u"MOSQ"_s, u"sqn105"_s).asInstalled);

        QVERIFY(kvrtest::writeFile(game + u"/PMOSQ_L.TPC"_s, "WING"_ba)); // same size, other CRC
        QFile::remove(game + u"/PMOSQ.3DZ"_s);
        const kvr::SlotState changed = kvr::installedState(skins, game, u"MOSQ"_s, u"Sqn105"_s);
        QCOMPARE(changed.state, u"1 file differs, 1 file missing"_s);
        QVERIFY(!changed.asInstalled);
        QFile::remove(game + u"/pmosq.tpc"_s);
        QCOMPARE(kvr::installedState(skins, game, u"MOSQ"_s, u"Sqn105"_s).state, u"1 file differs, 2 files missing"_s);
        QCOMPARE(kvr::installedState(skins, game, u"MOSQ"_s, u"Gone"_s).state, u"package not found"_s);
        QCOMPARE(kvr::installedState({}, game, u"MOSQ"_s, u"Sqn105"_s).state, u"package not found"_s);
    }
};

QTEST_GUILESS_MAIN(TestReport)
#include "test_report.moc"
