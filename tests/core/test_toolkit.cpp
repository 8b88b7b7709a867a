#include "app/filelist.h"
#include "app/toolkit.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using kvrtest::filesIn;
using kvrtest::writeFile;

class TestToolkit : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void wildcard_data();
    void wildcard();
    void usableFolder_data();
    void usableFolder();
    void deleteTakesEveryCaseAndOnlyFiles();
    void deleteReportsButGoesOn();
    void deleteNeverFollowsLinks();
    void fileListOrderAndFilter();
    void fileListOfMissingFolderIsEmpty();
    void readTextFile_data();
    void readTextFile();
    void readTextFileFindsTheNameAsThePlatformDoes();
    void errorStates();
};

void TestToolkit::wildcard_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("matches");
    QTest::newRow("star-dot-star takes names without a dot") << "*.*"
                                                             << "README" << true;
    QTest::newRow("slot pattern takes a bare name") << "PMOSQ*.*"
                                                    << "PMOSQ" << true;
    QTest::newRow("slot pattern any case") << "PMOSQ*.*"
                                           << "pmosq_body.Tpc" << true;
    QTest::newRow("slot pattern is a prefix") << "PMOSQ*.*"
                                              << "XPMOSQ.tpc" << false;
    QTest::newRow("other slot untouched") << "PMOSQ*.*"
                                          << "PHURR.tpc" << false;
    QTest::newRow("reset pattern") << "P*.TPC"
                                   << "phurr_wing.tpc" << true;
    QTest::newRow("reset pattern exact extension") << "P*.TPC"
                                                   << "PHURR.TPCX" << false;
    QTest::newRow("reset pattern needs the P") << "P*.3DZ"
                                               << "HURR.3dz" << false;
    QTest::newRow("zip any case") << "*.zip"
                                  << "hurr_night.ZIP" << true;
    QTest::newRow("zip not a middle extension") << "*.zip"
                                                << "a.zip.bak" << false;
    QTest::newRow("question mark is one character") << "?.zip"
                                                    << "ab.zip" << false;
    QTest::newRow("question mark") << "??.zip"
                                   << "ab.zip" << true;
    QTest::newRow("non-ASCII case") << "É*.txt"
                                    << "école.TXT" << true;
}

void TestToolkit::wildcard()
{
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(bool, matches);
    QCOMPARE(kvr::wildcardMatch(pattern, name), matches);
}

// {root} is a temporary folder holding "game", "ga\\me" and "ga/me", and a file "afile".
void TestToolkit::usableFolder_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected"); // "" when not usable
    QTest::newRow("absolute folder") << "{root}/game"
                                     << "{root}/game";
    QTest::newRow("trailing separator kept") << "{root}/game/"
                                             << "{root}/game/";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("relative: .") << "."
                                 << "";
    QTest::newRow("relative: ..") << ".."
                                  << "";
    QTest::newRow("relative name") << "game"
                                   << "";
    QTest::newRow("missing folder") << "{root}/gone"
                                    << "";
    QTest::newRow("a file") << "{root}/afile"
                            << "";
    QTest::newRow("backslash name that exists as written") << "{root}/ga\\me"
                                                           << "{root}/ga\\me";
    QTest::newRow("backslashes as separators") << "{root}\\game"
                                               << "{root}/game";
    QTest::newRow("backslash, only the slashed folder exists") << "{root}/ga\\me\\"
                                                               << "{root}/ga/me/";
    QTest::newRow("C:\\ is /") << "C:{root}\\game"
                               << "{root}/game";
    QTest::newRow("c: lower case") << "c:{root}/game"
                                   << "{root}/game";
    QTest::newRow("C: alone is the root") << "C:"
                                          << "/";
    QTest::newRow("C:\\ alone is the root") << "C:\\"
                                            << "/";
    QTest::newRow("other drives do not exist") << "D:\\"
                                               << "";
    QTest::newRow("C: then a relative path") << "C:game"
                                             << "";
    QTest::newRow("253 characters") << "{253}"
                                    << "{253}";
    QTest::newRow("254 characters may be cut") << "{254}"
                                               << "";
    QTest::newRow("cut on a separator: the parent") << "{parent254}"
                                                    << "";
    QTest::newRow("255 characters") << "{255}"
                                    << "";
}

void TestToolkit::usableFolder()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString root = dir.path();
    for (const char* folder : {"game", "ga\\me", "ga/me"})
        QVERIFY(QDir(root).mkpath(QString::fromLatin1(folder)));
    writeFile(root + QStringLiteral("/afile"), "x");
    const auto ofLength = [&root](qsizetype length) {
        QString path = root + QStringLiteral("/long");
        while (path.size() < length)
            path += QLatin1Char('/') + QString(std::min<qsizetype>(length - path.size() - 1, 200), QLatin1Char('d'));
        QDir().mkpath(path);
        return path;
    };
    const auto expand = [&](QString text) {
        for (const qsizetype length : {253, 254, 255})
            text.replace(QStringLiteral("{%1}").arg(length), ofLength(length));
        // A 262-character folder whose value was cut at 254 on a separator names its parent.
        const QString parent = ofLength(254);
        QDir().mkpath(parent + QStringLiteral("/child"));
        text.replace(QStringLiteral("{parent254}"), parent);
        return text.replace(QStringLiteral("{root}"), root);
    };
    QCOMPARE(kvr::usableFolder(expand(value)), expand(expected));
}

void TestToolkit::deleteTakesEveryCaseAndOnlyFiles()
{
    QTemporaryDir dir;
    for (const char* name : {"PMOSQ.TPC", "pmosq_wing.3dz", "PMosq", "PHURR.TPC", "MOSQ.TPC"})
        writeFile(dir.filePath(QString::fromLatin1(name)), "x");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("PMOSQ_folder")));

    // Built the game platform's way: backslash separators, even doubled.
    kvr::deleteFiles(dir.path() + QStringLiteral("\\\\PMOSQ*.*"));

    QCOMPARE(filesIn(dir.path()), QStringList({"MOSQ.TPC", "PHURR.TPC"}));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("PMOSQ_folder"))).isDir());
}

void TestToolkit::deleteReportsButGoesOn()
{
    QTemporaryDir dir;
    try {
        kvr::deleteFiles(dir.path() + QStringLiteral("\\P*.TPC"));
        QFAIL("no match must be an error");
    } catch (const kvr::Error& e) {
        QCOMPARE(e.description(), QStringLiteral("File not found"));
    }
    try {
        kvr::deleteFiles(dir.path() + QStringLiteral("/missing\\P*.TPC"));
        QFAIL("a missing folder must be an error");
    } catch (const kvr::Error& e) {
        QCOMPARE(e.description(), QStringLiteral("Path not found"));
    }

    // A read-only file stays; the others still go, and the failure is reported.
    writeFile(dir.filePath(QStringLiteral("PA.TPC")), "a");
    writeFile(dir.filePath(QStringLiteral("PB.TPC")), "b");
    writeFile(dir.filePath(QStringLiteral("PC.TPC")), "c");
    QFile::setPermissions(dir.filePath(QStringLiteral("PB.TPC")), QFile::ReadOwner | QFile::ReadGroup);
    try {
        kvr::deleteFiles(dir.path() + QStringLiteral("\\P*.TPC"));
        QFAIL("a read-only file must be reported");
    } catch (const kvr::Error& e) {
        QCOMPARE(e.description(), QStringLiteral("Permission denied"));
    }
    QCOMPARE(filesIn(dir.path()), QStringList({"PB.TPC"}));
}

void TestToolkit::deleteNeverFollowsLinks()
{
    QTemporaryDir outside;
    QTemporaryDir game;
    writeFile(outside.filePath(QStringLiteral("PHURR.TPC")), "keep me");
    QVERIFY(QDir(outside.path()).mkdir(QStringLiteral("sub")));
    writeFile(outside.filePath(QStringLiteral("sub/PHURR.TPC")), "keep me too");
    QVERIFY(QFile::link(outside.filePath(QStringLiteral("PHURR.TPC")), game.filePath(QStringLiteral("PHURR.TPC"))));
    QVERIFY(QFile::link(outside.filePath(QStringLiteral("sub")), game.filePath(QStringLiteral("PHURR_dir"))));

    kvr::deleteFiles(game.path() + QStringLiteral("\\PHURR*.*"));

    // The link to a file goes; the link to a folder is a folder to the user and stays.
    QCOMPARE(QDir(game.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList({"PHURR_dir"}));
    QCOMPARE(kvrtest::readFile(outside.filePath(QStringLiteral("PHURR.TPC"))), QByteArray("keep me"));
    QCOMPARE(kvrtest::readFile(outside.filePath(QStringLiteral("sub/PHURR.TPC"))), QByteArray("keep me too"));
}

void TestToolkit::fileListOrderAndFilter()
{
    QTemporaryDir dir;
    for (const char* name : {"HURR_Winter.zip", "hurr_night.ZIP", "HURR_Desert.zip", "SP2A_Sand.zip", "readme.txt",
                             "b.zip", "B.zip", "a.zip.bak"})
        writeFile(dir.filePath(QString::fromLatin1(name)), "x");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.zip")));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("b.zip")), dir.filePath(QStringLiteral("link.zip"))));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), dir.filePath(QStringLiteral("dangling.zip"))));

    kvr::FileList list;
    list.setPattern(QStringLiteral("*.zip"));
    list.setPath(dir.path());
    // Without regard to case, ties in byte order; folders and dangling links are not files.
    QCOMPARE(list.names(), QStringList({"B.zip", "b.zip", "HURR_Desert.zip", "hurr_night.ZIP", "HURR_Winter.zip",
                                        "link.zip", "SP2A_Sand.zip"}));
    QCOMPARE(list.ListCount(), 7);
    QCOMPARE(list.List(3), QStringLiteral("hurr_night.ZIP"));

    // No refresh until a property is set again.
    writeFile(dir.filePath(QStringLiteral("AAAA_new.zip")), "x");
    QCOMPARE(list.ListCount(), 7);
    list.setPath(dir.path());
    QCOMPARE(list.List(0), QStringLiteral("AAAA_new.zip"));
}

void TestToolkit::fileListOfMissingFolderIsEmpty()
{
    QTemporaryDir dir;
    kvr::FileList list;
    list.setPattern(QStringLiteral("*.zip"));
    QCOMPARE(list.ListCount(), 0);
    list.setPath(dir.filePath(QStringLiteral("gone")));
    QCOMPARE(list.ListCount(), 0);
    list.setPath(QString());
    QCOMPARE(list.ListCount(), 0);
}

void TestToolkit::readTextFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("asked"); // the path below the folder, as a window builds it
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    QTest::newRow("UTF-8, mark dropped, '\\' path")
        << QByteArray("\xEF\xBB\xBFSqn 105 \xE2\x80\x93 caf\xC3\xA9") << "\\note.txt"
        << "Sqn 105 – café" << QString();
    QTest::newRow("Windows-1252") << QByteArray("caf\xE9 \x80 \x93") << "/note.txt"
                                  << "café € “" << QString();
    QTest::newRow("other case of the name") << QByteArray("x") << "\\NOTE.TXT"
                                            << "x" << QString();
    QTest::newRow("missing") << QByteArray("x") << "/other.txt" << QString() << "File not found";
    QTest::newRow("missing folder") << QByteArray("x") << "/note.txt/x" << QString() << "Path not found";
    QTest::newRow("a folder") << QByteArray("x") << "" << QString() << "File not found";
    // Cut at 16 MiB, never inside a character: the 'é' straddling the limit goes whole.
    const qsizetype limit = qsizetype{16} * 1024 * 1024;
    QTest::newRow("cut at the limit") << QByteArray(limit - 1, 'a') + "\xC3\xA9 more"
                                      << "/note.txt" << QString(limit - 1, QLatin1Char('a')) << QString();
}

void TestToolkit::readTextFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, asked);
    QFETCH(QString, text);
    QFETCH(QString, error);
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("note.txt")), content);
    try {
        QCOMPARE(kvr::readTextFile(dir.path() + asked), text);
        QVERIFY2(error.isNull(), "an error was expected");
    } catch (const kvr::Error& e) {
        QCOMPARE(e.description(), error);
    }
}

// With both spellings on disk the exact one wins; otherwise the first in byte order.
void TestToolkit::readTextFileFindsTheNameAsThePlatformDoes()
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("Desert Camo.TXT")), "upper");
    writeFile(dir.filePath(QStringLiteral("desert camo.txt")), "lower");
    QCOMPARE(kvr::readTextFile(dir.path() + QStringLiteral("\\desert camo.txt")), QStringLiteral("lower"));
    QCOMPARE(kvr::readTextFile(dir.path() + QStringLiteral("\\Desert Camo.TXT")), QStringLiteral("upper"));
    QCOMPARE(kvr::readTextFile(dir.path() + QStringLiteral("\\Desert Camo.txt")), QStringLiteral("upper"));
    QCOMPARE(kvr::readTextFile(dir.path() + QStringLiteral("\\DESERT CAMO.TXT")), QStringLiteral("upper"));
}

void TestToolkit::errorStates()
{
    kvrtest::MsgBoxRecorder boxes;
    int reached = 0;
    kvr::skipFailing([] { throw kvr::Error(QStringLiteral("Permission denied")); });
    ++reached;
    QVERIFY(!kvr::errorBlock("Unzip", [] { throw kvr::Error(QStringLiteral("cannot open shared object file")); }));
    ++reached;
    QCOMPARE(reached, 2);
    QCOMPARE(boxes.calls.size(), 1);
    QCOMPARE(boxes.calls[0].prompt, QStringLiteral("Unzip: cannot open shared object file"));
    QCOMPARE(boxes.calls[0].style, 48);
    QCOMPARE(boxes.calls[0].title, QStringLiteral("KVR Skin Installer v1.1"));
}

QTEST_GUILESS_MAIN(TestToolkit)
#include "test_toolkit.moc"
