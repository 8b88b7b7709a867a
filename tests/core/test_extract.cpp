// The unzip32 library, loaded as the program loads it, on archives built here with libzip and on
// committed archives of other zippers' habits (tests/data/zip, made by make_fixtures.py): members
// land with their bytes, modes and times, and the program's own call reaches the right files.
#include "extract/program_call.h"
#include "extract/unzip.h"
#include "extractsupport.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstring>
#include <ctime>

using namespace kvrtest;
using namespace Qt::StringLiterals;

class TestExtract : public QObject, ExtractFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { loadLibrary(); }
    void cleanupTestCase() { unloadLibrary(); }

    // Members land flat, whatever folders, method or size, and whichever zipper wrote them
    // (tests/data/zip; ZIP64, descriptors and stubs are compared with Info-ZIP's unzip below).
    // Names already on disk keep their spelling, so the folder never holds two spellings.
    void membersLandFlatWithTheirBytes_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<Files>("onDisk");
        QTest::addColumn<Files>("expected");
        const auto zipped = [this](const QString& name, const QList<Member>& members) {
            makeZip(path(name), members);
            return path(name);
        };
        const QByteArray big = sample(6 << 20, 'b'); // decoded into a mapped file, not in memory
        makeZip(path(u"flat.zip"_s),
                {{"skins/", {}},
                 {"skins/MOSQ/PMOSQ1.TPC", sample(3000, '1')},
                 {"skins/MOSQ/PMOSQ1.3DZ", sample(5000, '2'), ZIP_CM_STORE},
                 {"deep/er/big.dat", big},
                 {"stored-big.dat", big.left(5 << 20), ZIP_CM_STORE},
                 {"empty.txt", {}},
                 {"empty-stored.txt", {}, ZIP_CM_STORE}},
                "a comment");
        QTest::newRow("made here") << path(u"flat.zip"_s) << Files{}
                                   << Files{{u"PMOSQ1.TPC"_s, sample(3000, '1')},
                                            {u"PMOSQ1.3DZ"_s, sample(5000, '2')},
                                            {u"big.dat"_s, big},
                                            {u"stored-big.dat"_s, big.left(5 << 20)},
                                            {u"empty.txt"_s, {}},
                                            {u"empty-stored.txt"_s, {}}};
        QTest::newRow("backslash separators") << fixture(u"backslash.zip"_s) << Files{}
                                              << Files{{u"PMOSQ1.3DZ"_s, "backslash 3dz\n"},
                                                       {u"PMOSQ1.TPC"_s, QByteArray("backslash tpc\n").repeated(20)}};
        QTest::newRow("code page and UTF-8 names")
            << fixture(u"codepage.zip"_s) << Files{}
            << Files{{u"café.txt"_s, "code page 437\n"}, {u"ñandú.txt"_s, "utf-8 flagged\n"}};
        QTest::newRow("exact spelling replaced, other spelling left")
            << zipped(u"exact.zip"_s, {{"a.txt", "new"}}) << Files{{u"A.TXT"_s, "a1"}, {u"a.txt"_s, "a2"}}
            << Files{{u"A.TXT"_s, "a1"}, {u"a.txt"_s, "new"}};
        QTest::newRow("no exact spelling: first in byte order")
            << zipped(u"first.zip"_s, {{"A.Txt", "new"}}) << Files{{u"A.TXT"_s, "a1"}, {u"a.txt"_s, "a2"}}
            << Files{{u"A.TXT"_s, "new"}, {u"a.txt"_s, "a2"}};
        QTest::newRow("beyond the basic plane")
            << zipped(u"plane.zip"_s, {{"p\xF0\x9F\x98\x80\xC3\xA4.tpc", "new"}})
            << Files{{u"P\U0001F600\u00C4.TPC"_s, "old"}} << Files{{u"P\U0001F600\u00C4.TPC"_s, "new"}};
        // Enough members to be decoded on two threads: names are still given in archive order.
        QList<Member> rounds;
        Files last;
        for (int i = 0; i < 600; ++i) {
            const QByteArray name =
                "r" + QByteArray::number(i / 150) + (i % 2 ? "/p" : "/P") + QByteArray::number(i % 150) + ".TPC";
            rounds.append(
                {name, "round " + QByteArray::number(i / 150) + sample(i, 'r'), i % 3 ? ZIP_CM_DEFLATE : ZIP_CM_BZIP2});
            last.insert((i % 2 ? u"p%1.TPC"_s : u"P%1.TPC"_s).arg(i % 150), rounds.last().data);
        }
        QTest::newRow("many members, later ones win")
            << zipped(u"rounds.zip"_s, rounds) << Files{{u"P0.TPC"_s, "old"}} << last;
        QTest::newRow("new name keeps the first member's spelling")
            << zipped(u"new.zip"_s, {{"NEW.3DZ", "new"}, {"new.3dz", "later spelling"}}) << Files{}
            << Files{{u"NEW.3DZ"_s, "later spelling"}};
    }
    void membersLandFlatWithTheirBytes()
    {
        QFETCH(QString, archive);
        QFETCH(Files, onDisk);
        const QString game = target(u"flat"_s, onDisk);
        QCOMPARE(unzip(archive, game), 0);
        QTEST(contents(game), "expected");
        QVERIFY(QDir(game).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    }

    void filesGetTheDefaultModeAndTheirTimes()
    {
        const std::time_t dosTime = QDateTime({2021, 6, 15}, {12, 34, 56}).toSecsSinceEpoch(); // local time
        const std::time_t unixTime = 1600000001; // odd seconds: DOS times cannot hold it
        const QByteArray timestamp = QByteArray(1, '\1') + le32(quint32(unixTime));
        const QString archive = path(u"times.zip"_s);
        Member exact{"exact.txt", "y", ZIP_CM_DEFLATE, dosTime};
        exact.extendedTime = timestamp;
        makeZip(archive, {{"script.sh", "#!/bin/sh\n", ZIP_CM_STORE, dosTime, S_IFREG | 0755}, exact});
        const QString game = target(u"times"_s);
        QCOMPARE(unzip(archive, game), 0);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        for (const char* name : {"script.sh", "exact.txt"}) {
            struct stat info;
            QCOMPARE(::stat(QFile::encodeName(game + u'/' + QLatin1String(name)).constData(), &info), 0);
            QCOMPARE(info.st_mode & 07777, 0666 & ~mask);
            QCOMPARE(info.st_mtime, std::strcmp(name, "exact.txt") == 0 ? unixTime : dosTime);
        }
    }

    // The program's own call: backslash paths reach the exact spelling, else the first in byte order,
    // and no target folder is made; the library's diagnostics become lines of the extraction category
    // only when that category is on.
    void programCallReachesTheRightFilesAndLogsWhenAsked()
    {
        kvrtest::Workspace ws;
        kvrtest::MsgBoxRecorder boxes;
        const QString skins = ws.skinsFolder(), game = ws.gameFolder();
        makeZip(skins + u"/mosq_desert.zip"_s, {{"PMOSQ.TPC", "lower"}});
        makeZip(skins + u"/Mosq_Desert.zip"_s, {{"PMOSQ.TPC", "mixed"}});
        kvr::Modulo::Unzip(skins + u"\\MOSQ_Desert.ZIP"_s, game + u"\\"_s);
        QCOMPARE(readFile(game + u"/PMOSQ.TPC"_s), QByteArray("mixed"));
        makeZip(skins + u"/MOSQ_Desert.ZIP"_s, {{"PMOSQ.TPC", "exact"}});
        kvr::Modulo::Unzip(skins + u"\\\\MOSQ_Desert.ZIP"_s, game + u"\\\\"_s);
        QCOMPARE(readFile(game + u"/PMOSQ.TPC"_s), QByteArray("exact"));
        kvr::Modulo::Unzip(skins + u"\\MOSQ_Desert.ZIP"_s, ws.root() + u"\\missing\\"_s);
        QVERIFY(!QFileInfo::exists(ws.root() + u"/missing"_s));
        QCOMPARE(filesIn(game), QStringList{u"PMOSQ.TPC"_s});
        QVERIFY(boxes.calls.isEmpty());

        const QString package = skins + u"/MOSQ_Log.zip"_s;
        makeZip(package, {{"PMOSQ.BMP", sample(3000, 'l'), ZIP_CM_BZIP2}, {"PMOSQ.TPC", "skin"}});
        QByteArray bytes = readFile(package);
        declareSize(bytes, 1);
        QVERIFY(writeFile(package, bytes));
        static QStringList lines;
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& text) {
                if (QByteArray(context.category) == "kvr.extract")
                    lines.append(text);
            });
        kvr::Modulo::Unzip(package, game);
        QVERIFY(lines.isEmpty());
        QLoggingCategory::setFilterRules(u"kvr.extract=true"_s);
        kvr::Modulo::Unzip(package, game);
        QLoggingCategory::setFilterRules({});
        qInstallMessageHandler(previous);
        QCOMPARE(lines.value(0), u"PMOSQ.BMP: skipped, corrupt: more data than its declared size"_s);
        QCOMPARE(lines.value(1), u"PMOSQ.TPC: written as PMOSQ.TPC"_s);
        QVERIFY2(lines.value(2).endsWith(u"status 1 (not acted on)"_s), qPrintable(lines.value(2)));
    }

    void otherOptionsOfTheRecord()
    {
        const QString archive = path(u"options.zip"_s);
        makeZip(
            archive,
            {{"PMOSQ.TPC", "new", ZIP_CM_DEFLATE, 1500000000}, {"sub/readme.txt", "readme"}, {"my skin.txt", "blank"}});
        const Files old{{u"pmosq.tpc"_s, "old"}};
        auto run = [&](const std::function<void(DCL&)>& tweak, QList<QByteArray> include, QList<QByteArray> exclude) {
            const QString game = target(u"options"_s, old);
            unzip(archive, game, tweak, include, exclude);
            return contents(game);
        };
        QCOMPARE(run({}, {"*.TPC"}, {}), (Files{{u"pmosq.tpc"_s, "new"}}));
        QCOMPARE(run([](DCL& o) { o.C_flag = 0; }, {"*.tpc"}, {}), old);
        QCOMPARE(run({}, {}, {"SUB/*", "*.tpc"}), (Files{{u"pmosq.tpc"_s, "old"}, {u"my skin.txt"_s, "blank"}}));
        QCOMPARE(run([](DCL& o) { o.noflag = 0; }, {}, {}),
                 (Files{{u"pmosq.tpc"_s, "old"}, {u"readme.txt"_s, "readme"}, {u"my skin.txt"_s, "blank"}}));
        QCOMPARE(run([](DCL& o) { o.nfflag = 1; }, {}, {}), (Files{{u"pmosq.tpc"_s, "new"}}));
        // The file on disk was written just now, after the member's time.
        QCOMPARE(run([](DCL& o) { o.ExtractOnlyNewer = 1; }, {}, {}),
                 (Files{{u"pmosq.tpc"_s, "old"}, {u"readme.txt"_s, "readme"}, {u"my skin.txt"_s, "blank"}}));
        QCOMPARE(run([](DCL& o) { o.SpaceToUnderscore = 1; }, {}, {}),
                 (Files{{u"pmosq.tpc"_s, "new"}, {u"readme.txt"_s, "readme"}, {u"my_skin.txt"_s, "blank"}}));
        QCOMPARE(run([](DCL& o) { o.ntflag = 1; }, {}, {}), old);
        QCOMPARE(unzip(archive, path(u"nowhere"_s), [](DCL& o) { o.ntflag = 1; }), 0);
        for (auto refuse : {+[](DCL& o) { o.ndflag = 1; }, +[](DCL& o) { o.ncflag = 1; }, +[](DCL& o) { o.nvflag = 1; },
                            +[](DCL& o) { o.naflag = 1; }})
            QCOMPARE(run(refuse, {}, {}), old);
    }

    // Other zippers' ZIP64 records, data descriptors and self-extractor stubs unpack as Info-ZIP's
    // unzip unpacks them: same names, bytes and times.
    void agreesWithInfoZip_data()
    {
        QTest::addColumn<QString>("archive");
        for (const char* name : {"zip64.zip", "descriptor.zip", "sfx-adjusted.zip", "sfx-unadjusted.zip"})
            QTest::newRow(name) << fixture(QLatin1String(name));
    }
    void agreesWithInfoZip()
    {
        QFETCH(QString, archive);
        const QString infoZip = QStandardPaths::findExecutable(u"unzip"_s);
        if (infoZip.isEmpty())
            QSKIP("unzip is not installed");
        const QString theirs = target(u"infozip"_s), ours = target(u"ours"_s);
        QProcess process;
        process.start(infoZip, {u"-j"_s, u"-o"_s, u"-qq"_s, archive, u"-d"_s, theirs});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(unzip(archive, ours), 0);
        QCOMPARE(contents(ours), contents(theirs));
        for (const QString& name : filesIn(ours))
            QCOMPARE(QFileInfo(ours + u'/' + name).lastModified(), QFileInfo(theirs + u'/' + name).lastModified());
    }
};

QTEST_GUILESS_MAIN(TestExtract)
#include "test_extract.moc"
