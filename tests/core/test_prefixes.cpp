#include "settings/lutris.h"
#include "settings/prefixes.h"
#include "settings/vdf.h"

#include "testsupport.h"

using kvr::Drive;

namespace {

void mkdirs(const QString& path)
{
    QVERIFY2(QDir().mkpath(path), qPrintable(path));
}

} // namespace

class TestPrefixes : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // One home folder with a prefix of every launcher, broken ones beside them, and a second
    // Steam library named only in libraryfolders.vdf.
    void everyLauncherOnceAndBrokenOnesSkipped()
    {
        QTemporaryDir dir;
        const QString home = dir.filePath("home"), lib2 = dir.filePath("games/SteamLibrary");
        mkdirs(home + "/.wine/drive_c");
        mkdirs(home + "/.local/share/wineprefixes/kestrava/drive_c");
        mkdirs(home + "/.local/share/wineprefixes/broken"); // no drive_c
        const QString steam = home + "/.local/share/Steam";
        mkdirs(steam + "/steamapps/common");
        mkdirs(home + "/.steam");
        QVERIFY(QFile::link(steam, home + "/.steam/steam"));
        kvrtest::writeFile(steam + "/steamapps/libraryfolders.vdf",
                           "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" + steam.toUtf8() +
                               "\"\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" + lib2.toUtf8() +
                               "\"\n\t\t\"apps\" { \"4242\" \"1\" }\n\t}\n\t\"2\" { \"path\" \"/nowhere/lib\" }\n}\n");
        mkdirs(lib2 + "/steamapps/common");
        mkdirs(lib2 + "/steamapps/compatdata/4242/pfx/drive_c");
        mkdirs(lib2 + "/steamapps/compatdata/777/pfx/drive_c");
        mkdirs(lib2 + "/steamapps/compatdata/0/pfx"); // broken: no drive_c
        kvrtest::writeFile(lib2 + "/steamapps/appmanifest_4242.acf",
                           "\"AppState\"\n{\n\t\"appid\"\t\t\"4242\"\n\t\"name\"\t\t\"Kestrava Gold\"\n}\n");
        kvrtest::writeFile(steam + "/steamapps/appmanifest_777.acf", "\"AppState\" { \"name\" \"");
        const QString lutrisPrefix = dir.filePath("lutris/kestrava");
        mkdirs(lutrisPrefix + "/drive_c");
        kvrtest::writeFile(home + "/.local/share/lutris/games/kestrava-1687000000.yml",
                           "game:\n  exe: " + lutrisPrefix.toUtf8() +
                               "/drive_c/k.exe\n  prefix: " + lutrisPrefix.toUtf8() + "\nwine:\n  version: lutris-7\n");
        kvrtest::writeFile(home + "/.local/share/lutris/games/bad-1.yml", "game: [unclosed\n");
        kvrtest::writeFile(home + "/.local/share/lutris/games/gone-2.yml", "game:\n  prefix: /nowhere/pfx\n");
        mkdirs(home + "/Games/Heroic/Prefixes/Kestrava/pfx/drive_c");
        const QString heroicElsewhere = dir.filePath("heroic/Other Game");
        mkdirs(heroicElsewhere + "/drive_c");
        kvrtest::writeFile(home + "/.config/heroic/GamesConfig/abc.json",
                           "{\"abc\":{\"winePrefix\":\"" + heroicElsewhere.toUtf8() + "\"}}");
        kvrtest::writeFile(home + "/.config/heroic/GamesConfig/bad.json", "{not json");
        mkdirs(home + "/.local/share/bottles/bottles/Gaming/drive_c");
        mkdirs(home + "/.var/app/com.usebottles.bottles/data/bottles/bottles/Flat/drive_c");
        kvrtest::writeFile(home + "/.local/share/bottles/bottles/notabottle", "x");

        const QList<Drive> drives = kvr::listPrefixDrives(home);
        QStringList labels, paths;
        for (const Drive& d : drives) {
            labels << d.label;
            paths << d.path;
            QCOMPARE(d.kind, Drive::Kind::Prefix);
        }
        QCOMPARE(labels, QStringList({"Wine: default C:", "Wine: kestrava C:", "Steam: ~/.steam/steam games",
                                      "Steam: " + lib2 + " games", "Proton Kestrava Gold C:", "Proton 777 C:",
                                      "Lutris: kestrava C:", "Heroic: Kestrava C:", "Heroic: Other Game C:",
                                      "Bottles: Gaming C:", "Bottles: Flat C:"}));
        QCOMPARE(paths[4], lib2 + "/steamapps/compatdata/4242/pfx/drive_c");
        QCOMPARE(paths[6], lutrisPrefix + "/drive_c");
        QCOMPARE(paths[7], home + "/Games/Heroic/Prefixes/Kestrava/pfx/drive_c");
        QVERIFY(kvr::listPrefixDrives(dir.filePath("nobody")).isEmpty());
        QVERIFY(kvr::listPrefixDrives({}).isEmpty());
    }

    void vdfReading_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("libraries");
        QTest::newRow("current") << QByteArray("\"libraryfolders\" { \"0\" { \"path\" \"/a\" \"label\" \"\" } "
                                               "\"1\" { \"path\" \"/b c\" } }")
                                 << QStringList({"/a", "/b c"});
        QTest::newRow("old layout, comments, bare words")
            << QByteArray("// made by Steam\nLibraryFolders\n{\n\"TimeNextStatsReport\" \"1\"\n\"1\" \"/old\"\n}")
            << QStringList({"/old"});
        QTest::newRow("escapes and conditions")
            << QByteArray("\"libraryfolders\" { \"0\" { \"path\" \"/x\\\\y \\\"q\\\"\" [$LINUX] } }")
            << QStringList({"/x\\y \"q\""});
        QTest::newRow("unclosed keeps what came first")
            << QByteArray("\"libraryfolders\" { \"0\" { \"path\" \"/a\" } \"1\" { \"path\"") << QStringList({"/a"});
        QTest::newRow("stray brace") << QByteArray("} \"libraryfolders\" { \"0\" \"/a\" }") << QStringList();
        QTest::newRow("too deep") << QByteArray("\"libraryfolders\" {") + QByteArray(5000, '{') << QStringList();
        QTest::newRow("empty") << QByteArray() << QStringList();
    }
    void vdfReading()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, libraries);
        QCOMPARE(kvr::steamLibraryPaths(text), libraries);
    }

    void lutrisReading_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("game section") << QByteArray("game:\n  prefix: /p/x\n") << "/p/x";
        QTest::newRow("quoted, other keys first")
            << QByteArray("name: k\nsystem: {}\ngame:\n  exe: a\n  prefix: '/p/with space'\n") << "/p/with space";
        QTest::newRow("prefix outside game") << QByteArray("prefix: /p\nwine:\n  prefix: /q\n") << "";
        QTest::newRow("game is a list") << QByteArray("game:\n  - prefix: /p\n") << "";
        QTest::newRow("not yaml") << QByteArray("game: [\n\t\"") << "";
        QTest::newRow("alias loop") << QByteArray("a: &x [*x]\n") << "";
    }
    void lutrisReading()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, prefix);
        QCOMPARE(kvr::lutrisGamePrefix(text), prefix);
        QCOMPARE(kvr::lutrisGameName("kestrava-gold-1687000000.yml"), QString("kestrava-gold"));
    }
};

QTEST_GUILESS_MAIN(TestPrefixes)
#include "test_prefixes.moc"
