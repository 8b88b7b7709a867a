// The installation core without a window: which folder a value names, what a delete may take,
// interrupted changes finished at start, and two writers or two installations at once.
#include "installer/installation.h"
#include "installer/slots.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
#include <QProcess>
#include <QRandomGenerator>

#include <cstring>
#include <pthread.h>
#include <thread>
#include <unistd.h>

using kvr::ChangeStep;
using kvrtest::filesIn;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

const char* const kChangeMode = "--change";
const char* const kWriteKeysMode = "--write-keys";

// Every call the file services get, as "delete <folder> <pattern>" and "unzip <package> <target>".
class ServiceRecorder
{
public:
    ServiceRecorder()
        : m_previous(kvr::setFileServices({[this](const QString& folder, const QString& pattern) {
                                               const QMutexLocker lock(&m_mutex);
                                               calls.append("delete " + folder + " " + pattern);
                                           },
                                           [this](const QString& package, const QString& target) {
                                               const QMutexLocker lock(&m_mutex);
                                               calls.append("unzip " + package + " " + target);
                                           }}))
    {
    }
    ~ServiceRecorder() { kvr::setFileServices(m_previous); }
    ServiceRecorder(const ServiceRecorder&) = delete;
    ServiceRecorder& operator=(const ServiceRecorder&) = delete;

    QStringList calls;

private:
    QMutex m_mutex;
    kvr::FileServices m_previous;
};

QString skinOf(const QString& slot)
{
    return kvr::Modulo::LEEINI(kvr::Modulo::settingsPath(), kvr::SettingsNames::kSkinsSection, slot);
}

QStringList leftoversBeside(const kvrtest::Workspace& ws)
{
    return QDir(ws.programFolder()).entryList({"KVRSI.INI.*"}, QDir::AllEntries | QDir::Hidden | QDir::System);
}

// A folder path of exactly `length` characters under `root`.
QString folderOfLength(const QString& root, qsizetype length)
{
    QString path = root;
    while (path.size() < length) {
        const qsizetype room = length - path.size() - 1;
        path += '/' + QString(std::min<qsizetype>(room, 200), 'd');
    }
    QDir().mkpath(path);
    return path;
}

} // namespace

class TestInstallationCore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void folderRules_data();
    void folderRules();
    void backslashFolderUsedAsWritten();
    void vanishedPackageIsStillRecorded();
    void programFilesNeverDeleted_data();
    void programFilesNeverDeleted();
    void linksToFoldersStay_data();
    void linksToFoldersStay();
    void interruptedChangeIsFinishedAtStart_data();
    void interruptedChangeIsFinishedAtStart();
    void killedDuringUnpackingIsFinishedAtStart();
    void leftoversAreRemoved();
    void twoWritersLoseNoKey();
    void twoInstallationsNeverInterleave();
};

// {root} stands for the workspace's folder; an empty expectation means no delete and no unpacking.
void TestInstallationCore::folderRules_data()
{
    QTest::addColumn<QString>("gameValue");
    QTest::addColumn<QString>("skinsValue");
    QTest::addColumn<QString>("expectedGame"); // the folder the deletes get
    QTest::addColumn<bool>("unpacks");

    QTest::newRow("absolute folder") << "{root}/game"
                                     << "{root}/skins"
                                     << "{root}/game" << true;
    QTest::newRow("empty") << ""
                           << "{root}/skins"
                           << "" << false;
    QTest::newRow("relative: .") << "."
                                 << "{root}/skins"
                                 << "" << false;
    QTest::newRow("relative name") << "game"
                                   << "{root}/skins"
                                   << "" << false;
    QTest::newRow("missing folder") << "{root}/gone"
                                    << "{root}/skins"
                                    << "" << false;
    QTest::newRow("a file, not a folder") << "{root}/program/KVRSI.INI"
                                          << "{root}/skins"
                                          << "" << false;
    QTest::newRow("backslashes read as slashes") << "{root}\\game"
                                                 << "{root}/skins"
                                                 << "{root}/game" << true;
    QTest::newRow("C: stands for /") << "C:{root}\\game"
                                     << "{root}/skins"
                                     << "{root}/game" << true;
    QTest::newRow("c: any case, slashes") << "c:{root}/game"
                                          << "{root}/skins"
                                          << "{root}/game" << true;
    QTest::newRow("other drive letter") << "D:{root}/game"
                                        << "{root}/skins"
                                        << "" << false;
    QTest::newRow("253 characters") << "{253}"
                                    << "{root}/skins"
                                    << "{253}" << true;
    QTest::newRow("254 characters: may be cut") << "{254}"
                                                << "{root}/skins"
                                                << "" << false;
    QTest::newRow("300 characters") << "{300}"
                                    << "{root}/skins"
                                    << "" << false;
    QTest::newRow("skins folder empty") << "{root}/game"
                                        << ""
                                        << "{root}/game" << false;
    QTest::newRow("skins folder relative") << "{root}/game"
                                           << "skins"
                                           << "{root}/game" << false;
    QTest::newRow("skins folder cut") << "{root}/game"
                                      << "{254}"
                                      << "{root}/game" << false;
}

// The install and the reset both: only a usable value reaches a delete or the unpacking, and
// the settings are written whatever the folders.
void TestInstallationCore::folderRules()
{
    QFETCH(QString, gameValue);
    QFETCH(QString, skinsValue);
    QFETCH(QString, expectedGame);
    QFETCH(bool, unpacks);
    kvrtest::Workspace ws;
    const auto expand = [&ws](QString value) {
        for (const qsizetype length : {253, 254, 300})
            value.replace(QStringLiteral("{%1}").arg(length), folderOfLength(ws.root() + "/long", length));
        return value.replace("{root}", ws.root());
    };
    gameValue = expand(gameValue);
    skinsValue = expand(skinsValue);
    expectedGame = expand(expectedGame);
    const QString ini = kvr::Modulo::settingsPath();

    ServiceRecorder services;
    kvr::changeSlot(gameValue, skinsValue, ini, "MOSQ", "Sqn105");
    QStringList expected;
    if (!expectedGame.isEmpty())
        expected << "delete " + expectedGame + " PMOSQ*.*";
    if (unpacks)
        expected << "unzip " + expand("{root}/skins") + "/MOSQ_Sqn105.ZIP " + expectedGame + "/";
    QCOMPARE(services.calls, expected);
    QCOMPARE(skinOf("MOSQ"), "Sqn105");

    services.calls.clear();
    kvr::changeSlot(gameValue, skinsValue, ini, "MOSQ", "(Default)");
    QCOMPARE(services.calls, expectedGame.isEmpty() ? QStringList() : QStringList{expected.first()});
    QCOMPARE(skinOf("MOSQ"), "(Default)");

    services.calls.clear();
    kvr::changeSlot(gameValue, skinsValue, ini, "MOSQ", "Sqn105");
    kvr::resetSlots(gameValue, ini);
    QStringList resetCalls;
    if (!expectedGame.isEmpty())
        resetCalls << "delete " + expectedGame + " P*.TPC"
                   << "delete " + expectedGame + " P*.3DZ";
    QCOMPARE(services.calls.mid(expected.size()), resetCalls);
    QCOMPARE(skinOf("MOSQ"), "(Default)");
    QCOMPARE(skinOf("V1V1"), "(Default)");
    QCOMPARE(leftoversBeside(ws), QStringList()); // no journal stays behind
}

// A folder whose own name holds a '\' is the folder meant; the one the '\' would read as is not.
void TestInstallationCore::backslashFolderUsedAsWritten()
{
    kvrtest::Workspace ws;
    const QString asWritten = ws.root() + "/ga\\me";
    const QString lookalike = ws.root() + "/ga/me";
    for (const QString& folder : {asWritten, lookalike}) {
        QVERIFY(QDir().mkpath(folder));
        writeFile(folder + "/PMOSQ_old.tpc", "old");
        writeFile(folder + "/PHURR.TPC", "old");
    }
    QVERIFY(kvr::writeZip(ws.skinsFolder() + "/mosq_Sqn105.zip", {{"PMOSQ_new.tpc", "new"}}));

    kvr::changeSlot(asWritten, ws.skinsFolder(), kvr::Modulo::settingsPath(), "MOSQ", "Sqn105");
    QCOMPARE(filesIn(asWritten), QStringList({"PHURR.TPC", "PMOSQ_new.tpc"}));
    kvr::resetSlots(asWritten, kvr::Modulo::settingsPath());
    QCOMPARE(filesIn(asWritten), QStringList());
    QCOMPARE(filesIn(lookalike), QStringList({"PHURR.TPC", "PMOSQ_old.tpc"}));
}

// The package went away after the list was filled: the slot is cleared, nothing is unpacked, no
// message is shown, and the choice is recorded all the same.
void TestInstallationCore::vanishedPackageIsStillRecorded()
{
    kvrtest::Workspace ws;
    writeFile(ws.gameFolder() + "/PHURR_old.tpc", "old");
    writeFile(ws.gameFolder() + "/PSP2A.tpc", "other slot");
    kvrtest::MsgBoxRecorder boxes;
    kvr::changeSlot(ws.gameFolder(), ws.skinsFolder(), kvr::Modulo::settingsPath(), "HURR", "Desert");
    QCOMPARE(filesIn(ws.gameFolder()), QStringList({"PSP2A.tpc"}));
    QCOMPARE(skinOf("HURR"), "Desert");
    QVERIFY(boxes.calls.isEmpty());
}

void TestInstallationCore::programFilesNeverDeleted_data()
{
    QTest::addColumn<QString>("reachedAs"); // how the deleting code names the program folder
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("survivors");
    const QString exe = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QStringList own{"KVRSI.INI", "Kvrsi.ini", "LIBUNZIP32.SO", exe.toUpper(), "libunzip32.so", "readme.txt"};
    QTest::newRow("every name, by its path") << "path"
                                             << "*.*" << own;
    QTest::newRow("every name, through a link") << "link"
                                                << "*.*" << own;
    QTest::newRow("every name, with a trailing /") << "slash"
                                                   << "*" << own;
    QTest::newRow("readme only") << "path"
                                 << "R*.*" << own;
    QTest::newRow("the settings only") << "link"
                                       << "kvrsi*" << own;
    QTest::newRow("another folder holding the same names") << "other"
                                                           << "*.*" << QStringList();
}

void TestInstallationCore::programFilesNeverDeleted()
{
    QFETCH(QString, reachedAs);
    QFETCH(QString, pattern);
    QFETCH(QStringList, survivors);
    kvrtest::Workspace ws(/*withUnzipLibrary=*/false);
    const QString exe = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString folder = reachedAs == "other" ? ws.gameFolder() : ws.programFolder();
    for (const QString& name :
         {QString("KVRSI.INI"), QString("Kvrsi.ini"), QString("LIBUNZIP32.SO"), exe.toUpper(), QString("libunzip32.so"),
          QString("readme.txt"), QString("Rogue.txt"), QString("KVRSI_old.bak"), QString("PMOSQ.TPC")})
        writeFile(folder + '/' + name, "x");
    QVERIFY(QFile::link(ws.programFolder(), ws.root() + "/link"));
    QString named = folder;
    if (reachedAs == "link")
        named = ws.root() + "/link";
    else if (reachedAs == "slash")
        named = folder + "/";
    try {
        kvr::deleteFiles(named, pattern);
    } catch (const kvr::Error&) {
    }
    QStringList expected = survivors;
    for (const QString& name : filesIn(folder)) {
        if (!expected.contains(name) && !kvr::wildcardMatch(pattern, name))
            expected.append(name);
    }
    expected.sort();
    QCOMPARE(filesIn(folder), expected);
}

void TestInstallationCore::linksToFoldersStay_data()
{
    QTest::addColumn<QString>("linkTo"); // "file", "folder", "nothing", "folder link"
    QTest::addColumn<bool>("survives");
    QTest::newRow("link to a file goes, its file stays") << "file" << false;
    QTest::newRow("link to a folder stays") << "folder" << true;
    QTest::newRow("link to a link to a folder stays") << "folder link" << true;
    QTest::newRow("link to nothing goes") << "nothing" << false;
}

void TestInstallationCore::linksToFoldersStay()
{
    QFETCH(QString, linkTo);
    QFETCH(bool, survives);
    kvrtest::Workspace ws;
    const QString outside = ws.root() + "/outside";
    writeFile(outside + "/textures/PMOSQ.TPC", "theirs");
    writeFile(outside + "/PMOSQ_file.tpc", "theirs too");
    QVERIFY(QFile::link(outside + "/textures", outside + "/textures-link"));
    const QString target = outside + (linkTo == "file"          ? "/PMOSQ_file.tpc"
                                      : linkTo == "folder"      ? "/textures"
                                      : linkTo == "folder link" ? "/textures-link"
                                                                : "/nowhere");
    const QString link = ws.gameFolder() + "/PMOSQ_textures";
    QVERIFY(QFile::link(target, link));
    writeFile(ws.gameFolder() + "/PMOSQ.tpc", "ours");

    kvr::changeSlot(ws.gameFolder(), ws.skinsFolder(), kvr::Modulo::settingsPath(), "MOSQ", "(Default)");
    QCOMPARE(QFileInfo(link).isSymLink(), survives);
    QVERIFY(!QFile::exists(ws.gameFolder() + "/PMOSQ.tpc"));
    QCOMPARE(readFile(outside + "/textures/PMOSQ.TPC"), QByteArray("theirs"));
    QCOMPARE(readFile(outside + "/PMOSQ_file.tpc"), QByteArray("theirs too"));

    // The reset's patterns likewise.
    QVERIFY(QFile::remove(link) || !QFileInfo(link).isSymLink());
    QVERIFY(QFile::link(target, ws.gameFolder() + "/PMOSQ_textures.TPC"));
    kvr::resetSlots(ws.gameFolder(), kvr::Modulo::settingsPath());
    QCOMPARE(QFileInfo(ws.gameFolder() + "/PMOSQ_textures.TPC").isSymLink(), survives);
    QCOMPARE(readFile(outside + "/textures/PMOSQ.TPC"), QByteArray("theirs"));
}

void TestInstallationCore::interruptedChangeIsFinishedAtStart_data()
{
    QTest::addColumn<QString>("change"); // a skin name, or "reset"
    QTest::addColumn<int>("stopAt");     // a ChangeStep, or -1 for no stop
    const QList<std::pair<const char*, ChangeStep>> steps{{"journaled", ChangeStep::Journaled},
                                                          {"deleted", ChangeStep::Deleted},
                                                          {"unpacked", ChangeStep::Unpacked},
                                                          {"recorded", ChangeStep::Recorded}};
    for (const char* change : {"Sqn105", "(Default)", "reset"}) {
        for (const auto& [name, step] : steps) {
            if (step == ChangeStep::Unpacked && QByteArray(change) != "Sqn105")
                continue; // nothing is unpacked there
            QTest::addRow("%s, stopped once %s", change, name) << QString::fromLatin1(change) << int(step);
        }
        QTest::addRow("%s, not stopped", change) << QString::fromLatin1(change) << -1;
    }
}

// The child ends at a step (as a kill or a power cut would); the start-up step then leaves the
// disk and the settings as a whole change would have, and no journal behind.
void TestInstallationCore::interruptedChangeIsFinishedAtStart()
{
    QFETCH(QString, change);
    QFETCH(int, stopAt);
    kvrtest::Workspace ws;
    ws.writeSettings("[Skins]\r\nMOSQ=Old\r\nHURR=Desert\r\n");
    const QString game = ws.gameFolder();
    for (const char* name : {"PMOSQ_old.tpc", "PMOSQ_old.3dz", "PHURR.TPC", "other.txt"})
        writeFile(game + '/' + name, "old");
    QVERIFY(kvr::writeZip(ws.skinsFolder() + "/MOSQ_Sqn105.zip",
                          {{"PMOSQ_new.tpc", "new"}, {"maps/PMOSQ_new.3dz", QByteArray(20000, 'm')}}));

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {kChangeMode, ws.programFolder(), game, ws.skinsFolder(), change, QString::number(stopAt)});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), stopAt < 0 ? 0 : 7);
    QCOMPARE(leftoversBeside(ws).size(), stopAt >= 0 ? 1 : 0);

    kvr::finishInterruptedChanges(kvr::Modulo::settingsPath());

    QCOMPARE(leftoversBeside(ws), QStringList());
    if (change == "reset") {
        QCOMPARE(filesIn(game), QStringList({"other.txt"}));
        for (const kvr::Slot& s : kvr::slotTable())
            QCOMPARE(skinOf(s.SlotCode()), "(Default)");
        return;
    }
    QCOMPARE(skinOf("MOSQ"), change);
    QCOMPARE(skinOf("HURR"), "Desert");
    QCOMPARE(filesIn(game), change == "Sqn105"
                                ? QStringList({"PHURR.TPC", "PMOSQ_new.3dz", "PMOSQ_new.tpc", "other.txt"})
                                : QStringList({"PHURR.TPC", "other.txt"}));
}

// Killed at random moments while a package of many members is unpacked.
void TestInstallationCore::killedDuringUnpackingIsFinishedAtStart()
{
    kvrtest::Workspace ws;
    ws.writeSettings("[Skins]\r\nMOSQ=Old\r\n");
    QList<kvr::ZipMember> members;
    QStringList names;
    for (int i = 0; i < 600; ++i) {
        names.append(QStringLiteral("PMOSQ_%1.TPC").arg(i, 4, 10, QLatin1Char('0')));
        members.append({names.last().toLatin1(), QByteArray(300 + i % 700, char('a' + i % 26))});
    }
    names.sort();
    QVERIFY(kvr::writeZip(ws.skinsFolder() + "/MOSQ_Many.zip", members));

    QRandomGenerator random(quint32(QDateTime::currentMSecsSinceEpoch()));
    qint64 window = 0; // how long the unpacking takes, from a first round left alone
    int cut = 0;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 20; ++i)
            writeFile(ws.gameFolder() + QStringLiteral("/PMOSQ_old%1.tpc").arg(i), "old");
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {kChangeMode, ws.programFolder(), ws.gameFolder(), ws.skinsFolder(), "Many", "-1"});
        QVERIFY(child.waitForReadyRead(60000)); // the journal is written
        QElapsedTimer timer;
        timer.start();
        if (round > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(random.bounded(window)));
            child.kill();
        }
        QVERIFY(child.waitForFinished(60000));
        if (round == 0)
            window = std::max<qint64>(1000, timer.nsecsElapsed() / 1000);
        cut += child.exitStatus() == QProcess::CrashExit;

        kvr::finishInterruptedChanges(kvr::Modulo::settingsPath());
        QCOMPARE(filesIn(ws.gameFolder()), names);
        QCOMPARE(skinOf("MOSQ"), "Many");
        QCOMPARE(leftoversBeside(ws), QStringList());
        kvr::Modulo::GRABAINI(kvr::Modulo::settingsPath(), kvr::SettingsNames::kSkinsSection, "MOSQ", "Old");
    }
    QVERIFY(cut > 0);
}

void TestInstallationCore::leftoversAreRemoved()
{
    kvrtest::Workspace ws;
    ws.writeSettings();
    const QString game = ws.gameFolder();
    writeFile(game + "/.unzip32-0123abcd-1.tmp", "stale");
    writeFile(game + "/.unzip32-0123abcd-x.tmp", "not the library's name");
    writeFile(ws.root() + "/outside.txt", "theirs");
    QVERIFY(QFile::link(ws.root() + "/outside.txt", game + "/.unzip32-0123abcd-2.tmp"));
    QVERIFY(QDir(game).mkdir(".unzip32-0123abcd-3.tmp"));
    const QString program = ws.programFolder();
    writeFile(program + "/KVRSI.INI.tmp1a2b3c", "stale");
    writeFile(program + "/KVRSI.INI.tmpzz", "not a temporary's name");
    writeFile(program + "/KVRSI.INI.journal-1f", "KVRSI journal 1\nkind=install\nslot=MOSQ\n"); // cut short

    kvr::finishInterruptedChanges(kvr::Modulo::settingsPath());
    QCOMPARE(leftoversBeside(ws), QStringList({"KVRSI.INI.tmpzz"}));
    QCOMPARE(skinOf("MOSQ"), QString()); // the cut journal did nothing

    for (const bool reset : {false, true}) {
        writeFile(game + "/.unzip32-feedbeef-7.tmp", "stale");
        if (reset)
            kvr::resetSlots(game, kvr::Modulo::settingsPath());
        else
            kvr::changeSlot(game, ws.skinsFolder(), kvr::Modulo::settingsPath(), "MOSQ", "(Default)");
        QCOMPARE(QDir(game).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 QStringList({".unzip32-0123abcd-2.tmp", ".unzip32-0123abcd-3.tmp", ".unzip32-0123abcd-x.tmp"}));
        QCOMPARE(readFile(ws.root() + "/outside.txt"), QByteArray("theirs"));
    }
}

// Two processes write different keys of one file at once: every key of both is there.
void TestInstallationCore::twoWritersLoseNoKey()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("KVRSI.INI");
    constexpr int kKeys = 120;
    QProcess first, second;
    for (auto [process, prefix] : {std::pair{&first, "a"}, std::pair{&second, "b"}})
        process->start(QCoreApplication::applicationFilePath(), {kWriteKeysMode, ini, prefix, QString::number(kKeys)});
    QVERIFY(first.waitForFinished(120000));
    QVERIFY(second.waitForFinished(120000));
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(second.exitCode(), 0);
    int missing = 0;
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < kKeys; ++i)
            missing += kvr::readProfileString(ini, "Keys", prefix + QString::number(i)) != QString::number(i);
    }
    QCOMPARE(missing, 0);
    QCOMPARE(filesIn(dir.path()), QStringList({"KVRSI.INI"}));
}

// Two changes on one game folder from two threads: each runs from its lock to its record whole.
void TestInstallationCore::twoInstallationsNeverInterleave()
{
    kvrtest::Workspace ws;
    ws.writeSettings();
    ServiceRecorder services;
    QMutex mutex;
    QStringList steps;
    const kvr::ChangeProbe previous = kvr::setChangeProbe([&](ChangeStep step) {
        {
            const QMutexLocker lock(&mutex);
            steps.append(QStringLiteral("%1:%2").arg(QString::number(quintptr(pthread_self()), 16)).arg(int(step)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    std::thread other([&] {
        for (int i = 0; i < 10; ++i)
            kvr::changeSlot(ws.gameFolder(), ws.skinsFolder(), kvr::Modulo::settingsPath(), "HURR", "Desert");
    });
    for (int i = 0; i < 10; ++i)
        kvr::resetSlots(ws.gameFolder(), kvr::Modulo::settingsPath());
    other.join();
    kvr::setChangeProbe(previous);
    QCOMPARE(steps.size(), 10 * 4 + 10 * 3);
    // Steps of one change follow each other: no other thread's step falls between Journaled and Recorded.
    QString open;
    for (const QString& step : std::as_const(steps)) {
        const QString thread = step.section(':', 0, 0);
        const int kind = step.section(':', 1).toInt();
        if (kind == int(ChangeStep::Journaled)) {
            QVERIFY2(open.isEmpty(), qPrintable(steps.join(' ')));
            open = thread;
        } else {
            QCOMPARE(thread, open);
            if (kind == int(ChangeStep::Recorded))
                open.clear();
        }
    }
}

// Child modes: one change that ends the process at a step; or many settings writes.
static int childMain(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == QLatin1String(kWriteKeysMode)) {
        for (int i = 0; i < args.value(4).toInt(); ++i) {
            if (!kvr::writeProfileString(args.value(2), "Keys", args.value(3) + QString::number(i), QString::number(i)))
                return 1;
        }
        return 0;
    }
    kvr::setProgramFolder(args.value(2));
    const int stopAt = args.value(6).toInt();
    kvr::setChangeProbe([stopAt](ChangeStep step) {
        if (step == ChangeStep::Journaled) {
            std::fputs("journaled\n", stdout);
            std::fflush(stdout);
        }
        if (int(step) == stopAt)
            ::_exit(7);
    });
    const QString ini = kvr::Modulo::settingsPath();
    if (args.value(5) == QLatin1String("reset"))
        kvr::resetSlots(args.value(3), ini);
    else
        kvr::changeSlot(args.value(3), args.value(4), ini, "MOSQ", args.value(5));
    return 0;
}

int main(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], kChangeMode) == 0 || std::strcmp(argv[1], kWriteKeysMode) == 0))
        return childMain(argc, argv);
    QCoreApplication app(argc, argv);
    TestInstallationCore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_installation_core.moc"
