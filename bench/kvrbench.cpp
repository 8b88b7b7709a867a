// Prints the program's speed and memory figures at the scale players reach (tens of thousands
// of packages), with unpacking compared against Info-ZIP's unzip in the same run.
//
//   kvrbench DATA_FOLDER [RUNS] [history|loadouts|prune]
//   kvrbench --scans DATA_FOLDER [RUNS]   only the figures of the bounded background scans
#include "app/toolkit.h"
#include "catalogue/skinpackage.h"
#include "change/slotchange.h"
#include "history/history.h"
#include "installer/combolist.h"
#include "installer/principal.h"
#include "installer/skinsreport.h"
#include "loadouts/loadouts.h"
#include "settings/lutris.h"
#include "settings/prefixes.h"
#include "settings/profile.h"
#include "settings/settings_names.h"
#include "settings/vdf.h"
#include "viewer/visor.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QProcess>

#include "zipwriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPackages = 20000;
constexpr int kSlotPackages = 1000;

QString g_data;
int g_runs = 5;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Milliseconds of CPU time, user and system, this thread has taken so far.
double threadCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Milliseconds of one call.
double timed(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

double medianOf(int runs, const std::function<void()>& prepare, const std::function<void()>& work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        prepare();
        times.push_back(timed(work));
    }
    return median(times);
}

void emptyFolder(const QString& folder)
{
    QDir dir(folder);
    dir.removeRecursively();
    QDir().mkpath(folder);
}

// An emptied target with nothing of the previous run still waiting to be written to the disk, so
// no run is slowed down by the write-back of the one before it, whichever tool that was.
void freshTarget(const QString& folder)
{
    emptyFolder(folder);
    ::sync();
}

void run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        std::fprintf(stderr, "warning: %s exited with %d\n", qPrintable(program), process.exitCode());
}

// ---- Data ---------------------------------------------------------------------------------

// Text-like data: words from a small vocabulary with numbers, compressible but not trivially.
QByteArray textLike(qsizetype size, unsigned seed)
{
    static const char* words[] = {"skin",    "wing",    "fuselage", "rudder",  "roundel", "camouflage", "squadron",
                                  "texture", "dark",    "green",    "ocean",   "grey",    "sky",        "desert",
                                  "pink",    "spinner", "serial",   "code",    "letters", "yellow",     "band",
                                  "night",   "black",   "invasion", "stripes", "aileron", "elevator",   "canopy",
                                  "frame",   "exhaust", "stain",    "oil"};
    std::mt19937 random(seed);
    QByteArray out;
    out.reserve(size + 32);
    while (out.size() < size) {
        out += words[random() % 32];
        if (random() % 4 == 0)
            out += QByteArray::number(static_cast<unsigned>(random() % 100000));
        out += (random() % 12 == 0) ? '\n' : ' ';
    }
    out.truncate(size);
    return out;
}

// Texture-like data: noisy gradients, compressing about two to one as real skins do.
QByteArray textureLike(qsizetype size, unsigned seed)
{
    std::mt19937 random(seed);
    QByteArray out(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        out[i] = static_cast<char>(((i / 3) % 256) + static_cast<int>(random() % 8));
    return out;
}

using Member = kvr::ZipMember;

void writeArchive(const QString& path, const QList<Member>& members)
{
    if (!kvr::writeZip(path, members))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

QString dataPath(const QString& name)
{
    return g_data + QLatin1Char('/') + name;
}

void makeData()
{
    QDir().mkpath(g_data);
    const QString stamp = dataPath(QStringLiteral("version-2"));
    if (QFile::exists(stamp))
        return;
    std::fprintf(stderr, "Generating benchmark data in %s (once)...\n", qPrintable(g_data));

    {
        QList<Member> members{{"PBIG.TPC", textLike(200LL * 1024 * 1024, 1)}};
        writeArchive(dataPath(QStringLiteral("big.zip")), members);
    }
    {
        QList<Member> members;
        std::mt19937 random(2);
        for (int i = 0; i < 5000; ++i)
            members.push_back({"skins/PSMALL" + QByteArray::number(i) + ".TPC",
                               textLike(200 + static_cast<qsizetype>(random() % 1800), 100 + i)});
        writeArchive(dataPath(QStringLiteral("many.zip")), members);
    }
    {
        // A typical package: four textures, a model and a note, 4 MB in all.
        QList<Member> members{
            {"PMOSQ.TPC", textureLike(1000 * 1024, 3)},     {"PMOSQ_WING.TPC", textureLike(1000 * 1024, 4)},
            {"PMOSQ_TAIL.TPC", textureLike(900 * 1024, 5)}, {"PMOSQ_NOSE.TPC", textureLike(900 * 1024, 6)},
            {"models/PMOSQ.3DZ", textLike(290 * 1024, 7)},  {"Typical.txt", textLike(4 * 1024, 8)},
        };
        writeArchive(dataPath(QStringLiteral("typical.zip")), members);
        QDir().mkpath(dataPath(QStringLiteral("install/skins")));
        QFile::remove(dataPath(QStringLiteral("install/skins/MOSQ_Typical.zip")));
        QFile::copy(dataPath(QStringLiteral("typical.zip")),
                    dataPath(QStringLiteral("install/skins/MOSQ_Typical.zip")));
    }
    {
        // 20,000 packages: 1,000 of slot 7, the rest spread over the other codes.
        const QString folder = dataPath(QStringLiteral("skins20k"));
        emptyFolder(folder);
        static const char* codes[] = {"HURR", "SP2A", "SP09", "SP14", "TYPH", "TEMP", "P51B", "P51D", "P38H", "P38J",
                                      "P47C", "P47D", "B26A", "BB17", "B24A", "109E", "109G", "109K", "110C", "110G",
                                      "M410", "190A", "190D", "262A", "J88A", "J88C", "JU87", "H111", "V1V1"};
        for (int i = 0; i < kPackages; ++i) {
            const QString code = i < kSlotPackages ? QStringLiteral("MOSQ") : QString::fromLatin1(codes[i % 29]);
            QFile file(folder + QLatin1Char('/') + code +
                       QStringLiteral("_Skin %1.zip").arg(i, 5, 10, QLatin1Char('0')));
            file.open(QIODevice::WriteOnly);
        }
    }
    QFile stampFile(stamp);
    stampFile.open(QIODevice::WriteOnly);
}

// ---- Figures ------------------------------------------------------------------------------

struct Row
{
    const char* figure;
    double ours;
    double reference; // NaN where there is none
    const char* unit;
    double target;
    bool targetIsRatio;
};

std::vector<Row> g_rows;

// ---- Unpacking ----------------------------------------------------------------------------
//
// Whole processes, alternating in each round so that the machine's noise (the CPU is shared)
// falls on all of them alike: ours (unzip32-cli, the library with the program's options),
// Info-ZIP's `unzip -j -o -qq`, and where asked the floor (kvrfloor: the same names, sizes and
// times written plainly). Ratios are the medians of each round's ratios, with their spread.

struct UnpackRow
{
    QString figure;
    std::vector<double> ours, unzip, floor;
    double unzipTarget;
    double floorTarget; // NaN: none
};

std::vector<UnpackRow> g_unpackRows;

// "SIZE MTIME NAME" per member that holds a file, as the extraction lands them.
QString writeManifest(const QString& archive)
{
    const QString manifest = archive + QStringLiteral(".manifest");
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(archive).constData(), ZIP_RDONLY, &error);
    QFile out(manifest);
    if (!zip || !out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(manifest));
        return manifest;
    }
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
        zip_stat_t stat;
        if (zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat) != 0)
            continue;
        QByteArray name(stat.name);
        if (name.endsWith('/'))
            continue;
        name = name.mid(name.lastIndexOf('/') + 1);
        out.write(QByteArray::number(static_cast<qulonglong>(stat.size)) + ' ' +
                  QByteArray::number(static_cast<qlonglong>(stat.mtime)) + ' ' + name + '\n');
    }
    zip_discard(zip);
    return manifest;
}

void unpackFigure(const QString& figure, const QString& archive, const QString& target, double unzipTarget,
                  bool withFloor = false, double floorTarget = NAN)
{
    const QString manifest = withFloor ? writeManifest(archive) : QString();
    UnpackRow row{figure, {}, {}, {}, unzipTarget, floorTarget};
    for (int i = 0; i < g_runs; ++i) {
        freshTarget(target);
        row.ours.push_back(timed([&] { run(QStringLiteral(KVR_UNZIP32_CLI), {archive, target + QLatin1Char('\\')}); }));
        freshTarget(target);
        row.unzip.push_back(timed([&] {
            run(QStringLiteral("unzip"), {QStringLiteral("-j"), QStringLiteral("-o"), QStringLiteral("-qq"), archive,
                                          QStringLiteral("-d"), target});
        }));
        if (!manifest.isEmpty()) {
            freshTarget(target);
            row.floor.push_back(timed([&] { run(QStringLiteral(KVR_FLOOR), {manifest, target}); }));
        }
    }
    emptyFolder(target);
    g_unpackRows.push_back(row);
}

std::vector<double> ratios(const std::vector<double>& ours, const std::vector<double>& theirs)
{
    std::vector<double> out;
    for (size_t i = 0; i < ours.size() && i < theirs.size(); ++i)
        out.push_back(ours[i] / theirs[i]);
    return out;
}

QString spread(const std::vector<double>& values, const char* format)
{
    if (values.empty())
        return QStringLiteral("-");
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return QString::asprintf(format, median(values)) + QString::asprintf(" (") + QString::asprintf(format, *low) +
           QStringLiteral("-") + QString::asprintf(format, *high) + QStringLiteral(")");
}

void printUnpackTable()
{
    std::printf("\nUnpacking: medians of %d alternating rounds, (min-max) across rounds; ratios per round\n", g_runs);
    std::printf("%-44s %-24s %-24s %-24s %-18s %-18s %s\n", "Figure", "Ours ms", "unzip ms", "Floor ms", "Ours/unzip",
                "Ours/floor", "Targets met");
    for (const UnpackRow& r : g_unpackRows) {
        const std::vector<double> toUnzip = ratios(r.ours, r.unzip), toFloor = ratios(r.ours, r.floor);
        bool met = median(toUnzip) <= r.unzipTarget;
        QString targets = QString::asprintf("<=%.1f", r.unzipTarget);
        if (!std::isnan(r.floorTarget)) {
            targets += QString::asprintf(", <=%.1f", r.floorTarget);
            met = met && median(toFloor) <= r.floorTarget;
        }
        std::printf("%-44s %-24s %-24s %-24s %-18s %-18s %s %s\n", qPrintable(r.figure),
                    qPrintable(spread(r.ours, "%.1f")), qPrintable(spread(r.unzip, "%.1f")),
                    qPrintable(spread(r.floor, "%.1f")), qPrintable(spread(toUnzip, "%.2f")),
                    qPrintable(spread(toFloor, "%.2f")), qPrintable(targets), met ? "yes" : "NO");
    }
}

void writeSettings(const QString& program, const QString& game, const QString& skins)
{
    QFile ini(program + QStringLiteral("/KVRSI.INI"));
    ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
    using namespace kvr::SettingsNames;
    const QString text = QLatin1Char('[') + kFoldersSection + QStringLiteral("]\r\n") + kGameFolderKey +
                         QLatin1Char('=') + game + QStringLiteral("\r\n") + kSkinsFolderKey + QLatin1Char('=') + skins +
                         QStringLiteral("\r\n");
    ini.write(text.toUtf8());
}

void prepareProgramFolder(const QString& program)
{
    QDir().mkpath(program);
    QFile::remove(program + QStringLiteral("/libunzip32.so"));
    QFile::link(QStringLiteral(KVR_UNZIP32_LIBRARY), program + QStringLiteral("/libunzip32.so"));
    kvr::setProgramFolder(program);
}

void windowFigures()
{
    const QString program = dataPath(QStringLiteral("install/program"));
    const QString game = dataPath(QStringLiteral("install/game"));
    prepareProgramFolder(program);
    emptyFolder(game);

    // Whole installation of the typical package into slot 7, and a reset: the core alone, no window.
    writeSettings(program, game, dataPath(QStringLiteral("install/skins")));
    {
        const QString ini = program + QStringLiteral("/KVRSI.INI");
        const QString skins = dataPath(QStringLiteral("install/skins"));
        const double ms = medianOf(
            g_runs * 2, [] {},
            [&] { kvr::changeSlot(game, skins, ini, QStringLiteral("MOSQ"), QStringLiteral("Typical")); });
        g_rows.push_back(
            {"Installation into a slot (delete, unpack, settings write), typical package", ms, NAN, "ms", 50, false});

        // Reset with 200 skin files present.
        const double reset = medianOf(
            g_runs * 2,
            [&] {
                for (int i = 0; i < 100; ++i) {
                    QFile(game + QStringLiteral("/PSKIN%1.TPC").arg(i)).open(QIODevice::WriteOnly);
                    QFile(game + QStringLiteral("/pskin%1.3dz").arg(i)).open(QIODevice::WriteOnly);
                }
            },
            [&] { kvr::resetSlots(game, ini); });
        g_rows.push_back({"\"Reset Skins\" with 200 skin files present", reset, NAN, "ms", 30, false});
    }

    // The main window and its lists with 20,000 packages.
    writeSettings(program, game, dataPath(QStringLiteral("skins20k")));
    std::vector<double> loads;
    for (int i = 0; i < g_runs; ++i) {
        loads.push_back(timed([] { kvr::Principal::instance(); }));
        if (i + 1 < g_runs)
            delete &kvr::Principal::instance();
    }
    g_rows.push_back({"Principal load with 20,000 packages", median(loads), NAN, "ms", 100, false});
    kvr::Principal& main = kvr::Principal::instance();
    const double list = medianOf(
        g_runs * 4, [] {}, [&] { main.ComboN_DropDown(7); });
    g_rows.push_back({"Opening one slot's list, 20,000 packages (1,000 the slot's)", list, NAN, "ms", 20, false});
    if (main.Combo(7).count() != kSlotPackages + 1)
        std::fprintf(stderr, "warning: slot 7 listed %d entries\n", main.Combo(7).count());

    // The viewer with 20,000 packages, and one change of filter.
    std::vector<double> viewerLoads;
    for (int i = 0; i < g_runs; ++i) {
        viewerLoads.push_back(timed([] { kvr::Visor::instance(); }));
        if (i + 1 < g_runs)
            delete &kvr::Visor::instance();
    }
    g_rows.push_back({"Visor load with 20,000 packages", median(viewerLoads), NAN, "ms", 150, false});
    kvr::Visor& viewer = kvr::Visor::instance();
    auto* filter = viewer.findChild<QComboBox*>(QStringLiteral("Combo1"));
    int item = 0;
    const double filterMs = medianOf(
        g_runs * 4, [&] { filter->setCurrentIndex(item = (item % 30) + 1); }, [&] { viewer.Combo1_Click(); });
    g_rows.push_back({"Visor filter change, 20,000 packages", filterMs, NAN, "ms", 50, false});
    delete &viewer;
    delete &main;
}

// ---- Loadouts -----------------------------------------------------------------------------

// Waits for the loadouts window to have its list, or its selected loadout, checked.
void waitReady(kvr::Loadouts& window)
{
    while (!window.ready())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Applying a loadout that changes all 30 slots to typical 4 MB packages, through the one apply
// (CRC of every package, then 30 whole slot changes); and the loadouts window opening over 200
// loadouts and 20,000 packages.
void loadoutFigures()
{
    const QString root = dataPath(QStringLiteral("loadouts"));
    const QString program = root + QStringLiteral("/program");
    const QString game = root + QStringLiteral("/game");
    const QString skins = root + QStringLiteral("/skins");
    if (!QFile::exists(dataPath(QStringLiteral("loadouts-version-2")))) {
        // Each slot's package holds that slot's own files, as the typical package does slot 7's.
        emptyFolder(skins);
        unsigned seed = 100;
        for (const kvr::Slot& s : kvr::slotTable()) {
            const QByteArray p = "P" + QByteArray(s.code);
            writeArchive(skins + QLatin1Char('/') + s.SlotCode() + QStringLiteral("_Typical.zip"),
                         {{p + ".TPC", textureLike(1000 * 1024, ++seed)},
                          {p + "_WING.TPC", textureLike(1000 * 1024, ++seed)},
                          {p + "_TAIL.TPC", textureLike(900 * 1024, ++seed)},
                          {p + "_NOSE.TPC", textureLike(900 * 1024, ++seed)},
                          {"models/" + p + ".3DZ", textLike(290 * 1024, ++seed)},
                          {"Typical.txt", textLike(4 * 1024, ++seed)}});
        }
        QFile(dataPath(QStringLiteral("loadouts-version-2"))).open(QIODevice::WriteOnly);
    }
    prepareProgramFolder(program);
    const QString ini = program + QStringLiteral("/KVRSI.INI");
    writeSettings(program, game, skins);
    auto recordAll = [&](const QString& skin) {
        QList<kvr::ProfileEntry> entries;
        for (const kvr::Slot& s : kvr::slotTable())
            entries.append({s.SlotCode(), skin});
        kvr::writeProfileStrings(ini, kvr::SettingsNames::kSkinsSection, entries);
    };
    recordAll(QStringLiteral("Typical"));
    const std::atomic<bool> noCancel{false};
    kvr::PackageFolder packages(skins);
    const kvr::Loadout loadout =
        kvr::currentLoadout(QStringLiteral("All typical"), kvr::recordedSkins(ini), packages, noCancel, nullptr);
    // The reference: thirty single slot changes of the same package, as the main window makes them.
    freshTarget(game);
    const double single = medianOf(
        g_runs * 2, [] {},
        [&] { kvr::changeSlot(game, skins, ini, QStringLiteral("MOSQ"), QStringLiteral("Typical")); });
    int changed = 0;
    const double apply = medianOf(
        g_runs,
        [&] {
            freshTarget(game);
            recordAll(QStringLiteral("(Default)"));
        },
        [&] {
            changed = kvr::applyLoadout(loadout, {game, skins, ini}, false, noCancel, {}).changed();
        });
    if (changed != kvr::kSlotCount)
        std::fprintf(stderr, "warning: the loadout changed %d slots\n", changed);
    g_rows.push_back({"Applying a loadout: all 30 slots, typical 4 MB packages (ref: 30 x one change)", apply,
                      30 * single, "ms", 1000, false});

    // 200 loadouts beside the settings file, 20,000 packages in the skins folder.
    const QString folder = kvr::loadoutsFolder(ini);
    emptyFolder(folder);
    for (int i = 0; i < 200; ++i) {
        kvr::Loadout l = loadout;
        l.name = QStringLiteral("Loadout %1").arg(i, 3, 10, QLatin1Char('0'));
        kvr::writeFileWhole(kvr::loadoutPath(folder, l.name), kvr::loadoutBytes(l), kvr::WriteMode::Replace);
    }
    writeSettings(program, game, dataPath(QStringLiteral("skins20k")));
    recordAll(QStringLiteral("Typical"));
    kvr::Principal::instance();
    std::vector<double> opens, selects;
    for (int i = 0; i < g_runs; ++i) {
        opens.push_back(timed([] { waitReady(kvr::Loadouts::instance()); }));
        kvr::Loadouts& window = kvr::Loadouts::instance();
        auto* list = window.findChild<QListWidget*>(QStringLiteral("List1"));
        if (list->count() != 200)
            std::fprintf(stderr, "warning: %d loadouts listed\n", list->count());
        selects.push_back(timed([&] {
            list->setCurrentRow(i % 200);
            waitReady(window);
        }));
        delete &window;
    }
    g_rows.push_back(
        {"Loadouts window open: 200 loadouts listed, 20,000 packages mapped", median(opens), NAN, "ms", 100, false});
    g_rows.push_back({"Loadouts window: selecting one, its 30 slots checked", median(selects), NAN, "ms", 100, false});
    delete &kvr::Principal::instance();
}

// The history: an installation with it against one without, alternating, on the same file
// system; an undo of the typical package; and how much 100 swaps between two skins keep.
void historyFigures()
{
    const QString program = dataPath(QStringLiteral("history/program"));
    const QString game = dataPath(QStringLiteral("history/game"));
    const QString skins = dataPath(QStringLiteral("install/skins"));
    const QString ini = program + QStringLiteral("/KVRSI.INI");
    const QString history = program + QStringLiteral("/KVRSI.history");
    prepareProgramFolder(program);
    emptyFolder(game);
    QDir(history).removeRecursively();
    writeSettings(program, game, skins);
    // A second skin of the same make-up, other bytes.
    const QString other = skins + QStringLiteral("/MOSQ_Other.zip");
    if (!QFile::exists(other))
        writeArchive(other, {{"PMOSQ.TPC", textureLike(1000 * 1024, 13)},
                             {"PMOSQ_WING.TPC", textureLike(1000 * 1024, 14)},
                             {"PMOSQ_TAIL.TPC", textureLike(900 * 1024, 15)},
                             {"PMOSQ_NOSE.TPC", textureLike(900 * 1024, 16)},
                             {"models/PMOSQ.3DZ", textLike(290 * 1024, 17)},
                             {"Other.txt", textLike(4 * 1024, 18)}});
    const auto install = [&](const QString& skin) { kvr::changeSlot(game, skins, ini, QStringLiteral("MOSQ"), skin); };

    std::vector<double> with, without;
    for (int i = 0; i < g_runs * 4; ++i) {
        kvr::setHistoryKept(false);
        without.push_back(timed([&] { install(QStringLiteral("Typical")); }));
        kvr::setHistoryKept(true);
        with.push_back(timed([&] { install(QStringLiteral("Typical")); }));
    }
    g_rows.push_back({"Installation of the typical package with the history (reference: without)", median(with),
                      median(without), "ms", 1.1, true});

    const kvr::HistoryStore store(ini);
    const double undo = medianOf(
        g_runs * 2, [&] { install(kvr::kDefaultSkin); },
        [&] { kvr::restoreBefore(ini, game, *store.newest(game), QStringLiteral("undo")); });
    g_rows.push_back({"Undo Last Change of the typical package (4 MB back)", undo, NAN, "ms", 30, false});

    emptyFolder(game);
    QDir(history).removeRecursively();
    for (int i = 0; i < 100; ++i)
        install(i % 2 ? QStringLiteral("Other") : QStringLiteral("Typical"));
    qint64 skinBytes = 0;
    for (const QString& name : {QStringLiteral("MOSQ_Typical.zip"), QStringLiteral("MOSQ_Other.zip")}) {
        int error = 0;
        zip_t* zip = zip_open(QFile::encodeName(skins + QLatin1Char('/') + name).constData(), ZIP_RDONLY, &error);
        for (zip_int64_t i = 0; zip && i < zip_get_num_entries(zip, 0); ++i) {
            zip_stat_t stat;
            if (zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat) == 0)
                skinBytes += static_cast<qint64>(stat.size);
        }
        if (zip)
            zip_discard(zip);
    }
    g_rows.push_back({"History kept by 100 swaps of one slot between two skins (reference: the skins' bytes)",
                      static_cast<double>(store.spaceUsed()) / 1e6, static_cast<double>(skinBytes) / 1e6, "MB", 1.0,
                      true});

    // A package of many small members, installed over itself: every member replaces a file.
    const QString many = skins + QStringLiteral("/MOSQ_Many.zip");
    if (!QFile::exists(many))
        QFile::copy(dataPath(QStringLiteral("many.zip")), many);
    emptyFolder(game);
    QDir(history).removeRecursively();
    install(QStringLiteral("Many"));
    with.clear();
    without.clear();
    for (int i = 0; i < g_runs; ++i) {
        kvr::setHistoryKept(false);
        without.push_back(timed([&] { install(QStringLiteral("Many")); }));
        kvr::setHistoryKept(true);
        with.push_back(timed([&] { install(QStringLiteral("Many")); }));
    }
    g_rows.push_back({"Installation of 5,000 small members over themselves, with the history (reference: without)",
                      median(with), median(without), "ms", 2.0, true});
}

// Pruning a history of 10,000 entries of one slot, each keeping a file of its own, that a change
// took 10 KB over its cap: what the pool does after that change. Its time is the reading of
// every entry; each entry removed adds two unlinks.
void pruneFigure()
{
    const QString program = dataPath(QStringLiteral("prune/program"));
    const QString game = dataPath(QStringLiteral("prune/game"));
    QDir().mkpath(program);
    QDir().mkpath(game);
    const kvr::HistoryStore store(program + QStringLiteral("/KVRSI.INI"));
    const auto build = [&] {
        QDir(store.folder()).removeRecursively();
        QDir().mkpath(store.folder() + QStringLiteral("/entries"));
        QDir().mkpath(store.folder() + QStringLiteral("/blobs"));
        kvr::HistoryEntry e;
        e.kind = QStringLiteral("install");
        e.gameFolder = kvr::canonicalGameFolder(game);
        e.patterns = {QStringLiteral("PMOSQ*.*")};
        for (int id = 1; id <= 10000; ++id) {
            kvr::HistoryFile f;
            f.name = "PMOSQ.TPC";
            const QByteArray bytes = QByteArray::number(id).leftJustified(1024, '.');
            f.hash = kvr::sha256Hex(bytes);
            f.size = bytes.size();
            f.mode = 0644;
            e.id = id;
            e.time = id;
            e.slots = {{QStringLiteral("MOSQ"), QString::number(id - 1), QString::number(id)}};
            e.kept = {f};
            QFile blob(store.blobPath(f.hash));
            QFile entry(store.folder() + QStringLiteral("/entries/%1.entry").arg(id));
            if (!blob.open(QIODevice::WriteOnly) || blob.write(bytes) != bytes.size() ||
                !entry.open(QIODevice::WriteOnly) || entry.write(kvr::entryBytes(e)) < 0)
                std::fprintf(stderr, "the history to prune cannot be written\n");
        }
    };
    // The change measures the blobs and finds the cap; the pool's part is the prune alone. Its
    // CPU time (user and system) is given too, which a loaded machine does not stretch.
    std::vector<double> wall, cpu;
    for (int i = 0; i < g_runs; ++i) {
        build();
        const qint64 cap = store.spaceUsed() - 10 * 1024;
        const double cpuBefore = threadCpuMs();
        wall.push_back(timed([&] { kvr::HistoryStore(store.settingsFile()).prune(cap); }));
        cpu.push_back(threadCpuMs() - cpuBefore);
    }
    if (kvr::HistoryStore(store.settingsFile()).entries(QString()).size() != 9990)
        std::fprintf(stderr, "the prune left another number of entries than 9,990\n");
    std::fprintf(stderr, "prune wall ms:");
    for (const double ms : wall)
        std::fprintf(stderr, " %.1f", ms);
    std::fprintf(stderr, "\n");
    g_rows.push_back(
        {"Pruning a history of 10,000 entries 10 KB over its cap (on the pool)", median(wall), NAN, "ms", 100, false});
    g_rows.push_back({"The same prune's CPU time, user and system", median(cpu), NAN, "ms", 100, false});
}

// The peak resident memory of this process, in MB.
double peakMemoryMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return NAN;
}

// Run in a process of its own, so its peak is the undo's: the slot's 600 MB go into the history
// with "(Default)", then Undo Last Change writes them back. Prints the peak memory in MB.
int undoMemoryMode()
{
    const QString program = dataPath(QStringLiteral("undo/program"));
    const QString game = dataPath(QStringLiteral("undo/game"));
    const QString ini = program + QStringLiteral("/KVRSI.INI");
    kvr::setProgramFolder(program);
    kvr::changeSlot(game, QString(), ini, QStringLiteral("MOSQ"), kvr::kDefaultSkin);
    const kvr::HistoryStore store(ini);
    kvr::restoreBefore(ini, game, *store.newest(game), QStringLiteral("undo"));
    std::printf("%.1f\n", peakMemoryMb());
    return 0;
}

// Six slot files of 100 MB, written a chunk at a time so this process stays small too.
void undoMemoryFigure()
{
    const QString program = dataPath(QStringLiteral("undo/program"));
    const QString game = dataPath(QStringLiteral("undo/game"));
    prepareProgramFolder(program);
    QDir(program + QStringLiteral("/KVRSI.history")).removeRecursively();
    emptyFolder(game);
    writeSettings(program, game, game);
    const QByteArray chunk = textureLike(1 << 20, 21);
    for (int i = 0; i < 6; ++i) {
        QFile file(game + QStringLiteral("/PMOSQ_%1.TPC").arg(i));
        if (!file.open(QIODevice::WriteOnly))
            std::fprintf(stderr, "warning: %s not written\n", qPrintable(file.fileName()));
        for (int mb = 0; mb < 100; ++mb)
            file.write(chunk);
    }
    QProcess undo;
    undo.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--undo-memory"), g_data});
    undo.waitForFinished(-1);
    g_rows.push_back({"Peak memory of an undo of 600 MB (six slot files written back)",
                      undo.readAllStandardOutput().trimmed().toDouble(), NAN, "MB", 100, false});
    emptyFolder(game);
    QDir(program + QStringLiteral("/KVRSI.history")).removeRecursively();
}

// Run in a process of its own: the program's windows with 20,000 packages, every list opened.
int peakMemoryMode()
{
    const QString program = dataPath(QStringLiteral("install/program"));
    prepareProgramFolder(program);
    writeSettings(program, dataPath(QStringLiteral("install/game")), dataPath(QStringLiteral("skins20k")));
    kvr::Principal& main = kvr::Principal::instance();
    main.Show();
    QCoreApplication::processEvents();
    for (int n = 1; n <= 30; ++n)
        main.ComboN_DropDown(n);
    kvr::Visor& viewer = kvr::Visor::instance();
    viewer.Show();
    QCoreApplication::processEvents();
    viewer.Combo1_Click();
    std::printf("%.1f\n", peakMemoryMb());
    return 0;
}

// The skins folder report over 20,000 real packages (central directories only), and the drive
// list's search of a home folder holding hundreds of launcher prefixes.
void reportAndPrefixFigures()
{
    const QString skins = dataPath(QStringLiteral("report20k"));
    const QString home = dataPath(QStringLiteral("prefixhome"));
    const QString stamp = dataPath(QStringLiteral("report20k-version-1"));
    if (!QFile::exists(stamp)) {
        std::fprintf(stderr, "Generating report and prefix data (once)...\n");
        emptyFolder(skins);
        static const char* codes[] = {"HURR", "SP2A", "MOSQ", "P51D", "109G", "190A", "J88A", "V1V1"};
        for (int i = 0; i < kPackages; ++i) {
            const QByteArray code(codes[i % 8]);
            // Every 50th package leaves a readme behind: the report has rows to write.
            QList<Member> members{{"P" + code + ".TPC", QByteArray(64, 'x')}, {"P" + code + "_L.TPC", "wing"}};
            if (i % 50 == 0)
                members.push_back({"readme.txt", "notes"});
            writeArchive(skins + QLatin1Char('/') + QString::fromLatin1(code) +
                             QStringLiteral("_Skin %1.zip").arg(i, 5, 10, QLatin1Char('0')),
                         members);
        }
        emptyFolder(home);
        for (int i = 0; i < 200; ++i)
            QDir().mkpath(home + QStringLiteral("/.local/share/wineprefixes/game%1/drive_c").arg(i));
        const QString steam = home + QStringLiteral("/.local/share/Steam/steamapps");
        for (int i = 0; i < 300; ++i) {
            QDir().mkpath(steam + QStringLiteral("/compatdata/%1/pfx/drive_c").arg(100000 + i));
            QFile manifest(steam + QStringLiteral("/appmanifest_%1.acf").arg(100000 + i));
            manifest.open(QIODevice::WriteOnly);
            manifest.write("\"AppState\"\n{\n\t\"appid\"\t\"" + QByteArray::number(100000 + i) +
                           "\"\n\t\"name\"\t\"Game " + QByteArray::number(i) + "\"\n}\n");
        }
        QDir().mkpath(steam + QStringLiteral("/common"));
        for (int i = 0; i < 100; ++i)
            QDir().mkpath(home + QStringLiteral("/.local/share/bottles/bottles/b%1/drive_c").arg(i));
        QFile(stamp).open(QIODevice::WriteOnly);
    }
    qsizetype rows = 0;
    const double report = medianOf(
        g_runs, [] {}, [&] { rows = kvr::skinsFolderProblems(skins).size(); });
    std::fprintf(stderr, "report rows: %lld\n", static_cast<long long>(rows));
    g_rows.push_back({"Skins folder report over 20,000 packages", report, NAN, "ms", 2000, false});
    qsizetype drives = 0;
    const double prefixes = medianOf(
        g_runs, [] {}, [&] { drives = kvr::listPrefixDrives(home).size(); });
    std::fprintf(stderr, "prefix drives: %lld\n", static_cast<long long>(drives));
    g_rows.push_back({"Drive list: finding 600 launcher prefixes (worker thread)", prefixes, NAN, "ms", 300, false});
}

// Inputs made to cost much: a libraryfolders.vdf of 80,000 library paths, a 128 KiB Lutris game
// file of nested brackets, a skins folder of 50,000 files, a package of 65,535 members. Each is
// read by the background work the windows start; each must stay within 200 ms.
// Milliseconds of processor time the calling thread spent in one call: on a machine shared with
// other work the wall time also counts the waits for a core.
double cpuMs(const std::function<void()>& work)
{
    timespec start{}, end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    work();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return static_cast<double>(end.tv_sec - start.tv_sec) * 1e3 +
           static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e6;
}

// The wall-time median of a figure, with the processor time of one more call printed beside it.
double scanFigure(const char* figure, const std::function<void()>& work)
{
    const double wall = medianOf(
        g_runs, [] {}, work);
    std::fprintf(stderr, "%s: processor time of one call %.1f ms\n", figure, cpuMs(work));
    g_rows.push_back({figure, wall, NAN, "ms", 200, false});
    return wall;
}

void boundedScanFigures()
{
    const QString home = dataPath(QStringLiteral("hostilehome"));
    const QString skins = dataPath(QStringLiteral("files50k"));
    const QString wide = dataPath(QStringLiteral("wide"));
    const QString stamp = dataPath(QStringLiteral("hostile-version-3"));
    constexpr int kWideMembers = 65535;
    constexpr std::time_t kPacked = 1700000000; // even: a DOS time holds it exactly
    QByteArray vdf("\"libraryfolders\"\n{\n");
    for (int i = 0; i < 80000; ++i)
        vdf += "\t\"" + QByteArray::number(i) + "\" { \"path\" \"/mnt/g" + QByteArray::number(i) + "/lib\" }\n";
    vdf += "}\n";
    // Brackets nested thousands deep, and brackets nested just within what is read, repeated.
    const QByteArray deep = "game:\n  prefix: /p\nx: " + QByteArray(64 * 1024, '[') + QByteArray(64 * 1024, ']');
    QByteArray shallow("game:\n  prefix: /p\nx: [");
    while (shallow.size() < 128 * 1024)
        shallow += QByteArray(12, '[') + QByteArray(12, ']') + ", ";
    shallow += "]\n";
    if (!QFile::exists(stamp)) {
        std::fprintf(stderr, "Generating hostile scan data (once)...\n");
        emptyFolder(home);
        const QString steamapps = home + QStringLiteral("/.local/share/Steam/steamapps");
        QDir().mkpath(steamapps);
        QFile vdfFile(steamapps + QStringLiteral("/libraryfolders.vdf"));
        vdfFile.open(QIODevice::WriteOnly);
        vdfFile.write(vdf);
        vdfFile.close();
        const QString lutris = home + QStringLiteral("/.local/share/lutris/games");
        QDir().mkpath(lutris);
        QFile yaml(lutris + QStringLiteral("/hostile-1.yml"));
        yaml.open(QIODevice::WriteOnly);
        yaml.write(deep);
        yaml.close();
        // Pictures and notes with no package, names no slot lists, short names: every file a row.
        emptyFolder(skins);
        static const char* kinds[] = {"Skin %1.jpg", "Skin %1.txt", "XXXX_Skin %1.zip", "Skin %1.7z"};
        for (int i = 0; i < 50000; ++i)
            QFile(skins + QLatin1Char('/') + QString::fromLatin1(kinds[i % 4]).arg(i, 5, 10, QLatin1Char('0')))
                .open(QIODevice::WriteOnly);
        emptyFolder(wide);
        QDir().mkpath(wide + QStringLiteral("/skins"));
        QDir().mkpath(wide + QStringLiteral("/game"));
        QList<Member> members;
        for (int i = 0; i < kWideMembers; ++i) {
            const QByteArray name = "PMOSQ" + QByteArray::number(i) + ".TPC";
            members.push_back({name, QByteArray::number(i), ZIP_CM_STORE, kPacked});
            // Installed under another letter case, as the game's own tools may leave them: every
            // member is found by its case-folded name, the look-up that used to list the folder.
            const QString path = wide + QStringLiteral("/game/") + QString::fromLatin1(name.toLower());
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(QByteArray::number(i));
            file.close();
            // With the member's time, as unpacking leaves it.
            const timespec times[2] = {{kPacked, 0}, {kPacked, 0}};
            ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
        }
        writeArchive(wide + QStringLiteral("/skins/MOSQ_Wide.zip"), members);
        QFile(stamp).open(QIODevice::WriteOnly);
    }
    qsizetype count = 0;
    scanFigure("libraryfolders.vdf of 80,000 library paths: reading it",
               [&] { count = kvr::steamLibraryPaths(vdf).size(); });
    std::fprintf(stderr, "VDF library paths read: %lld\n", static_cast<long long>(count));
    scanFigure("Prefix scan, 80,000-path VDF and 128 KiB hostile YAML in place",
               [&] { count = kvr::listPrefixDrives(home).size(); });
    QString prefix;
    scanFigure("Lutris file: 128 KiB of brackets nested 64 Ki deep", [&] { prefix = kvr::lutrisGamePrefix(deep); });
    scanFigure("Lutris file: 128 KiB of brackets nested 13 deep, repeated",
               [&] { prefix = kvr::lutrisGamePrefix(shallow); });
    std::fprintf(stderr, "shallow YAML prefix: '%s'\n", qPrintable(prefix));
    scanFigure("Skins folder report over 50,000 files (no archives)",
               [&] { count = kvr::skinsFolderProblems(skins).size(); });
    std::fprintf(stderr, "50,000-file report rows: %lld\n", static_cast<long long>(count));
    QString state;
    scanFigure("Installed state of a 65,535-member package", [&] {
        state = kvr::installedState(wide + QStringLiteral("/skins"), wide + QStringLiteral("/game"),
                                    QStringLiteral("MOSQ"), QStringLiteral("Wide"))
                    .state;
    });
    std::fprintf(stderr, "65,535-member state: %s\n", qPrintable(state));
}

void printTable()
{
    std::printf("\n%-70s %10s %10s %7s %10s %5s\n", "Figure", "Ours", "Reference", "Ratio", "Target", "Met");
    for (const Row& r : g_rows) {
        const bool hasReference = !std::isnan(r.reference);
        const double ratio = hasReference ? r.ours / r.reference : NAN;
        const double measured = r.targetIsRatio ? ratio : r.ours;
        char ours[32], reference[32], ratioText[16], target[32];
        std::snprintf(ours, sizeof ours, "%.1f %s", r.ours, r.unit);
        std::snprintf(reference, sizeof reference, hasReference ? "%.1f %s" : "-", r.reference, r.unit);
        std::snprintf(ratioText, sizeof ratioText, hasReference ? "%.2f" : "-", ratio);
        if (r.targetIsRatio)
            std::snprintf(target, sizeof target, "ratio<=%.1f", r.target);
        else
            std::snprintf(target, sizeof target, "<=%.0f %s", r.target, r.unit);
        std::printf("%-70s %10s %10s %7s %10s %5s\n", r.figure, ours, reference, ratioText, target,
                    measured <= r.target ? "yes" : "NO");
    }
}

} // namespace

int main(int argc, char* argv[])
{
    // As the program does at start.
    kvr::settleLocalTimeZone();
    QApplication app(argc, argv);
    if (argc >= 3 && std::strcmp(argv[1], "--peak-memory") == 0) {
        g_data = QString::fromLocal8Bit(argv[2]);
        return peakMemoryMode();
    }
    if (argc >= 3 && std::strcmp(argv[1], "--undo-memory") == 0) {
        g_data = QString::fromLocal8Bit(argv[2]);
        return undoMemoryMode();
    }
    if (argc >= 3 && std::strcmp(argv[1], "--scans") == 0) {
        g_data = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
        if (argc >= 4)
            g_runs = std::max(1, std::atoi(argv[3]));
        boundedScanFigures();
        printTable();
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvrbench DATA_FOLDER [RUNS]\n");
        return 2;
    }
    g_data = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    if (argc >= 3)
        g_runs = std::max(1, std::atoi(argv[2]));
    // "kvrbench DATA RUNS undo": the undo's peak memory alone, no other data made.
    if (argc >= 4 && std::strcmp(argv[3], "undo") == 0) {
        undoMemoryFigure();
        printTable();
        return 0;
    }
    // "kvrbench DATA RUNS report": the report's figures alone, on data of their own.
    if (argc >= 4 && std::strcmp(argv[3], "report") == 0) {
        QDir().mkpath(g_data);
        reportAndPrefixFigures();
        boundedScanFigures();
        printTable();
        return 0;
    }
    // "kvrbench DATA RUNS prune": that figure alone, with no packages to make.
    if (argc >= 4 && std::strcmp(argv[3], "prune") == 0) {
        pruneFigure();
        printTable();
        return 0;
    }
    makeData();
    // "kvrbench DATA RUNS history" or "... loadouts": those figures alone.
    if (argc >= 4 && (std::strcmp(argv[3], "history") == 0 || std::strcmp(argv[3], "loadouts") == 0)) {
        if (std::strcmp(argv[3], "history") == 0) {
            historyFigures();
            undoMemoryFigure();
        } else
            loadoutFigures();
        printTable();
        return 0;
    }

    const QString disk = dataPath(QStringLiteral("target"));
    const QString tmpfs = QStringLiteral("/dev/shm/kvr-bench-target");
    unpackFigure(QStringLiteral("5,000 small members, tmpfs"), dataPath(QStringLiteral("many.zip")), tmpfs, 0.6, true,
                 1.4);
    unpackFigure(QStringLiteral("5,000 small members, disk"), dataPath(QStringLiteral("many.zip")), disk, 0.6, true);
    unpackFigure(QStringLiteral("200 MB single member, disk"), dataPath(QStringLiteral("big.zip")), disk, 0.3);
    unpackFigure(QStringLiteral("typical package (6 members, 4 MB), disk"), dataPath(QStringLiteral("typical.zip")),
                 disk, 1.0);
    QDir(tmpfs).removeRecursively();
    windowFigures();
    historyFigures();
    undoMemoryFigure();
    pruneFigure();
    loadoutFigures();
    reportAndPrefixFigures();
    boundedScanFigures();

    QProcess peak;
    peak.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--peak-memory"), g_data});
    peak.waitForFinished(-1);
    g_rows.push_back({"Peak memory of the program with 20,000 packages",
                      peak.readAllStandardOutput().trimmed().toDouble(), NAN, "MB", 80, false});

    printUnpackTable();
    printTable();
    return 0;
}
