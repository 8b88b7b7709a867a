// SIGKILLs writers at random moments: the settings file always holds the old or the new value of
// the key written, every other byte intact; each file an extraction replaces is wholly old or new.
// A kill may leave one temporary file, never taken for the real one. KVR_CRASH_SEED=<n> repeats a run.
#include "settings/profile.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <chrono>
#include <cstring>
#include <thread>

using kvrtest::readFile;
using namespace Qt::StringLiterals;

namespace {

const char* const kWriterMode = "--write-settings-forever";
const QString kOldValue = u"(Default)"_s;
const QString kNewValue = u"HURR_No 56 Squadron, Duxford 1940 - weathered, with the squadron codes"_s;

// The key written sits mid-file, between the skins and a hand-written notes section.
QByteArray settingsWith(const QString& value)
{
    QByteArray file = "[Folders]\r\nSkinsFolder=/home/pilot/Kestrava skins\r\n[Skins]\r\n"_ba;
    for (int slot = 1; slot <= 29; ++slot)
        file += "SLOT" + QByteArray::number(slot) + "=Skin number " + QByteArray::number(slot * 7) + "\r\n" +
                (slot == 12 ? "HURR=" + value.toUtf8() + "\r\n" : QByteArray());
    file += "\r\n[Notes]\r\n";
    for (int line = 0; line < 60; ++line)
        file += "note" + QByteArray::number(line) + "=Checked flight " + QByteArray::number(line) + "; all good\r\n";
    return file;
}

// Run as a child: flips the key between the two values until killed.
int writeSettingsForever(const QString& file)
{
    bool toNew = kvr::readProfileString(file, u"Skins"_s, u"HURR"_s) != kNewValue;
    std::fputs("writing\n", stdout);
    std::fflush(stdout);
    for (;; toNew = !toNew)
        kvr::writeProfileString(file, u"Skins"_s, u"HURR"_s, toNew ? kNewValue : kOldValue);
}

void sleepMicroseconds(qint64 us)
{
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// What is wrong with the folder after a kill (or a whole run, `allowed` 0): a name other than
// `expected` and the temporaries, or more than `allowed` temporaries more than before
// (`leftovers`, updated).
QString folderFault(const QString& folder, const QStringList& expected, const QRegularExpression& temporary,
                    qsizetype& leftovers, qsizetype allowed = 1)
{
    qsizetype temporaries = 0;
    for (const QString& name :
         QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (temporary.match(name).hasMatch())
            ++temporaries;
        else if (!expected.contains(name))
            return u"left "_s + name;
    }
    if (temporaries - leftovers > allowed)
        return u"left %1 temporary files"_s.arg(temporaries - leftovers);
    leftovers = temporaries;
    return {};
}

} // namespace

class TestCrashSafety : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        bool ok = false;
        quint32 seed = qEnvironmentVariable("KVR_CRASH_SEED").toUInt(&ok);
        seed = ok ? seed : QRandomGenerator::global()->generate();
        m_random.seed(seed);
        qInfo("random moments from KVR_CRASH_SEED=%u", seed);
    }

    void settingsWriteKilledAtRandom()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(u"KVRSI.INI"_s);
        const QByteArray oldFile = settingsWith(kOldValue), newFile = settingsWith(kNewValue);
        QVERIFY(kvrtest::writeFile(ini, oldFile));

        // Kills land within a few writes of the writer's start, whatever the disk's speed.
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 10; ++i)
            QVERIFY(kvr::writeProfileString(ini, u"Skins"_s, u"HURR"_s, i % 2 ? kOldValue : kNewValue));
        const qint64 window = std::max<qint64>(5000, 3 * timer.nsecsElapsed() / 10 / 1000);

        const QRegularExpression temporary(u"^KVRSI\\.INI\\.tmp[0-9a-f]+$"_s);
        int sawOld = 0, sawNew = 0;
        qsizetype leftovers = 0;
        for (int kill = 0; kill < 300; ++kill) {
            QProcess writer;
            writer.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kWriterMode), ini});
            QVERIFY2(writer.waitForReadyRead(30000), qPrintable(writer.errorString()));
            sleepMicroseconds(m_random.bounded(window));
            writer.kill();
            QVERIFY(writer.waitForFinished(30000));
            QCOMPARE(writer.exitStatus(), QProcess::CrashExit);
            const QByteArray now = readFile(ini);
            QVERIFY2(now == oldFile || now == newFile, qPrintable(u"kill %1 left neither version"_s.arg(kill)));
            ++(now == oldFile ? sawOld : sawNew);
            const QString fault = folderFault(dir.path(), {u"KVRSI.INI"_s}, temporary, leftovers);
            QVERIFY2(fault.isEmpty(), qPrintable(u"kill %1 "_s.arg(kill) + fault));
        }
        QVERIFY(sawOld > 0 && sawNew > 0); // the kills landed between writes, not only before the first

        // The leftovers are harmless: a whole write succeeds beside them and leaves none of its own.
        QVERIFY(kvr::writeProfileString(ini, u"Skins"_s, u"HURR"_s, kNewValue));
        QCOMPARE(readFile(ini), newFile);
        QCOMPARE(folderFault(dir.path(), {u"KVRSI.INI"_s}, temporary, leftovers, 0), QString());
    }

    void extractionKilledAtRandom()
    {
        QTemporaryDir dir;
        const QString game = dir.filePath(u"game"_s);
        QVERIFY(QDir().mkpath(game));

        // Two versions of one skin, every member changed in bytes and length; one stored, one large
        // enough to be decoded straight into its file.
        const QStringList names{u"PMOSQ_Sqn105.TPC"_s, u"PMOSQ_Sqn105.3DZ"_s, u"PMOSQ_Sqn105_N.TPC"_s,
                                u"PMOSQ_Sqn105_L.TPC"_s, u"Sqn105.txt"_s};
        const qsizetype sizes[] = {1000000, 1200000, 900000, 5000000, 3000};
        QList<QByteArray> versions[2];
        QString packages[2];
        for (int version = 0; version < 2; ++version) {
            QList<kvr::ZipMember> entries;
            for (qsizetype i = 0; i < names.size(); ++i) {
                QRandomGenerator words(quint32(version * 100 + i));
                QByteArray data;
                while (data.size() < sizes[i] + version * 4099)
                    data += QByteArray::number(words.bounded(100000), 36) + (i % 2 ? "\xFF\x01 " : " wing\n");
                data.truncate(sizes[i] + version * 4099);
                versions[version].append(data);
                entries.append({names[i].toLatin1(), data, i == 1 ? ZIP_CM_STORE : ZIP_CM_DEFLATE});
            }
            packages[version] = dir.filePath(u"MOSQ_Sqn105_v%1.zip"_s.arg(version));
            QVERIFY(kvr::writeZip(packages[version], entries));
        }
        auto versionsOnDisk = [&] { // which version each file is; -1 when neither
            QList<int> found;
            for (qsizetype i = 0; i < names.size(); ++i) {
                const QByteArray bytes = readFile(game + u'/' + names[i]);
                found.append(bytes == versions[0][i] ? 0 : bytes == versions[1][i] ? 1 : -1);
            }
            return found;
        };
        auto unpack = [&](int version, QProcess& process) {
            process.start(QStringLiteral(KVR_UNZIP32_CLI), {packages[version], game});
            return process.waitForStarted(30000);
        };

        // The old version in place, and how long a whole extraction takes.
        qint64 longest = 0;
        for (int run = 0; run < 4; ++run) {
            QProcess cli;
            QElapsedTimer timer;
            timer.start();
            QVERIFY(unpack(run % 2, cli));
            QVERIFY(cli.waitForFinished(60000));
            longest = std::max(longest, timer.nsecsElapsed() / 1000);
            QCOMPARE(cli.exitCode(), 0);
            QCOMPARE(versionsOnDisk(), QList<int>(names.size(), run % 2));
        }

        const QRegularExpression temporary(u"^\\.unzip32-[0-9a-f]{8}-[0-9]+\\.tmp$"_s);
        int mixed = 0;
        qsizetype leftovers = 0;
        for (int round = 0; round < 200; ++round) {
            QProcess cli;
            QVERIFY(unpack(round % 2, cli));
            sleepMicroseconds(m_random.bounded(longest + longest / 5));
            cli.kill();
            QVERIFY(cli.waitForFinished(60000));
            const QList<int> found = versionsOnDisk();
            QVERIFY2(!found.contains(-1), qPrintable(u"round %1 left a file neither old nor new"_s.arg(round)));
            mixed += found.contains(0) && found.contains(1);
            const QString fault = folderFault(game, names, temporary, leftovers);
            QVERIFY2(fault.isEmpty(), qPrintable(u"round %1 "_s.arg(round) + fault));
        }
        QVERIFY(mixed > 0); // kills landed mid-extraction, not only before or after

        QProcess cli; // a whole run replaces every file and leaves no temporary of its own
        QVERIFY(unpack(1, cli));
        QVERIFY(cli.waitForFinished(60000));
        QCOMPARE(cli.exitCode(), 0);
        QCOMPARE(versionsOnDisk(), QList<int>(names.size(), 1));
        QCOMPARE(folderFault(game, names, temporary, leftovers, 0), QString());
    }

private:
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
