// The drives the control panel offers. Linux has no drive letters: "/" stands for drive C, and
// the other entries are the places a game or a skins folder is likely to live: mounted disks,
// the home folder and the drives of the default Wine prefix.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace kvr {

struct Drive
{
    enum class Kind { Root, Mount, Home, Wine, Prefix };
    Kind kind;
    QString path;  // absolute POSIX folder the folder tree opens at
    QString label; // what the drive list shows
};

// Where the list comes from. system() gives the running system's; tests give their own.
struct DriveSources
{
    QString mountTable; // a file in /proc/self/mounts format
    QString homeFolder;
    QString winePrefix; // its dosdevices folder holds the "x:" links

    static DriveSources system();
};

// "/" first, then mounted disks, the home folder and the Wine drives; no path twice.
QList<Drive> listDrives(const DriveSources& sources);

// The mount points worth offering, in ascending order, from mount-table text.
struct MountPoint
{
    QString path;
    QString type;
};
QList<MountPoint> parseMountTable(const QByteArray& table);

// The system names drive C as "c:\" or "C:"; here that is "/". Any other name is a path already.
QString localDrivePath(const QString& drive);

// Throws Error when the folder cannot be listed: missing, not a folder, unreadable, no medium.
void checkFolderReadable(const QString& path);

} // namespace kvr
