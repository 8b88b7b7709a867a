#include "app/toolkit.h"
#include "settings/drives.h"

#include "testsupport.h"

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
        const QString home = dir.filePath("home"), prefix = home + "/.wine", dosdevices = prefix + "/dosdevices";
        QVERIFY(QDir().mkpath(prefix + "/drive_c") && QDir().mkpath(dosdevices));
        QVERIFY(QFile::link("../drive_c", dosdevices + "/c:"));
        QVERIFY(QFile::link("/nonexistent-medium/cdrom", dosdevices + "/d:")); // no medium: still listed
        QVERIFY(QFile::link("/", dosdevices + "/z:"));                         // "/" is listed already
        QVERIFY(QFile::link("/dev/sr0", dosdevices + "/d::"));                 // a raw device
        kvrtest::writeFile(dosdevices + "/notes.txt", "not a drive");
        kvrtest::writeFile(dir.filePath("mounts"), "/dev/sda2 / ext4 rw,relatime 0 0\n"
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
                                                   "garbage\n\n");

        const QList<Drive> drives = kvr::listDrives({dir.filePath("mounts"), home, prefix});

        QCOMPARE(paths(drives), QStringList({"/", "/home", "/media/jo/MY USB", "/mnt/share", "/run/media/jo/DATA", home,
                                             prefix + "/drive_c", "/nonexistent-medium/cdrom"}));
        QCOMPARE(drives.first().kind, Drive::Kind::Root);
        QCOMPARE(drives[2].label, QString("MY USB (/media/jo/MY USB)"));
        QCOMPARE(drives[5].kind, Drive::Kind::Home);
        QCOMPARE(drives[5].label, "Home (" + home + ')');
        QCOMPARE(drives[6].label, "Wine C: (" + prefix + "/drive_c)");
        QCOMPARE(drives[7].kind, Drive::Kind::Wine);
        QCOMPARE(drives[7].label, QString("Wine D: (/nonexistent-medium/cdrom)"));
    }

    void missingSourcesLeaveRootAndHome()
    {
        QTemporaryDir dir;
        QCOMPARE(paths(kvr::listDrives({dir.filePath("no-mounts"), dir.path() + "/./", dir.filePath("no-wine")})),
                 QStringList({"/", dir.path()}));
        // A home folder that is a mount point, or "/" itself, is listed once.
        kvrtest::writeFile(dir.filePath("mounts"), "/dev/sda3 /home/jo ext4 rw 0 0\n");
        QCOMPARE(paths(kvr::listDrives({dir.filePath("mounts"), "/home/jo", {}})), QStringList({"/", "/home/jo"}));
        QCOMPARE(paths(kvr::listDrives({{}, "/", {}})), QStringList({"/"}));
    }

    void localDrivePath_data()
    {
        QTest::addColumn<QString>("drive");
        QTest::addColumn<QString>("path");
        for (const char* root : {"c:\\", "C:\\", "C:", "c:"})
            QTest::newRow(root) << root << "/";
        for (const char* other : {"D:", "c:\\games", "c:\\\\", "/media/cdrom"})
            QTest::newRow(other) << other << other;
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
        QTest::newRow("folder") << "." << QString();
        QTest::newRow("root") << "/" << QString();
        QTest::newRow("missing") << "missing"
                                 << "File not found";
        QTest::newRow("a file") << "file"
                                << "Path not found";
        QTest::newRow("dangling link") << "d:"
                                       << "File not found";
        QTest::newRow("empty") << "-"
                               << "Path not found";
    }
    void checkFolderReadable()
    {
        QFETCH(QString, name);
        QFETCH(QString, error);
        QTemporaryDir dir;
        kvrtest::writeFile(dir.filePath("file"), "x");
        QVERIFY(QFile::link(dir.filePath("gone"), dir.filePath("d:")));
        const QString path = name == "-" ? QString() : name.startsWith('/') ? name : dir.filePath(name);
        try {
            kvr::checkFolderReadable(path);
            QVERIFY2(error.isNull(), "an error was expected");
        } catch (const kvr::Error& e) {
            QCOMPARE(e.description(), error);
        }
    }
};

QTEST_GUILESS_MAIN(TestDrives)
#include "test_drives.moc"
