#include "settings/prefixes.h"

#include "app/fileio.h"
#include "settings/lutris.h"
#include "settings/vdf.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <utility>

namespace kvr {

namespace {

// Launcher files are small; a huge one is not what we look for.
constexpr qint64 kMaxConfigSize = qint64{4} * 1024 * 1024;

// A pipe or device planted where a launcher file should be is skipped, never waited on.
QByteArray readSmallFile(const QString& path)
{
    FileRead read = readRegularFile(path, kMaxConfigSize);
    return read.ok() ? std::move(read.data) : QByteArray();
}

// The folder's real path, "" when it is not an existing folder we may list.
QString existingFolder(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isDir() || !info.isReadable() || !info.isExecutable())
        return {};
    return info.canonicalFilePath();
}

QStringList subfolders(const QString& folder)
{
    QStringList out;
    const QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name))
        out.append(dir.filePath(name));
    return out;
}

class Collector
{
public:
    explicit Collector(const QString& home) : m_home(QDir::cleanPath(home)) {}

    // Adds the folder under its label when it exists and was not listed already.
    void add(const QString& path, const QString& label)
    {
        const QString real = existingFolder(path);
        if (real.isEmpty() || m_seen.contains(real))
            return;
        m_seen.insert(real);
        m_drives.append({Drive::Kind::Prefix, QDir::cleanPath(path), label});
    }

    // A prefix's drive C: "drive_c", or "pfx/drive_c" for a Proton-style prefix.
    void addPrefix(const QString& prefix, const QString& label)
    {
        for (const QString& inner : {QStringLiteral("/drive_c"), QStringLiteral("/pfx/drive_c")}) {
            if (!existingFolder(prefix + inner).isEmpty()) {
                add(prefix + inner, label);
                return;
            }
        }
    }

    // The home folder written as "~" in labels, so they stay short.
    QString shortPath(const QString& path) const
    {
        QString clean = QDir::cleanPath(path);
        if (clean == m_home || clean.startsWith(m_home + QLatin1Char('/')))
            return QLatin1Char('~') + clean.mid(m_home.size());
        return clean;
    }

    const QString& home() const { return m_home; }
    QList<Drive> take() { return std::move(m_drives); }

private:
    QString m_home;
    QSet<QString> m_seen;
    QList<Drive> m_drives;
};

void findWine(Collector& c)
{
    c.addPrefix(c.home() + QStringLiteral("/.wine"), QStringLiteral("Wine: default C:"));
    for (const QString& prefix : subfolders(c.home() + QStringLiteral("/.local/share/wineprefixes")))
        c.addPrefix(prefix, QStringLiteral("Wine: ") + QFileInfo(prefix).fileName() + QStringLiteral(" C:"));
}

// Steam's own folder in each of the places it installs itself, and every library it names.
QStringList steamLibraries(const Collector& c)
{
    static const QStringList roots = {
        QStringLiteral("/.steam/steam"),
        QStringLiteral("/.local/share/Steam"),
        QStringLiteral("/.steam/root"),
        QStringLiteral("/.var/app/com.valvesoftware.Steam/.local/share/Steam"),
        QStringLiteral("/.var/app/com.valvesoftware.Steam/data/Steam"),
        QStringLiteral("/.var/app/com.valvesoftware.Steam/.steam/steam"),
    };
    QStringList libraries;
    QSet<QString> seen;
    auto addLibrary = [&](const QString& path) {
        const QString real = existingFolder(path + QStringLiteral("/steamapps"));
        if (real.isEmpty() || seen.contains(real))
            return;
        seen.insert(real);
        libraries.append(QDir::cleanPath(path));
    };
    for (const QString& root : roots) {
        const QString steam = c.home() + root;
        if (existingFolder(steam).isEmpty())
            continue;
        addLibrary(steam);
        for (const QString& vdf :
             {QStringLiteral("/steamapps/libraryfolders.vdf"), QStringLiteral("/config/libraryfolders.vdf")}) {
            for (const QString& library : steamLibraryPaths(readSmallFile(steam + vdf)))
                if (QDir::isAbsolutePath(library))
                    addLibrary(library);
        }
    }
    return libraries;
}

void findSteam(Collector& c)
{
    const QStringList libraries = steamLibraries(c);
    for (const QString& library : libraries)
        c.add(library + QStringLiteral("/steamapps/common"),
              QStringLiteral("Steam: ") + c.shortPath(library) + QStringLiteral(" games"));
    for (const QString& library : libraries) {
        for (const QString& prefix : subfolders(library + QStringLiteral("/steamapps/compatdata"))) {
            const QString appid = QFileInfo(prefix).fileName();
            // The game's manifest may lie in any library.
            QString name;
            for (const QString& other : libraries) {
                name = steamAppName(
                    readSmallFile(other + QStringLiteral("/steamapps/appmanifest_") + appid + QStringLiteral(".acf")));
                if (!name.isEmpty())
                    break;
            }
            c.add(prefix + QStringLiteral("/pfx/drive_c"),
                  QStringLiteral("Proton ") + (name.isEmpty() ? appid : name) + QStringLiteral(" C:"));
        }
    }
}

void findLutris(Collector& c)
{
    const QDir games(c.home() + QStringLiteral("/.local/share/lutris/games"));
    for (const QString& file :
         games.entryList({QStringLiteral("*.yml"), QStringLiteral("*.yaml")}, QDir::Files, QDir::Name)) {
        QString prefix = lutrisGamePrefix(readSmallFile(games.filePath(file)));
        if (prefix.startsWith(QLatin1Char('~')))
            prefix = c.home() + prefix.mid(1);
        if (QDir::isAbsolutePath(prefix))
            c.addPrefix(prefix, QStringLiteral("Lutris: ") + lutrisGameName(file) + QStringLiteral(" C:"));
    }
}

void findHeroic(Collector& c)
{
    for (const QString& prefix : subfolders(c.home() + QStringLiteral("/Games/Heroic/Prefixes")))
        c.addPrefix(prefix, QStringLiteral("Heroic: ") + QFileInfo(prefix).fileName() + QStringLiteral(" C:"));
    // Each game's settings may name a prefix elsewhere.
    for (const QString& config : {QStringLiteral("/.config/heroic/GamesConfig"),
                                  QStringLiteral("/.var/app/com.heroicgameslauncher.hgl/config/heroic/GamesConfig")}) {
        const QDir dir(c.home() + config);
        for (const QString& file : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
            const QJsonObject games = QJsonDocument::fromJson(readSmallFile(dir.filePath(file))).object();
            for (auto it = games.begin(); it != games.end(); ++it) {
                const QString prefix = it.value().toObject().value(QLatin1String("winePrefix")).toString();
                if (QDir::isAbsolutePath(prefix))
                    c.addPrefix(prefix, QStringLiteral("Heroic: ") + QFileInfo(QDir::cleanPath(prefix)).fileName() +
                                            QStringLiteral(" C:"));
            }
        }
    }
}

void findBottles(Collector& c)
{
    for (const QString& bottles : {QStringLiteral("/.local/share/bottles/bottles"),
                                   QStringLiteral("/.var/app/com.usebottles.bottles/data/bottles/bottles")}) {
        for (const QString& bottle : subfolders(c.home() + bottles))
            c.addPrefix(bottle, QStringLiteral("Bottles: ") + QFileInfo(bottle).fileName() + QStringLiteral(" C:"));
    }
}

} // namespace

QList<Drive> listPrefixDrives(const QString& homeFolder)
{
    if (homeFolder.isEmpty())
        return {};
    Collector c(homeFolder);
    findWine(c);
    findSteam(c);
    findLutris(c);
    findHeroic(c);
    findBottles(c);
    return c.take();
}

} // namespace kvr
