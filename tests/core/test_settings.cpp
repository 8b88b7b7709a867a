// KVRSI.INI: hand-edited files read as the platform's profile service reads them, writes lay the
// file out as it does, and no write ever loses the old content.
#include "app/textcodec.h"
#include "installer/slots.h"
#include "settings/modulo_ini.h"
#include "settings/profile.h"
#include "testsupport.h"

#include <QRandomGenerator>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using kvr::Modulo::GRABAINI;
using kvr::Modulo::LEEINI;
using Writes = QList<QStringList>; // section, key, value

namespace {

QByteArray fixture(const char* name)
{
    return kvrtest::readFile(QStringLiteral(KVR_TEST_DATA "/settings/") + QLatin1String(name));
}

Writes resetWrites()
{
    Writes writes;
    for (const kvr::Slot& slot : kvr::slotTable())
        writes.append({"Skins", slot.SlotCode(), "(Default)"});
    return writes;
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(m_dir.isValid()); }
    void cleanup() { QFile::remove(ini()); }

    void readsAsThePlatformDoes_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        const QByteArray hand = fixture("hand-edited.ini");
        auto row = [](const char* name, const QByteArray& file, const QString& section, const QString& key,
                      const QString& expected) { QTest::newRow(name) << file << section << key << expected; };
        row("blanks in brackets and around =, quotes", hand, "Folders", "KVRInstallationFolder", "C:\\Games\\Kestrava");
        row("tab after =, text after a ';' is value", hand, "Folders", "SkinsFolder", "D:\\Skins  ;not a comment");
        row("commented-out key is skipped, case ignored", hand, "SKINS", "HURR", "Desert");
        row("single quotes", hand, "Skins", "SP2A", "Night Fighter");
        row("unbalanced quote kept", hand, "skins", "SP09", "\"unbalanced");
        row("key line without =", hand, "Skins", "MOSQ", QString());
        row("empty value", hand, "Skins", "TYPH", QString());
        row("duplicate key: the first", hand, "Skins", "P51B", "first");
        row("'#' line is no key of that name", hand, "Skins", "TEMP", QString());
        row("duplicate section: only the first", hand, "Skins", "SP14", QString());
        row("text after ] ignored", hand, "Extra", "Mine", "kept");
        row("absent section", hand, "Viewer", "Mine", QString());
        row("absent key", hand, "Folders", "Mine", QString());
        row("LF line ends", "[S]\nk=lf\nj=2\n", "S", "j", "2");
        row("CR line ends", "[S]\rk=cr\rj=2\r", "S", "j", "2");
        row("no final line end", "[S]\r\nk=last", "S", "k", "last");
        row("byte-order mark", "\xEF\xBB\xBF[S]\r\nk=bom\r\n", "S", "k", "bom");
        row("zero byte ends the value", QByteArray("[S]\r\nk=x\0y\r\nj=2\r\n", 17), "S", "k", "x");
        row("line after a zero byte", QByteArray("[S]\r\nk=x\0y\r\nj=2\r\n", 17), "S", "j", "2");
        row("end-of-file mark is a blank", "[S]\r\nk=1\x1A\r\n", "S", "k", "1");
        row("no-break space is no blank", "[S]\r\nk=\xC2\xA0v\r\n", "S", "k", "\u00A0v");
        row("lines before any section", "top=1\r\n[]\r\nh=2\r\n", "", "top", "1");
        row("name up to the last ]", "[T]x]\r\nf=6\r\n", "T]x", "f", "6");
        row("unclosed bracket line is a key", "[T]\r\n[Open\r\ng=7\r\n", "T", "g", "7");
        row("UTF-8", "[S]\r\nk=caf\xC3\xA9\r\n", "S", "k", "caf\u00E9");
        row("Windows-1252", fixture("cp1252.ini"), "Folders", "SkinsFolder",
            "C:\\Jeux\\Caf\u00E9 \u2018\u00C9t\u00E9\u2019");
    }
    void readsAsThePlatformDoes()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        kvrtest::writeFile(ini(), file);
        QCOMPARE(LEEINI(ini(), section, key), expected);
    }

    void longValues_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");
        const QString a(253, 'a');
        QTest::newRow("254 whole") << a + "Z" << a + "Z";
        QTest::newRow("255 cut to 254") << a + "ZY" << a + "Z";
        QTest::newRow("300 cut to 254") << a + QString(47, 'Y') << a + "Y";
        QTest::newRow("quoted 253") << '"' + a + '"' << a;
        // The platform drops the last character copied in place of the closing quote.
        QTest::newRow("quoted 254 loses its last") << '"' + a + "Z\"" << a;
        QTest::newRow("quoted 255 keeps 254") << '"' + a + "ZY\"" << a + "Z";
    }
    void longValues()
    {
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        GRABAINI(ini(), "Folders", "SkinsFolder", stored);
        QVERIFY(kvrtest::readFile(ini()).contains(stored.toUtf8())); // stored whole
        QCOMPARE(LEEINI(ini(), "Folders", "SkinsFolder"), expected);
    }

    void writesLayOutTheFile_data()
    {
        QTest::addColumn<QByteArray>("before"); // null: no file yet
        QTest::addColumn<Writes>("writes");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("first write creates the file")
            << QByteArray() << Writes{{"Skins", "HURR", "(Default)"}, {"Folders", "SkinsFolder", "D:\\Skins"}}
            << QByteArray("[Skins]\r\nHURR=(Default)\r\n[Folders]\r\nSkinsFolder=D:\\Skins\r\n");
        QTest::newRow("hand-edited file: only touched lines change") << fixture("hand-edited.ini")
                                                                     << Writes{{"Skins", "HURR", "Winter"},
                                                                               {"Skins", "SP14", "(Default)"},
                                                                               {"Folders", "SkinsFolder", "E:\\New"},
                                                                               {"Viewer", "Last", "x"}}
                                                                     << fixture("hand-edited-written.ini");
        QTest::newRow("reset without a Skins section")
            << fixture("reset-before.ini") << resetWrites() << fixture("reset-after.ini");
        QTest::newRow("reset keeps keys that are not ours")
            << fixture("reset-existing-before.ini") << resetWrites() << fixture("reset-existing-after.ini");
        QTest::newRow("second write replaces, case ignored")
            << QByteArray("[Skins]\r\nHURR=Desert\r\n") << Writes{{"Skins", "HURR", "Night"}, {"skins", "hurr", "Sand"}}
            << QByteArray("[Skins]\r\nHURR=Sand\r\n");
        QTest::newRow("last line without its end: a new key is not glued to it")
            << QByteArray("[A]\r\nk=1") << Writes{{"A", "j", "2"}} << QByteArray("[A]\r\nk=1\r\nj=2\r\n");
        QTest::newRow("last line without its end: nor a new section")
            << QByteArray("[A]\r\nk=1") << Writes{{"B", "j", "2"}} << QByteArray("[A]\r\nk=1\r\n[B]\r\nj=2\r\n");
        QTest::newRow("LF file gets a CRLF line")
            << QByteArray("[A]\nk=1\n") << Writes{{"A", "j", "2"}} << QByteArray("[A]\nk=1\nj=2\r\n");
        QTest::newRow("blanks and line breaks do not reach the file")
            << QByteArray("[A]\r\n") << Writes{{" A ", "  k ", "  C:\\x  "}, {"A", "j", "a\r\n[B]"}}
            << QByteArray("[A]\r\nk=C:\\x\r\nj=a\r\n");
        QTest::newRow("Windows-1252 is rewritten as UTF-8") << fixture("cp1252.ini")
                                                            << Writes{{"Skins", "HURR",
                                                                       "Fa\xC3\xA7"
                                                                       "ade \xE2\x82\xAC"}}
                                                            << fixture("cp1252-written.ini");
        QTest::newRow("Windows-1252 becomes UTF-8 for a character outside it")
            << QByteArray("[S]\r\nk=caf\xE9\r\n") << Writes{{"S", "j", "\xC5\x8C"}}
            << QByteArray("[S]\r\nk=caf\xC3\xA9\r\nj=\xC5\x8C\r\n");
        QTest::newRow("byte-order mark kept")
            << QByteArray("\xEF\xBB\xBF[S]\r\nk=1\r\n") << Writes{{"S", "j", "\xC3\xA9"}}
            << QByteArray("\xEF\xBB\xBF[S]\r\nk=1\r\nj=\xC3\xA9\r\n");
    }
    void writesLayOutTheFile()
    {
        QFETCH(QByteArray, before);
        QFETCH(Writes, writes);
        QFETCH(QByteArray, expected);
        if (!before.isNull())
            kvrtest::writeFile(ini(), before);
        for (const QStringList& write : writes)
            QVERIFY(kvr::writeProfileString(ini(), write[0], write[1], write[2]));
        QCOMPARE(kvrtest::readFile(ini()), expected);
    }

    // The program's own path uses '\'; "Skins" written is "SKINS" read.
    void programFolderRoundTrip()
    {
        const kvrtest::Workspace workspace;
        GRABAINI(kvr::Modulo::settingsPath(), "Skins", "MOSQ", "Nacht");
        QCOMPARE(LEEINI(kvr::Modulo::settingsPath(), "SKINS", "mosq"), "Nacht");
        QCOMPARE(kvrtest::readFile(workspace.iniPath()), QByteArray("[Skins]\r\nMOSQ=Nacht\r\n"));
        QCOMPARE(LEEINI(kvr::Modulo::settingsPath(), "Folders", "SkinsFolder"), QString());
    }

    void refusedWriteLeavesOldBytes_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("read-only file") << true << "file";
        QTest::newRow("read-only folder") << true << "folder";
        QTest::newRow("read-only folder, no file yet") << false << "folder";
        QTest::newRow("disk full mid-write") << true << "full"; // a file-size limit on this process
    }
    void refusedWriteLeavesOldBytes()
    {
        QFETCH(bool, fileExists);
        QFETCH(QString, obstacle);
        const QByteArray old = fixture("reset-before.ini");
        if (fileExists)
            kvrtest::writeFile(ini(), old);
        const QString target = obstacle == "file" ? ini() : m_dir.path();
        const QFile::Permissions permissions = QFile::permissions(target);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (obstacle == "full") {
            rlimit small = saved;
            small.rlim_cur = old.size() + 10;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        } else {
            QFile::setPermissions(target, permissions & ~(QFile::WriteOwner | QFile::WriteUser));
        }
        const bool written = kvr::writeProfileString(ini(), "Skins", "HURR", "(Default)");
        GRABAINI(ini(), "Skins", "HURR", "Desert");
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QFile::setPermissions(target, permissions);
        QVERIFY(!written);
        QCOMPARE(kvrtest::readFile(ini()), fileExists ? old : QByteArray());
        QCOMPARE(kvrtest::filesIn(m_dir.path()), fileExists ? QStringList{"KVRSI.INI"} : QStringList{});
    }

    // Far larger than any settings file: reads as empty without stalling, and is never rewritten.
    void giganticFileReadsEmptyAndIsKept()
    {
        kvrtest::writeFile(ini(), "[Skins]\r\nHURR=Desert\r\n");
        QVERIFY(QFile::resize(ini(), 200LL * 1024 * 1024)); // sparse: no disk used
        QCOMPARE(LEEINI(ini(), "Skins", "HURR"), QString());
        QVERIFY(!kvr::writeProfileString(ini(), "Skins", "HURR", "x"));
        QCOMPARE(QFileInfo(ini()).size(), 200LL * 1024 * 1024);
    }

    void garbageFileKeepsItsTextAndTakesWrites()
    {
        QRandomGenerator random(2024);
        for (const qsizetype size : {qsizetype(1), qsizetype(4096), qsizetype(kvr::kProfileFileMax) / 4}) {
            QByteArray garbage(size, Qt::Uninitialized);
            for (char& byte : garbage)
                byte = char(random.bounded(256));
            kvrtest::writeFile(ini(), garbage);
            for (const kvr::Slot& slot : kvr::slotTable())
                (void)LEEINI(ini(), "SKINS", slot.SlotCode());
            GRABAINI(ini(), "Skins", "HURR", "Desert");
            // Every character of it is still there, now written as UTF-8.
            const QString before = kvr::decodeText(garbage).text;
            QCOMPARE(kvr::decodeText(kvrtest::readFile(ini())).text.left(before.size()), before);
            QCOMPARE(LEEINI(ini(), "SKINS", "HURR"), "Desert");
        }
    }

    // A folder or a pipe under the settings name: reads never block, writes are refused.
    void notARegularFile()
    {
        QVERIFY(QDir().mkdir(ini()));
        QCOMPARE(LEEINI(ini(), "Skins", "HURR"), QString());
        QVERIFY(!kvr::writeProfileString(ini(), "Skins", "HURR", "x"));
        QVERIFY(QDir().rmdir(ini()));
        QCOMPARE(::mkfifo(QFile::encodeName(ini()).constData(), 0600), 0);
        QCOMPARE(LEEINI(ini(), "Skins", "HURR"), QString());
        QVERIFY(!kvr::writeProfileString(ini(), "Skins", "HURR", "x"));
    }

    void writeKeepsTheMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("0640") << 0640;
        QTest::newRow("0600") << 0600;
        QTest::newRow("0664") << 0664;
    }
    void writeKeepsTheMode()
    {
        QFETCH(int, mode);
        kvrtest::writeFile(ini(), "[Skins]\r\n");
        QCOMPARE(::chmod(QFile::encodeName(ini()).constData(), static_cast<mode_t>(mode)), 0);
        QVERIFY(kvr::writeProfileString(ini(), "Skins", "HURR", "Desert"));
        struct stat st
        {
        };
        QCOMPARE(::stat(QFile::encodeName(ini()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 07777), mode);
    }

    // Just under the limit: a write that would carry it past is refused, and not a byte changes.
    void writePastTheSizeLimitIsRefused()
    {
        QByteArray old = "[Skins]\r\nHURR=Desert\r\n[Notes]\r\n";
        while (old.size() < kvr::kProfileFileMax - 40)
            old += "n" + QByteArray::number(old.size()) + "=" + QByteArray(60, 'x') + "\r\n";
        old.truncate(kvr::kProfileFileMax - 40);
        old += "\r\n";
        kvrtest::writeFile(ini(), old);
        QVERIFY(kvr::writeProfileString(ini(), "Skins", "HURR", "Sand")); // the same size: written
        old.replace("HURR=Desert", "HURR=Sand");
        QCOMPARE(kvrtest::readFile(ini()), old);
        QVERIFY(!kvr::writeProfileString(ini(), "Skins", "MOSQ", QString(60, 'y')));
        QCOMPARE(kvrtest::readFile(ini()), old);
        QCOMPARE(kvrtest::filesIn(m_dir.path()), QStringList{"KVRSI.INI"});
    }

    // A link to nothing names a place that is away for now: the write is refused, the link stays
    // and nothing is made where it points.
    void danglingLinkIsNotWritten()
    {
        const QString away = m_dir.filePath("unmounted/KVRSI.INI");
        QVERIFY(QFile::link(away, ini()));
        QVERIFY(!kvr::writeProfileString(ini(), "Skins", "HURR", "Desert"));
        QVERIFY(QFileInfo(ini()).isSymLink());
        QVERIFY(!QFileInfo::exists(away));
        QCOMPARE(LEEINI(ini(), "Skins", "HURR"), QString());
    }

    void linkStaysALink()
    {
        const QString elsewhere = m_dir.filePath("kept/KVRSI.INI");
        kvrtest::writeFile(elsewhere, "[Skins]\r\n");
        QVERIFY(QFile::link(elsewhere, ini()));
        GRABAINI(ini(), "Skins", "HURR", "Desert");
        QVERIFY(QFileInfo(ini()).isSymLink());
        QCOMPARE(kvrtest::readFile(elsewhere), QByteArray("[Skins]\r\nHURR=Desert\r\n"));
    }

private:
    QString ini() const { return m_dir.filePath("KVRSI.INI"); }

    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
