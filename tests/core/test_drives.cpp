#include "app/toolkit.h"
#include "settings/drives.h"

#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using kvr::Drive;

namespace {

// A mount table as a desktop machine running containers and snaps might show it.
const QByteArray kMountTable = "/dev/sda2 / ext4 rw,relatime 0 0\n"
                               "proc /proc proc rw,nosuid 0 0\n"
                               "sysfs /sys sysfs rw 0 0\n"
                               "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
                               "tmpfs /run/user/1000 tmpfs rw 0 0\n"
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
                               "garbage\n"
                               "\n";

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
    void mountTableKeepsTheUsersDisksOnly()
    {
        const QList<kvr::MountPoint> mounts = kvr::parseMountTable(kMountTable);
        QStringList got;
        for (const kvr::MountPoint& m : mounts)
            got << m.path + QLatin1Char(' ') + m.type;
        // "/" is not a mount entry of its own: it is always the first drive.
        QCOMPARE(got, QStringList({QStringLiteral("/home ext4"), QStringLiteral("/media/jo/MY USB vfat"),
                                   QStringLiteral("/mnt/share nfs4"), QStringLiteral("/run/media/jo/DATA ntfs3")}));
    }

    void listRootFirstThenMountsHomeAndWine()
    {
        QTemporaryDir dir;
        const QString home = dir.filePath(QStringLiteral("home"));
        const QString prefix = home + QStringLiteral("/.wine");
        const QString dosdevices = prefix + QStringLiteral("/dosdevices");
        QVERIFY(QDir().mkpath(dosdevices));
        QVERIFY(QDir().mkpath(prefix + QStringLiteral("/drive_c")));
        QVERIFY(QFile::link(QStringLiteral("../drive_c"), dosdevices + QStringLiteral("/c:")));
        QVERIFY(QFile::link(QStringLiteral("/nonexistent-medium/cdrom"), dosdevices + QStringLiteral("/d:")));
        QVERIFY(QFile::link(QStringLiteral("/"), dosdevices + QStringLiteral("/z:")));  // "/" is listed already
        QVERIFY(QFile::link(QStringLiteral("/dev/sr0"), dosdevices + QStringLiteral("/d::")));  // a raw device
        kvrtest::writeFile(dosdevices + QStringLiteral("/notes.txt"), "not a drive");
        const QString table = dir.filePath(QStringLiteral("mounts"));
        kvrtest::writeFile(table, kMountTable);

        const QList<Drive> drives = kvr::listDrives({table, home, prefix});

        QCOMPARE(paths(drives), QStringList({QStringLiteral("/"), QStringLiteral("/home"),
                                             QStringLiteral("/media/jo/MY USB"), QStringLiteral("/mnt/share"),
                                             QStringLiteral("/run/media/jo/DATA"), home, prefix + QStringLiteral("/drive_c"),
                                             QStringLiteral("/nonexistent-medium/cdrom")}));
        QCOMPARE(drives.first().kind, Drive::Kind::Root);
        QCOMPARE(drives[2].label, QStringLiteral("MY USB (/media/jo/MY USB)"));
        QCOMPARE(drives[5].kind, Drive::Kind::Home);
        QCOMPARE(drives[5].label, QStringLiteral("Home (") + home + QLatin1Char(')'));
        QCOMPARE(drives[6].label, QStringLiteral("Wine C: (") + prefix + QStringLiteral("/drive_c)"));
        QCOMPARE(drives[7].kind, Drive::Kind::Wine);
        QCOMPARE(drives[7].label, QStringLiteral("Wine D: (/nonexistent-medium/cdrom)"));
    }

    void missingSourcesLeaveRootAndHome()
    {
        QTemporaryDir dir;
        const QString home = dir.path() + QStringLiteral("/./");
        const QList<Drive> drives =
            kvr::listDrives({dir.filePath(QStringLiteral("no-mounts")), home, dir.filePath(QStringLiteral("no-wine"))});
        QCOMPARE(paths(drives), QStringList({QStringLiteral("/"), dir.path()}));

        // A home folder that is a mount point, or "/" itself, is listed once.
        const QString table = dir.filePath(QStringLiteral("mounts"));
        kvrtest::writeFile(table, "/dev/sda3 /home/jo ext4 rw 0 0\n");
        QCOMPARE(paths(kvr::listDrives({table, QStringLiteral("/home/jo"), {}})),
                 QStringList({QStringLiteral("/"), QStringLiteral("/home/jo")}));
        QCOMPARE(paths(kvr::listDrives({{}, QStringLiteral("/"), {}})), QStringList({QStringLiteral("/")}));
    }

    void driveCIsRoot_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path");
        QTest::newRow("c:\\") << QStringLiteral("c:\\") << QStringLiteral("/");
        QTest::newRow("C:") << QStringLiteral("C:") << QStringLiteral("/");
        QTest::newRow("c:") << QStringLiteral("c:") << QStringLiteral("/");
        QTest::newRow("another letter") << QStringLiteral("D:") << QStringLiteral("D:");
        QTest::newRow("a folder of C") << QStringLiteral("c:\\games") << QStringLiteral("c:\\games");
        QTest::newRow("a path") << QStringLiteral("/media/cdrom") << QStringLiteral("/media/cdrom");
    }
    void driveCIsRoot()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QCOMPARE(kvr::localDrivePath(name), path);
    }

    void unreadableFolderThrows()
    {
        QTemporaryDir dir;
        kvr::checkFolderReadable(dir.path());
        kvr::checkFolderReadable(QStringLiteral("/"));
        const QString file = dir.filePath(QStringLiteral("file"));
        kvrtest::writeFile(file, "x");
        const QString broken = dir.filePath(QStringLiteral("d:"));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), broken));
        for (const QString& bad : {dir.filePath(QStringLiteral("missing")), file, broken, QString()}) {
            try {
                kvr::checkFolderReadable(bad);
                QFAIL(qPrintable(QStringLiteral("no error for ") + bad));
            } catch (const kvr::Error& e) {
                QVERIFY(!e.description().isEmpty());
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestDrives)
#include "test_drives.moc"
