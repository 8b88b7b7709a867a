// Packs: writing one of 30 packages and 300 MB, against `zip -0 -q` of the same files; opening it
// (reading, comparing, adding every package to an empty skins folder), against `unzip -q`; and
// the peak memory of the process doing both.
//
//   kvrpackbench DATA_FOLDER [RUNS]
#include "loadouts/pack.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qsizetype kPackageSize = qsizetype{10} << 20;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Milliseconds of each of `runs` calls of `work`, each after `prepare`, which is not timed.
std::vector<double> timings(int runs, const std::function<void()>& prepare, const std::function<void()>& work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    return times;
}

void run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        std::fprintf(stderr, "warning: %s exited with %d\n", qPrintable(program), process.exitCode());
}

// An emptied folder with nothing of the run before still waiting to reach the disk.
void fresh(const QString& folder)
{
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    ::sync();
}

// Thirty stored packages of 10 MB that do not compress, as painted textures do not, each with a
// picture and a note; the settings file records all of them.
void makeData(const QString& skins, const QString& ini)
{
    if (QFile::exists(skins + QStringLiteral("/.made"))) // the data are made once
        return;
    fresh(skins);
    std::mt19937 random(25);
    for (const kvr::Slot& s : kvr::slotTable()) {
        QByteArray texture(kPackageSize, Qt::Uninitialized);
        for (char& c : texture)
            c = static_cast<char>(random());
        kvr::writeZip(skins + QLatin1Char('/') + s.SlotCode() + QStringLiteral("_Squadron.zip"),
                      {{"P" + QByteArray(s.code) + ".TPC", texture, ZIP_CM_STORE}});
    }
    QFile picture(skins + QStringLiteral("/Squadron.jpg")), note(skins + QStringLiteral("/Squadron.txt"));
    picture.open(QIODevice::WriteOnly) && picture.write(QByteArray(200 * 1024, 'j'));
    note.open(QIODevice::WriteOnly) && note.write("Squadron colours\r\n");
    QString settings = QStringLiteral("[Skins]\r\n");
    for (const kvr::Slot& s : kvr::slotTable())
        settings += s.SlotCode() + QStringLiteral("=Squadron\r\n");
    QFile file(ini);
    file.open(QIODevice::WriteOnly) && file.write(settings.toUtf8());
    QFile(skins + QStringLiteral("/.made")).open(QIODevice::WriteOnly);
}

void row(const char* figure, const std::vector<double>& ours, const std::vector<double>& theirs, double target)
{
    const double ratio = median(ours) / median(theirs);
    std::printf("%-58s %10.0f %10.0f %8.2f  <=%.1f %s\n", figure, median(ours), median(theirs), ratio, target,
                ratio <= target ? "met" : "NOT MET");
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QString root =
        QDir(argc >= 2 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp/kvr-bench")).absolutePath() +
        QStringLiteral("/pack");
    const int runs = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 3;
    const QString skins = root + QStringLiteral("/skins"), out = root + QStringLiteral("/out");
    const QString received = root + QStringLiteral("/received"), ini = root + QStringLiteral("/KVRSI.INI");
    makeData(skins, ini);

    const std::atomic<bool> noCancel{false};
    kvr::PackageFolder packages(skins);
    const kvr::Loadout loadout =
        kvr::currentLoadout(QStringLiteral("Squadron"), kvr::recordedSkins(ini), packages, noCancel, nullptr);
    const QString pack = out + QStringLiteral("/Squadron.kvrpack");
    QStringList files;
    for (const QString& name : QDir(skins).entryList(QDir::Files))
        files << skins + QLatin1Char('/') + name;

    const std::vector<double> written = timings(
        runs, [&] { fresh(out); }, [&] { kvr::writePack(loadout, skins, pack, noCancel); });
    const std::vector<double> zipped = timings(
        runs, [&] { fresh(out + QStringLiteral("/zip")); },
        [&] {
            run(QStringLiteral("zip"), QStringList{QStringLiteral("-0"), QStringLiteral("-q"), QStringLiteral("-j"),
                                                   out + QStringLiteral("/zip/ref.zip")} +
                                           files);
        });
    int added = 0;
    const std::vector<double> opened = timings(
        runs, [&] { fresh(received); },
        [&] {
            const kvr::Pack read = kvr::readPack(pack);
            kvr::PackageFolder mine(received);
            kvr::comparePack(read, {}, mine, noCancel);
            added = static_cast<int>(
                kvr::addPackPackages(read, received, kvr::DifferingPackage::Skip, noCancel).added.size());
        });
    if (added != kvr::kSlotCount)
        std::fprintf(stderr, "warning: %d packages added\n", added);
    const std::vector<double> unzipped = timings(
        runs, [&] { fresh(received); },
        [&] {
            run(QStringLiteral("unzip"),
                {QStringLiteral("-q"), QStringLiteral("-o"), pack, QStringLiteral("-d"), received});
        });

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("Packs of 30 packages, 300 MB: medians of %d runs\n", runs);
    std::printf("%-58s %10s %10s %8s  %s\n", "Figure", "Ours ms", "Ref ms", "Ratio", "Target");
    row("Export Pack (ref: zip -0 -q of the same files)", written, zipped, 1.3);
    row("Opening: read, compare, Add Packages (ref: unzip -q)", opened, unzipped, 1.3);
    std::printf("%-58s %10.1f MB  <=100 %s\n", "Peak memory of both", static_cast<double>(usage.ru_maxrss) / 1024,
                usage.ru_maxrss <= 100 * 1024 ? "met" : "NOT MET");
    return 0;
}
