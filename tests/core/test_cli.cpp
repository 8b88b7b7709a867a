// The command line as a launcher or a terminal uses it: the real program started as a process,
// with no display, on a program folder of its own; and handing over to a window already open.
#include "cli/instance.h"

#include "loadoutsupport.h"

#include <QProcess>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using kvrtest::readFile;
using kvrtest::writeFile;

class TestCli : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    QTemporaryDir m_binary; // the program, copied once: each program folder links it
    QString m_runtime;
    QProcess m_window;

    QString program() const { return ws->programFolder() + u"/kvrsi"_s; }

    // Runs the program in the workspace's root with the arguments ("@" stands for that root).
    kvrtest::ToolRun run(QStringList arguments)
    {
        for (QString& a : arguments)
            a.replace(u'@', ws->root());
        return kvrtest::runTool(program(), arguments, environment(false), ws->root());
    }

    // No display at all, unless for the window a command is handed to.
    QProcessEnvironment environment(bool window) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        if (window)
            env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.insert(u"XDG_RUNTIME_DIR"_s, m_runtime);
        return env;
    }

    QString socketPath() const
    {
        return kvr::instancePlace(QFileInfo(ws->programFolder()).canonicalFilePath()).socketPath;
    }

    // The program open with its window, listening for later starts.
    bool openWindow()
    {
        m_window.setProcessEnvironment(environment(true));
        m_window.start(program(), {});
        for (int i = 0; i < 200 && !QFileInfo::exists(socketPath()); ++i)
            QThread::msleep(50);
        return QFileInfo::exists(socketPath());
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(QFile::copy(QStringLiteral(KVR_PROGRAM), m_binary.filePath(u"kvrsi"_s))); }

    void init()
    {
        openProgram();
        QVERIFY(::link(QFile::encodeName(m_binary.filePath(u"kvrsi"_s)).constData(),
                       QFile::encodeName(program()).constData()) == 0 ||
                QFile::copy(m_binary.filePath(u"kvrsi"_s), program()));
        m_runtime = ws->root() + u"/run"_s;
        QVERIFY(QDir().mkpath(m_runtime));
        qputenv("XDG_RUNTIME_DIR", m_runtime.toLocal8Bit());
        QVERIFY(kvrtest::plantCommandFiles(*ws));
        QVERIFY(kvr::writeZip(ws->root() + u"/dl/thing.zip"_s, {{"readme.txt", "?"}}));
        QVERIFY(writeFile(ws->root() + u"/dl/broken.zip"_s, "PK\x03\x04 not really"));
    }

    void cleanup()
    {
        if (m_window.state() != QProcess::NotRunning) {
            m_window.kill();
            m_window.waitForFinished();
        }
        closeProgram();
    }

    // Each row: what is set up first, the arguments, the exit status, what standard output and
    // standard error hold (patterns), and a file that must be there afterwards ("!" not there;
    // "@" the workspace's root).
    void commands_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("after");
        const auto row = [](const char* name, const QString& setup, const QStringList& args, int status,
                            const QString& out, const QString& err, const QString& after = {}) {
            QTest::newRow(name) << setup << args << status << out << err << after;
        };
        const QString applied = u"@/game/PMOSQ.TPC"_s;
        row("help", {}, {u"--help"_s}, 0, u"--apply-loadout NAME \\[--start-anyway\\] -- COMMAND"_s, u"^$"_s);
        row("version", {}, {u"--version"_s}, 0, u"^Kestrava Skin Installer 1\\.1\\n$"_s, u"^$"_s);
        row("unknown option", {}, {u"--frobnicate"_s}, 2, u"^$"_s, u"Unknown option: --frobnicate"_s);
        row("two commands", {}, {u"--status"_s, u"--undo"_s}, 2, u"^$"_s, u"one command at a time"_s);
        row("import of nothing", {}, {u"--import"_s}, 2, u"^$"_s, u"at least one archive"_s);
        row("json alone", {}, {u"--json"_s}, 2, u"^$"_s, u"goes with a command"_s);
        row("status", {}, {u"--status"_s}, 0,
            u"Game folder:  .*/game\\nSkins folder: .*/skins\\n 1  Hurricane_I \\(HURR\\) +\\(nothing recorded\\)"_s,
            u"^$"_s);
        row("status as json", {}, {u"--status"_s, u"--json"_s}, 0,
            u"\"code\": \"MOSQ\",\\s+\"number\": 7,\\s+\"skin\": \"\""_s, u"^$"_s);
        row("apply a loadout file", {}, {u"--apply-loadout=@/Other.kvrloadout"_s, u"--json"_s}, 0,
            u"\"loadout\": \"Other\""_s, u"^$"_s, applied);
        row("apply what is applied", u"applied"_s, {u"--apply-loadout"_s, u"Squadron"_s}, 0,
            u"every slot is as the loadout has it already"_s, u"^$"_s, applied);
        row("missing loadout file", {}, {u"--apply-loadout"_s, u"gone.kvrloadout"_s}, 1, u"^$"_s,
            u"There is no loadout file @/gone.kvrloadout."_s);
        row("history cannot be written", u"blocked"_s, {u"--apply-loadout"_s, u"Squadron"_s}, 1,
            u"Skipped:\\n.*Sqn105: The history folder"_s, u"cannot be written"_s, u'!' + applied);
        row("then the game", {}, {u"--apply-loadout"_s, u"Squadron"_s, u"--"_s, u"touch"_s, u"@/a;b $x"_s}, 0,
            u"Loadout \"Squadron\": 1 of its slots changed.\\n\\nChanged:\\n    Mosquito_VI \\(MOSQ\\) Sqn105"_s,
            u"^$"_s, u"@/a;b $x"_s);
        row("the game's status", {}, {u"--apply-loadout"_s, u"Squadron"_s, u"--"_s, u"false"_s}, 1,
            u"1 of its slots changed"_s, u"^$"_s, applied);
        row("no game after a refusal", {}, {u"--apply-loadout"_s, u"Nope"_s, u"--"_s, u"touch"_s, u"@/started"_s}, 1,
            u"^$"_s, u"There is no loadout named \"Nope\".[\\s\\S]*touch was not started"_s, u"!@/started"_s);
        row("game anyway", {},
            {u"--apply-loadout"_s, u"Nope"_s, u"--start-anyway"_s, u"--"_s, u"touch"_s, u"@/started"_s}, 0, u"^$"_s,
            u"no loadout named"_s, u"@/started"_s);
        row("nothing to undo", {}, {u"--undo"_s}, 1, u"^$"_s, u"There is no change to undo."_s);
        row("undo", u"applied"_s, {u"--undo"_s}, 0,
            u"Undone: the loadout of .*\\n    Mosquito_VI \\(MOSQ\\) \\(nothing recorded\\), was Sqn105"_s, u"^$"_s,
            u'!' + applied);
        row("import", {},
            {u"--import"_s, u"dl/MOSQ_Red.zip"_s, u"dl/thing.zip"_s, u"dl/broken.zip"_s, u"dl/none.zip"_s}, 1,
            u"MOSQ_Red.zip \u2192 Mosquito_VI \\(MOSQ\\) as MOSQ_Red.zip, with its note"_s,
            u"thing.zip: neither its name nor its files tell the slot.*\\n    broken.zip: .+\\n    none.zip: not an "
            u"archive"_s,
            u"@/skins/MOSQ_Red.zip"_s);
        row("socket not ours", u"socket"_s, {u"--status"_s}, 1, u"^$"_s, u"is not the program's socket"_s);
        row("handed to the window", u"window moved"_s, {u"--apply-loadout"_s, u"Squadron"_s}, 0,
            u"1 of its slots changed"_s, u"^$"_s, applied);
        row("open with", u"window"_s, {u"Other.kvrloadout"_s}, 0, u"^$"_s, u"^$"_s,
            u"@/program/loadouts/Other.kvrloadout"_s);
    }
    void commands()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QString, after);
        if (setup.contains(u"window"_s))
            QVERIFY(openWindow());
        // The window keeps the folders it loaded: a command carried out here would use the new one.
        // (A command handed over waits for the main window's load.)
        if (setup.contains(u"moved"_s))
            QVERIFY(run({u"--status"_s}).exitCode == 0 && QDir().mkpath(ws->root() + u"/other"_s) &&
                    writeFile(ws->iniPath(), ws->foldersSection(ws->root() + u"/other"_s, ws->skinsFolder())));
        if (setup.contains(u"applied"_s))
            QCOMPARE(run({u"--apply-loadout"_s, u"Squadron"_s}).exitCode, 0);
        if (setup.contains(u"blocked"_s))
            QVERIFY(writeFile(ws->programFolder() + u"/KVRSI.history"_s, "a file where the folder goes"));
        if (setup.contains(u"socket"_s))
            QVERIFY(writeFile(socketPath(), "not a socket"));

        const kvrtest::ToolRun ran = run(arguments);
        const QString printed = QString::fromUtf8(ran.out), said = QString::fromUtf8(ran.err);
        QCOMPARE(ran.exitCode, status);
        QVERIFY2(QRegularExpression(out).match(printed).hasMatch(), qPrintable(printed));
        QVERIFY2(QRegularExpression(err.replace(u'@', ws->root())).match(said).hasMatch(), qPrintable(said));
        if (after.isEmpty())
            return;
        const bool absent = after.startsWith(u'!');
        const QString path = after.mid(absent ? 1 : 0).replace(u'@', ws->root());
        // Open With returns at once; the window imports a moment later.
        for (int i = 0; i < 100 && !absent && !QFileInfo::exists(path); ++i)
            QThread::msleep(50);
        QVERIFY2(QFileInfo::exists(path) != absent, qPrintable(path));
    }

    // The socket's place is refused when anyone but its user could reach or plant it.
    void foreignPlaceRefused()
    {
        QVERIFY(kvr::instancePlace(ws->programFolder(), ::getuid() + 1).problem.contains(u"belongs to another user"_s));
        QVERIFY(::chmod(QFile::encodeName(m_runtime + u"/kvrsi"_s).constData(), 0755) == 0);
        const QString open = kvr::instancePlace(ws->programFolder()).problem;
        QVERIFY2(open.contains(u"may be entered by other users"_s), qPrintable(open));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
