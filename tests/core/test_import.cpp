#include "installer/importer.h"

#include "loadoutsupport.h"

#include "app/filelist.h"

#include <QStandardPaths>

#include <clocale>
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
    auto octal = [&](int at, int width, qint64 value) {
        const QByteArray digits = QByteArray::number(value, 8).rightJustified(width - 1, '0');
        h.replace(at, digits.size(), digits);
    };
    octal(124, 12, size);
    h[156] = '0';
    h.replace(148, 8, QByteArray(8, ' '));
    int sum = 0;
    for (char c : h)
        sum += static_cast<unsigned char>(c);
    octal(148, 7, sum);
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

// A scratch folder with an empty skins folder in it, and a cancel flag never raised.
struct Scratch
{
    QTemporaryDir dir;
    QString skins = dir.filePath(u"skins"_s);
    bool made = QDir().mkpath(skins);
    std::atomic<bool> cancel{false};
    QString path(const QString& name) const { return dir.filePath(name); }
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
        QCOMPARE(kvr::defaultSkinName(u"spitfire_desert_v2.7z"_s), u"spitfire_desert_v2"_s);
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
        QVERIFY(!QFileInfo(skins + u'/' + name).isSymLink());
        QCOMPARE(kvrtest::filesIn(skins), QStringList({u"Desert.jpg"_s, u"Desert.txt"_s, u"SP2A_Desert.zip"_s}));
    }

    // What the import refuses it names with the reason, and leaves nothing in the skins folder.
    void refused_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty tar") << u"empty.tar"_s << QByteArray(10240, '\0') << u"is empty"_s;
        QTest::newRow("a member over the cap") << u"huge.tar"_s << tarOf(0, qint64(2) << 30) << u"too large"_s;
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
        QTest::newRow("missing") << u"missing.rar"_s << QByteArray() << QString();
    }
    void refused()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        Scratch s;
        const QString archive = s.path(fileName);
        QVERIFY(content.isNull() || kvrtest::writeFile(archive, content));
        // The caps are known from the listing already; the library's rules need the package whole.
        const kvr::ArchiveListing listing = kvr::listArchive(archive);
        QCOMPARE(listing.readable, reason.startsWith(u"refused"_s));
        QVERIFY2(listing.readable || listing.problem.contains(reason), qPrintable(listing.problem));
        const kvr::ImportResult r = kvr::importPackage({archive, u"SP2A"_s, u"Refused"_s, false}, s.skins, s.cancel);
        QVERIFY(!r.imported && !r.problem.isEmpty());
        QVERIFY2(r.problem.contains(reason), qPrintable(r.problem));
        QCOMPARE(kvrtest::filesIn(s.skins), QStringList());
    }

    // A cancel is seen at the next block, also inside one big member, while listing and importing.
    void cancelInsideAMember_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("listing");
        for (const bool listing : {true, false}) {
            QTest::newRow(listing ? "tar.gz, listing" : "tar.gz, import") << u"tar.gz"_s << listing;
            QTest::newRow(listing ? "zip, listing" : "zip, import") << u"zip"_s << listing;
        }
    }
    void cancelInsideAMember()
    {
        QFETCH(QString, kind);
        QFETCH(bool, listing);
        Scratch s;
        const QString skins = s.skins, archive = s.path(u"big."_s + kind);
        if (kind == u"zip"_s) {
            QVERIFY(kvr::writeZip(archive, {{"PSP2A.TPC", QByteArray(20 << 20, '\0')}}));
        } else {
            QVERIFY(kvrtest::writeFile(s.path(u"PSP2A.TPC"_s), QByteArray(20 << 20, '\0')));
            QVERIFY(run(u"tar"_s, {u"czf"_s, archive, u"PSP2A.TPC"_s}, s.dir.path()));
        }
        std::atomic<bool>& cancel = s.cancel;
        int callsAfterCancel = 0;
        const auto progress = [&](double) { callsAfterCancel += cancel.exchange(true) ? 1 : 0; };
        if (listing) {
            const kvr::ArchiveListing l = kvr::listArchive(archive, cancel, progress);
            QVERIFY(!l.readable);
            QCOMPARE(l.problem, u"cancelled"_s);
        } else {
            const kvr::ImportResult r =
                kvr::importPackage({archive, u"SP2A"_s, u"Big"_s, false}, skins, cancel, progress);
            QVERIFY(r.cancelled && !r.imported);
        }
        QCOMPARE(callsAfterCancel, 0);
        QCOMPARE(kvrtest::filesIn(skins), QStringList());
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
};

QTEST_GUILESS_MAIN(TestImport)
#include "test_import.moc"
