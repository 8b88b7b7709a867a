// Archives imported as packages, and the skins folder's report of what it holds and how each slot stands.
#include "installer/importer.h"
#include "installer/skinsreport.h"

#include "loadoutsupport.h"
#include "zipbytes.h"

#include "app/filelist.h"

#include <QStandardPaths>

#include <clocale>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <utime.h>

using namespace Qt::StringLiterals;
using kvrtest::zipMembers;

namespace {

bool run(const QString& program, const QStringList& arguments, const QString& folder)
{
    return kvrtest::runTool(program, arguments, QProcessEnvironment::systemEnvironment(), folder).exitCode == 0;
}

// A download's files in a folder of their own: the skin's files, a picture and a note.
const QList<kvr::ZipMember> kDownload{{"Desert/PSP2A.TPC", QByteArray(3000, 'a')},
                                      {"Desert/PSP2A_L.TPC", "wing"},
                                      {"Desert/shot.png", "\x89PNG picture"},
                                      {"Desert/readme.txt", "Desert scheme by Jo"}};

// A tar member's header declaring `size` bytes, every field not named here empty; the data is up
// to the caller.
QByteArray tarHeader(const QByteArray& name, qint64 size)
{
    QByteArray h(512, '\0');
    h.replace(0, name.size(), name);
    h.replace(124, 11, QByteArray::number(size, 8).rightJustified(11, '0'));
    h[156] = '0';
    h.replace(148, 8, QByteArray(8, ' '));
    int sum = 0;
    for (char c : h)
        sum += static_cast<unsigned char>(c);
    h.replace(148, 6, QByteArray::number(sum, 8).rightJustified(6, '0'));
    return h;
}

// A tar of `count` empty members, or of one member declaring `size` bytes whose data is cut off.
QByteArray tarOf(int count, qint64 size)
{
    QByteArray tar;
    for (int i = 0; i < count; ++i)
        tar += tarHeader("PSP2A_" + QByteArray::number(i) + ".TPC", 0);
    if (size > 0)
        tar += tarHeader("PSP2A.TPC", size) + QByteArray(4096, 'x');
    return tar + QByteArray(1024, '\0');
}

// A scratch folder with an empty skins folder and game folder side by side in it, and a cancel
// flag never raised.
struct Scratch
{
    QTemporaryDir dir;
    QString skins = dir.filePath(u"skins"_s), game = dir.filePath(u"game"_s);
    bool made = QDir().mkpath(skins) && QDir().mkpath(game);
    std::atomic<bool> cancel{false};
    QString path(const QString& name) const { return dir.filePath(name); }
    // What the check says of MOSQ's Sqn105 there.
    QString state() const { return kvr::installedState(skins, game, u"MOSQ"_s, u"Sqn105"_s).state; }
};

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
        QTest::newRow("file name") << u"sp2a_Desert.7z"_s << QStringList({u"PMOSQ.TPC"_s}) << u"SP2A"_s
                                   << QStringList();
        QTest::newRow("members, any case, in folders")
            << u"spitfire_desert_v2.zip"_s << QStringList({u"x/psp2a.tpc"_s, u"x\\PSP2A_L.TPC"_s, u"readme.txt"_s})
            << u"SP2A"_s << QStringList({u"SP2A"_s});
        QTest::newRow("code without underscore is not a file-name match")
            << u"HURRICANE.zip"_s << QStringList({u"PMOSQ.TPC"_s}) << u"MOSQ"_s << QStringList({u"MOSQ"_s});
        QTest::newRow("ambiguous, most members first")
            << u"pack.zip"_s << QStringList({u"PHURR.TPC"_s, u"PMOSQ.TPC"_s, u"PMOSQ_2.TPC"_s}) << u""_s
            << QStringList({u"MOSQ"_s, u"HURR"_s});
        QTest::newRow("none") << u"pack.zip"_s << QStringList({u"readme.txt"_s, u"P.TPC"_s, u"PXXXX.TPC"_s}) << u""_s
                              << QStringList();
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
        QCOMPARE(kvr::defaultSkinName(u"SP2A_Desert v2.tar.gz"_s), u"Desert v2"_s);
    }

    void names_data()
    {
        QTest::addColumn<QString>("skin");
        QTest::addColumn<bool>("fine");
        QTest::newRow("plain") << QString::fromUtf8("Désert été") << true;
        QTest::newRow("one character makes nine") << u"D"_s << true;
        QTest::newRow("slash") << u"a/b"_s << false;
        QTest::newRow("backslash") << u"a\\b"_s << false;
        QTest::newRow("control character") << u"a\tb"_s << false;
        QTest::newRow("reserved") << u"(Default)"_s << false;
        QTest::newRow("too long") << QString(300, u'x') << false;
    }
    void names()
    {
        QFETCH(QString, skin);
        QFETCH(bool, fine);
        QCOMPARE(kvr::skinNameProblem(u"SP2A"_s, skin).isEmpty(), fine);
    }

    // A .7z, a .tar.gz and a misnamed .zip made here become packages with their previews; RAR
    // has no free tool to make one, so it is not tried.
    void repackAndCopy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("7z") << u"7z"_s;
        QTest::newRow("tar.gz") << u"tar.gz"_s;
        QTest::newRow("ZIP") << u"ZIP"_s; // a ZIP in any case is copied as it stands
    }
    void repackAndCopy()
    {
        QFETCH(QString, kind);
        Scratch s;
        const QString skins = s.skins, archive = s.path(u"spitfire_desert_v2."_s + kind);
        for (const kvr::ZipMember& file : kDownload)
            QVERIFY(kvrtest::writeFile(s.path(QString::fromUtf8(file.name)), file.data));
        if (kind == u"7z"_s) {
            if (QStandardPaths::findExecutable(u"7z"_s).isEmpty())
                QSKIP("7z (p7zip-full) is not installed");
            QVERIFY(run(u"7z"_s, {u"a"_s, u"-bd"_s, archive, u"Desert"_s}, s.dir.path()));
        } else {
            QVERIFY(kind == u"ZIP"_s ? kvr::writeZip(archive, kDownload)
                                     : run(u"tar"_s, {u"czf"_s, archive, u"Desert"_s}, s.dir.path()));
        }
        const kvr::ArchiveListing listing = kvr::listArchive(archive);
        QCOMPARE(kvr::inferSlot(QFileInfo(archive).fileName(), listing.members).code, u"SP2A"_s);

        double mostProgress = 0;
        const kvr::ImportResult r =
            kvr::importPackage({archive, u"SP2A"_s, u"Desert v2"_s, false}, skins, s.cancel,
                               [&mostProgress](double f) { mostProgress = std::max(mostProgress, f); });
        QVERIFY(mostProgress <= 1.0);
        QVERIFY2(r.imported, qPrintable(r.problem));
        QCOMPARE(r.package, u"SP2A_Desert v2.zip"_s);
        QCOMPARE(kvrtest::filesIn(skins),
                 QStringList({u"Desert v2.jpg"_s, u"Desert v2.txt"_s, u"SP2A_Desert v2.zip"_s}));
        QCOMPARE(zipMembers(skins + u"/SP2A_Desert v2.zip"_s),
                 QStringList(
                     {u"Desert/PSP2A.TPC"_s, u"Desert/PSP2A_L.TPC"_s, u"Desert/readme.txt"_s, u"Desert/shot.png"_s}));
        QCOMPARE(kvrtest::readFile(skins + u"/Desert v2.jpg"_s), QByteArray("\x89PNG picture"));
        if (kind == u"ZIP"_s)
            QCOMPARE(kvrtest::readFile(skins + u"/SP2A_Desert v2.zip"_s), kvrtest::readFile(archive));

        // A second import of the same name: kept both, and the preview and note already there stay.
        QVERIFY(kvrtest::writeFile(skins + u"/Desert v2 (2).txt"_s, "mine"_ba));
        const QString second = kvr::keepBothName(skins, u"SP2A"_s, u"desert V2"_s);
        QCOMPARE(second, u"desert V2 (2)"_s);
        const kvr::ImportResult r2 =
            kvr::importPackage({archive, u"SP2A"_s, u"Desert v2 (2)"_s, false}, skins, s.cancel);
        QVERIFY(r2.imported && r2.preview && !r2.note);
        QCOMPARE(kvrtest::readFile(skins + u"/Desert v2 (2).txt"_s), QByteArray("mine"));
        // Replacing keeps the name on disk, whatever its case.
        const kvr::ImportResult r3 = kvr::importPackage({archive, u"SP2A"_s, u"DESERT V2"_s, true}, skins, s.cancel);
        QCOMPARE(r3.package, u"SP2A_Desert v2.zip"_s);
        QCOMPARE(kvrtest::filesIn(skins).size(), 6); // two packages, two pictures, two notes
    }

    // Every name an import gives a file may hold a link; it is replaced, never written through.
    void linksAtImportNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("link");
        for (const QString& name : {u"SP2A_Desert.zip"_s, u"Desert.jpg"_s, u"Desert.txt"_s})
            for (const QString& link : {u"dangling"_s, u"file"_s, u"folder"_s})
                QTest::newRow(qPrintable(name + u", link to "_s + link)) << name << link;
    }
    void linksAtImportNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, link);
        Scratch s;
        const QString skins = s.skins, outside = s.path(u"autostart"_s), archive = s.path(u"desert.zip"_s);
        QVERIFY(kvr::writeZip(archive, {{"PSP2A.TPC", "body"}, {"shot.jpg", "picture"}, {"readme.txt", "note"}}));
        QVERIFY(kvrtest::plantLink(skins + u'/' + name, link, outside));
        const kvr::ImportResult r = kvr::importPackage({archive, u"SP2A"_s, u"Desert"_s, true}, skins, s.cancel);
        QVERIFY2(r.imported && r.preview && r.note, qPrintable(r.problem));
        QVERIFY(kvrtest::outsideUntouched(outside));
        QCOMPARE(kvrtest::filesIn(skins), QStringList({u"Desert.jpg"_s, u"Desert.txt"_s, u"SP2A_Desert.zip"_s}));
    }

    // What the import refuses it names with the reason, and leaves nothing in the skins folder. A
    // cancel is seen at the next block, also inside one big member, while listing and importing.
    void refused_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty tar") << u"empty.tar"_s << QByteArray(10240, '\0') << u"is empty"_s;
        // Each member counts its header too.
        QTest::newRow("a member and its header over the cap")
            << u"huge.tar"_s << tarOf(0, (qint64(1) << 30) - 100) << u"too large"_s;
        QTest::newRow("too many members") << u"many.tar"_s << tarOf(65536, 0) << u"too many files"_s;
        // Judged by the extraction library's rules (all of them pinned by its own tests) once read.
        QTest::newRow("a tar named .zip") << u"SP2A_tar.zip"_s << tarOf(1, 0) << u"refused: The package is not a ZIP"_s;
        // Unreadable: any reason will do, as long as one is given.
        QTemporaryDir dir;
        QVERIFY(kvr::writeZip(dir.filePath(u"good.zip"_s), {{"PSP2A.TPC", QByteArray(200000, 'x'), ZIP_CM_STORE}}));
        QTest::newRow("a ZIP cut short") << u"cut.zip"_s << kvrtest::readFile(dir.filePath(u"good.zip"_s)).left(100000)
                                         << QString();
        QTest::newRow("not an archive") << u"junk.7z"_s << "not an archive at all"_ba << QString();
        QVERIFY(kvrtest::writeFile(dir.filePath(u"PSP2A.TPC"_s), QByteArray(20 << 20, '\0')));
        QVERIFY(run(u"tar"_s, {u"czf"_s, u"big.tar.gz"_s, u"PSP2A.TPC"_s}, dir.path()));
        QVERIFY(kvr::writeZip(dir.filePath(u"big.zip"_s), {{"PSP2A.TPC", QByteArray(20 << 20, '\0')}}));
        for (const QString& big : {u"big.tar.gz"_s, u"big.zip"_s})
            QTest::newRow(qPrintable(u"cancelled, "_s + big))
                << big << kvrtest::readFile(dir.filePath(big)) << u"cancelled"_s;
    }
    void refused()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        Scratch s;
        const QString archive = s.path(fileName);
        QVERIFY(kvrtest::writeFile(archive, content));
        int callsAfterCancel = 0;
        const auto progress = [&, cancelling = reason == u"cancelled"_s](double) {
            callsAfterCancel += cancelling && s.cancel.exchange(true) ? 1 : 0;
        };
        // The caps are known from the listing already; the library's rules need the package whole.
        const kvr::ArchiveListing listing = kvr::listArchive(archive, s.cancel, progress);
        QCOMPARE(listing.readable, reason.startsWith(u"refused"_s));
        QVERIFY2(listing.readable || listing.problem.contains(reason), qPrintable(listing.problem));
        s.cancel = false;
        const kvr::ImportResult r =
            kvr::importPackage({archive, u"SP2A"_s, u"Refused"_s, false}, s.skins, s.cancel, progress);
        QVERIFY(!r.imported && !r.problem.isEmpty());
        QVERIFY2(r.problem.contains(reason), qPrintable(r.problem));
        QCOMPARE(callsAfterCancel, 0);
        QCOMPARE(kvrtest::filesIn(s.skins), QStringList());
    }

    // Names the locale cannot spell are repacked as they are, never a crash; a skins folder the
    // player reaches through a link of their own is written all the same (the modes a package gets
    // are the file primitive's).
    void namesBeyondTheLocaleIntoALinkedFolder()
    {
        Scratch s;
        const QString archive = s.path(u"d.tar.gz"_s), via = s.path(u"skins link"_s);
        QVERIFY(kvrtest::writeFile(s.path(u"Désert/PSP2A_é.TPC"_s), "x"_ba));
        QVERIFY(run(u"tar"_s, {u"czf"_s, archive, u"Désert"_s}, s.dir.path()));
        QVERIFY(QFile::link(s.skins, via));
        const QByteArray before = ::setlocale(LC_CTYPE, nullptr);
        ::setlocale(LC_CTYPE, "C");
        const kvr::ImportResult r = kvr::importPackage({archive, u"SP2A"_s, u"D1"_s, false}, via, s.cancel);
        ::setlocale(LC_CTYPE, before.constData());
        QVERIFY2(r.imported, qPrintable(r.problem));
        QCOMPARE(zipMembers(s.skins + u"/SP2A_D1.zip"_s), QStringList({u"Désert/PSP2A_é.TPC"_s}));
    }

    // The temporaries a killed import left go at the start and are never listed; a running
    // import's (newer than this run) stay.
    void leftovers()
    {
        QTemporaryDir dir;
        const QStringList old = {u".kvrsi-import-1a2b.zip"_s, u".kvrsi-import-3c4d.zip.AbC123"_s, u"SP2A_Kept.zip"_s};
        for (const QString& name : old + QStringList{u".kvrsi-import-5e6f.zip"_s})
            QVERIFY(kvrtest::writeFile(dir.filePath(name), "x"_ba));
        const auto touch = [&](const QString& name, std::time_t from) {
            const utimbuf times{0, std::time(nullptr) + from};
            return ::utime(QFile::encodeName(dir.filePath(name)).constData(), &times) == 0;
        };
        for (const QString& name : old)
            QVERIFY(touch(name, -3600));
        QVERIFY(touch(u".kvrsi-import-5e6f.zip"_s, 3600));
        QCOMPARE(kvr::listFiles(dir.path(), u"*.*"_s), QStringList({u"SP2A_Kept.zip"_s}));
        kvr::removeImportLeftovers(dir.path());
        QCOMPARE(kvrtest::filesIn(dir.path()), QStringList({u".kvrsi-import-5e6f.zip"_s, u"SP2A_Kept.zip"_s}));
    }

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

    // A file of the member's size still carrying the whole second unpacking gave it is trusted
    // unread; any other time has it read and compared. A member's name is found on disk as
    // written, else in another letter case: the first such name in byte order, whatever order the
    // folder lists them in. A package whose central record libzip refuses, or names by a field of
    // its own, is not read in its place: the check says what libzip says, whatever its words.
    void installedStateOfOneMember_data()
    {
        QTest::addColumn<QByteArray>("member");  // holding "body", packed at 1600000000
        QTest::addColumn<QByteArray>("field");   // its extra field's body, if any
        QTest::addColumn<QStringList>("onDisk"); // "name=bytes"
        QTest::addColumn<qint64>("seconds");     // their time; 0: as written now
        QTest::addColumn<long>("fraction");
        QTest::addColumn<QString>("state"); // how the state starts
        QTest::addColumn<int>("at");        // bytes put over the central record, or its extra field, there
        QTest::addColumn<bool>("inField");
        QTest::addColumn<QByteArray>("bytes");
        constexpr qint64 packed = 1600000000, stamped = 1600000123;
        const QString differs = u"1 file differs"_s, installed = u"as installed"_s;
        const auto row = [](const char* name, const QByteArray& member, const QByteArray& field,
                            const QStringList& onDisk, qint64 seconds, long fraction, const QString& state, int at = -1,
                            bool inField = false, const QByteArray& bytes = {}) {
            QTest::newRow(name) << member << field << onDisk << seconds << fraction << state << at << inField << bytes;
        };
        const QByteArray time("\x01\x7b\x10\x5e\x5f", 5); // 1600000123
        const QStringList big{u"PMOSQ.TPC=BODY"_s}, other{u"PMOSQ.TPC=body!"_s}, body{u"PMOSQ.TPC=body"_s};
        row("size and time kept", "PMOSQ.TPC", {}, big, packed, 0, installed);
        row("written since, within the second", "PMOSQ.TPC", {}, big, packed, 5, differs);
        row("other time, other bytes", "PMOSQ.TPC", {}, big, packed + 2, 0, differs);
        row("other size", "PMOSQ.TPC", {}, other, packed, 0, differs);
        row("extended time kept", "PMOSQ.TPC", time, big, stamped, 0, installed);
        row("DOS time under an extended one", "PMOSQ.TPC", time, big, packed, 0, differs);
        const QStringList lowerHolds{u"PMOSQ.TPC=else"_s, u"pmosq.tpc=body"_s};
        const QStringList upperHolds{u"PMOSQ.TPC=body"_s, u"pmosq.tpc=else"_s};
        row("as written", "pmosq.tpc", {}, lowerHolds, 0, 0, installed);
        row("first in byte order, other bytes", "Pmosq.Tpc", {}, lowerHolds, 0, 0, differs);
        row("first in byte order", "Pmosq.Tpc", {}, upperHolds, 0, 0, installed);
        const QString refused = u"package not readable: "_s;
        row("a ZIP64 size with no ZIP64 field", "PMOSQ.TPC", time, body, 0, 0, refused, 24, false, "\xff\xff\xff\xff");
        row("the AES method with no AES field", "PMOSQ.TPC", time, body, 0, 0, refused, 10, false, "\x63\x00"_ba);
        row("an extra field running past its record", "PMOSQ.TPC", time, body, 0, 0, refused, 2, true, "\x06\x00"_ba);
        const QByteArray unicodePath = '\x01' + kvrtest::le32(kvrtest::crc32Of("PMOSQ.TPC")) + "PMOSQ_X.TPC";
        row("a Unicode name for the stored one", "PMOSQ.TPC", unicodePath, body, 0, 0, u"1 file missing"_s, 0, true,
            "up");
    }
    void installedStateOfOneMember()
    {
        QFETCH(QByteArray, member);
        QFETCH(QByteArray, field);
        QFETCH(QStringList, onDisk);
        QFETCH(qint64, seconds);
        QFETCH(long, fraction);
        QFETCH(QString, state);
        QFETCH(int, at);
        QFETCH(bool, inField);
        QFETCH(QByteArray, bytes);
        Scratch f;
        kvr::ZipMember packed(member, "body", ZIP_CM_STORE, 1600000000);
        packed.extendedTime = field;
        const QString package = f.skins + u"/MOSQ_Sqn105.zip"_s;
        QVERIFY(kvr::writeZip(package, {packed}));
        for (const QString& file : onDisk) {
            const QString path = f.game + u'/' + file.section(u'=', 0, 0);
            QVERIFY(kvrtest::writeFile(path, file.section(u'=', 1).toUtf8()));
            const timespec times[2] = {{seconds, fraction}, {seconds, fraction}};
            QVERIFY(seconds == 0 || ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
        }
        if (at >= 0) {
            QByteArray zip = kvrtest::readFile(package);
            const qsizetype record = zip.indexOf("PK\1\2");
            const qsizetype extra = zip.indexOf("UT", record + 46);
            QVERIFY(record > 0 && extra > record);
            zip.replace((inField ? extra : record) + at, bytes.size(), bytes);
            QVERIFY(kvrtest::writeFile(package, zip));
        }
        QVERIFY2(f.state().startsWith(state), qPrintable(f.state()));
    }

    // What the check says of a slot's files, when it cannot compare, and that it looks at nothing
    // it was not given.
    void installedStateOfASlot_data()
    {
        QTest::addColumn<QString>("skin");
        QTest::addColumn<bool>("skinsSet");
        QTest::addColumn<bool>("gameSet");
        QTest::addColumn<bool>("stopped");
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("reinstallable");
        QTest::newRow("the skin in another case") << u"sqn105"_s << true << true << false << u"as installed"_s << true;
        QTest::newRow("found in any case, differing and missing")
            << u"Marks"_s << true << true << false << u"1 file differs, 2 files missing"_s << true;
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
    void installedStateOfASlot()
    {
        QFETCH(QString, skin);
        QFETCH(bool, skinsSet);
        QFETCH(bool, gameSet);
        QFETCH(bool, stopped);
        Scratch f;
        QVERIFY(kvr::writeZip(f.skins + u"/MOSQ_Sqn105.zip"_s, {{"PMOSQ.TPC", "body"}}));
        QVERIFY(kvrtest::writeFile(f.game + u"/PMOSQ.TPC"_s, "body"_ba));
        QVERIFY(kvrtest::writeFile(f.skins + u"/MOSQ_Garbage.zip"_s, "not a zip"_ba));
        QVERIFY(kvr::writeZip(f.skins + u"/MOSQ_Twice.zip"_s, {{"PMOSQ.TPC", "old!"}, {"b/pmosq.tpc", "body"}}));
        QCOMPARE(::mkfifo(QFile::encodeName(f.skins + u"/MOSQ_Pipe.zip"_s).constData(), 0600), 0);
        // One name in a folder, with marks a pattern would read and a letter of two bytes in its case.
        QVERIFY(kvr::writeZip(f.skins + u"/MOSQ_Marks.zip"_s, {{"x/PMOSQ[@Z]_\xc3\x89.TPC", "body"},
                                                               {"PMOSQ_L.TPC", "wing"},
                                                               {"PMOSQ.3DZ", "model"},
                                                               {"PMOSQ_M.TPC", "m"}}));
        QVERIFY(kvrtest::writeFile(f.game + u"/pmosq[@z]_\u00e9.tpc"_s, "body"_ba)); // as the platform finds it
        QVERIFY(kvrtest::writeFile(f.game + u"/PMOSQ_L.TPC"_s, "WING"_ba));          // same size, other CRC
        const std::atomic_bool stop = stopped;
        const kvr::SlotState state =
            kvr::installedState(skinsSet ? f.skins : QString(), gameSet ? f.game : QString(), u"MOSQ"_s, skin, stop);
        QTEST(state.state, "state");
        QTEST(state.reinstallable, "reinstallable");
    }
};

QTEST_GUILESS_MAIN(TestImport)
#include "test_import.moc"
