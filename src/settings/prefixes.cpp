#include "settings/prefixes.h"

#include "app/background.h"
#include "app/fileio.h"
#include "settings/lutris.h"
#include "settings/vdf.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <utility>

namespace kvr {

namespace {

// Launcher files are small; a huge one is not what we look for. A Lutris game file is a few
// lines: the YAML reader is given no more than this.
constexpr qint64 kMaxConfigSize = qint64{4} * 1024 * 1024;
constexpr qint64 kMaxLutrisFileSize = qint64{256} * 1024;
// Nobody has more: a folder or file holding more entries than these is read only that far.
constexpr qsizetype kMaxFolderEntries = 4096;
constexpr qsizetype kMaxLibraryPaths = 1024;
constexpr qsizetype kMaxDrives = 4096;

// A pipe or device planted where a launcher file should be is skipped, never waited on.
QByteArray readSmallFile(const QString& path, qint64 maxSize = kMaxConfigSize)
{
    FileRead read = readRegularFile(path, maxSize);
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

// The entries of a folder, at most kMaxFolderEntries of them, in ascending order of name.
QStringList folderEntries(const QString& folder, QDir::Filters filters, const QStringList& patterns = {})
{
    QStringList names;
    QDirIterator it(folder, patterns, filters | QDir::NoDotAndDotDot | QDir::Hidden);
    while (names.size() < kMaxFolderEntries && it.hasNext())
        names.append(it.nextFileInfo().fileName());
    names.sort();
    return names;
}

QStringList subfolders(const QString& folder)
{
    QStringList out;
    for (const QString& name : folderEntries(folder, QDir::Dirs))
        out.append(folder + QLatin1Char('/') + name);
    return out;
}

class Collector
{
public:
    Collector(const QString& home, const std::atomic_bool& stop) : m_home(QDir::cleanPath(home)), m_stop(stop) {}

    // Set when the caller no longer wants the result, or the list is as long as any can be.
    bool done() const { return m_stop.load(std::memory_order_relaxed) || m_drives.size() >= kMaxDrives; }

    // Adds the folder under its label when it exists and was not listed already.
    void add(const QString& path, const QString& label)
    {
        if (done())
            return;
        const QString real = existingFolder(path);
        if (real.isEmpty() || m_seen.contains(real))
            return;
        m_seen.insert(real);
        m_drives.append({Drive::Kind::Prefix, QDir::cleanPath(path), label});
    }

    // A prefix's drive C: "drive_c", or "pfx/drive_c" for a Proton-style prefix.
    void addPrefix(const QString& prefix, const QString& label)
    {
        if (done())
            return;
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
    const std::atomic_bool& m_stop;
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
    QSet<QString> seen; // real paths: one library reached by two spellings is listed once
    auto addLibrary = [&](const QString& path) {
        if (c.done())
            return;
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
            const QStringList named = steamLibraryPaths(readSmallFile(steam + vdf));
            for (const QString& library : named.mid(0, kMaxLibraryPaths))
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
    // The game's manifest may lie in any library: each library's manifests are listed once, so
    // finding a name costs a look-up, not a read in every library.
    QHash<QString, QStringList> manifests;
    for (const QString& library : libraries) {
        const QString steamapps = library + QStringLiteral("/steamapps/");
        for (const QString& file : folderEntries(steamapps, QDir::Files, {QStringLiteral("appmanifest_*.acf")}))
            manifests[file].append(steamapps + file);
    }
    for (const QString& library : libraries) {
        for (const QString& prefix : subfolders(library + QStringLiteral("/steamapps/compatdata"))) {
            if (c.done())
                return;
            const QString appid = QFileInfo(prefix).fileName();
            QString name;
            for (const QString& manifest :
                 manifests.value(QStringLiteral("appmanifest_") + appid + QStringLiteral(".acf"))) {
                name = steamAppName(readSmallFile(manifest));
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
    const QString games = c.home() + QStringLiteral("/.local/share/lutris/games/");
    for (const QString& file : folderEntries(games, QDir::Files, {QStringLiteral("*.yml"), QStringLiteral("*.yaml")})) {
        if (c.done())
            return;
        QString prefix = lutrisGamePrefix(readSmallFile(games + file, kMaxLutrisFileSize));
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
        const QString dir = c.home() + config + QLatin1Char('/');
        for (const QString& file : folderEntries(dir, QDir::Files, {QStringLiteral("*.json")})) {
            if (c.done())
                return;
            const QJsonObject games = QJsonDocument::fromJson(readSmallFile(dir + file)).object();
            for (auto it = games.begin(); it != games.end() && !c.done(); ++it) {
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
    return listPrefixDrives(homeFolder, neverStopped());
}

QList<Drive> listPrefixDrives(const QString& homeFolder, const std::atomic_bool& stop)
{
    if (homeFolder.isEmpty())
        return {};
    Collector c(homeFolder, stop);
    findWine(c);
    findSteam(c);
    findLutris(c);
    findHeroic(c);
    findBottles(c);
    return c.take();
}

} // namespace kvr
