#include "installer/importer.h"

#include "testsupport.h"
#include "zipwriter.h"

#include <QProcess>
#include <QStandardPaths>

#include <zip.h>

namespace {

QStringList zipMembers(const QString& path)
{
    QStringList names;
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!zip)
        return {"<unreadable>"};
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i)
        names << QString::fromUtf8(zip_get_name(zip, static_cast<zip_uint64_t>(i), 0));
    zip_close(zip);
    names.sort();
    return names;
}

bool run(const QString& program, const QStringList& arguments, const QString& folder)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.start(program, arguments);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A download's files in a folder of their own: the skin's files, a picture and a note.
QString makeDownload(const QTemporaryDir& dir)
{
    const QString src = dir.filePath("download");
    kvrtest::writeFile(src + "/Desert/PSP2A.TPC", QByteArray(3000, 'a'));
    kvrtest::writeFile(src + "/Desert/PSP2A_L.TPC", "wing");
    kvrtest::writeFile(src + "/Desert/shot.png", "\x89PNG picture");
    kvrtest::writeFile(src + "/Desert/readme.txt", "Desert scheme by Jo");
    return src;
}

} // namespace

class TestImport : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void slotInference_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QStringList>("members");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QStringList>("candidates");
        QTest::newRow("file name") << "sp2a_Desert.7z" << QStringList({"PMOSQ.TPC"}) << "SP2A" << QStringList();
        QTest::newRow("members, any case, in folders")
            << "spitfire_desert_v2.zip" << QStringList({"x/psp2a.tpc", "x\\PSP2A_L.TPC", "readme.txt"}) << "SP2A"
            << QStringList({"SP2A"});
        QTest::newRow("code without underscore is not a file-name match")
            << "HURRICANE.zip" << QStringList({"PMOSQ.TPC"}) << "MOSQ" << QStringList({"MOSQ"});
        QTest::newRow("ambiguous, most members first")
            << "pack.zip" << QStringList({"PHURR.TPC", "PMOSQ.TPC", "PMOSQ_2.TPC"}) << ""
            << QStringList({"MOSQ", "HURR"});
        QTest::newRow("none") << "pack.zip" << QStringList({"readme.txt", "P.TPC", "PXXXX.TPC"}) << "" << QStringList();
    }
    void slotInference()
    {
        QFETCH(QString, fileName);
        QFETCH(QStringList, members);
        QFETCH(QString, code);
        QFETCH(QStringList, candidates);
        const kvr::SlotGuess guess = kvr::inferSlot(fileName, members);
        QCOMPARE(guess.code, code);
        QCOMPARE(guess.candidates, candidates);
    }

    void names_data()
    {
        QTest::addColumn<QString>("skin");
        QTest::addColumn<bool>("fine");
        QTest::newRow("plain") << "Desert v2" << true;
        QTest::newRow("one character makes nine") << "D" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("blank") << "   " << false;
        QTest::newRow("slash") << "a/b" << false;
        QTest::newRow("backslash") << "a\\b" << false;
        QTest::newRow("control character") << "a\tb" << false;
        QTest::newRow("reserved") << "(Default)" << false;
        QTest::newRow("too long") << QString(300, 'x') << false;
        QTest::newRow("accents") << QString::fromUtf8("Désert été") << true;
    }
    void names()
    {
        QFETCH(QString, skin);
        QFETCH(bool, fine);
        QCOMPARE(kvr::skinNameProblem("SP2A", skin).isEmpty(), fine);
        QCOMPARE(kvr::defaultSkinName("SP2A_Desert v2.tar.gz"), QString("Desert v2"));
        QCOMPARE(kvr::defaultSkinName("spitfire_desert_v2.7z"), QString("spitfire_desert_v2"));
    }

    // A .7z, a .tar.gz and a misnamed .zip made here become packages with their previews; RAR
    // has no free tool to make one, so it is not tried.
    void repackAndCopy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("7z") << "7z";
        QTest::newRow("tar.gz") << "tar.gz";
        QTest::newRow("zip") << "zip";
    }
    void repackAndCopy()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString src = makeDownload(dir), skins = dir.filePath("skins");
        QVERIFY(QDir().mkpath(skins));
        const QString archive = dir.filePath("spitfire_desert_v2." + kind);
        if (kind == "7z") {
            if (QStandardPaths::findExecutable("7z").isEmpty())
                QSKIP("7z (p7zip-full) is not installed");
            QVERIFY(run("7z", {"a", "-bd", archive, "Desert"}, src));
        } else if (kind == "tar.gz") {
            QVERIFY(run("tar", {"czf", archive, "Desert"}, src));
        } else {
            QVERIFY(kvr::writeZip(archive, {{"Desert/PSP2A.TPC", QByteArray(3000, 'a')},
                                            {"Desert/PSP2A_L.TPC", "wing"},
                                            {"Desert/shot.png", "\x89PNG picture"},
                                            {"Desert/readme.txt", "Desert scheme by Jo"}}));
        }
        const kvr::ArchiveListing listing = kvr::listArchive(archive);
        QVERIFY(listing.readable);
        QCOMPARE(kvr::inferSlot(QFileInfo(archive).fileName(), listing.members).code, QString("SP2A"));

        std::atomic<bool> cancel{false};
        const kvr::ImportResult r = kvr::importPackage({archive, "SP2A", "Desert v2", false}, skins, cancel,
                                                       [](double f) { QVERIFY(f <= 1.0); });
        QVERIFY2(r.imported, qPrintable(r.problem));
        QCOMPARE(r.package, QString("SP2A_Desert v2.zip"));
        QCOMPARE(kvrtest::filesIn(skins), QStringList({"Desert v2.jpg", "Desert v2.txt", "SP2A_Desert v2.zip"}));
        QCOMPARE(zipMembers(skins + "/SP2A_Desert v2.zip"),
                 QStringList({"Desert/PSP2A.TPC", "Desert/PSP2A_L.TPC", "Desert/readme.txt", "Desert/shot.png"}));
        QCOMPARE(kvrtest::readFile(skins + "/Desert v2.jpg"), QByteArray("\x89PNG picture"));
        if (kind == "zip")
            QCOMPARE(kvrtest::readFile(skins + "/SP2A_Desert v2.zip"), kvrtest::readFile(archive));

        // A second import of the same name: kept both, and the preview and note already there stay.
        kvrtest::writeFile(skins + "/Desert v2 (2).txt", "mine");
        const QString second = kvr::keepBothName(skins, "SP2A", "desert V2");
        QCOMPARE(second, QString("desert V2 (2)"));
        const kvr::ImportResult r2 = kvr::importPackage({archive, "SP2A", "Desert v2 (2)", false}, skins, cancel);
        QVERIFY(r2.imported && r2.preview && !r2.note);
        QCOMPARE(kvrtest::readFile(skins + "/Desert v2 (2).txt"), QByteArray("mine"));
        // Replacing keeps the name on disk, whatever its case.
        const kvr::ImportResult r3 = kvr::importPackage({archive, "SP2A", "DESERT V2", true}, skins, cancel);
        QVERIFY(r3.imported);
        QCOMPARE(r3.package, QString("SP2A_Desert v2.zip"));
        QCOMPARE(kvrtest::filesIn(skins).size(), 6); // two packages, two pictures, two notes
    }

    void unreadableOrCancelledLeavesNothing()
    {
        QTemporaryDir dir;
        const QString skins = dir.filePath("skins");
        QVERIFY(QDir().mkpath(skins));
        std::atomic<bool> cancel{false};
        // A ZIP cut short halfway.
        const QString good = dir.filePath("good.zip"), cut = dir.filePath("cut.zip");
        QVERIFY(kvr::writeZip(good, {{"PSP2A.TPC", QByteArray(200000, 'x'), ZIP_CM_STORE}, {"b.txt", "b"}}));
        kvrtest::writeFile(cut, kvrtest::readFile(good).left(100000));
        kvrtest::writeFile(dir.filePath("junk.7z"), "not an archive at all");
        for (const QString& bad : {cut, dir.filePath("junk.7z"), dir.filePath("missing.rar")}) {
            const kvr::ImportResult r = kvr::importPackage({bad, "SP2A", "Broken one", false}, skins, cancel);
            QVERIFY(!r.imported);
            QVERIFY(!r.problem.isEmpty());
        }
        cancel = true;
        const kvr::ImportResult r = kvr::importPackage({good, "SP2A", "Cancelled", false}, skins, cancel);
        QVERIFY(r.cancelled && !r.imported);
        QCOMPARE(kvrtest::filesIn(skins), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestImport)
#include "test_import.moc"
