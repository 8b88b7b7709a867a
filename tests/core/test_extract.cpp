// The unzip32 library, loaded as the program loads it, on archives built here with libzip and on
// committed archives of other zippers' habits (tests/data/zip, made by make_fixtures.py).
#include "extract/program_call.h"
#include "extract/unzip.h"
#include "extract/unzip32.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QDateTime>
#include <QLoggingCategory>
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

QByteArray le16(quint16 v)
{
    const char b[2] = {char(v), char(v >> 8)};
    return QByteArray(b, 2);
}

quint32 crc32(const QByteArray& data)
{
    quint32 crc = 0xFFFFFFFF;
    for (char c : data) {
        crc ^= uchar(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

// The local header and data of a stored member.
QByteArray storedLocal(const QByteArray& name, const QByteArray& data)
{
    return "PK\3\4" + le16(10) + le16(0) + le16(0) + le32(0) + le32(crc32(data)) + le32(quint32(data.size())) +
           le32(quint32(data.size())) + le16(quint16(name.size())) + le16(0) + name + data;
}

// A central-directory entry of a stored member whose local header is at `offset`.
QByteArray storedCentral(const QByteArray& name, quint32 crc, qsizetype size, quint32 offset)
{
    return "PK\1\2" + le16(20) + le16(10) + le16(0) + le16(0) + le32(0) + le32(crc) + le32(quint32(size)) +
           le32(quint32(size)) + le16(quint16(name.size())) + le16(0) + le16(0) + le16(0) + le16(0) + le32(0) +
           le32(offset) + name;
}

QByteArray endRecord(int entries, qsizetype centralSize, qsizetype centralOffset)
{
    return "PK\5\6" + le16(0) + le16(0) + le16(quint16(entries)) + le16(quint16(entries)) + le32(quint32(centralSize)) +
           le32(quint32(centralOffset)) + le16(0);
}

// Patches the uncompressed size the first member declares, in its local and central headers.
void declareSize(QByteArray& archive, quint32 size)
{
    archive.replace(22, 4, le32(size));
    archive.replace(archive.indexOf("PK\1\2") + 24, 4, le32(size));
}

void collectLine(const char* line, void* lines)
{
    static_cast<QStringList*>(lines)->append(QString::fromUtf8(line));
}

} // namespace

class TestExtract : public QObject
{
    Q_OBJECT

private:
    Wiz_SingleEntryUnzipFn* m_unzip = nullptr;
    void* m_library = nullptr;
    QTemporaryDir m_dir;
    QStringList m_log; // the library's diagnostics of the last call

    // The diagnostic line about the member stored as `name`, or about the archive.
    QString logOf(const QString& name) const
    {
        for (const QString& line : m_log)
            if (line.startsWith(name + ": "))
                return line.mid(name.size() + 2);
        return {};
    }

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
        m_log.clear();
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
        auto* setLogHook = reinterpret_cast<Wiz_SetLogHookFn*>(::dlsym(m_library, "Wiz_SetLogHook"));
        QVERIFY(setLogHook);
        setLogHook(&collectLine, &m_log);
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

    // Names already on disk keep their spelling, so the folder never holds two spellings.
    void caseDoesNotMakeASecondFile_data()
    {
        QTest::addColumn<Files>("onDisk");
        QTest::addColumn<QList<Member>>("members");
        QTest::addColumn<Files>("expected");
        QTest::newRow("exact spelling replaced, other spelling left")
            << Files{{"A.TXT", "a1"}, {"a.txt", "a2"}} << QList<Member>{{"a.txt", "new"}}
            << Files{{"A.TXT", "a1"}, {"a.txt", "new"}};
        QTest::newRow("no exact spelling: first in byte order")
            << Files{{"A.TXT", "a1"}, {"a.txt", "a2"}} << QList<Member>{{"A.Txt", "new"}}
            << Files{{"A.TXT", "new"}, {"a.txt", "a2"}};
        QTest::newRow("letters beyond ASCII")
            << Files{{"CAFÉ.TPC", "old"}} << QList<Member>{{"café.tpc", "new"}} << Files{{"CAFÉ.TPC", "new"}};
        QTest::newRow("later member wins, folders dropped")
            << Files{{"PMOSQ.tpc", "old"}} << QList<Member>{{"a/PMOSQ.TPC", "first"}, {"b\\pmosq.TPC", "second"}}
            << Files{{"PMOSQ.tpc", "second"}};
        // Enough members to be decoded on two threads: names are still given in archive order.
        QList<Member> rounds;
        Files last;
        for (int i = 0; i < 600; ++i) {
            const QByteArray name =
                "r" + QByteArray::number(i / 150) + (i % 2 ? "/p" : "/P") + QByteArray::number(i % 150) + ".TPC";
            rounds.append(
                {name, "round " + QByteArray::number(i / 150) + sample(i, 'r'), i % 3 ? ZIP_CM_DEFLATE : ZIP_CM_BZIP2});
            last.insert(QString(i % 2 ? "p%1.TPC" : "P%1.TPC").arg(i % 150), rounds.last().data);
        }
        QTest::newRow("many members, later ones win") << Files{{"P0.TPC", "old"}} << rounds << last;
        QTest::newRow("new name keeps the first member's spelling")
            << Files{} << QList<Member>{{"NEW.3DZ", "new"}, {"new.3dz", "later spelling"}}
            << Files{{"NEW.3DZ", "later spelling"}};
    }
    void caseDoesNotMakeASecondFile()
    {
        QFETCH(Files, onDisk);
        QFETCH(QList<Member>, members);
        QFETCH(Files, expected);
        const QString archive = path("case.zip");
        makeZip(archive, members);
        const QString game = target("case", onDisk);
        QCOMPARE(unzip(archive, game), 0);
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
        QTest::addColumn<QString>("reason");
        const QString crc = "skipped, corrupt: CRC mismatch";
        const QString undecodable = "skipped, corrupt: cannot be decoded to its declared size";
        QTest::newRow("stored, bad CRC") << int(ZIP_CM_STORE) << 4000 << "crc" << crc;
        QTest::newRow("deflated, bad CRC") << int(ZIP_CM_DEFLATE) << 4000 << "crc" << crc;
        QTest::newRow("deflated large, bad CRC") << int(ZIP_CM_DEFLATE) << large << "crc" << crc;
        QTest::newRow("bzip2, bad CRC") << int(ZIP_CM_BZIP2) << 4000 << "crc" << crc;
        QTest::newRow("deflated, bad data") << int(ZIP_CM_DEFLATE) << 4000 << "data" << undecodable;
        QTest::newRow("deflated large, bad data") << int(ZIP_CM_DEFLATE) << large << "data" << undecodable;
        QTest::newRow("unknown method") << int(ZIP_CM_STORE) << 4000 << "method"
                                        << "skipped, unknown compression method";
        QTest::newRow("AES encrypted") << int(ZIP_CM_DEFLATE) << 4000 << "aes"
                                       << "skipped, needs a password";
        QTest::newRow("PKWARE encrypted") << int(ZIP_CM_DEFLATE) << 4000 << "pkware"
                                          << "skipped, needs a password";
        // A declared size is a limit: decoding stops at the first byte beyond it.
        QTest::newRow("stored, declares less") << int(ZIP_CM_STORE) << 4000 << "smaller"
                                               << "skipped, corrupt: stored sizes differ";
        QTest::newRow("deflated, declares less") << int(ZIP_CM_DEFLATE) << 4000 << "smaller" << undecodable;
        QTest::newRow("deflated large, declares less") << int(ZIP_CM_DEFLATE) << large << "smaller" << undecodable;
        QTest::newRow("bzip2, declares less") << int(ZIP_CM_BZIP2) << 70000 << "smaller"
                                              << "skipped, corrupt: more data than its declared size";
        QTest::newRow("bzip2, declares more") << int(ZIP_CM_BZIP2) << 4000 << "larger"
                                              << "skipped, corrupt: less data than its declared size";
    }
    void damagedMemberKeepsTheOldFile()
    {
        QFETCH(int, method);
        QFETCH(int, size);
        QFETCH(QString, damage);
        QFETCH(QString, reason);
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
        } else if (damage == "smaller") {
            declareSize(bytes, quint32(size / 2));
        } else if (damage == "larger") {
            declareSize(bytes, quint32(size * 2));
        }
        writeFile(archive, bytes);
        const QString game = target("damaged", {{"PMOSQ.TPC", "old"}});
        QVERIFY(unzip(archive, game) != 0);
        QCOMPARE(contents(game), (Files{{"PMOSQ.TPC", "old"}, {"good.txt", "good"}}));
        QCOMPARE(logOf("PMOSQ.TPC"), reason);
        QCOMPARE(logOf("good.txt"), QString("written as good.txt"));
    }

    // One member's bytes read under several names (a package built to fill the disk) or a
    // member hidden inside another: refused whole, before anything is written, as unzip does.
    void overlappingMembersAreRefusedWhole_data()
    {
        QTest::addColumn<int>("names");
        QTest::addColumn<bool>("nested");
        QTest::newRow("one member under two names") << 2 << false;
        QTest::newRow("one member under 65,535 names") << 65535 << false;
        QTest::newRow("a member inside another") << 2 << true;
    }
    void overlappingMembersAreRefusedWhole()
    {
        QFETCH(int, names);
        QFETCH(bool, nested);
        const QByteArray data = sample(100000, 'o');
        QByteArray local, central;
        if (nested) {
            const QByteArray inner = storedLocal("PINNER.TPC", data);
            local = storedLocal("POUTER.TPC", inner);
            central = storedCentral("POUTER.TPC", crc32(inner), inner.size(), 0) +
                      storedCentral("PINNER.TPC", crc32(data), data.size(), 30 + 10);
        } else {
            local = storedLocal("P00000.TPC", data);
            const quint32 crc = crc32(data);
            for (int i = 0; i < names; ++i)
                central += storedCentral(QString("P%1.TPC").arg(i, 5, 10, QChar('0')).toLatin1(), crc, data.size(), 0);
        }
        const QString archive = path("overlap.zip");
        writeFile(archive, local + central + endRecord(names, central.size(), local.size()));
        const QString game = target("overlap", {{"P00001.TPC", "old"}});
        QCOMPARE(unzip(archive, game), 2);
        QCOMPARE(contents(game), (Files{{"P00001.TPC", "old"}}));
        QCOMPARE(logOf(archive), QString("refused whole: members' data overlap"));
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
        const QString archive = path("cut.zip");
        makeZip(archive, {{"A.TXT", "first"},
                          {"PBIG.TPC", big, ZIP_CM_STORE},
                          {"PDEF.TPC", sample(300000, 'd')},
                          {"PBZ.TPC", sample(3000, 'z'), ZIP_CM_BZIP2}});
        const QString game = target("cut", {{"PBIG.TPC", "old"}});
        struct Cut
        {
            QByteArray file;
            int size;
            QStringList* lines;
        } cut{QFile::encodeName(archive), cutTo, &m_log};
        auto* setLogHook = reinterpret_cast<Wiz_SetLogHookFn*>(::dlsym(m_library, "Wiz_SetLogHook"));
        setLogHook(
            [](const char* line, void* context) {
                auto* c = static_cast<Cut*>(context);
                c->lines->append(QString::fromUtf8(line));
                if (c->lines->size() == 1 && ::truncate(c->file.constData(), c->size) != 0)
                    c->lines->append("cannot cut the package");
            },
            &cut);
        const int status = unzip(archive, game);
        setLogHook(&collectLine, &m_log);
        QCOMPARE(status, 1);
        QCOMPARE(contents(game), (Files{{"A.TXT", "first"}, {"PBIG.TPC", "old"}}));
        QCOMPARE(m_log.size(), 4);
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
        // A file-size limit fails writes the way a full disk does, and its signal, which would
        // end the program, is ignored by the library.
        const auto previousHandler = std::signal(SIGXFSZ, SIG_DFL);
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
        QVERIFY(logOf("PBUF.TPC").startsWith("skipped, write failed"));
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

    // Link members are not created; links on disk are replaced, never followed; read-only files
    // are replaced by files of the default mode; folders stay.
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
        QCOMPARE(contents(game), (Files{{"PMOSQ.TPC", "member"}, {"pgone.tpc", "member too"}, {"pro.tpc", "new"}}));
        QVERIFY(QFileInfo(game + "/pro.tpc").permissions().testFlag(QFile::WriteOwner));
        QCOMPARE(logOf("PLINK.TPC"), QString("skipped, a link"));
        QCOMPARE(logOf("PDIR.TPC"), QString("skipped, a folder has its name"));
        QVERIFY(!QFileInfo(game + "/PMOSQ.TPC").isSymLink() && !QFileInfo(game + "/pgone.tpc").isSymLink());
        QVERIFY(QFileInfo(game + "/PDIR.TPC").isDir());
        QCOMPARE(readFile(parent + "/outside.txt"), QByteArray("outside"));
        QVERIFY(!QFile::exists(parent + "/nowhere"));
    }

    // In the folder the program runs from, a package cannot replace the program, the library or
    // the settings: the next installation would run the package's code.
    void theProgramsOwnFilesAreNotReplaced_data()
    {
        QTest::addColumn<QString>("into");
        QTest::addColumn<bool>("protectedFolder");
        QTest::newRow("the library's folder") << "program" << true;
        QTest::newRow("the library's folder through a link") << "link" << true;
        QTest::newRow("another folder") << "game" << false;
    }
    void theProgramsOwnFilesAreNotReplaced()
    {
        QFETCH(QString, into);
        QFETCH(bool, protectedFolder);
        const QString root = path("own");
        QDir(root).removeRecursively();
        const QString program = target("own/program", {{"KVRSI.INI", "[Folders]"}, {"readme.txt", "read me"}});
        const QString game = target("own/game", {{"KVRSI.INI", "[Folders]"}, {"readme.txt", "read me"}});
        QVERIFY(QFile::link(program, root + "/link"));
        // A copy of the library of its own, loaded from the program folder as the program loads it.
        const QString library = program + "/libunzip32.so";
        QVERIFY(QFile::copy(KVR_UNZIP32_LIBRARY, library));
        const QByteArray libraryBytes = readFile(library);
        void* handle = ::dlopen(QFile::encodeName(library).constData(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(handle, ::dlerror());
        auto* entry = reinterpret_cast<Wiz_SingleEntryUnzipFn*>(::dlsym(handle, "Wiz_SingleEntryUnzip"));
        const QString archive = path("own.zip");
        makeZip(archive, {{"kvrsi", "#!/bin/sh\n"},
                          {"sub/LibUnzip32.SO", "not a library"},
                          {"kvrsi.ini", "[Folders]\r\nKVRInstallationFolder=/\r\n"},
                          {"README.TXT", "replaced"},
                          {"PMOSQ.TPC", "skin"}});
        QByteArray zipName = QFile::encodeName(archive), folder = QFile::encodeName(root + '/' + into);
        kvr::ProgramCall call(zipName.data(), folder.data());
        USERFUNCTIONS callbacks{};
        const int status = call.call(entry, &callbacks);
        ::dlclose(handle);
        const QString landed = into == "game" ? game : program;
        QCOMPARE(status, protectedFolder ? 1 : 0);
        QCOMPARE(readFile(landed + "/PMOSQ.TPC"), QByteArray("skin"));
        QCOMPARE(readFile(landed + "/KVRSI.INI"),
                 protectedFolder ? QByteArray("[Folders]") : QByteArray("[Folders]\r\nKVRInstallationFolder=/\r\n"));
        QCOMPARE(readFile(landed + "/readme.txt"), protectedFolder ? QByteArray("read me") : QByteArray("replaced"));
        QCOMPARE(QFile::exists(landed + "/kvrsi"), !protectedFolder);
        QCOMPARE(readFile(library), libraryBytes);
        QCOMPARE(QFile::exists(game + "/LibUnzip32.SO"), !protectedFolder);
    }

    // Without unnamed temporary files (some file systems lack them) members go through hidden
    // names; whatever happens to a member, none of those names stays behind.
    void hiddenTemporariesNeverStay_data()
    {
        QTest::addColumn<bool>("limitSize");
        QTest::newRow("writes succeed") << false;
        QTest::newRow("writes fail") << true;
    }
    void hiddenTemporariesNeverStay()
    {
        QFETCH(bool, limitSize);
        const QString archive = path("hidden.zip");
        makeZip(archive, {{"PNEW.TPC", sample(300000, 'n')},
                          {"POLD.TPC", sample(300000, 'o'), ZIP_CM_STORE},
                          {"PBZ.TPC", sample(300000, 'b'), ZIP_CM_BZIP2},
                          {"PMAP.TPC", sample(6 << 20, 'm')},
                          {"small.txt", "fits"}});
        QByteArray bytes = readFile(path("hidden.zip"));
        const QString game = target("hidden", {{"POLD.TPC", "old"}, {"pmap.tpc", "old"}});
        auto* forceHidden =
            reinterpret_cast<Wiz_ForceHiddenTemporariesFn*>(::dlsym(m_library, "Wiz_ForceHiddenTemporaries"));
        QVERIFY(forceHidden);
        forceHidden(1);
        rlimit previous, limit;
        ::getrlimit(RLIMIT_FSIZE, &previous);
        limit = {100000, previous.rlim_max};
        if (limitSize)
            ::setrlimit(RLIMIT_FSIZE, &limit);
        const int status = unzip(archive, game);
        ::setrlimit(RLIMIT_FSIZE, &previous);
        forceHidden(0);
        QCOMPARE(status, limitSize ? 1 : 0);
        const Files expected = limitSize ? Files{{"POLD.TPC", "old"}, {"pmap.tpc", "old"}, {"small.txt", "fits"}}
                                         : Files{{"PNEW.TPC", sample(300000, 'n')},
                                                 {"POLD.TPC", sample(300000, 'o')},
                                                 {"PBZ.TPC", sample(300000, 'b')},
                                                 {"pmap.tpc", sample(6 << 20, 'm')},
                                                 {"small.txt", "fits"}};
        QCOMPARE(contents(game), expected);
    }

    // The program passes the library's diagnostics on as lines of its extraction category, and
    // only when that category is on.
    void skippedMembersAreLoggedWhenAsked()
    {
        kvrtest::Workspace ws;
        const QString package = ws.skinsFolder() + "/MOSQ_Log.zip";
        makeZip(package, {{"PMOSQ.BMP", sample(3000, 'l'), ZIP_CM_BZIP2}, {"PMOSQ.TPC", "skin"}});
        QByteArray bytes = readFile(package);
        declareSize(bytes, 1);
        writeFile(package, bytes);
        static QStringList lines;
        lines.clear();
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& text) {
                if (QByteArray(context.category) == "kvr.extract")
                    lines.append(text);
            });
        kvr::Modulo::Unzip(package, ws.gameFolder());
        QVERIFY(lines.isEmpty());
        QLoggingCategory::setFilterRules("kvr.extract=true");
        kvr::Modulo::Unzip(package, ws.gameFolder());
        QLoggingCategory::setFilterRules({});
        qInstallMessageHandler(previous);
        QCOMPARE(lines.value(0), QString("PMOSQ.BMP: skipped, corrupt: more data than its declared size"));
        QCOMPARE(lines.value(1), QString("PMOSQ.TPC: written as PMOSQ.TPC"));
        QVERIFY2(lines.value(2).endsWith("status 1 (not acted on)"), qPrintable(lines.value(2)));
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
