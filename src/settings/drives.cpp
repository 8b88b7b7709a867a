#include "settings/drives.h"

#include "app/fileio.h"
#include "app/toolkit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace kvr {

namespace {

// File systems that hold no user files: kernel interfaces, memory-backed scratch space, the
// read-only images of packaged apps and the layers of containers.
bool isPseudoFileSystem(const QString& type)
{
    static const QStringList pseudo = {
        QStringLiteral("proc"),          QStringLiteral("sysfs"),
        QStringLiteral("devtmpfs"),      QStringLiteral("devpts"),
        QStringLiteral("tmpfs"),         QStringLiteral("ramfs"),
        QStringLiteral("cgroup"),        QStringLiteral("cgroup2"),
        QStringLiteral("securityfs"),    QStringLiteral("pstore"),
        QStringLiteral("debugfs"),       QStringLiteral("tracefs"),
        QStringLiteral("configfs"),      QStringLiteral("fusectl"),
        QStringLiteral("mqueue"),        QStringLiteral("hugetlbfs"),
        QStringLiteral("bpf"),           QStringLiteral("autofs"),
        QStringLiteral("binfmt_misc"),   QStringLiteral("efivarfs"),
        QStringLiteral("rpc_pipefs"),    QStringLiteral("nsfs"),
        QStringLiteral("selinuxfs"),     QStringLiteral("nfsd"),
        QStringLiteral("squashfs"),      QStringLiteral("erofs"),
        QStringLiteral("overlay"),       QStringLiteral("fuse.gvfsd-fuse"),
        QStringLiteral("fuse.portal"),   QStringLiteral("fuse.lxcfs"),
        QStringLiteral("fuse.snapfuse"),
    };
    return pseudo.contains(type);
}

bool isUnder(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// Places where the system, not the user, mounts things. Removable media that the desktop
// mounts under /run/media are the user's and stay.
bool isSystemLocation(const QString& path)
{
    static const QStringList system = {
        QStringLiteral("/proc"),
        QStringLiteral("/sys"),
        QStringLiteral("/dev"),
        QStringLiteral("/run"),
        QStringLiteral("/etc"),
        QStringLiteral("/boot"),
        QStringLiteral("/snap"),
        QStringLiteral("/var/snap"),
        QStringLiteral("/var/lib/docker"),
        QStringLiteral("/var/lib/containers"),
    };
    if (isUnder(path, QStringLiteral("/run/media")) && path != QStringLiteral("/run/media"))
        return false;
    return std::any_of(system.begin(), system.end(), [&](const QString& s) { return isUnder(path, s); });
}

// The mount table writes blanks, tabs, newlines and backslashes in names as \ooo.
QString unescapeMountField(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out.append(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
        } else {
            out.append(field[i]);
        }
    }
    return QFile::decodeName(out);
}

QString lastComponent(const QString& path)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    return name.isEmpty() ? path : name;
}

} // namespace

DriveSources DriveSources::system()
{
    const QString home = QDir::homePath();
    return {QStringLiteral("/proc/self/mounts"), home, home + QStringLiteral("/.wine")};
}

QList<MountPoint> parseMountTable(const QByteArray& table)
{
    QList<MountPoint> mounts;
    for (const QByteArray& line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 3)
            continue;
        const QString path = QDir::cleanPath(unescapeMountField(fields[1]));
        const QString type = QString::fromLatin1(fields[2]);
        if (!path.startsWith(QLatin1Char('/')) || path == QStringLiteral("/"))
            continue;
        if (isPseudoFileSystem(type) || isSystemLocation(path))
            continue;
        // A folder mounted over twice is one place.
        if (std::any_of(mounts.begin(), mounts.end(), [&](const MountPoint& m) { return m.path == path; }))
            continue;
        mounts.append({path, type});
    }
    std::sort(mounts.begin(), mounts.end(), [](const MountPoint& a, const MountPoint& b) { return a.path < b.path; });
    return mounts;
}

QList<Drive> listDrives(const DriveSources& sources)
{
    QList<Drive> drives;
    auto add = [&drives](Drive::Kind kind, const QString& path, const QString& label) {
        if (path.isEmpty())
            return;
        if (std::any_of(drives.begin(), drives.end(), [&](const Drive& d) { return d.path == path; }))
            return;
        drives.append({kind, path, label});
    };

    add(Drive::Kind::Root, QStringLiteral("/"), QStringLiteral("Computer (/)"));

    QFile table(sources.mountTable);
    if (!sources.mountTable.isEmpty() && table.open(QIODevice::ReadOnly)) {
        // The kernel's table reports a size of 0: read until the end, not by size.
        for (const MountPoint& m : parseMountTable(table.readAll()))
            add(Drive::Kind::Mount, m.path, lastComponent(m.path) + QStringLiteral(" (") + m.path + QLatin1Char(')'));
    }

    if (!sources.homeFolder.isEmpty()) {
        const QString home = QDir::cleanPath(sources.homeFolder);
        add(Drive::Kind::Home, home, QStringLiteral("Home (") + home + QLatin1Char(')'));
    }

    if (!sources.winePrefix.isEmpty()) {
        // Each drive letter is a link named like "d:"; "d::" names the raw device and is no folder.
        static const QRegularExpression letter(QStringLiteral("^[a-z]:$"), QRegularExpression::CaseInsensitiveOption);
        const QDir dosdevices(sources.winePrefix + QStringLiteral("/dosdevices"));
        const QFileInfoList entries =
            dosdevices.entryInfoList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& entry : entries) {
            if (!letter.match(entry.fileName()).hasMatch())
                continue;
            // A link whose target is missing is a drive with no medium: listed, and it falls back
            // to "/" when picked.
            const QString target = entry.isSymLink() ? entry.symLinkTarget() : entry.absoluteFilePath();
            const QString path = QDir::cleanPath(target);
            add(Drive::Kind::Wine, path,
                QStringLiteral("Wine ") + entry.fileName().toUpper() + QStringLiteral(" (") + path + QLatin1Char(')'));
        }
    }
    return drives;
}

QString localDrivePath(const QString& drive)
{
    static const QRegularExpression driveC(QStringLiteral("^[cC]:\\\\?$"));
    return driveC.match(drive).hasMatch() ? QStringLiteral("/") : drive;
}

void checkFolderReadable(const QString& path)
{
    if (path.isEmpty())
        throw Error(QStringLiteral("Path not found"));
    if (const DirStream dir(path); !dir.isOpen())
        throw Error::fromErrno(dir.error());
}

} // namespace kvr
