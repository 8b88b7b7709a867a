#include "installer/skinsreport.h"

#include "testsupport.h"
#include "zipbytes.h"
#include "zipwriter.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// A skins folder and a game folder side by side, and what the check says of MOSQ's Sqn105 there.
struct Folders
{
    QTemporaryDir dir;
    QString skins = dir.filePath(u"skins"_s), game = dir.filePath(u"game"_s);
    bool made = QDir().mkpath(skins) && QDir().mkpath(game);
    QString state() const { return kvr::installedState(skins, game, u"MOSQ"_s, u"Sqn105"_s).state; }
};

} // namespace

class TestReport : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // One planted file per reason, and good files beside them that must not be named.
    void everyProblemNamedOnce_data()
    {
        QTest::addColumn<QByteArray>("file");
        // "!": encrypted; "?": packed by a method the unpack cannot read; none: no ZIP
        QTest::addColumn<QStringList>("members");
        QTest::addColumn<QString>("reason");
        const QStringList good{u"PHURR.TPC"_s};
        const auto row = [](const char* name, const QByteArray& file, const QStringList& members,
                            const QString& reason) { QTest::newRow(name) << file << members << reason; };
        row("short name", "HURR.zip", good, u"shorter than nine characters"_s);
        row("no slot code", "XXXX_Desert.zip", good, u"does not start with one of the 30 slot codes"_s);
        row("no underscore: listed, but never installed", "HURRICANE.zip", good,
            u"Listed in the Hurricane_I slot as \"CANE\", but choosing it installs HURR_CANE.zip"_s);
        row("not a zip", "HURR_Desert.7z", {}, u"not a ZIP archive"_s);
        row("not readable", "HURR_Garbage.zip", {}, u"Not readable as a ZIP archive"_s);
        row("bad encoding", "HURR_D\xe9sert.zip", good, u"not valid in the file system's encoding"_s);
        row("no slot file", "HURR_Empty.zip", {u"readme/"_s}, u"Holds no PHURR file"_s);
        row("leftovers, each once, links skipped", "HURR_Readme.zip",
            {u"PHURR.TPC"_s, u"docs/readme.txt"_s, u"readme.txt"_s, u"@link"_s},
            u"no slot change removes again from the game folder: readme.txt."_s);
        row("other slot's files", "HURR_Twin.zip", {u"PHURR.TPC"_s, u"PMOSQ.TPC"_s},
            u"another slot's files, which installing it overwrites in that slot: PMOSQ.TPC"_s);
        row("encrypted", "HURR_Locked.zip", {u"PHURR.TPC"_s, u"!PHURR_L.TPC"_s},
            u"encrypted or damaged members, which installing skips: PHURR_L.TPC"_s);
        row("packed in an unknown way", "HURR_Imploded.zip", {u"PHURR.TPC"_s, u"?PHURR_L.TPC"_s},
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
        // A link to a package is the package (its picture needs no row); a dangling one is nothing.
        QVERIFY(QFile::link(u"HURR_Good.zip"_s, skins + u"/HURR_Alias.zip"_s));
        QVERIFY(kvrtest::writeFile(skins + u"/Alias.jpg"_s, "picture"_ba));
        QVERIFY(QFile::link(u"Gone.jpg"_s, skins + u"/Dangling.jpg"_s));

        QList<kvr::ZipMember> zip;
        for (const QString& name : members) {
            const QChar mark = u"!@?"_s.contains(name.front()) ? name.front() : QChar();
            // "@": a symbolic link, which the installation never makes
            zip.append({name.sliced(mark.isNull() ? 0 : 1).toUtf8(), name.endsWith(u'/') ? "" : "skin",
                        mark == u'?' ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0, mark == u'@' ? S_IFLNK | 0777u : 0u});
            if (mark == u'!')
                zip.last().encryption = ZIP_EM_AES_256;
        }
        // Made under a plain name and renamed: a name that is not UTF-8 can only be made with its raw bytes.
        const QString made = skins + u"/plain.tmp"_s;
        QVERIFY(zip.isEmpty() ? kvrtest::writeFile(made, "not a zip"_ba) : kvr::writeZip(made, zip));
        if (members.value(members.size() - 1).startsWith(u'?')) { // method 6, imploding, in both headers
            QByteArray bytes = kvrtest::readFile(made);
            const qsizetype central = bytes.lastIndexOf("PK\1\2");
            for (const qsizetype at : {bytes.lastIndexOf("PK\3\4", central) + 8, central + 10})
                bytes[at] = 6;
            QVERIFY(kvrtest::writeFile(made, bytes));
        }
        QCOMPARE(::rename(QFile::encodeName(made).constData(), QByteArray(skins.toUtf8() + '/' + file).constData()), 0);

        const QList<kvr::ReportProblem> problems = kvr::skinsFolderProblems(skins);
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0].reason.contains(reason), qPrintable(problems[0].reason));
        const std::atomic_bool stop = true; // a check called off names nothing
        QVERIFY(kvr::skinsFolderProblems(skins, stop).isEmpty());
    }

    void installedState()
    {
        Folders f;
        QVERIFY(f.made);
        // One name in a folder, with marks a pattern would read and a letter of two bytes in its case.
        QVERIFY(kvr::writeZip(f.skins + u"/MOSQ_Sqn105.zip"_s,
                              {{"x/PMOSQ[@Z]_\xc3\x89.TPC", "body"}, {"PMOSQ_L.TPC", "wing"}, {"PMOSQ.3DZ", "model"}}));
        const QString body = f.game + u"/pmosq[@z]_\u00e9.tpc"_s; // as the platform finds it: any case
        QVERIFY(kvrtest::writeFile(body, "body"_ba));
        QVERIFY(kvrtest::writeFile(f.game + u"/PMOSQ_L.TPC"_s, "wing"_ba));
        QVERIFY(kvrtest::writeFile(f.game + u"/PMOSQ.3DZ"_s, "model"_ba));
        QCOMPARE(f.state(), u"as installed"_s);
        QVERIFY(kvr::installedState(f.skins, f.game, u"MOSQ"_s, u"sqn105"_s).asInstalled);
        QCOMPARE(kvr::installedState(f.skins, f.game + u"/gone"_s, u"MOSQ"_s, u"Sqn105"_s).state, u"3 files missing"_s);

        QVERIFY(kvrtest::writeFile(f.game + u"/PMOSQ_L.TPC"_s, "WING"_ba)); // same size, other CRC
        QFile::remove(f.game + u"/PMOSQ.3DZ"_s);
        QFile::remove(body);
        QCOMPARE(f.state(), u"1 file differs, 2 files missing"_s);
    }

    // A file of the member's size still carrying the whole second unpacking gave it is trusted
    // unread; any other time has it read and compared. A member's name is found on disk as
    // written, else in another letter case: the first such name in byte order, whatever order the
    // folder lists them in.
    void installedStateOfOneMember_data()
    {
        QTest::addColumn<QByteArray>("member");  // holding "body", packed at 1600000000
        QTest::addColumn<bool>("extended");      // with an extended time of 1600000123
        QTest::addColumn<QStringList>("onDisk"); // "name=bytes"
        QTest::addColumn<qint64>("seconds");     // their time; 0: as written now
        QTest::addColumn<long>("fraction");
        QTest::addColumn<QString>("state");
        constexpr qint64 packed = 1600000000, stamped = 1600000123;
        const QString differs = u"1 file differs"_s, installed = u"as installed"_s;
        const auto row = [](const char* name, const QByteArray& member, bool extended, const QStringList& onDisk,
                            qint64 seconds, long fraction, const QString& state) {
            QTest::newRow(name) << member << extended << onDisk << seconds << fraction << state;
        };
        const QStringList big{u"PMOSQ.TPC=BODY"_s}, other{u"PMOSQ.TPC=body!"_s};
        row("size and time kept", "PMOSQ.TPC", false, big, packed, 0, installed);
        row("written since, within the second", "PMOSQ.TPC", false, big, packed, 5, differs);
        row("other time, other bytes", "PMOSQ.TPC", false, big, packed + 2, 0, differs);
        row("other size", "PMOSQ.TPC", false, other, packed, 0, differs);
        row("extended time kept", "PMOSQ.TPC", true, big, stamped, 0, installed);
        row("DOS time under an extended one", "PMOSQ.TPC", true, big, packed, 0, differs);
        const QStringList lowerHolds{u"PMOSQ.TPC=else"_s, u"pmosq.tpc=body"_s};
        const QStringList upperHolds{u"PMOSQ.TPC=body"_s, u"pmosq.tpc=else"_s};
        row("as written", "pmosq.tpc", false, lowerHolds, 0, 0, installed);
        row("as written, other bytes", "PMOSQ.TPC", false, lowerHolds, 0, 0, differs);
        row("first in byte order, other bytes", "Pmosq.Tpc", false, lowerHolds, 0, 0, differs);
        row("first in byte order", "Pmosq.Tpc", false, upperHolds, 0, 0, installed);
    }
    void installedStateOfOneMember()
    {
        QFETCH(QByteArray, member);
        QFETCH(bool, extended);
        QFETCH(QStringList, onDisk);
        QFETCH(qint64, seconds);
        QFETCH(long, fraction);
        Folders f;
        QVERIFY(f.made);
        kvr::ZipMember packed(member, "body", ZIP_CM_STORE, 1600000000);
        if (extended)
            packed.extendedTime = QByteArray("\x01\x7b\x10\x5e\x5f", 5);
        QVERIFY(kvr::writeZip(f.skins + u"/MOSQ_Sqn105.zip"_s, {packed}));
        for (const QString& file : onDisk) {
            const QString path = f.game + u'/' + file.section(u'=', 0, 0);
            QVERIFY(kvrtest::writeFile(path, file.section(u'=', 1).toUtf8()));
            const timespec times[2] = {{seconds, fraction}, {seconds, fraction}};
            QVERIFY(seconds == 0 || ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
        }
        QTEST(f.state(), "state");
    }

    // A package whose central record libzip refuses, or names by a field of its own, is not read
    // in its place: the check says what libzip says, whatever its version's words for it.
    void installedStateOfRecordsLibzipReads_data()
    {
        QTest::addColumn<int>("at"); // in the central record, or from its extra field
        QTest::addColumn<bool>("inField");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("field"); // the extra field's body
        QTest::addColumn<QString>("state");    // how the state starts
        const QByteArray time("\x01\x7b\x10\x5e\x5f", 5);
        const QByteArray name = "PMOSQ.TPC";
        const QByteArray unicodePath = '\x01' + kvrtest::le32(kvrtest::crc32Of(name)) + "PMOSQ_X.TPC";
        const QString refused = u"package not readable: "_s;
        QTest::newRow("a ZIP64 size with no ZIP64 field") << 24 << false << "\xff\xff\xff\xff"_ba << time << refused;
        QTest::newRow("the AES method with no AES field") << 10 << false << "\x63\x00"_ba << time << refused;
        QTest::newRow("an extra field running past its record") << 2 << true << "\x06\x00"_ba << time << refused;
        QTest::newRow("a Unicode name for the stored one")
            << 0 << true << "up"_ba << unicodePath << u"1 file missing"_s;
    }
    void installedStateOfRecordsLibzipReads()
    {
        QFETCH(int, at);
        QFETCH(bool, inField);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, field);
        QFETCH(QString, state);
        Folders f;
        kvr::ZipMember member("PMOSQ.TPC", "body", ZIP_CM_STORE, 1600000000);
        member.extendedTime = field;
        const QString package = f.skins + u"/MOSQ_Sqn105.zip"_s;
        QVERIFY(f.made && kvr::writeZip(package, {member}));
        QVERIFY(kvrtest::writeFile(f.game + u"/PMOSQ.TPC"_s, "body"_ba));
        QByteArray zip = kvrtest::readFile(package);
        const qsizetype record = zip.indexOf("PK\1\2");
        const qsizetype extra = zip.indexOf("UT", record + 46);
        QVERIFY(record > 0 && extra > record);
        zip.replace((inField ? extra : record) + at, bytes.size(), bytes);
        QVERIFY(kvrtest::writeFile(package, zip));
        QVERIFY2(f.state().startsWith(state), qPrintable(f.state()));
    }

    // What the check says when it cannot compare, and that it looks at nothing it was not given.
    void installedStateCannotCompare_data()
    {
        QTest::addColumn<QString>("skin");
        QTest::addColumn<bool>("skinsSet");
        QTest::addColumn<bool>("gameSet");
        QTest::addColumn<bool>("stopped");
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("reinstallable");
        QTest::newRow("a later member of a name wins")
            << u"Twice"_s << true << true << false << u"as installed"_s << true;
        QTest::newRow("missing") << u"Gone"_s << true << true << false << u"package not found"_s << false;
        QTest::newRow("unreadable") << u"Garbage"_s << true << true << false
                                    << u"package not readable: Not a zip archive"_s << false;
        QTest::newRow("pipe") << u"Pipe"_s << true << true << false << u"package not readable: not a file"_s << false;
        QTest::newRow("no skins folder") << u"Sqn105"_s << false << true << false << u"skins folder not set"_s << false;
        QTest::newRow("no game folder, / not looked at")
            << u"Sqn105"_s << true << false << false << u"game folder not set"_s << false;
        QTest::newRow("called off") << u"Sqn105"_s << true << true << true << u"check stopped"_s << true;
    }
    void installedStateCannotCompare()
    {
        QFETCH(QString, skin);
        QFETCH(bool, skinsSet);
        QFETCH(bool, gameSet);
        QFETCH(bool, stopped);
        Folders f;
        QVERIFY(f.made);
        QVERIFY(kvr::writeZip(f.skins + u"/MOSQ_Sqn105.zip"_s, {{"PMOSQ.TPC", "body"}}));
        QVERIFY(kvrtest::writeFile(f.game + u"/PMOSQ.TPC"_s, "body"_ba));
        QVERIFY(kvrtest::writeFile(f.skins + u"/MOSQ_Garbage.zip"_s, "not a zip"_ba));
        QVERIFY(kvr::writeZip(f.skins + u"/MOSQ_Twice.zip"_s, {{"PMOSQ.TPC", "old!"}, {"b/pmosq.tpc", "body"}}));
        QCOMPARE(::mkfifo(QFile::encodeName(f.skins + u"/MOSQ_Pipe.zip"_s).constData(), 0600), 0);
        const std::atomic_bool stop = stopped;
        const kvr::SlotState state =
            kvr::installedState(skinsSet ? f.skins : QString(), gameSet ? f.game : QString(), u"MOSQ"_s, skin, stop);
        QTEST(state.state, "state");
        QTEST(state.reinstallable, "reinstallable");
    }
};

QTEST_GUILESS_MAIN(TestReport)
#include "test_report.moc"
