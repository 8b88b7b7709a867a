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
        QTest::addColumn<QStringList>("members"); // "!": encrypted; none: a file that is no ZIP
        QTest::addColumn<QString>("reason");
        const QStringList good{u"PHURR.TPC"_s};
        const auto row = [](const char* name, const QByteArray& file, const QStringList& members,
                            const QString& reason) { QTest::newRow(name) << file << members << reason; };
        row("short name", "HURR.zip", good, u"shorter than nine characters"_s);
        row("no slot code", "XXXX_Desert.zip", good, u"does not start with one of the 30 slot codes"_s);
        row("no underscore", "HURRICANE.zip", good, u"does not start with one of the 30 slot codes"_s);
        row("not a zip", "HURR_Desert.7z", {}, u"not a ZIP archive"_s);
        row("not readable", "HURR_Garbage.zip", {}, u"Not readable as a ZIP archive"_s);
        row("bad encoding", "HURR_D\xe9sert.zip", good, u"not valid in the file system's encoding"_s);
        row("no slot file", "HURR_Empty.zip", {u"readme/"_s}, u"Holds no PHURR file"_s);
        row("leftovers", "HURR_Readme.zip", {u"PHURR.TPC"_s, u"docs/readme.txt"_s},
            u"no slot change removes again from the game folder: readme.txt"_s);
        row("other slot's files", "HURR_Twin.zip", {u"PHURR.TPC"_s, u"PMOSQ.TPC"_s},
            u"another slot's files, which installing it overwrites in that slot: PMOSQ.TPC"_s);
        row("encrypted", "HURR_Locked.zip", {u"PHURR.TPC"_s, u"!PHURR_L.TPC"_s},
            u"encrypted or damaged members, which installing skips: PHURR_L.TPC"_s);
        row("lonely picture", "Nothing.jpg", {}, u"preview picture with no package"_s);
        row("lonely note", "Nothing.txt", {}, u"note with no package"_s);
    }
    void everyProblemNamedOnce()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, members);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString skins = dir.path();
        QVERIFY(kvr::writeZip(skins + u"/HURR_Good.zip"_s, {{"PHURR.TPC", "skin"}}));
        QVERIFY(kvrtest::writeFile(skins + u"/Good.jpg"_s, "picture"_ba));
        QVERIFY(kvrtest::writeFile(skins + u"/good.txt"_s, "note"_ba)); // matched without regard to case
        QVERIFY(QDir(skins).mkdir(u"HURR_Folder.zip"_s));

        QList<kvr::ZipMember> zip;
        for (const QString& name : members) {
            const bool encrypted = name.startsWith(u'!');
            kvr::ZipMember member(name.sliced(encrypted ? 1 : 0).toUtf8(), name.endsWith(u'/') ? "" : "skin");
            member.encryption = encrypted ? ZIP_EM_AES_256 : member.encryption;
            zip.append(member);
        }
        // Made under a plain name and renamed: a name that is not UTF-8 can only be made with its raw bytes.
        const QString made = skins + u"/plain.tmp"_s;
        QVERIFY(zip.isEmpty() ? kvrtest::writeFile(made, "not a zip"_ba) : kvr::writeZip(made, zip));
        QCOMPARE(::rename(QFile::encodeName(made).constData(), QByteArray(skins.toUtf8() + '/' + file).constData()), 0);

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
