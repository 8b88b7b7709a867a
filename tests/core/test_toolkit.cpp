#include "app/filelist.h"
#include "testsupport.h"

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

using kvrtest::filesIn;
using kvrtest::writeFile;

class TestToolkit : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void wildcard_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("matches");
        QTest::newRow("slot pattern takes a bare name") << u"PMOSQ*.*"_s << u"PMOSQ"_s << true;
        QTest::newRow("slot pattern any case") << u"PMOSQ*.*"_s << u"pmosq_body.Tpc"_s << true;
        QTest::newRow("slot pattern is a prefix") << u"PMOSQ*.*"_s << u"XPMOSQ.tpc"_s << false;
        QTest::newRow("other slot untouched") << u"PMOSQ*.*"_s << u"PHURR.tpc"_s << false;
        QTest::newRow("reset pattern") << u"P*.TPC"_s << u"phurr_wing.tpc"_s << true;
        QTest::newRow("zip any case") << u"*.zip"_s << u"hurr_night.ZIP"_s << true;
        QTest::newRow("zip not a middle extension") << u"*.zip"_s << u"a.zip.bak"_s << false;
        QTest::newRow("question mark is one character") << u"?.zip"_s << u"ab.zip"_s << false;
        QTest::newRow("question mark") << u"??.zip"_s << u"ab.zip"_s << true;
        QTest::newRow("non-ASCII case") << u"É*.txt"_s << u"école.TXT"_s << true;
    }

    void wildcard()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, name);
        QFETCH(bool, matches);
        QCOMPARE(kvr::wildcardMatch(pattern, name), matches);
    }

    // {root} is a temporary folder holding "game", "ga\\me" and "ga/me", and a file "afile".
    void usableFolder_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected"); // "" when not usable
        QTest::newRow("absolute folder") << u"{root}/game"_s << u"{root}/game"_s;
        QTest::newRow("trailing separator kept") << u"{root}/game/"_s << u"{root}/game/"_s;
        QTest::newRow("empty") << u""_s << u""_s;
        QTest::newRow("relative: ..") << u".."_s << u""_s;
        QTest::newRow("relative name") << u"game"_s << u""_s;
        QTest::newRow("missing folder") << u"{root}/gone"_s << u""_s;
        QTest::newRow("a file") << u"{root}/afile"_s << u""_s;
        QTest::newRow("backslash name that exists as written") << u"{root}/ga\\me"_s << u"{root}/ga\\me"_s;
        QTest::newRow("backslashes as separators") << u"{root}\\game"_s << u"{root}/game"_s;
        QTest::newRow("backslash, only the slashed folder exists") << u"{root}/ga\\me\\"_s << u"{root}/ga/me/"_s;
        QTest::newRow("C:\\ is /") << u"C:{root}\\game"_s << u"{root}/game"_s;
        QTest::newRow("c: lower case") << u"c:{root}/game"_s << u"{root}/game"_s;
        QTest::newRow("C: alone is the root") << u"C:"_s << u"/"_s;
        QTest::newRow("other drives do not exist") << u"D:\\"_s << u""_s;
        QTest::newRow("C: then a relative path") << u"C:game"_s << u""_s;
        QTest::newRow("253 characters") << u"{253}"_s << u"{253}"_s;
        QTest::newRow("254 characters may be cut") << u"{254}"_s << u""_s;
        QTest::newRow("cut on a separator: the parent") << u"{parent254}"_s << u""_s;
    }

    void usableFolder()
    {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString root = dir.path();
        for (const QString& folder : {u"game"_s, u"ga\\me"_s, u"ga/me"_s})
            QVERIFY(QDir(root).mkpath(folder));
        QVERIFY(writeFile(root + QStringLiteral("/afile"), "x"_ba));
        const auto ofLength = [&root](qsizetype length) { return kvrtest::folderOfLength(root + u"/long"_s, length); };
        const auto expand = [&](QString text) {
            for (const qsizetype length : {253, 254})
                text.replace(QStringLiteral("{%1}").arg(length), ofLength(length));
            // A 262-character folder whose value was cut at 254 on a separator names its parent.
            const QString parent = ofLength(254);
            QDir().mkpath(parent + QStringLiteral("/child"));
            text.replace(QStringLiteral("{parent254}"), parent);
            return text.replace(QStringLiteral("{root}"), root);
        };
        QCOMPARE(kvr::usableFolder(expand(value)), expand(expected));
    }

    // Folders stay, and so does what lies below them (links the change's own tests meet).
    void deleteTakesEveryCaseAndOnlyFiles()
    {
        QTemporaryDir dir;
        for (const QString& name : {u"PMOSQ.TPC"_s, u"pmosq_wing.3dz"_s, u"PMosq"_s, u"PHURR.TPC"_s, u"MOSQ.TPC"_s,
                                    u"kept/PMOSQ.TPC"_s, u"kept/readme.txt"_s, u"kept/KVRSI.INI"_s})
            QVERIFY(writeFile(dir.filePath(name), "x"_ba));
        QVERIFY(QDir(dir.path()).mkdir(u"PMOSQ_folder"_s));

        // Built the game platform's way: backslash separators, even doubled.
        kvr::deleteFiles(dir.path() + u"\\\\PMOSQ*.*"_s);

        QCOMPARE(filesIn(dir.path()), QStringList({u"MOSQ.TPC"_s, u"PHURR.TPC"_s}));
        QVERIFY(QFileInfo(dir.filePath(u"PMOSQ_folder"_s)).isDir());
        QCOMPARE(filesIn(dir.filePath(u"kept"_s)), QStringList({u"KVRSI.INI"_s, u"PMOSQ.TPC"_s, u"readme.txt"_s}));
    }

    void deleteReportsButGoesOn()
    {
        QTemporaryDir dir;
        const auto deleteTpc = [&dir](const QString& folder) {
            return kvrtest::errorOf([&] { kvr::deleteFiles(dir.path() + folder + u"\\P*.TPC"_s); });
        };
        QCOMPARE(deleteTpc({}), u"File not found"_s);
        QCOMPARE(deleteTpc(u"/missing"_s), u"Path not found"_s);
        // A read-only file stays; the others still go, and the failure is reported.
        for (const QString& name : {u"PA.TPC"_s, u"PB.TPC"_s, u"PC.TPC"_s})
            QVERIFY(writeFile(dir.filePath(name), "x"_ba));
        QFile::setPermissions(dir.filePath(u"PB.TPC"_s), QFile::ReadOwner | QFile::ReadGroup);
        QCOMPARE(deleteTpc({}), u"Permission denied"_s);
        QCOMPARE(filesIn(dir.path()), QStringList({u"PB.TPC"_s}));
    }

    void fileListOrderAndFilter()
    {
        QTemporaryDir dir;
        for (const QString& name : {u"HURR_Winter.zip"_s, u"hurr_night.ZIP"_s, u"HURR_Desert.zip"_s, u"SP2A_Sand.zip"_s,
                                    u"readme.txt"_s, u"b.zip"_s, u"B.zip"_s, u"a.zip.bak"_s})
            QVERIFY(writeFile(dir.filePath(name), "x"_ba));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.zip")));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("b.zip")), dir.filePath(QStringLiteral("link.zip"))));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), dir.filePath(QStringLiteral("dangling.zip"))));
        // A name that is not valid UTF-8 could not be opened again from its list entry.
        const QByteArray undecodable = QFile::encodeName(dir.path()) + "/MOSQ_Caf\xE9.zip";
        const int fd = ::open(undecodable.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);

        kvr::FileList list;
        list.setPattern(QStringLiteral("*.zip"));
        list.setPath(dir.path());
        // Without regard to case, ties in byte order; folders, dangling links and names that do not
        // decode are not listed.
        QCOMPARE(list.names(), QStringList({u"B.zip"_s, u"b.zip"_s, u"HURR_Desert.zip"_s, u"hurr_night.ZIP"_s,
                                            u"HURR_Winter.zip"_s, u"link.zip"_s, u"SP2A_Sand.zip"_s}));
        QCOMPARE(list.List(3), QStringLiteral("hurr_night.ZIP"));

        // No refresh until a property is set again.
        QVERIFY(writeFile(dir.filePath(QStringLiteral("AAAA_new.zip")), "x"_ba));
        QCOMPARE(list.ListCount(), 7);
        list.setPath(dir.path());
        QCOMPARE(list.List(0), QStringLiteral("AAAA_new.zip"));
    }

    // Beside note.txt the folder holds "Desert Camo.TXT" and "desert camo.txt": with both spellings on
    // disk the exact one wins, otherwise the first in byte order.
    void readTextFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("asked"); // the path below the folder, as a window builds it
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        QTest::newRow("UTF-8, mark dropped, '\\' path") << QByteArray("\xEF\xBB\xBFSqn 105 \xE2\x80\x93 caf\xC3\xA9")
                                                        << u"\\note.txt"_s << u"Sqn 105 – café"_s << QString();
        QTest::newRow("Windows-1252") << QByteArray("caf\xE9 \x80 \x93") << u"/note.txt"_s << u"café € “"_s
                                      << QString();
        QTest::newRow("other case of the name") << QByteArray("x") << u"\\NOTE.TXT"_s << u"x"_s << QString();
        QTest::newRow("exact spelling") << QByteArray("x") << u"\\desert camo.txt"_s << u"lower"_s << QString();
        QTest::newRow("no exact spelling: first in byte order")
            << QByteArray("x") << u"\\DESERT CAMO.txt"_s << u"upper"_s << QString();
        QTest::newRow("missing") << QByteArray("x") << u"/other.txt"_s << QString() << u"File not found"_s;
        QTest::newRow("missing folder") << QByteArray("x") << u"/note.txt/x"_s << QString() << u"Path not found"_s;
        QTest::newRow("a folder") << QByteArray("x") << u""_s << QString() << u"File not found"_s;
        // Cut at 16 MiB, never inside a character: the 'é' straddling the limit goes whole.
        const qsizetype limit = qsizetype{16} * 1024 * 1024;
        QTest::newRow("cut at the limit") << QByteArray(limit - 1, 'a') + "\xC3\xA9 more" << u"/note.txt"_s
                                          << QString(limit - 1, QLatin1Char('a')) << QString();
    }

    void readTextFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, asked);
        QFETCH(QString, text);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(u"note.txt"_s), content));
        QVERIFY(writeFile(dir.filePath(u"Desert Camo.TXT"_s), "upper"_ba));
        QVERIFY(writeFile(dir.filePath(u"desert camo.txt"_s), "lower"_ba));
        QString read;
        QCOMPARE(kvrtest::errorOf([&] { read = kvr::readTextFile(dir.path() + asked); }), error);
        QCOMPARE(read, text);
    }

    // A failing step in an error block is shown once (a skipped one goes unnoticed: the help and
    // viewer tests show no message for a missing file).
    void errorStates()
    {
        kvrtest::MsgBoxRecorder boxes;
        QVERIFY(!kvr::errorBlock("Unzip", [] { throw kvr::Error(u"cannot open shared object file"_s); }));
        QVERIFY(boxes.askedOnce(u"Unzip: cannot open shared object file"_s, 48, u"KVR Skin Installer v1.1"_s));
    }
};

QTEST_GUILESS_MAIN(TestToolkit)
#include "test_toolkit.moc"
