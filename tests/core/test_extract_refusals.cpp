// The unzip32 library refusing what it must not do: unreadable, damaged, overlapping or cut-short
// packages, failed writes, names leaving the target folder, links and read-only files on disk,
// and the program's own files. Nothing is half-written and the old file stays.
#include "extract/package_check.h"
#include "extract/program_call.h"
#include "extractsupport.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <csignal>
#include <cstdlib>

using namespace kvrtest;
using namespace Qt::StringLiterals;

class TestExtractRefusals : public QObject, ExtractFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { loadLibrary(); }
    void cleanupTestCase() { unloadLibrary(); }

    // What cannot be read as an archive, and one whose members' data overlap (one member's bytes
    // under several names, built to fill the disk, or a member hidden inside another), are refused
    // whole before anything is written, as unzip does.
    void refusedWholeWritesNothing_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // null: nothing there; "/": a folder
        QTest::addColumn<QString>("reason");   // said of the archive; null: no failure
        const QString unreadable = u"not readable as an archive"_s;
        const QString overlap = u"refused whole: members' data overlap"_s;
        makeZip(path(u"whole.zip"_s), {{"PMOSQ.TPC", sample(20000, 't')}, {"other.txt", "x"}});
        const QByteArray whole = readFile(path(u"whole.zip"_s));
        QTest::newRow("vanished") << QByteArray() << unreadable;
        QTest::newRow("folder") << "/"_ba << unreadable;
        QTest::newRow("empty file") << QByteArray("") << unreadable;
        QTest::newRow("no end record") << whole.left(whole.size() - 10) << unreadable;
        QTest::newRow("a bare end record: no members") << QByteArray("PK\5\6").append(18, '\0') << QString();
        const QByteArray data = sample(100000, 'o');
        const QByteArray local = storedLocal("P00000.TPC", data), inner = storedLocal("PINNER.TPC", data);
        const quint32 crc = crc32Of(data);
        QByteArray central;
        for (int i = 0; i < 65535; ++i)
            central += storedCentral(u"P%1.TPC"_s.arg(i, 5, 10, QChar(u'0')).toLatin1(), crc, data.size(), 0);
        QTest::newRow("one member under 65,535 names")
            << local + central + endRecord(65535, central.size(), local.size()) << overlap;
        central = storedCentral("POUTER.TPC", crc32Of(inner), inner.size(), 0) +
                  storedCentral("PINNER.TPC", crc, data.size(), 30 + 10);
        QTest::newRow("a member inside another")
            << storedLocal("POUTER.TPC", inner) + central + endRecord(2, central.size(), 30 + 10 + inner.size())
            << overlap;
    }
    void refusedWholeWritesNothing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        const QString archive = path(u"refused.zip"_s);
        QDir(archive).removeRecursively();
        QFile::remove(archive);
        if (bytes == "/")
            QVERIFY(QDir().mkpath(archive));
        else if (!bytes.isNull())
            QVERIFY(writeFile(archive, bytes));
        const QString game = target(u"refused"_s, {{u"P00001.TPC"_s, "old"}});
        QCOMPARE(unzip(archive, game), reason.isNull() ? 0 : 2);
        QCOMPARE(contents(game), (Files{{u"P00001.TPC"_s, "old"}}));
        QCOMPARE(logOf(archive), reason);
    }

    void damagedMemberKeepsTheOldFile_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("damage");
        // Large members are decoded straight into a mapped file, small ones through memory.
        const int large = 6 << 20;
        QTest::addColumn<QString>("reason");
        const QString crc = u"skipped, corrupt: CRC mismatch"_s;
        const QString undecodable = u"skipped, corrupt: cannot be decoded to its declared size"_s;
        QTest::newRow("stored, bad CRC") << int(ZIP_CM_STORE) << 4000 << u"crc"_s << crc;
        QTest::newRow("deflated, bad CRC") << int(ZIP_CM_DEFLATE) << 4000 << u"crc"_s << crc;
        QTest::newRow("deflated large, bad CRC") << int(ZIP_CM_DEFLATE) << large << u"crc"_s << crc;
        QTest::newRow("bzip2, bad CRC") << int(ZIP_CM_BZIP2) << 4000 << u"crc"_s << crc;
        QTest::newRow("deflated, bad data") << int(ZIP_CM_DEFLATE) << 4000 << u"data"_s << undecodable;
        QTest::newRow("deflated large, bad data") << int(ZIP_CM_DEFLATE) << large << u"data"_s << undecodable;
        QTest::newRow("unknown method") << int(ZIP_CM_STORE) << 4000 << u"method"_s
                                        << u"skipped, unknown compression method"_s;
        QTest::newRow("AES encrypted") << int(ZIP_CM_DEFLATE) << 4000 << u"aes"_s << u"skipped, needs a password"_s;
        // A declared size is a limit: decoding stops at the first byte beyond it.
        QTest::newRow("stored, declares less")
            << int(ZIP_CM_STORE) << 4000 << u"smaller"_s << u"skipped, corrupt: stored sizes differ"_s;
        QTest::newRow("deflated, declares less") << int(ZIP_CM_DEFLATE) << 4000 << u"smaller"_s << undecodable;
        QTest::newRow("deflated large, declares less") << int(ZIP_CM_DEFLATE) << large << u"smaller"_s << undecodable;
        QTest::newRow("bzip2, declares less")
            << int(ZIP_CM_BZIP2) << 70000 << u"smaller"_s << u"skipped, corrupt: more data than its declared size"_s;
        QTest::newRow("bzip2, declares more")
            << int(ZIP_CM_BZIP2) << 4000 << u"larger"_s << u"skipped, corrupt: less data than its declared size"_s;
    }
    void damagedMemberKeepsTheOldFile()
    {
        QFETCH(int, method);
        QFETCH(int, size);
        QFETCH(QString, damage);
        QFETCH(QString, reason);
        const QString archive = path(u"damaged.zip"_s);
        Member bad{"PMOSQ.TPC", sample(size, 'd'), method};
        bad.encryption = damage == u"aes"_s ? ZIP_EM_AES_256 : ZIP_EM_NONE;
        if (!zip_encryption_method_supported(bad.encryption, 1))
            QSKIP("libzip cannot write this encryption");
        makeZip(archive, {bad, {"good.txt", "good"}});
        QByteArray bytes = readFile(archive);
        const qsizetype data = 30 + bad.name.size(); // the damaged member comes first
        if (damage == u"crc"_s) {
            const QByteArray crc = bytes.mid(14, 4);
            bytes.replace(crc, le32(~(uchar(crc[0]) | uchar(crc[1]) << 8 | uchar(crc[2]) << 16 | uchar(crc[3]) << 24)));
        } else if (damage == u"data"_s) {
            for (qsizetype i = data + 2; i < data + 40; ++i)
                bytes[i] = char(bytes[i] ^ 0x5A);
        } else if (damage == u"method"_s) {
            bytes[8] = char(98); // PPMd, which libzip does not read
            bytes[bytes.indexOf("PK\1\2") + 10] = char(98);
        } else if (damage == u"smaller"_s) {
            declareSize(bytes, quint32(size / 2));
        } else if (damage == u"larger"_s) {
            declareSize(bytes, quint32(size * 2));
        }
        QVERIFY(writeFile(archive, bytes));
        const QString game = target(u"damaged"_s, {{u"PMOSQ.TPC"_s, "old"}});
        QVERIFY(unzip(archive, game) != 0);
        QCOMPARE(contents(game), (Files{{u"PMOSQ.TPC"_s, "old"}, {u"good.txt"_s, "good"}}));
        QCOMPARE(logOf(u"PMOSQ.TPC"_s), reason);
    }

    void packageCheckJudgesAsTheLibraryDoes_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("problem");
        const QString overlap = u"The package's members share their data: it is refused whole."_s;
        QTest::newRow("named in another case") << u"other case"_s << QString();
        QTest::newRow("missing") << u"missing"_s << u"The package does not exist."_s;
        QTest::newRow("a folder") << u"folder"_s << u"The package is not a file."_s;
        QTest::newRow("a text file") << u"text"_s << u"The package is not a ZIP archive, or it is damaged."_s;
        // The directory need not list members in the order they lie in the file.
        QTest::newRow("listed out of order") << u"out of order"_s << QString();
        QTest::newRow("listed out of order, sharing data") << u"out of order, overlap"_s << overlap;
        QTest::newRow("an encrypted member")
            << u"encrypted"_s << u"The package's member \"PSECRET.TPC\" needs a password."_s;
        QTest::newRow("a size beyond the cap")
            << u"huge"_s << u"The package's member \"P.TPC\" declares a size too large to unpack."_s;
    }
    // The check made before a package's first delete: every kind of package the library refuses,
    // and the ones it installs.
    void packageCheckJudgesAsTheLibraryDoes()
    {
        QFETCH(QString, kind);
        const QString folder = target(u"check"_s);
        const QString package = folder + u"/MOSQ_X.ZIP"_s;
        const QList<Member> members{{"PMOSQ1.TPC", "skin"}};
        const QByteArray local = storedLocal("P.TPC", "data");
        const QByteArray central = storedCentral("P.TPC", crc32Of("data"), 4, 0);
        if (kind == u"other case"_s) {
            makeZip(folder + u"/mosq_x.zip"_s, members);
        } else if (kind == u"folder"_s) {
            QVERIFY(QDir().mkpath(package));
        } else if (kind == u"text"_s) {
            QVERIFY(writeFile(package, "not a package\n"_ba.repeated(10)));
        } else if (kind.startsWith(u"out of order"_s)) {
            // The second member is listed first; the first runs one byte into it when overlapping.
            QByteArray first = central;
            if (kind.endsWith(u"overlap"_s))
                first.replace(20, 4, le32(5));
            const QByteArray second = storedCentral("Q.TPC", crc32Of("data"), 4, quint32(local.size()));
            const QByteArray files = local + QByteArray(local).replace("P.TPC", "Q.TPC");
            QVERIFY(writeFile(package, files + second + first + endRecord(2, 2 * central.size(), files.size())));
        } else if (kind == u"encrypted"_s) {
            Member secret("PSECRET.TPC", "skin");
            secret.encryption = ZIP_EM_AES_256;
            makeZip(package, {members.first(), secret});
        } else if (kind == u"huge"_s) {
            const quint64 huge = quint64(1) << 63;
            const QByteArray hugeLocal = storedLocal("P.TPC", "data", huge);
            const QByteArray declared = storedCentral("P.TPC", crc32Of("data"), 4, 0, huge);
            QVERIFY(writeFile(package, hugeLocal + declared + endRecord(1, declared.size(), hugeLocal.size())));
        }
        QTEST(kvr::packageProblem(package), "problem");
    }

    // The central directory as read for checks that read no member data: read only when its
    // records add up, and called plain only when laid out as archivers write it.
    void centralDirectoryReadWhenItAddsUp_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<int>("records"); // -1: not read
        QTest::addColumn<bool>("plain");
        QTest::addColumn<bool>("zip64");  // of the first record
        QTest::addColumn<bool>("placed"); // the first member's data found where its record says
        const QByteArray files = storedLocal("PMOSQ.TPC", "body") + storedLocal("b/pmosq.tpc", "wing!");
        const QByteArray central = storedCentral("PMOSQ.TPC", crc32Of("body"), 4, 0) +
                                   storedCentral("b/pmosq.tpc", crc32Of("wing!"), 5, 30 + 9 + 4);
        const qsizetype size = central.size(), offset = files.size();
        const QByteArray ordinary = files + central + endRecord(2, size, offset);
        QByteArray marked = ordinary;
        marked.replace(offset + 24, 4, le32(0xFFFFFFFF));
        QByteArray longComment = ordinary;
        longComment.replace(longComment.size() - 2, 2, le16(10));
        QByteArray onDisk = ordinary, recordOnDisk = ordinary;
        onDisk.replace(onDisk.size() - 22 + 4, 2, le16(1));
        recordOnDisk.replace(offset + 34, 2, le16(1));
        QTest::newRow("ordinary") << ordinary << 2 << true << false << true;
        QTest::newRow("a disk number") << onDisk << 2 << false << false << true;
        QTest::newRow("a record's disk number") << recordOnDisk << 2 << false << false << true;
        QTest::newRow("count larger than the records")
            << files + central + endRecord(3, size, offset) << -1 << false << false << true;
        QTest::newRow("count smaller than the records")
            << files + central + endRecord(1, size, offset) << 1 << false << false << true;
        QTest::newRow("directory cut short")
            << files + central.left(size - 5) + endRecord(2, size - 5, offset) << -1 << false << false << true;
        QTest::newRow("comment running past the file") << longComment << 2 << false << false << true;
        QTest::newRow("another end record before the directory")
            << files + endRecord(2, size, offset) + central + endRecord(2, size, offset + 22) << 2 << false << false
            << true;
        QTest::newRow("a stub its offsets leave out") << "stub" + ordinary << 2 << false << false << true;
        QTest::newRow("a size left to the ZIP64 field") << marked << 2 << true << true << true;
        // A ZIP64 field holds only the values its record marks: here the compressed size alone.
        QByteArray compressedOnly = storedCentral("PMOSQ.TPC", crc32Of("body"), 4, 0);
        compressedOnly.replace(20, 4, le32(0xFFFFFFFF));
        compressedOnly.replace(30, 2, le16(12));
        compressedOnly += le16(1) + le16(8) + le32(99) + le32(0);
        QTest::newRow("only the compressed size in the ZIP64 field")
            << storedLocal("PMOSQ.TPC", "body") + compressedOnly + endRecord(1, compressedOnly.size(), 30 + 9 + 4) << 1
            << true << true << false;
        // A field holding more than its record marks: the offset is read from it only when marked.
        QByteArray sizeFirst = storedCentral("PMOSQ.TPC", crc32Of("body"), 4, 0);
        sizeFirst.replace(24, 4, le32(0xFFFFFFFF));
        sizeFirst.replace(30, 2, le16(20));
        sizeFirst += le16(1) + le16(16) + le32(4) + le32(0) + le32(4) + le32(0);
        QTest::newRow("only the size marked, the compressed size beside it")
            << storedLocal("PMOSQ.TPC", "body") + sizeFirst + endRecord(1, sizeFirst.size(), 30 + 9 + 4) << 1 << true
            << true << true;
        QTest::newRow("larger than allowed")
            << files + sample(2000, 'c').prepend(central) + endRecord(2, size + 2000, offset) << -1 << false << false
            << true;
    }
    void centralDirectoryReadWhenItAddsUp()
    {
        QFETCH(QByteArray, archive);
        QFETCH(int, records);
        const auto dir = centralDirectoryOf(archive);
        QCOMPARE(dir ? int(dir->records.size()) : -1, records);
        if (!dir)
            return;
        QTEST(dir->plain, "plain");
        QTEST(dir->records[0].zip64, "zip64");
        QTEST(dir->members[0].found, "placed");
        const auto bytes = [](std::string_view name) { return QByteArray(name.data(), qsizetype(name.size())); };
        QCOMPARE(bytes(dir->records[0].name), "PMOSQ.TPC"_ba);
        QCOMPARE(dir->records[0].crc, crc32Of("body"));
        // A size marked for a ZIP64 field the record lacks stays marked.
        QVERIFY(dir->records[0].size == 4 || (dir->records[0].zip64 && dir->records[0].size == 0xFFFFFFFF));
    }

    // The package is cut short while it is read (it lies on a removable disk, or another program
    // rewrites it): the members that can no longer be read are skipped, and nothing faults.
    void aPackageCutShortWhileReadSkipsTheRest_data()
    {
        QTest::addColumn<int>("cutTo");
        QTest::newRow("cut to nothing") << 0;
        QTest::newRow("cut inside the second member") << 20000;
    }
    void aPackageCutShortWhileReadSkipsTheRest()
    {
        QFETCH(int, cutTo);
        // Larger than what is read into memory whole, so members are read from the file as needed.
        const QByteArray big = sample(17 << 20, 'c');
        const QString archive = path(u"cut.zip"_s);
        makeZip(archive, {{"A.TXT", "first"},
                          {"PBIG.TPC", big, ZIP_CM_STORE},
                          {"PDEF.TPC", sample(300000, 'd')},
                          {"PBZ.TPC", sample(3000, 'z'), ZIP_CM_BZIP2}});
        const QString game = target(u"cut"_s, {{u"PBIG.TPC"_s, "old"}});
        struct Cut
        {
            QByteArray file;
            int size;
            QStringList* lines;
        } cut{QFile::encodeName(archive), cutTo, &m_log};
        m_setLogHook(
            [](const char* line, void* context) {
                auto* c = static_cast<Cut*>(context);
                c->lines->append(QString::fromUtf8(line));
                if (c->lines->size() == 1 && ::truncate(c->file.constData(), c->size) != 0)
                    c->lines->append(u"cannot cut the package"_s);
            },
            &cut);
        const int status = unzip(archive, game);
        m_setLogHook(&collectLine, &m_log);
        QCOMPARE(status, 1);
        QCOMPARE(contents(game), (Files{{u"A.TXT"_s, "first"}, {u"PBIG.TPC"_s, "old"}}));
        QCOMPARE(m_log.size(), 4);
    }

    // A file-size limit fails writes the way a full disk does, and its signal, which would end the
    // program, is ignored by the library. Without unnamed temporary files (some file systems lack
    // them) members go through hidden names; none of those stays when a write fails.
    void writeFailureKeepsTheOldFile_data()
    {
        QTest::addColumn<bool>("hidden");
        QTest::newRow("unnamed temporaries") << false;
        QTest::newRow("hidden temporaries") << true;
    }
    void writeFailureKeepsTheOldFile()
    {
        QFETCH(bool, hidden);
        const QString archive = path(u"toobig.zip"_s);
        makeZip(archive, {{"PBUF.TPC", sample(300000, 'a')},
                          {"PMAP.TPC", sample(6 << 20, 'b')},
                          {"PCOPY.TPC", sample(300000, 'c'), ZIP_CM_STORE},
                          {"PSTREAM.TPC", sample(300000, 'd'), ZIP_CM_BZIP2},
                          {"small.txt", "fits"}});
        const Files old{
            {u"PBUF.TPC"_s, "old"}, {u"pmap.tpc"_s, "old"}, {u"PCOPY.TPC"_s, "old"}, {u"PSTREAM.TPC"_s, "old"}};
        const QString game = target(u"full"_s, old);
        m_forceHidden(hidden ? 1 : 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_DFL);
        rlimit previous;
        ::getrlimit(RLIMIT_FSIZE, &previous);
        const rlimit limit{100000, previous.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const int status = unzip(archive, game);
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
        m_forceHidden(0);
        QCOMPARE(status, 1);
        Files expected = old;
        expected.insert(u"small.txt"_s, "fits");
        QCOMPARE(contents(game), expected);
        QVERIFY(logOf(u"PBUF.TPC"_s).startsWith(u"skipped, write failed"_s));
    }

    void namesNeverLeaveTheTargetFolder()
    {
        const QString outside = u"/tmp/kvr-extract-%1.txt"_s.arg(::getpid());
        const QString archive = path(u"traversal.zip"_s);
        makeZip(archive, {{"../up.txt", "1"},
                          {outside.toUtf8(), "2"},
                          {"..\\back.txt", "3"},
                          {"a/../../deep.txt", "4"},
                          {"C:\\GAME\\drive.txt", "5"},
                          {"a/..", "6"},
                          {"..", "7"},
                          {"./.", "8"}});
        const QString parent = path(u"traversal"_s);
        QDir(parent).removeRecursively();
        const QString game = target(u"traversal/game"_s);
        QVERIFY(unzip(archive, game) != 0); // the names that flatten to nothing are skipped
        const Files expected{{u"up.txt"_s, "1"},
                             {QFileInfo(outside).fileName(), "2"},
                             {u"back.txt"_s, "3"},
                             {u"deep.txt"_s, "4"},
                             {u"drive.txt"_s, "5"}};
        QCOMPARE(contents(game), expected);
        QCOMPARE(QDir(parent).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{u"game"_s});
        QVERIFY(!QFile::exists(outside));
    }

    // Link members are not created; links on disk are replaced, never followed, whether they
    // stood there when the unpack began or appeared as the member took its name (then most names
    // are taken to be free); read-only files are replaced by files of the default mode; folders stay.
    void whatIsOnDiskIsNeitherFollowedNorForced_data()
    {
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<bool>("late");
        QTest::newRow("links before the unpack") << false << false;
        QTest::newRow("links before the unpack, hidden temporaries") << true << false;
        QTest::newRow("links as the members take their names") << false << true;
        QTest::newRow("links as the members take their names, hidden temporaries") << true << true;
    }
    void whatIsOnDiskIsNeitherFollowedNorForced()
    {
        QFETCH(bool, hidden);
        QFETCH(bool, late);
        const QString archive = path(u"links.zip"_s);
        makeZip(archive, {{"PLINK.TPC", "/etc/passwd", ZIP_CM_STORE, 0, S_IFLNK | 0777},
                          {"PMOSQ.TPC", "member"},
                          {"PGONE.TPC", "member too"},
                          {"PFOLDER.TPC", "member three"},
                          {"PRO.TPC", "new"},
                          {"PDIR.TPC", "new"}});
        const QString parent = path(u"links"_s);
        QDir(parent).removeRecursively();
        const QString game = target(u"links/game"_s, {{u"pro.tpc"_s, "old"}});
        const QString outside = parent + u"/outside"_s;
        QVERIFY(kvrtest::plantLink(parent + u"/unused"_s, QString(), outside));
        // Link name -> what it points to: a file outside, nothing, a folder outside.
        const QString gone = late ? u"PGONE.TPC"_s : u"pgone.tpc"_s;
        struct Planted
        {
            QString game;
            QMap<QString, QString> links;
            QStringList placed; // the names the hook heard of once written
        } planted{game,
                  {{u"PMOSQ.TPC"_s, outside + u"/file"_s},
                   {gone, outside + u"/nowhere"_s},
                   {u"PFOLDER.TPC"_s, outside + u"/folder"_s}},
                  {}};
        const auto plant = [](const char* name, int replacing, void* context) {
            auto* p = static_cast<Planted*>(context);
            const QString at = QString::fromUtf8(name);
            if (replacing == 2)
                p->placed.append(at);
            return p->links.contains(at) && !QFile::link(p->links.value(at), p->game + u'/' + at) ? 1 : 0;
        };
        if (late)
            m_setReplaceHook(plant, &planted);
        else
            for (auto link = planted.links.cbegin(); link != planted.links.cend(); ++link)
                QVERIFY(QFile::link(link.value(), game + u'/' + link.key()));
        QVERIFY(QFile::setPermissions(game + u"/pro.tpc"_s, QFile::ReadOwner));
        QDir().mkpath(game + u"/PDIR.TPC"_s);
        m_forceHidden(hidden ? 1 : 0);
        const int status = unzip(archive, game);
        m_forceHidden(0);
        m_setReplaceHook(nullptr, nullptr);
        QVERIFY(status != 0);
        QCOMPARE(contents(game), (Files{{u"PMOSQ.TPC"_s, "member"},
                                        {gone, "member too"},
                                        {u"PFOLDER.TPC"_s, "member three"},
                                        {u"pro.tpc"_s, "new"}}));
        QVERIFY(QFileInfo(game + u"/pro.tpc"_s).permissions().testFlag(QFile::WriteOwner));
        if (late)
            QCOMPARE(planted.placed, QStringList({u"PMOSQ.TPC"_s, gone, u"PFOLDER.TPC"_s, u"pro.tpc"_s}));
        QCOMPARE(logOf(u"PLINK.TPC"_s), u"skipped, a link"_s);
        QCOMPARE(logOf(u"PDIR.TPC"_s), u"skipped, a folder has its name"_s);
        QVERIFY(kvrtest::outsideUntouched(outside));
    }

    // In the folder the program runs from, a package cannot replace the program, the library or
    // the settings: the next installation would run the package's code.
    void theProgramsOwnFilesAreNotReplaced_data()
    {
        QTest::addColumn<QString>("into");
        QTest::addColumn<bool>("protectedFolder");
        QTest::newRow("the library's folder") << u"program"_s << true;
        QTest::newRow("the library's folder through a link") << u"link"_s << true;
        QTest::newRow("another folder") << u"game"_s << false;
    }
    void theProgramsOwnFilesAreNotReplaced()
    {
        QFETCH(QString, into);
        QFETCH(bool, protectedFolder);
        const QString root = path(u"own"_s);
        QDir(root).removeRecursively();
        const QString program = target(u"own/program"_s, {{u"KVRSI.INI"_s, "[Folders]"}, {u"readme.txt"_s, "read me"}});
        const QString game = target(u"own/game"_s, {{u"KVRSI.INI"_s, "[Folders]"}, {u"readme.txt"_s, "read me"}});
        QVERIFY(QFile::link(program, root + u"/link"_s));
        // A copy of the library loaded from the program folder under a name of its own, which is kept
        // from packages as the usual names are.
        const QString library = program + u"/libunzip32-own.so"_s;
        QVERIFY(QFile::copy(QStringLiteral(KVR_UNZIP32_LIBRARY), library));
        const QByteArray libraryBytes = readFile(library);
        void* handle = ::dlopen(QFile::encodeName(library).constData(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(handle, ::dlerror());
        auto* entry = reinterpret_cast<Wiz_SingleEntryUnzipFn*>(::dlsym(handle, "Wiz_SingleEntryUnzip"));
        const QString archive = path(u"own.zip"_s);
        makeZip(archive, {{"kvrsi", "#!/bin/sh\n"},
                          {"sub/LibUnzip32.SO", "not a library"},
                          {"LIBUNZIP32-OWN.SO", "not a library either"},
                          {"kvrsi.ini", "[Folders]\r\nKVRInstallationFolder=/\r\n"},
                          {"README.TXT", "replaced"},
                          {"PMOSQ.TPC", "skin"}});
        QByteArray zipName = QFile::encodeName(archive), folder = QFile::encodeName(root + u'/' + into);
        kvr::ProgramCall call(zipName.data(), folder.data());
        USERFUNCTIONS callbacks{};
        const int status = call.call(entry, &callbacks);
        ::dlclose(handle);
        const QString landed = into == u"game"_s ? game : program;
        QCOMPARE(status, protectedFolder ? 1 : 0);
        // The skin lands beside the two files there; the program, the library and its own-named copy
        // land only elsewhere (that copy would take its lower-case name, so its bytes are checked).
        QCOMPARE(filesIn(landed).size(), protectedFolder ? 4 : 6);
        QCOMPARE(readFile(landed + u"/KVRSI.INI"_s) == "[Folders]", protectedFolder);
        QCOMPARE(readFile(landed + u"/readme.txt"_s) == "read me", protectedFolder);
        QCOMPARE(readFile(library), libraryBytes);
    }
};

QTEST_GUILESS_MAIN(TestExtractRefusals)
#include "test_extract_refusals.moc"
