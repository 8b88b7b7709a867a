#include "app/toolkit.h"
#include "settings/drives.h"

#include "testsupport.h"

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

} // namespace

class TestDrives : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A desktop's mount table: system, container and pseudo mounts are dropped, "/" comes first.
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
        QVERIFY(kvrtest::writeFile(dir.filePath(u"mounts"_s),
                                   "/dev/sda2 / ext4 rw,relatime 0 0\n"
                                   "proc /proc proc rw,nosuid 0 0\n"
                                   "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
                                   "tmpfs /tmp tmpfs rw 0 0\n"
                                   "gvfsd-fuse /run/user/1000/gvfs fuse.gvfsd-fuse rw 0 0\n"
                                   "/dev/sda3 /home ext4 rw 0 0\n"
                                   "/dev/sda3 /home ext4 rw 0 0\n"
                                   "/dev/sdb1 /media/jo/MY\\040USB vfat rw 0 0\n"
                                   "/dev/sdc1 /run/media/jo/DATA ntfs3 rw 0 0\n"
                                   "server:/games /mnt/share nfs4 rw 0 0\n"
                                   "/dev/loop3 /snap/core/123 squashfs ro 0 0\n"
                                   "overlay /var/lib/docker/overlay2/abc/merged overlay rw 0 0\n"
                                   "/dev/sda2 /etc/hosts ext4 rw 0 0\n"
                                   "/dev/sda1 /boot/efi vfat rw 0 0\n"
                                   "garbage\n\n"));

        const QList<Drive> drives = kvr::listDrives({dir.filePath(u"mounts"_s), home, prefix});

        QCOMPARE(paths(drives),
                 QStringList({u"/"_s, u"/home"_s, u"/media/jo/MY USB"_s, u"/mnt/share"_s, u"/run/media/jo/DATA"_s, home,
                              prefix + u"/drive_c"_s, u"/nonexistent-medium/cdrom"_s}));
        QCOMPARE(drives.first().kind, Drive::Kind::Root);
        QCOMPARE(drives[2].label, u"MY USB (/media/jo/MY USB)"_s);
        QCOMPARE(drives[5].kind, Drive::Kind::Home);
        QCOMPARE(drives[5].label, u"Home ("_s + home + u')');
        QCOMPARE(drives[6].label, u"Wine C: ("_s + prefix + u"/drive_c)"_s);
        QCOMPARE(drives[7].kind, Drive::Kind::Wine);
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
        QTest::newRow("dangling link") << u"d:"_s << u"File not found"_s;
        QTest::newRow("empty") << u"-"_s << u"Path not found"_s;
    }
    void checkFolderReadable()
    {
        QFETCH(QString, name);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QVERIFY(kvrtest::writeFile(dir.filePath(u"file"_s), "x"_ba));
        QVERIFY(QFile::link(dir.filePath(u"gone"_s), dir.filePath(u"d:"_s)));
        const QString path = name == u"-"_s ? QString() : dir.filePath(name);
        QCOMPARE(kvrtest::errorOf([&] { kvr::checkFolderReadable(path); }), error);
    }
};

QTEST_GUILESS_MAIN(TestDrives)
#include "test_drives.moc"
