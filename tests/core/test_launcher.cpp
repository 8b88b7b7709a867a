// The package's launcher, installed under a /usr of the test's own: each user's program folder
// made and refreshed from the package's files, the user's files there kept, the arguments passed
// on untouched, and a folder that cannot be written refused before anything changes.
#include "testsupport.h"

#include <QDirIterator>
#include <QMap>

using namespace Qt::StringLiterals;

namespace {

// Every file and folder under `root`, with the files' bytes.
QMap<QString, QByteArray> tree(const QString& root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(path.mid(root.size()), it.fileInfo().isDir() ? "<folder>"_ba : kvrtest::readFile(path));
    }
    return entries;
}

} // namespace

class TestLauncher : public QObject
{
    Q_OBJECT

    QTemporaryDir m_usr;
    QString m_libdir;

    QString launcher() const { return m_usr.filePath(u"bin/kvrsi"_s); }

    // The package at a version: a stand-in program that says which version and copy ran and with
    // what arguments, a readme and the stamp that goes with them.
    bool package(const QByteArray& version) const
    {
        const QByteArray program =
            "#!/bin/sh\nprintf '%s\\n' " + version + " \"$0\"\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n";
        return kvrtest::writeFile(m_libdir + u"/kvrsi"_s, program) &&
               QFile::setPermissions(m_libdir + u"/kvrsi"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
               kvrtest::writeFile(m_libdir + u"/readme.txt"_s, "readme " + version) &&
               kvrtest::writeFile(m_libdir + u"/kvrsi.stamp"_s, version + " stamp\n");
    }

    // A user with a home of their own in `home`, and XDG_DATA_HOME when not null.
    static QProcessEnvironment user(const QString& home, const QString& dataHome = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, home);
        env.remove(u"XDG_DATA_HOME"_s);
        if (!dataHome.isNull())
            env.insert(u"XDG_DATA_HOME"_s, dataHome);
        return env;
    }

    kvrtest::ToolRun start(const QProcessEnvironment& env, const QStringList& arguments = {}) const
    {
        return kvrtest::runTool(launcher(), arguments, env);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_usr.isValid());
        const kvrtest::ToolRun install = kvrtest::runTool(
            QStringLiteral(KVR_CMAKE_COMMAND),
            {u"--install"_s, QStringLiteral(KVR_BINARY_DIR), u"--component"_s, u"deb"_s, u"--prefix"_s, m_usr.path()});
        QVERIFY2(install.exitCode == 0, install.err.constData());
        m_libdir = m_usr.filePath(u"lib/kvrsi"_s);
        QVERIFY(QFileInfo(launcher()).isExecutable());
    }

    void init() { QVERIFY(package("v1")); }

    // The first start copies the package's files into the user's folder and runs the copy with
    // exactly the arguments the launcher got, none read by a shell.
    void firstStartCopies_data()
    {
        QTest::addColumn<QString>("dataHome");
        QTest::addColumn<QString>("folder");
        QTest::newRow("XDG_DATA_HOME") << u"data"_s << u"data/kvrsi"_s;
        QTest::newRow("unset") << QString() << u"home/.local/share/kvrsi"_s;
        // A relative one is no base folder at all and is ignored.
        QTest::newRow("relative") << u"relative"_s << u"home/.local/share/kvrsi"_s;
    }
    void firstStartCopies()
    {
        QFETCH(QString, dataHome);
        QFETCH(QString, folder);
        QTemporaryDir root;
        const bool absolute = dataHome == "data"_L1;
        const QStringList arguments = {u"--status"_s, u""_s,       u"two words"_s, u"$HOME"_s,
                                       u"*"_s,        u"a'b\"c"_s, u"`id`"_s,      u"line\nbreak"_s};
        const kvrtest::ToolRun run =
            start(user(root.filePath(u"home"_s), absolute ? root.filePath(dataHome) : dataHome), arguments);
        QVERIFY2(run.exitCode == 0, run.err.constData());
        const QString program = root.filePath(folder);
        QByteArray expected = "v1\n" + program.toUtf8() + "/kvrsi\n";
        for (const QString& argument : arguments)
            expected += '[' + argument.toUtf8() + "]\n";
        QCOMPARE(run.out, expected);
        QCOMPARE(kvrtest::filesIn(program), QStringList({u".kvrsi-launcher.lock"_s, u"kvrsi"_s, u"kvrsi.stamp"_s,
                                                         u"libunzip32.so"_s, u"readme.txt"_s}));
    }

    // A start of the same package leaves the copies alone; starts after an upgrade replace them and
    // keep the user's settings, history and loadouts byte for byte.
    void upgradeRefreshesAndKeepsUsersFiles()
    {
        QTemporaryDir home;
        const QString program = home.filePath(u".local/share/kvrsi"_s);
        QVERIFY(start(user(home.path())).exitCode == 0);
        QVERIFY(kvrtest::writeFile(program + u"/KVRSI.INI"_s, "[Folders]\r\nGame=/g\r\n"));
        QVERIFY(kvrtest::writeFile(program + u"/KVRSI.history/00000001.entry"_s, "entry one"));
        QVERIFY(
            kvrtest::writeFile(program + u"/loadouts/Desert 1941.kvrloadout"_s, "[Loadout]\r\nName=Desert 1941\r\n"));
        QVERIFY(kvrtest::writeFile(m_libdir + u"/readme.txt"_s, "changed without a new stamp"));
        QCOMPARE(start(user(home.path())).out.left(3), "v1\n"_ba);
        QCOMPARE(kvrtest::readFile(program + u"/readme.txt"_s), "readme v1"_ba);

        QMap<QString, QByteArray> users = tree(program);
        for (const QString& name : {u"/kvrsi"_s, u"/libunzip32.so"_s, u"/readme.txt"_s, u"/kvrsi.stamp"_s})
            users.remove(name);
        // Starts at once after the upgrade all run the new program; none finds another's half-done copy.
        QVERIFY(package("v2"));
        std::vector<std::unique_ptr<QProcess>> starts;
        for (int i = 0; i < 4; ++i) {
            starts.push_back(std::make_unique<QProcess>());
            starts.back()->setProcessEnvironment(user(home.path()));
            starts.back()->start(launcher(), {});
        }
        for (const auto& p : starts) {
            QVERIFY(p->waitForFinished(60000));
            QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
            QCOMPARE(p->readAllStandardOutput().left(3), "v2\n"_ba);
        }
        QCOMPARE(kvrtest::readFile(program + u"/readme.txt"_s), "readme v2"_ba);
        QMap<QString, QByteArray> after = tree(program);
        for (auto it = users.cbegin(); it != users.cend(); ++it)
            QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key()));
        QCOMPARE(after.size(), users.size() + 4);
    }

    // A folder that cannot be made (a file stands at its place): a message, a failure, and nothing
    // changed. A read-only folder is no obstacle to root, as whom these tests run.
    void unwritableFolderRefused()
    {
        QTemporaryDir root;
        const QString dataHome = root.filePath(u"data"_s);
        QVERIFY(kvrtest::writeFile(dataHome, "a file"));
        const QMap<QString, QByteArray> before = tree(root.path());
        const kvrtest::ToolRun run = start(user(root.path(), dataHome), {u"--status"_s});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, QByteArray());
        QVERIFY2(
            run.err.startsWith(QByteArray("kvrsi: Cannot write the program folder " + dataHome.toUtf8() + "/kvrsi.")),
            run.err.constData());
        QCOMPARE(tree(root.path()), before);
    }
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "test_launcher.moc"
