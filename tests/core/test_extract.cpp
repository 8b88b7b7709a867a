// The unzip32 library, loaded as the program loads it, on archives built here with libzip and on
// committed archives of other zippers' habits (tests/data/zip, made by make_fixtures.py).
#include "extract/unzip.h"
#include "extract/unzip32.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QDateTime>
#include <QProcess>
#include <QStandardPaths>

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>

using kvrtest::filesIn;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

using Files = QMap<QString, QByteArray>; // name -> bytes

using Member = kvr::ZipMember;

void makeZip(const QString& path, const QList<Member>& members, const QByteArray& comment = {})
{
    QVERIFY2(kvr::writeZip(path, members, comment), qPrintable(path));
}

QByteArray le32(quint32 v)
{
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return QByteArray(b, 4);
}

// Data that deflates well but not to nothing.
QByteArray sample(qsizetype size, char seed)
{
    QByteArray data;
    data.reserve(size);
    for (qint64 line = 0; data.size() < size; ++line)
        data += QByteArray::number(line * 7919 + seed) + ' ' + seed + "skin\n";
    data.truncate(size);
    return data;
}

QString fixture(const QString& name)
{
    return KVR_TEST_DATA "/zip/" + name;
}

} // namespace

class TestExtract : public QObject
{
    Q_OBJECT

private:
    Wiz_SingleEntryUnzipFn* m_unzip = nullptr;
    void* m_library = nullptr;
    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // Calls the library as the program does, with `tweak` changing the option record.
    int unzip(const QString& archive, const QString& target, const std::function<void(DCL&)>& tweak = {},
              QList<QByteArray> include = {}, QList<QByteArray> exclude = {})
    {
        QByteArray zipName = QFile::encodeName(archive), folder = QFile::encodeName(target);
        char nul[1] = {'\0'};
        char* includes[100] = {nul};
        char* excludes[100] = {nul};
        for (int i = 0; i < include.size(); ++i)
            includes[i] = include[i].data();
        for (int i = 0; i < exclude.size(); ++i)
            excludes[i] = exclude[i].data();
        DCL options{};
        options.fQuiet = 2;
        options.noflag = 1;
        options.C_flag = 1;
        options.lpszZipFN = zipName.data();
        options.lpszExtractDir = folder.data();
        if (tweak)
            tweak(options);
        USERFUNCTIONS callbacks{};
        return m_unzip(int(include.size()), includes, int(exclude.size()), excludes, &options, &callbacks);
    }

    // A fresh target folder holding the given files.
    QString target(const QString& name, const Files& files = {})
    {
        const QString folder = path(name);
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        for (auto it = files.begin(); it != files.end(); ++it)
            writeFile(folder + '/' + it.key(), it.value());
        return folder;
    }

    Files contents(const QString& folder)
    {
        Files files;
        for (const QString& name : filesIn(folder))
            files.insert(name, readFile(folder + '/' + name));
        return files;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_library = ::dlopen(KVR_UNZIP32_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(m_library, ::dlerror());
        m_unzip = reinterpret_cast<Wiz_SingleEntryUnzipFn*>(::dlsym(m_library, "Wiz_SingleEntryUnzip"));
        QVERIFY(m_unzip);
    }
    void cleanupTestCase() { ::dlclose(m_library); }

    void membersLandFlatWithTheirBytes()
    {
        const QByteArray big = sample(6 << 20, 'b'); // decoded into a mapped file, not in memory
        const QString archive = path("flat.zip");
        makeZip(archive,
                {{"skins/", {}},
                 {"skins/MOSQ/PMOSQ1.TPC", sample(3000, '1')},
                 {"skins/MOSQ/PMOSQ1.3DZ", sample(5000, '2'), ZIP_CM_STORE},
                 {"PMOSQ1.BMP", sample(70000, '3'), ZIP_CM_BZIP2},
                 {"deep/er/big.dat", big},
                 {"stored-big.dat", big.left(5 << 20), ZIP_CM_STORE},
                 {"empty.txt", {}},
                 {"empty-stored.txt", {}, ZIP_CM_STORE}},
                "a comment");
        const QString game = target("flat");
        QCOMPARE(unzip(archive, game), 0);
        const Files expected{{"PMOSQ1.TPC", sample(3000, '1')},
                             {"PMOSQ1.3DZ", sample(5000, '2')},
                             {"PMOSQ1.BMP", sample(70000, '3')},
                             {"big.dat", big},
                             {"stored-big.dat", big.left(5 << 20)},
                             {"empty.txt", {}},
                             {"empty-stored.txt", {}}};
        QCOMPARE(contents(game), expected);
        QVERIFY(QDir(game).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    }

    void laterMemberWinsAndCaseDoesNotMakeASecondFile()
    {
        const QString archive = path("case.zip");
        makeZip(archive, {{"a/PMOSQ.TPC", "first"},
                          {"b\\pmosq.TPC", "second"},
                          {"A.Txt", "replaces A.TXT"},
                          {"NEW.3DZ", "new"},
                          {"new.3dz", "later spelling"}});
        const QString game = target("case", {{"PMOSQ.tpc", "old"}, {"A.TXT", "a1"}, {"a.txt", "a2"}});
        QCOMPARE(unzip(archive, game), 0);
        // Names already on disk keep their spelling; of two spellings the first in byte order is
        // replaced; a name new to the folder takes the first member's spelling.
        const Files expected{
            {"PMOSQ.tpc", "second"}, {"A.TXT", "replaces A.TXT"}, {"a.txt", "a2"}, {"NEW.3DZ", "later spelling"}};
        QCOMPARE(contents(game), expected);
    }

    void unreadablePackagesWriteNothing_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind :
             {"vanished", "empty file", "not a zip", "half", "no end record", "folder", "no members"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    void unreadablePackagesWriteNothing()
    {
        QFETCH(QString, kind);
        const QString archive = path("unreadable.zip");
        QDir(archive).removeRecursively();
        makeZip(archive, {{"PMOSQ.TPC", sample(20000, 't')}, {"other.txt", "x"}});
        const QByteArray whole = readFile(archive);
        QFile::remove(archive);
        if (kind == "empty file")
            writeFile(archive, {});
        else if (kind == "not a zip")
            writeFile(archive, QByteArray("PK\3\4 this is only a text file\n").repeated(10));
        else if (kind == "half")
            writeFile(archive, whole.left(whole.size() / 2));
        else if (kind == "no end record")
            writeFile(archive, whole.left(whole.size() - 10));
        else if (kind == "folder")
            QDir().mkpath(archive);
        else if (kind == "no members")
            writeFile(archive, QByteArray("PK\5\6").append(18, '\0'));
        const QString game = target("unreadable", {{"PMOSQ.TPC", "old"}});
        const int status = unzip(archive, game);
        QCOMPARE(contents(game), (Files{{"PMOSQ.TPC", "old"}}));
        QCOMPARE(status != 0, kind != "no members"); // an empty archive is no failure
    }

    void damagedMemberKeepsTheOldFile_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("damage");
        // Large members are decoded straight into a mapped file, small ones through memory.
        const int large = 6 << 20;
        QTest::newRow("stored, bad CRC") << int(ZIP_CM_STORE) << 4000 << "crc";
        QTest::newRow("deflated, bad CRC") << int(ZIP_CM_DEFLATE) << 4000 << "crc";
        QTest::newRow("deflated large, bad CRC") << int(ZIP_CM_DEFLATE) << large << "crc";
        QTest::newRow("bzip2, bad CRC") << int(ZIP_CM_BZIP2) << 4000 << "crc";
        QTest::newRow("deflated, bad data") << int(ZIP_CM_DEFLATE) << 4000 << "data";
        QTest::newRow("deflated large, bad data") << int(ZIP_CM_DEFLATE) << large << "data";
        QTest::newRow("unknown method") << int(ZIP_CM_STORE) << 4000 << "method";
        QTest::newRow("AES encrypted") << int(ZIP_CM_DEFLATE) << 4000 << "aes";
        QTest::newRow("PKWARE encrypted") << int(ZIP_CM_DEFLATE) << 4000 << "pkware";
    }
    void damagedMemberKeepsTheOldFile()
    {
        QFETCH(int, method);
        QFETCH(int, size);
        QFETCH(QString, damage);
        const QString archive = path("damaged.zip");
        Member bad{"PMOSQ.TPC", sample(size, 'd'), method};
        bad.encryption = damage == "aes" ? ZIP_EM_AES_256 : damage == "pkware" ? ZIP_EM_TRAD_PKWARE : ZIP_EM_NONE;
        if (!zip_encryption_method_supported(bad.encryption, 1))
            QSKIP("libzip cannot write this encryption");
        makeZip(archive, {bad, {"good.txt", "good"}});
        QByteArray bytes = readFile(archive);
        const qsizetype data = 30 + bad.name.size(); // the damaged member comes first
        if (damage == "crc") {
            const QByteArray crc = bytes.mid(14, 4);
            bytes.replace(crc, le32(~(uchar(crc[0]) | uchar(crc[1]) << 8 | uchar(crc[2]) << 16 | uchar(crc[3]) << 24)));
        } else if (damage == "data") {
            for (qsizetype i = data + 2; i < data + 40; ++i)
                bytes[i] = char(bytes[i] ^ 0x5A);
        } else if (damage == "method") {
            bytes[8] = char(98); // PPMd, which libzip does not read
            bytes[bytes.indexOf("PK\1\2") + 10] = char(98);
        }
        writeFile(archive, bytes);
        const QString game = target("damaged", {{"PMOSQ.TPC", "old"}});
        QVERIFY(unzip(archive, game) != 0);
        QCOMPARE(contents(game), (Files{{"PMOSQ.TPC", "old"}, {"good.txt", "good"}}));
    }

    void writeFailureKeepsTheOldFile()
    {
        const QString archive = path("toobig.zip");
        makeZip(archive, {{"PBUF.TPC", sample(300000, 'a')},
                          {"PMAP.TPC", sample(6 << 20, 'b')},
                          {"PCOPY.TPC", sample(300000, 'c'), ZIP_CM_STORE},
                          {"PSTREAM.TPC", sample(300000, 'd'), ZIP_CM_BZIP2},
                          {"small.txt", "fits"}});
        const Files old{{"PBUF.TPC", "old"}, {"PMAP.TPC", "old"}, {"PCOPY.TPC", "old"}, {"PSTREAM.TPC", "old"}};
        const QString game = target("full", old);
        // A file-size limit fails writes the way a full disk does.
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous, limit;
        ::getrlimit(RLIMIT_FSIZE, &previous);
        limit = {100000, previous.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const int status = unzip(archive, game);
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(status != 0);
        Files expected = old;
        expected.insert("small.txt", "fits");
        QCOMPARE(contents(game), expected);
    }

    void namesNeverLeaveTheTargetFolder()
    {
        const QString outside = QString("/tmp/kvr-extract-%1.txt").arg(::getpid());
        const QString archive = path("traversal.zip");
        makeZip(archive, {{"../up.txt", "1"},
                          {outside.toUtf8(), "2"},
                          {"..\\back.txt", "3"},
                          {"a/../../deep.txt", "4"},
                          {"C:\\GAME\\drive.txt", "5"},
                          {"a/..", "6"},
                          {"..", "7"},
                          {"./.", "8"}});
        const QString parent = path("traversal");
        QDir(parent).removeRecursively();
        const QString game = target("traversal/game");
        QVERIFY(unzip(archive, game) != 0); // the names that flatten to nothing are skipped
        const Files expected{{"up.txt", "1"},
                             {QFileInfo(outside).fileName(), "2"},
                             {"back.txt", "3"},
                             {"deep.txt", "4"},
                             {"drive.txt", "5"}};
        QCOMPARE(contents(game), expected);
        QCOMPARE(QDir(parent).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"game"});
        QVERIFY(!QFile::exists(outside));
    }

    // Link members are not created; links, read-only files and folders on disk are not followed or forced.
    void whatIsOnDiskIsNeitherFollowedNorForced()
    {
        const QString archive = path("links.zip");
        makeZip(archive, {{"PLINK.TPC", "/etc/passwd", ZIP_CM_STORE, 0, S_IFLNK | 0777},
                          {"PMOSQ.TPC", "member"},
                          {"PGONE.TPC", "member too"},
                          {"PRO.TPC", "new"},
                          {"PDIR.TPC", "new"}});
        const QString parent = path("links");
        QDir(parent).removeRecursively();
        const QString game = target("links/game", {{"pro.tpc", "old"}});
        writeFile(parent + "/outside.txt", "outside");
        QVERIFY(QFile::link("../outside.txt", game + "/PMOSQ.TPC"));
        QVERIFY(QFile::link("../nowhere", game + "/pgone.tpc"));
        QVERIFY(QFile::setPermissions(game + "/pro.tpc", QFile::ReadOwner));
        QDir().mkpath(game + "/PDIR.TPC");
        QVERIFY(unzip(archive, game) != 0);
        QFile::setPermissions(game + "/pro.tpc", QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(contents(game), (Files{{"PMOSQ.TPC", "member"}, {"pgone.tpc", "member too"}, {"pro.tpc", "old"}}));
        QVERIFY(!QFileInfo(game + "/PMOSQ.TPC").isSymLink() && !QFileInfo(game + "/pgone.tpc").isSymLink());
        QVERIFY(QFileInfo(game + "/PDIR.TPC").isDir());
        QCOMPARE(readFile(parent + "/outside.txt"), QByteArray("outside"));
        QVERIFY(!QFile::exists(parent + "/nowhere"));
    }

    void filesGetTheDefaultModeAndTheirTimes()
    {
        const std::time_t dosTime = QDateTime({2021, 6, 15}, {12, 34, 56}).toSecsSinceEpoch(); // local time
        const std::time_t unixTime = 1600000001; // odd seconds: DOS times cannot hold it
        const QByteArray timestamp = QByteArray(1, '\1') + le32(quint32(unixTime));
        const QString archive = path("times.zip");
        Member exact{"exact.txt", "y", ZIP_CM_DEFLATE, dosTime};
        exact.extendedTime = timestamp;
        makeZip(archive, {{"script.sh", "#!/bin/sh\n", ZIP_CM_STORE, dosTime, S_IFREG | 0755},
                          {"locked.txt", "x", ZIP_CM_DEFLATE, dosTime, S_IFREG | 0444},
                          exact});
        const QString game = target("times");
        QCOMPARE(unzip(archive, game), 0);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        for (const char* name : {"script.sh", "locked.txt", "exact.txt"}) {
            struct stat info;
            QCOMPARE(::stat(QFile::encodeName(game + '/' + QLatin1String(name)).constData(), &info), 0);
            QCOMPARE(info.st_mode & 07777, 0666 & ~mask);
            QCOMPARE(info.st_mtime, std::strcmp(name, "exact.txt") == 0 ? unixTime : dosTime);
        }
    }

    void archivesOfOtherZippers_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<Files>("expected");
        QTest::newRow("backslash separators")
            << "backslash.zip"
            << Files{{"PMOSQ1.3DZ", "backslash 3dz\n"}, {"PMOSQ1.TPC", QByteArray("backslash tpc\n").repeated(20)}};
        QTest::newRow("code page and UTF-8 names")
            << "codepage.zip" << Files{{"café.txt", "code page 437\n"}, {"ñandú.txt", "utf-8 flagged\n"}};
        QTest::newRow("ZIP64 records") << "zip64.zip"
                                       << Files{{"PMOSQ64.TPC", QByteArray("zip64 member\n").repeated(50)},
                                                {"readme64.txt", "second\n"}};
        QTest::newRow("data descriptors") << "descriptor.zip"
                                          << Files{{"stored.txt", "stored streamed\n"},
                                                   {"streamed.txt", QByteArray("streamed member\n").repeated(30)}};
        QTest::newRow("adjusted stub") << "sfx-adjusted.zip"
                                       << Files{{"PSPIT.TPC", QByteArray("adjusted stub\n").repeated(10)}};
        QTest::newRow("unadjusted stub") << "sfx-unadjusted.zip"
                                         << Files{{"PSPIT.TPC", QByteArray("unadjusted stub\n").repeated(10)}};
    }
    void archivesOfOtherZippers()
    {
        QFETCH(QString, archive);
        QFETCH(Files, expected);
        const QString game = target("zippers");
        QCOMPARE(unzip(fixture(archive), game), 0);
        QCOMPARE(contents(game), expected);
    }

    void programPathsReachTheRightFiles()
    {
        kvrtest::Workspace ws;
        kvrtest::MsgBoxRecorder boxes;
        const QString skins = ws.skinsFolder(), game = ws.gameFolder();
        makeZip(skins + "/mosq_desert.zip", {{"PMOSQ.TPC", "lower"}});
        makeZip(skins + "/Mosq_Desert.zip", {{"PMOSQ.TPC", "mixed"}});
        // No exact name: the first spelling in byte order.
        kvr::Modulo::Unzip(skins + "\\MOSQ_Desert.ZIP", game + "\\");
        QCOMPARE(readFile(game + "/PMOSQ.TPC"), QByteArray("mixed"));
        // An exact name wins; separators may be doubled.
        makeZip(skins + "/MOSQ_Desert.ZIP", {{"PMOSQ.TPC", "exact"}});
        kvr::Modulo::Unzip(skins + "\\\\MOSQ_Desert.ZIP", game + "\\\\");
        QCOMPARE(readFile(game + "/PMOSQ.TPC"), QByteArray("exact"));
        // A missing target folder is not created.
        kvr::Modulo::Unzip(skins + "\\MOSQ_Desert.ZIP", ws.root() + "\\missing\\");
        QVERIFY(!QFileInfo::exists(ws.root() + "/missing"));
        QCOMPARE(filesIn(game), QStringList{"PMOSQ.TPC"});
        QVERIFY(boxes.calls.isEmpty());
    }

    void otherOptionsOfTheRecord()
    {
        const QString archive = path("options.zip");
        makeZip(
            archive,
            {{"PMOSQ.TPC", "new", ZIP_CM_DEFLATE, 1500000000}, {"sub/readme.txt", "readme"}, {"my skin.txt", "blank"}});
        const Files old{{"pmosq.tpc", "old"}};
        auto run = [&](const std::function<void(DCL&)>& tweak, QList<QByteArray> include, QList<QByteArray> exclude) {
            const QString game = target("options", old);
            unzip(archive, game, tweak, include, exclude);
            return contents(game);
        };
        const Files all{{"pmosq.tpc", "new"}, {"readme.txt", "readme"}, {"my skin.txt", "blank"}};
        QCOMPARE(run({}, {}, {}), all);
        QCOMPARE(run({}, {"*.TPC"}, {}), (Files{{"pmosq.tpc", "new"}}));
        QCOMPARE(run([](DCL& o) { o.C_flag = 0; }, {"*.tpc"}, {}), old);
        QCOMPARE(run({}, {}, {"SUB/*", "*.tpc"}), (Files{{"pmosq.tpc", "old"}, {"my skin.txt", "blank"}}));
        QCOMPARE(run([](DCL& o) { o.noflag = 0; }, {}, {}),
                 (Files{{"pmosq.tpc", "old"}, {"readme.txt", "readme"}, {"my skin.txt", "blank"}}));
        QCOMPARE(run([](DCL& o) { o.nfflag = 1; }, {}, {}), (Files{{"pmosq.tpc", "new"}}));
        // The file on disk was written just now, after the member's time.
        QCOMPARE(run([](DCL& o) { o.ExtractOnlyNewer = 1; }, {}, {}),
                 (Files{{"pmosq.tpc", "old"}, {"readme.txt", "readme"}, {"my skin.txt", "blank"}}));
        QCOMPARE(run([](DCL& o) { o.SpaceToUnderscore = 1; }, {}, {}),
                 (Files{{"pmosq.tpc", "new"}, {"readme.txt", "readme"}, {"my_skin.txt", "blank"}}));
        QCOMPARE(run([](DCL& o) { o.ntflag = 1; }, {}, {}), old);
        QCOMPARE(unzip(archive, path("nowhere"), [](DCL& o) { o.ntflag = 1; }), 0);
        for (auto refuse : {+[](DCL& o) { o.ndflag = 1; }, +[](DCL& o) { o.ncflag = 1; }, +[](DCL& o) { o.nvflag = 1; },
                            +[](DCL& o) { o.naflag = 1; }})
            QCOMPARE(run(refuse, {}, {}), old);
    }

    // Ordinary archives unpack as Info-ZIP's unzip unpacks them: same names, bytes and times.
    void agreesWithInfoZipOnOrdinaryArchives()
    {
        const QString infoZip = QStandardPaths::findExecutable("unzip");
        if (infoZip.isEmpty())
            QSKIP("unzip is not installed");
        QList<Member> many;
        for (int i = 0; i < 300; ++i)
            many.append({"skins/" + QByteArray::number(i % 7) + "/P" + QByteArray::number(i) + ".TPC",
                         sample(i * 37, char('a' + i % 26)), i % 3 ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 1500000000 + i});
        makeZip(path("many.zip"), many);
        makeZip(path("mixed.zip"),
                {{"a/", {}},
                 {"a/x.txt", "first", ZIP_CM_STORE},
                 {"b/x.txt", "second wins"},
                 {"big.dat", sample(5 << 20, 'z')},
                 {"empty", {}},
                 {"PMOSQ.BMP", sample(40000, 'q'), ZIP_CM_BZIP2}},
                "comment\r\nof two lines");
        writeFile(path("stubbed.zip"), QByteArray("MZ").append(2000, '\x90') + readFile(path("mixed.zip")));
        QStringList archives{path("many.zip"), path("mixed.zip"), path("stubbed.zip")};
        for (const char* name : {"zip64.zip", "descriptor.zip", "sfx-adjusted.zip", "sfx-unadjusted.zip"})
            archives.append(fixture(QLatin1String(name)));

        for (const QString& archive : archives) {
            const QString theirs = target("infozip"), ours = target("ours");
            QProcess process;
            process.start(infoZip, {"-j", "-o", "-qq", archive, "-d", theirs});
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(unzip(archive, ours), 0);
            QVERIFY2(contents(ours) == contents(theirs), qPrintable(archive));
            for (const QString& name : filesIn(ours))
                QCOMPARE(QFileInfo(ours + '/' + name).lastModified(), QFileInfo(theirs + '/' + name).lastModified());
        }
    }
};

QTEST_GUILESS_MAIN(TestExtract)
#include "test_extract.moc"
