// The drive list's sources: the mount table, the home folder, and the game launchers' prefixes.
#include "app/background.h"
#include "settings/drives.h"
#include "settings/lutris.h"
#include "settings/prefixes.h"
#include "settings/vdf.h"

#include "testsupport.h"

#include <QThread>

using namespace Qt::StringLiterals;

using kvr::Drive;

namespace {

QStringList paths(const QList<Drive>& drives)
{
    QStringList out;
    for (const Drive& d : drives)
        out << d.path;
    return out;
}

bool mkdirs(const QString& path)
{
    return QTest::qVerify(QDir().mkpath(path), "mkdirs", qPrintable(path), __FILE__, __LINE__);
}

} // namespace

class TestDrives : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A desktop's mount table: a pseudo file system and a system place are dropped, "/" comes first.
    void listRootFirstThenMountsHomeAndWine()
    {
        QTemporaryDir dir;
        const QString home = dir.filePath(u"home"_s), prefix = home + u"/.wine"_s,
                      dosdevices = prefix + u"/dosdevices"_s;
        QVERIFY(QDir().mkpath(prefix + u"/drive_c"_s) && QDir().mkpath(dosdevices));
        QVERIFY(QFile::link(u"../drive_c"_s, dosdevices + u"/c:"_s));
        QVERIFY(QFile::link(u"/nonexistent-medium/cdrom"_s, dosdevices + u"/d:"_s)); // no medium: still listed
        QVERIFY(QFile::link(u"/"_s, dosdevices + u"/z:"_s));                         // "/" is listed already
        QVERIFY(QFile::link(u"/dev/sr0"_s, dosdevices + u"/d::"_s));                 // a raw device
        QVERIFY(kvrtest::writeFile(dosdevices + u"/notes.txt"_s, "not a drive"_ba));
        QVERIFY(kvrtest::writeFile(dir.filePath(u"mounts"_s), "/dev/sda2 / ext4 rw,relatime 0 0\n"
                                                              "tmpfs /tmp tmpfs rw 0 0\n"
                                                              "/dev/sda3 /home ext4 rw 0 0\n"
                                                              "/dev/sda3 /home ext4 rw 0 0\n"
                                                              "/dev/sdb1 /media/jo/MY\\040USB vfat rw 0 0\n"
                                                              "/dev/sdc1 /run/media/jo/DATA ntfs3 rw 0 0\n"
                                                              "server:/games /mnt/share nfs4 rw 0 0\n"
                                                              "/dev/sda2 /etc/hosts ext4 rw 0 0\n"
                                                              "garbage\n\n"));

        const QList<Drive> drives = kvr::listDrives({dir.filePath(u"mounts"_s), home, prefix});

        QCOMPARE(paths(drives),
                 QStringList({u"/"_s, u"/home"_s, u"/media/jo/MY USB"_s, u"/mnt/share"_s, u"/run/media/jo/DATA"_s, home,
                              prefix + u"/drive_c"_s, u"/nonexistent-medium/cdrom"_s}));
        QCOMPARE(drives[2].label, u"MY USB (/media/jo/MY USB)"_s);
        QCOMPARE(drives[5].label, u"Home ("_s + home + u')');
        QCOMPARE(drives[6].label, u"Wine C: ("_s + prefix + u"/drive_c)"_s);
        QCOMPARE(drives[7].label, u"Wine D: (/nonexistent-medium/cdrom)"_s);
    }

    void missingSourcesLeaveRootAndHome()
    {
        QTemporaryDir dir;
        QCOMPARE(
            paths(kvr::listDrives({dir.filePath(u"no-mounts"_s), dir.path() + u"/./"_s, dir.filePath(u"no-wine"_s)})),
            QStringList({u"/"_s, dir.path()}));
        // A home folder that is a mount point, or "/" itself, is listed once.
        QVERIFY(kvrtest::writeFile(dir.filePath(u"mounts"_s), "/dev/sda3 /home/jo ext4 rw 0 0\n"_ba));
        QCOMPARE(paths(kvr::listDrives({dir.filePath(u"mounts"_s), u"/home/jo"_s, {}})),
                 QStringList({u"/"_s, u"/home/jo"_s}));
        QCOMPARE(paths(kvr::listDrives({{}, u"/"_s, {}})), QStringList({u"/"_s}));
    }

    void localDrivePath_data()
    {
        QTest::addColumn<QString>("drive");
        QTest::addColumn<QString>("path");
        for (const QString& root : {u"c:\\"_s, u"C:\\"_s, u"C:"_s, u"c:"_s})
            QTest::newRow(qPrintable(root)) << root << u"/"_s;
        for (const QString& other : {u"D:"_s, u"c:\\games"_s, u"c:\\\\"_s, u"/media/cdrom"_s})
            QTest::newRow(qPrintable(other)) << other << other;
    }
    void localDrivePath()
    {
        QFETCH(QString, drive);
        QFETCH(QString, path);
        QCOMPARE(kvr::localDrivePath(drive), path);
    }

    void checkFolderReadable_data()
    {
        QTest::addColumn<QString>("name"); // below a fresh folder; "-" for no path at all
        QTest::addColumn<QString>("error");
        QTest::newRow("folder") << u"."_s << QString();
        QTest::newRow("missing") << u"missing"_s << u"File not found"_s;
        QTest::newRow("a file") << u"file"_s << u"Path not found"_s;
        QTest::newRow("empty") << u"-"_s << u"Path not found"_s;
    }
    void checkFolderReadable()
    {
        QFETCH(QString, name);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QVERIFY(kvrtest::writeFile(dir.filePath(u"file"_s), "x"_ba));
        const QString path = name == u"-"_s ? QString() : dir.filePath(name);
        QCOMPARE(kvrtest::errorOf([&] { kvr::checkFolderReadable(path); }), error);
    }

    // One home folder with a prefix of every launcher, broken ones beside them, and a second
    // Steam library named only in libraryfolders.vdf.
    void everyLauncherOnceAndBrokenOnesSkipped()
    {
        QTemporaryDir dir;
        const QString home = dir.filePath(u"home"_s), lib2 = dir.filePath(u"games/SteamLibrary"_s);
        QVERIFY(mkdirs(home + u"/.wine/drive_c"_s));
        QVERIFY(mkdirs(home + u"/.local/share/wineprefixes/kestrava/drive_c"_s));
        QVERIFY(mkdirs(home + u"/.local/share/wineprefixes/broken"_s)); // no drive_c
        const QString steam = home + u"/.local/share/Steam"_s;
        QVERIFY(mkdirs(steam + u"/steamapps/common"_s));
        QVERIFY(mkdirs(home + u"/.steam"_s));
        QVERIFY(QFile::link(steam, home + u"/.steam/steam"_s));
        QVERIFY(kvrtest::writeFile(
            steam + u"/steamapps/libraryfolders.vdf"_s,
            "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\""_ba + steam.toUtf8() +
                "\"\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\""_ba + lib2.toUtf8() +
                "\"\n\t\t\"apps\" { \"4242\" \"1\" }\n\t}\n\t\"2\" { \"path\" \"/nowhere/lib\" }\n}\n"_ba));
        QVERIFY(mkdirs(lib2 + u"/steamapps/common"_s));
        QVERIFY(mkdirs(lib2 + u"/steamapps/compatdata/4242/pfx/drive_c"_s));
        QVERIFY(mkdirs(lib2 + u"/steamapps/compatdata/777/pfx/drive_c"_s));
        QVERIFY(mkdirs(lib2 + u"/steamapps/compatdata/0/pfx"_s)); // broken: no drive_c
        QVERIFY(
            kvrtest::writeFile(lib2 + u"/steamapps/appmanifest_4242.acf"_s,
                               "\"AppState\"\n{\n\t\"appid\"\t\t\"4242\"\n\t\"name\"\t\t\"Kestrava Gold\"\n}\n"_ba));
        QVERIFY(kvrtest::writeFile(steam + u"/steamapps/appmanifest_777.acf"_s, "\"AppState\" { \"name\" \""_ba));
        const QString lutrisPrefix = dir.filePath(u"lutris/kestrava"_s);
        QVERIFY(mkdirs(lutrisPrefix + u"/drive_c"_s));
        QVERIFY(kvrtest::writeFile(home + u"/.local/share/lutris/games/kestrava-1687000000.yml"_s,
                                   "game:\n  exe: "_ba + lutrisPrefix.toUtf8() + "/drive_c/k.exe\n  prefix: "_ba +
                                       lutrisPrefix.toUtf8() + "\nwine:\n  version: lutris-7\n"_ba));
        QVERIFY(kvrtest::writeFile(home + u"/.local/share/lutris/games/gone-2.yml"_s,
                                   "game:\n  prefix: /nowhere/pfx\n"_ba));
        QVERIFY(mkdirs(home + u"/Games/Heroic/Prefixes/Kestrava/pfx/drive_c"_s));
        const QString heroicElsewhere = dir.filePath(u"heroic/Other Game"_s);
        QVERIFY(mkdirs(heroicElsewhere + u"/drive_c"_s));
        QVERIFY(kvrtest::writeFile(home + u"/.config/heroic/GamesConfig/abc.json"_s,
                                   "{\"abc\":{\"winePrefix\":\""_ba + heroicElsewhere.toUtf8() + "\"}}"_ba));
        QVERIFY(kvrtest::writeFile(home + u"/.config/heroic/GamesConfig/bad.json"_s, "{not json"_ba));
        QVERIFY(mkdirs(home + u"/.local/share/bottles/bottles/Gaming/drive_c"_s));
        QVERIFY(mkdirs(home + u"/.var/app/com.usebottles.bottles/data/bottles/bottles/Flat/drive_c"_s));
        QVERIFY(kvrtest::writeFile(home + u"/.local/share/bottles/bottles/notabottle"_s, "x"_ba));

        const QList<Drive> drives = kvr::listPrefixDrives(home);
        QStringList labels;
        for (const Drive& d : drives)
            labels << d.label;
        QCOMPARE(labels, QStringList({u"Wine: default C:"_s, u"Wine: kestrava C:"_s, u"Steam: ~/.steam/steam games"_s,
                                      u"Steam: "_s + lib2 + u" games"_s, u"Proton Kestrava Gold C:"_s,
                                      u"Proton 777 C:"_s, u"Lutris: kestrava C:"_s, u"Heroic: Kestrava C:"_s,
                                      u"Heroic: Other Game C:"_s, u"Bottles: Gaming C:"_s, u"Bottles: Flat C:"_s}));
        QCOMPARE(paths(drives)[4], lib2 + u"/steamapps/compatdata/4242/pfx/drive_c"_s);
        QCOMPARE(paths(drives)[6], lutrisPrefix + u"/drive_c"_s);
        QCOMPARE(paths(drives)[7], home + u"/Games/Heroic/Prefixes/Kestrava/pfx/drive_c"_s);
        QVERIFY(kvr::listPrefixDrives(dir.filePath(u"nobody"_s)).isEmpty());
        const std::atomic_bool stop = true;
        QVERIFY(kvr::listPrefixDrives(home, stop).isEmpty());
        QVERIFY(kvr::listPrefixDrives({}).isEmpty());
    }

    // libraryfolders.vdf may name thousands of paths: only the first 1024 are looked at, and the
    // program's own pool calls a scan off when the program ends.
    void scanBounded()
    {
        QTemporaryDir dir;
        const QString home = dir.filePath(u"home"_s), steam = home + u"/.steam/steam"_s;
        const QString late = dir.filePath(u"late"_s);
        QVERIFY(mkdirs(steam + u"/steamapps"_s) && mkdirs(late + u"/steamapps/common"_s));
        QByteArray vdf("\"libraryfolders\" {");
        for (int i = 0; i < 1024; ++i)
            vdf += " \"" + QByteArray::number(i) + "\" \"/nowhere/" + QByteArray::number(i) + '"';
        QVERIFY(kvrtest::writeFile(steam + u"/steamapps/libraryfolders.vdf"_s,
                                   vdf + " \"1024\" \"" + late.toUtf8() + "\" }"));
        QCOMPARE(kvr::listPrefixDrives(home).size(), 0); // steam's own library has no common folder
        // A Lutris game file longer than 256 KiB is not read, however right what it says.
        QVERIFY(mkdirs(late + u"/drive_c"_s));
        QByteArray game = "game:\n  prefix: "_ba + late.toUtf8() + "\n#"_ba;
        QVERIFY(kvrtest::writeFile(home + u"/.local/share/lutris/games/long-1.yml"_s,
                                   game + QByteArray(256 * 1024 + 1 - game.size(), 'x')));
        QCOMPARE(kvr::listPrefixDrives(home).size(), 0);

        std::atomic_bool started = false, sawStop = false;
        kvr::background::run([&](const std::atomic_bool& stop) {
            started = true;
            while (!stop)
                QThread::msleep(1);
            sawStop = true;
        });
        QTRY_VERIFY(started);
        QVERIFY(kvr::background::cancelAll(5000));
        QVERIFY(sawStop);
    }

    void vdfReading_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("libraries");
        QTest::newRow("current") << QByteArray("\"libraryfolders\" { \"0\" { \"path\" \"/a\" \"label\" \"\" } "
                                               "\"1\" { \"path\" \"/b c\" } }")
                                 << QStringList({u"/a"_s, u"/b c"_s});
        QTest::newRow("old layout, comments, bare words")
            << QByteArray("// made by Steam\nLibraryFolders\n{\n\"TimeNextStatsReport\" \"1\"\n\"1\" \"/old\"\n}")
            << QStringList({u"/old"_s});
        QTest::newRow("escapes and conditions")
            << QByteArray("\"libraryfolders\" { \"0\" { \"path\" \"/x\\\\y \\\"q\\\"\" [$LINUX] } }")
            << QStringList({u"/x\\y \"q\""_s});
        QTest::newRow("escape first") << QByteArray("\"libraryfolders\" { \"0\" \"\\\\srv\\\\games\" }")
                                      << QStringList({u"\\srv\\games"_s});
        QTest::newRow("unclosed keeps what came first")
            << QByteArray("\"libraryfolders\" { \"0\" { \"path\" \"/a\" } \"1\" { \"path\"") << QStringList({u"/a"_s});
        QTest::newRow("stray brace") << QByteArray("} \"libraryfolders\" { \"0\" \"/a\" }") << QStringList();
        QTest::newRow("too deep") << QByteArray("\"libraryfolders\" {") + QByteArray(5000, '{') << QStringList();
        QTest::newRow("empty") << QByteArray() << QStringList();
        QTest::newRow("a path named twice is listed once")
            << QByteArray("\"libraryfolders\" { \"0\" \"/a\" \"1\" { \"path\" \"/b\" } \"2\" { \"path\" \"/a\" } }")
            << QStringList({u"/a"_s, u"/b"_s});
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
        QTest::newRow("game section") << QByteArray("game:\n  prefix: /p/x\n") << u"/p/x"_s;
        QTest::newRow("quoted, other keys first")
            << QByteArray("name: k\nsystem: {}\ngame:\n  exe: a\n  prefix: '/p/with space'\n") << u"/p/with space"_s;
        QTest::newRow("prefix outside game") << QByteArray("prefix: /p\nwine:\n  prefix: /q\n") << u""_s;
        QTest::newRow("game is a list") << QByteArray("game:\n  - prefix: /p\n") << u""_s;
        QTest::newRow("not yaml") << QByteArray("game: [\n\t\"") << u""_s;
        QTest::newRow("alias loop") << QByteArray("a: &x [*x]\n") << u""_s;
        // Nesting no game file has costs the YAML reader seconds: such a file is refused whole.
        QTest::newRow("brackets nested too deep")
            << QByteArray("game:\n  prefix: /p/x\nx: ") + QByteArray(20, '[') + QByteArray(20, ']') + '\n'
            << u""_s;
        for (const int depth : {16, 17}) {
            QByteArray blocks("game:\n  prefix: /p/x\n");
            for (int i = 0; i < depth; ++i)
                blocks += QByteArray(i, ' ') + "k:\n";
            QTest::addRow("blocks nested %d deep", depth) << blocks + QByteArray(depth, ' ') + "v\n"
                                                          << (depth < 17 ? u"/p/x"_s : u""_s);
        }
        QTest::newRow("nested as deep as a game file")
            << QByteArray("a: [[{b: [c]}]]\ngame: {prefix: /p/y}\n") << u"/p/y"_s;
    }
    void lutrisReading()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, prefix);
        QCOMPARE(kvr::lutrisGamePrefix(text), prefix);
        QCOMPARE(kvr::lutrisGameName(u"kestrava-gold-1687000000.yml"_s), u"kestrava-gold"_s);
    }
};

QTEST_GUILESS_MAIN(TestDrives)
#include "test_drives.moc"
