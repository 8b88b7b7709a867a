// Kills writers with SIGKILL at random moments and looks at what they leave behind: the settings
// file always holds the old or the new value of the key being written, every other byte intact;
// every file an extraction replaces is wholly the old or wholly the new one. A killed process
// cannot remove its temporary file, so one may be left per kill; it must never be taken for the
// real file, and a write that runs to its end leaves none.
//
// The settings writer is this executable started again with --write-settings-forever; the
// extraction runs through unzip32-cli. KVR_CRASH_SEED=<n> repeats a run's random moments.
#include "settings/profile.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

const char* const kWriterMode = "--write-settings-forever";
const QString kSection = QStringLiteral("Skins");
const QString kKey = QStringLiteral("HURR");
const QString kOldValue = QStringLiteral("(Default)");
const QString kNewValue = QStringLiteral("HURR_No 56 Squadron, Duxford 1940 - weathered, with the squadron codes");

constexpr int kSettingsKills = 300;
constexpr int kExtractionKills = 200;

// A settings file as the program leaves it after some use, with a hand-written notes section
// after the skins so that the key written sits in the middle of the file.
QByteArray settingsWith(const QString& value)
{
    QByteArray file = "; Kestrava Skin Installer\r\n[Folders]\r\n"
                      "KVRInstallationFolder=/home/pilot/.wine/drive_c/Program Files/Kestrava\r\n"
                      "SkinsFolder=/home/pilot/Kestrava skins\r\n[Skins]\r\n";
    for (int slot = 1; slot <= 29; ++slot) {
        file += "SLOT" + QByteArray::number(slot).rightJustified(2, '0') + "=Skin number " +
                QByteArray::number(slot * 7) + "\r\n";
        if (slot == 12)
            file += kKey.toUtf8() + '=' + value.toUtf8() + "\r\n";
    }
    file += "\r\n[Notes]\r\n";
    for (int line = 0; line < 60; ++line)
        file += "note" + QByteArray::number(line) + "=Checked the skins of flight " + QByteArray::number(line) +
                " before the campaign; all good\r\n";
    return file;
}

// The writer: alternates the key between the two values, starting with the one the file does
// not hold, until it is killed.
int writeSettingsForever(const QString& file)
{
    bool toNew = kvr::readProfileString(file, kSection, kKey) != kNewValue;
    std::fputs("writing\n", stdout);
    std::fflush(stdout);
    for (;;) {
        kvr::writeProfileString(file, kSection, kKey, toNew ? kNewValue : kOldValue);
        toNew = !toNew;
    }
}

// Files named like temporary files, and anything else that is not one of `expected`.
struct FolderState
{
    QStringList temporary;
    QStringList unexpected;
};

FolderState folderState(const QString& folder, const QStringList& expected, const QRegularExpression& temporary)
{
    FolderState state;
    const QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (temporary.match(name).hasMatch())
            state.temporary.append(name);
        else if (!expected.contains(name))
            state.unexpected.append(name);
    }
    return state;
}

void sleepMicroseconds(qint64 us)
{
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

quint32 crashSeed()
{
    bool ok = false;
    const quint32 seed = qEnvironmentVariable("KVR_CRASH_SEED").toUInt(&ok);
    return ok ? seed : QRandomGenerator::global()->generate();
}

// Words of a skin's data: compressible, yet far from a run of one byte.
QByteArray skinData(quint32 seed, qsizetype size)
{
    static const char* const words[] = {"fuselage", "roundel", "0x3F", "camouflage", "\x01\x02\x03", "wing",
                                        "PANEL", "\xFF\xFE", "rivet", "squadron", "1940", "\n"};
    QRandomGenerator random(seed);
    QByteArray data;
    data.reserve(size + 16);
    while (data.size() < size)
        data += words[random.bounded(static_cast<int>(std::size(words)))];
    data.truncate(size);
    return data;
}

} // namespace

class TestCrashSafety : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_seed = crashSeed();
        m_random.seed(m_seed);
        qInfo("random moments from KVR_CRASH_SEED=%u", m_seed);
    }

    void settingsWriteKilledAtRandom()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString ini = dir.filePath(QStringLiteral("KVRSI.INI"));
        const QByteArray oldFile = settingsWith(kOldValue);
        const QByteArray newFile = settingsWith(kNewValue);
        writeFile(ini, oldFile);

        // Kills land within a few writes of the writer's start, whatever the disk's speed.
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 10; ++i)
            QVERIFY(kvr::writeProfileString(ini, kSection, kKey, i % 2 ? kOldValue : kNewValue));
        QCOMPARE(readFile(ini), oldFile);
        const qint64 window = std::max<qint64>(5000, 3 * timer.nsecsElapsed() / 10 / 1000);

        const QRegularExpression temporary(QStringLiteral("^KVRSI\\.INI\\.tmp[0-9a-f]+$"));
        int sawOld = 0, sawNew = 0;
        qsizetype leftovers = 0;
        for (int kill = 0; kill < kSettingsKills; ++kill) {
            QProcess writer;
            writer.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kWriterMode), ini});
            QVERIFY2(writer.waitForReadyRead(30000), qPrintable(writer.errorString()));
            sleepMicroseconds(m_random.bounded(window));
            writer.kill();
            QVERIFY(writer.waitForFinished(30000));
            QVERIFY2(writer.exitStatus() == QProcess::CrashExit, writer.readAllStandardError().constData());

            const QByteArray now = readFile(ini);
            QVERIFY2(now == oldFile || now == newFile,
                     qPrintable(QStringLiteral("kill %1 left a file of %2 bytes that is neither version")
                                    .arg(kill)
                                    .arg(now.size())));
            ++(now == oldFile ? sawOld : sawNew);

            const FolderState state = folderState(dir.path(), {QStringLiteral("KVRSI.INI")}, temporary);
            QVERIFY2(state.unexpected.isEmpty(), qPrintable(state.unexpected.join(QLatin1Char(' '))));
            QVERIFY2(state.temporary.size() - leftovers <= 1,
                     qPrintable(QStringLiteral("kill %1 left %2 temporary files").arg(kill).arg(state.temporary.size() - leftovers)));
            leftovers = state.temporary.size();
        }
        qInfo("settings: %d kills within %lld us of the writer's start: %d left the old value, %d the new, "
              "%lld temporary files left",
              kSettingsKills, window, sawOld, sawNew, static_cast<long long>(leftovers));
        // Both values seen: the kills landed between writes and not only before the first one.
        QVERIFY(sawOld > 0 && sawNew > 0);

        // The leftovers are harmless: a write to the end succeeds beside them and leaves none.
        QVERIFY(kvr::writeProfileString(ini, kSection, kKey, kNewValue));
        QCOMPARE(readFile(ini), newFile);
        QCOMPARE(folderState(dir.path(), {QStringLiteral("KVRSI.INI")}, temporary).temporary.size(), leftovers);
    }

    void extractionKilledAtRandom()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString game = dir.filePath(QStringLiteral("game"));
        QVERIFY(QDir().mkpath(game));

        // Two versions of one skin, every member changed and of another length; one member is
        // large enough to be decoded straight into its file rather than through memory.
        struct Member
        {
            QString name;
            QByteArray versions[2];
            bool stored;
        };
        const QList<std::pair<const char*, qsizetype>> layout{
            {"PMOSQ_Sqn105.TPC", 1000000}, {"PMOSQ_Sqn105.3DZ", 1200000}, {"PMOSQ_Sqn105_N.TPC", 900000},
            {"PMOSQ_Sqn105_L.TPC", 5000000}, {"Sqn105.txt", 3000}};
        QList<Member> members;
        for (qsizetype i = 0; i < layout.size(); ++i) {
            const auto& [name, size] = layout[i];
            members.append({QString::fromLatin1(name),
                            {skinData(static_cast<quint32>(i), size), skinData(static_cast<quint32>(100 + i), size + 4099)},
                            i == 1});
        }
        QString packages[2];
        for (int version = 0; version < 2; ++version) {
            QList<kvrtest::ZipMember> entries;
            for (const Member& m : members)
                entries.append({m.name.toLatin1(), m.versions[version], m.stored});
            packages[version] = dir.filePath(QStringLiteral("MOSQ_Sqn105_v%1.zip").arg(version));
            QVERIFY(kvrtest::makeZip(packages[version], entries));
        }
        QStringList names;
        for (const Member& m : members)
            names.append(m.name);

        const QRegularExpression temporary(QStringLiteral("^\\.unzip32-[0-9a-f]{8}-[0-9]+\\.tmp$"));
        // Which version each file is; -1 when it is neither.
        auto versionsOnDisk = [&] {
            QList<int> found;
            for (const Member& m : members) {
                const QByteArray bytes = readFile(game + QLatin1Char('/') + m.name);
                found.append(bytes == m.versions[0] ? 0 : bytes == m.versions[1] ? 1 : -1);
            }
            return found;
        };
        auto unpack = [&](int version, QProcess& process) {
            process.start(QStringLiteral(KVR_UNZIP32_CLI), {packages[version], game});
            return process.waitForStarted(30000);
        };

        // The old version in place, and how long an extraction takes from start to end.
        qint64 longest = 0;
        for (int run = 0; run < 4; ++run) {
            QProcess cli;
            QElapsedTimer timer;
            timer.start();
            QVERIFY(unpack(run % 2, cli));
            QVERIFY(cli.waitForFinished(60000));
            longest = std::max(longest, timer.nsecsElapsed() / 1000);
            QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
            QCOMPARE(cli.exitCode(), 0);
            QCOMPARE(versionsOnDisk(), QList<int>(members.size(), run % 2));
        }

        int killed = 0, finished = 0, mixed = 0;
        qsizetype leftovers = 0;
        for (int round = 0; round < kExtractionKills; ++round) {
            const int version = round % 2;
            QProcess cli;
            QVERIFY(unpack(version, cli));
            sleepMicroseconds(m_random.bounded(longest + longest / 5));
            cli.kill();
            QVERIFY(cli.waitForFinished(60000));

            const QList<int> found = versionsOnDisk();
            if (const qsizetype broken = found.indexOf(-1); broken >= 0)
                QFAIL(qPrintable(QStringLiteral("round %1 left %2 neither old nor new").arg(round).arg(names[broken])));
            if (cli.exitStatus() == QProcess::NormalExit) {
                ++finished;
                QCOMPARE(cli.exitCode(), 0);
                QCOMPARE(found, QList<int>(members.size(), version));
            } else {
                ++killed;
                if (found.contains(0) && found.contains(1))
                    ++mixed;
            }

            const FolderState state = folderState(game, names, temporary);
            QVERIFY2(state.unexpected.isEmpty(), qPrintable(state.unexpected.join(QLatin1Char(' '))));
            QVERIFY2(state.temporary.size() - leftovers <= 1,
                     qPrintable(QStringLiteral("round %1 left %2 temporary files").arg(round).arg(state.temporary.size() - leftovers)));
            leftovers = state.temporary.size();
        }
        qInfo("extraction: %d rounds, kill within %lld us of the start (a whole run: up to %lld us): %d killed, "
              "%d of them between members (old and new files side by side), %d finished; %lld temporary files left",
              kExtractionKills, longest + longest / 5, longest, killed, mixed, finished, static_cast<long long>(leftovers));
        // Kills landed in the middle of extractions, not only before or after them.
        QVERIFY(mixed > 0);

        // A run to the end replaces every file and leaves no temporary file of its own.
        QProcess cli;
        QVERIFY(unpack(1, cli));
        QVERIFY(cli.waitForFinished(60000));
        QCOMPARE(cli.exitCode(), 0);
        QCOMPARE(versionsOnDisk(), QList<int>(members.size(), 1));
        QCOMPARE(folderState(game, names, temporary).temporary.size(), leftovers);
    }

private:
    quint32 m_seed = 0;
    QRandomGenerator m_random;
};

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], kWriterMode) == 0)
        return writeSettingsForever(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    TestCrashSafety test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_crash_safety.moc"
