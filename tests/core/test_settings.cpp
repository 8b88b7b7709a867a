// KVRSI.INI: hand-edited files read as the platform's profile service reads them, writes lay the
// file out as it does, and no write ever loses the old content.
#include "settings/modulo_ini.h"
#include "settings/profile.h"
#include "testsupport.h"

#include <atomic>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

using namespace Qt::StringLiterals;

using kvr::Modulo::GRABAINI;
using kvr::Modulo::LEEINI;
using namespace kvr::SettingsNames;
using Writes = QList<QStringList>; // section, key, value

namespace {

QByteArray fixture(const char* name)
{
    return kvrtest::readFile(QStringLiteral(KVR_TEST_DATA "/settings/") + QLatin1String(name));
}

Writes resetWrites()
{
    Writes writes;
    for (const QString& code : kvrtest::kSlotCodes)
        writes.append({kSkinsSection, code, u"(Default)"_s});
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
        row("blanks in brackets and around =, quotes", hand, u"Folders"_s, u"KVRInstallationFolder"_s,
            u"C:\\Games\\Kestrava"_s);
        row("tab after =, text after a ';' is value", hand, u"Folders"_s, u"SkinsFolder"_s,
            u"D:\\Skins  ;not a comment"_s);
        row("commented-out key is skipped, case ignored", hand, u"SKINS"_s, u"HURR"_s, u"Desert"_s);
        row("single quotes", hand, u"Skins"_s, u"SP2A"_s, u"Night Fighter"_s);
        row("unbalanced quote kept", hand, u"skins"_s, u"SP09"_s, u"\"unbalanced"_s);
        row("key line without =", hand, u"Skins"_s, u"MOSQ"_s, QString());
        row("empty value", hand, u"Skins"_s, u"TYPH"_s, QString());
        row("duplicate key: the first", hand, u"Skins"_s, u"P51B"_s, u"first"_s);
        row("duplicate section: only the first", hand, u"Skins"_s, u"SP14"_s, QString());
        row("text after ] ignored", hand, u"Extra"_s, u"Mine"_s, u"kept"_s);
        row("absent section", hand, u"Viewer"_s, u"Mine"_s, QString());
        row("absent key", hand, u"Folders"_s, u"Mine"_s, QString());
        row("LF line ends", "[S]\nk=lf\nj=2\n"_ba, u"S"_s, u"j"_s, u"2"_s);
        row("CR line ends", "[S]\rk=cr\rj=2\r"_ba, u"S"_s, u"j"_s, u"2"_s);
        row("no final line end", "[S]\r\nk=last"_ba, u"S"_s, u"k"_s, u"last"_s);
        row("byte-order mark", "\xEF\xBB\xBF[S]\r\nk=bom\r\n", u"S"_s, u"k"_s, u"bom"_s);
        row("zero byte ends the value", QByteArray("[S]\r\nk=x\0y\r\nj=2\r\n", 17), u"S"_s, u"k"_s, u"x"_s);
        row("line after a zero byte", QByteArray("[S]\r\nk=x\0y\r\nj=2\r\n", 17), u"S"_s, u"j"_s, u"2"_s);
        row("end-of-file mark is a blank", "[S]\r\nk=1\x1A\r\n", u"S"_s, u"k"_s, u"1"_s);
        row("no-break space is no blank", "[S]\r\nk=\xC2\xA0v\r\n", u"S"_s, u"k"_s, u"\u00A0v"_s);
        row("lines before any section", "top=1\r\n[]\r\nh=2\r\n"_ba, u""_s, u"top"_s, u"1"_s);
        row("name up to the last ]", "[T]x]\r\nf=6\r\n"_ba, u"T]x"_s, u"f"_s, u"6"_s);
        row("']' in a key's value", "[S]\r\nk=a]b\r\n"_ba, u"S"_s, u"k"_s, u"a]b"_s);
        row("unclosed bracket line is a key", "[T]\r\n[Open\r\ng=7\r\n"_ba, u"T"_s, u"g"_s, u"7"_s);
        row("UTF-8", "[S]\r\nk=caf\xC3\xA9\r\n", u"S"_s, u"k"_s, u"caf\u00E9"_s);
        row("Windows-1252", fixture("cp1252.ini"), u"Folders"_s, u"SkinsFolder"_s,
            u"C:\\Jeux\\Caf\u00E9 \u2018\u00C9t\u00E9\u2019"_s);
        // Values are cut at 254 characters; the platform drops the last character copied in place of
        // a closing quote.
        const QString a(253, u'a');
        const auto stored = [](const QString& value) -> QByteArray {
            return "[S]\r\nk="_ba + value.toUtf8() + "\r\n"_ba;
        };
        row("254 whole", stored(a + u"Z"_s), u"S"_s, u"k"_s, a + u"Z"_s);
        row("255 cut to 254", stored(a + u"ZY"_s), u"S"_s, u"k"_s, a + u"Z"_s);
        row("quoted 253", stored(u'"' + a + u'"'), u"S"_s, u"k"_s, a);
        row("quoted 254 loses its last", stored(u'"' + a + u"Z\""_s), u"S"_s, u"k"_s, a);
        row("quoted 255 keeps 254", stored(u'"' + a + u"ZY\""_s), u"S"_s, u"k"_s, a + u"Z"_s);
    }
    void readsAsThePlatformDoes()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QVERIFY(kvrtest::writeFile(ini(), file));
        QCOMPARE(LEEINI(ini(), section, key), expected);
    }

    void writesLayOutTheFile_data()
    {
        QTest::addColumn<QByteArray>("before"); // null: no file yet
        QTest::addColumn<Writes>("writes");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("first write creates the file")
            << QByteArray()
            << Writes{{u"Skins"_s, u"HURR"_s, u"(Default)"_s}, {u"Folders"_s, u"SkinsFolder"_s, u"D:\\Skins"_s}}
            << QByteArray("[Skins]\r\nHURR=(Default)\r\n[Folders]\r\nSkinsFolder=D:\\Skins\r\n");
        QTest::newRow("hand-edited file: only touched lines change")
            << fixture("hand-edited.ini")
            << Writes{{u"Skins"_s, u"HURR"_s, u"Winter"_s},
                      {u"Skins"_s, u"SP14"_s, u"(Default)"_s},
                      {u"Folders"_s, u"SkinsFolder"_s, u"E:\\New"_s},
                      {u"Viewer"_s, u"Last"_s, u"x"_s}}
            << fixture("hand-edited-written.ini");
        QTest::newRow("reset without a Skins section")
            << fixture("reset-before.ini") << resetWrites() << fixture("reset-after.ini");
        QTest::newRow("reset keeps keys that are not ours")
            << fixture("reset-existing-before.ini") << resetWrites() << fixture("reset-existing-after.ini");
        QTest::newRow("a long value is stored whole") << QByteArray() << Writes{{u"S"_s, u"k"_s, QString(300, u'v')}}
                                                      << "[S]\r\nk="_ba + QByteArray(300, 'v') + "\r\n"_ba;
        QTest::newRow("second write replaces, case ignored")
            << QByteArray("[Skins]\r\nHURR=Desert\r\n")
            << Writes{{u"Skins"_s, u"HURR"_s, u"Night"_s}, {u"skins"_s, u"hurr"_s, u"Sand"_s}}
            << QByteArray("[Skins]\r\nHURR=Sand\r\n");
        QTest::newRow("last line without its end: a new key is not glued to it")
            << QByteArray("[A]\r\nk=1") << Writes{{u"A"_s, u"j"_s, u"2"_s}} << QByteArray("[A]\r\nk=1\r\nj=2\r\n");
        QTest::newRow("last line without its end: nor a new section")
            << QByteArray("[A]\r\nk=1") << Writes{{u"B"_s, u"j"_s, u"2"_s}}
            << QByteArray("[A]\r\nk=1\r\n[B]\r\nj=2\r\n");
        QTest::newRow("LF file gets a CRLF line")
            << QByteArray("[A]\nk=1\n") << Writes{{u"A"_s, u"j"_s, u"2"_s}} << QByteArray("[A]\nk=1\nj=2\r\n");
        QTest::newRow("blanks and line breaks do not reach the file")
            << QByteArray("[A]\r\n") << Writes{{u" A "_s, u"  k "_s, u"  C:\\x  "_s}, {u"A"_s, u"j"_s, u"a\r\n[B]"_s}}
            << QByteArray("[A]\r\nk=C:\\x\r\nj=a\r\n");
        QTest::newRow("Windows-1252 is rewritten as UTF-8") << fixture("cp1252.ini")
                                                            << Writes{{u"Skins"_s, u"HURR"_s,
                                                                       QString::fromUtf8("Fa\xC3\xA7"
                                                                                         "ade \xE2\x82\xAC")}}
                                                            << fixture("cp1252-written.ini");
        QTest::newRow("bytes that are no settings are kept")
            << QByteArray("\x01junk\0[x\r=\n\xFF\r\n[Skins]\r\n", 23) << Writes{{u"Skins"_s, u"HURR"_s, u"Desert"_s}}
            << QByteArray("\x01junk\0[x\r=\n\xC3\xBF\r\n[Skins]\r\nHURR=Desert\r\n", 37);
        QTest::newRow("byte-order mark kept")
            << QByteArray("\xEF\xBB\xBF[S]\r\nk=1\r\n") << Writes{{u"S"_s, u"j"_s, QString::fromUtf8("\xC3\xA9")}}
            << QByteArray("\xEF\xBB\xBF[S]\r\nk=1\r\nj=\xC3\xA9\r\n");
    }
    void writesLayOutTheFile()
    {
        QFETCH(QByteArray, before);
        QFETCH(Writes, writes);
        QFETCH(QByteArray, expected);
        if (!before.isNull())
            QVERIFY(kvrtest::writeFile(ini(), before));
        for (const QStringList& write : writes)
            QVERIFY(kvr::writeProfileString(ini(), write[0], write[1], write[2]));
        QCOMPARE(kvrtest::readFile(ini()), expected);
    }

    void refusedWriteLeavesOldBytes_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("read-only file") << true << u"file"_s;
        QTest::newRow("read-only folder, no file yet") << false << u"folder"_s;
        QTest::newRow("disk full mid-write") << true << u"full"_s; // a file-size limit on this process
    }
    void refusedWriteLeavesOldBytes()
    {
        QFETCH(bool, fileExists);
        QFETCH(QString, obstacle);
        const QByteArray old = fixture("reset-before.ini");
        if (fileExists)
            QVERIFY(kvrtest::writeFile(ini(), old));
        const QString target = obstacle == u"file"_s ? ini() : m_dir.path();
        const QFile::Permissions permissions = QFile::permissions(target);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (obstacle == u"full"_s) {
            rlimit small = saved;
            small.rlim_cur = old.size() + 10;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        } else {
            QFile::setPermissions(target, permissions & ~(QFile::WriteOwner | QFile::WriteUser));
        }
        const bool written = kvr::writeProfileString(ini(), kSkinsSection, u"HURR"_s, u"(Default)"_s);
        GRABAINI(ini(), kSkinsSection, u"HURR"_s, u"Desert"_s);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QFile::setPermissions(target, permissions);
        QVERIFY(!written);
        QCOMPARE(kvrtest::readFile(ini()), fileExists ? old : QByteArray());
        QCOMPARE(kvrtest::filesIn(m_dir.path()), fileExists ? QStringList{u"KVRSI.INI"_s} : QStringList{});
    }

    // A folder or a pipe under the settings name (reads never block), a link to nothing (a place
    // that is away for now: nothing is made where it points), a file far larger than any settings
    // file (no stall): each reads as empty and is never written.
    void unusableFileIsNeverWritten_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"folder", "pipe", "link to nothing", "gigantic"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    void unusableFileIsNeverWritten()
    {
        QFETCH(QString, kind);
        const QString away = m_dir.filePath(u"unmounted/KVRSI.INI"_s);
        const qint64 gigantic = 200LL * 1024 * 1024;
        if (kind == u"folder"_s)
            QVERIFY(QDir().mkdir(ini()));
        else if (kind == u"pipe"_s)
            QCOMPARE(::mkfifo(QFile::encodeName(ini()).constData(), 0600), 0);
        else if (kind == u"link to nothing"_s)
            QVERIFY(QFile::link(away, ini()));
        else if (!kvrtest::writeFile(ini(), "[Skins]\r\nHURR=Desert\r\n"_ba) || !QFile::resize(ini(), gigantic))
            QFAIL("no gigantic file"); // sparse: no disk used
        const QFileInfo before(ini());
        QCOMPARE(LEEINI(ini(), kSkinsSection, u"HURR"_s), QString());
        QVERIFY(!kvr::writeProfileString(ini(), kSkinsSection, u"HURR"_s, u"x"_s));
        const QFileInfo after(ini());
        QVERIFY(after.isDir() == before.isDir() && after.isSymLink() == before.isSymLink());
        QCOMPARE(after.size(), kind == u"gigantic"_s ? gigantic : before.size());
        QVERIFY(!QFileInfo::exists(away));
        QDir().rmdir(ini());
    }

    // Just under the limit: a write that would carry it past is refused, and not a byte changes.
    void writePastTheSizeLimitIsRefused()
    {
        QByteArray old = "[Skins]\r\nHURR=Desert\r\n[Notes]\r\n"_ba;
        while (old.size() < kvr::kProfileFileMax - 40)
            old += 'n' + QByteArray::number(old.size()) + '=' + QByteArray(60, 'x') + "\r\n"_ba;
        old.truncate(kvr::kProfileFileMax - 40);
        old += "\r\n"_ba;
        QVERIFY(kvrtest::writeFile(ini(), old));
        QVERIFY(kvr::writeProfileString(ini(), kSkinsSection, u"HURR"_s, u"Sand"_s)); // the same size: written
        old.replace("HURR=Desert"_ba, "HURR=Sand"_ba);
        QCOMPARE(kvrtest::readFile(ini()), old);
        QVERIFY(!kvr::writeProfileString(ini(), kSkinsSection, u"MOSQ"_s, QString(60, u'y')));
        QCOMPARE(kvrtest::readFile(ini()), old);
        QCOMPARE(kvrtest::filesIn(m_dir.path()), QStringList{u"KVRSI.INI"_s});
    }

    void linkStaysALink()
    {
        const QString elsewhere = m_dir.filePath(u"kept/KVRSI.INI"_s);
        QVERIFY(kvrtest::writeFile(elsewhere, "[Skins]\r\n"_ba));
        QVERIFY(QFile::link(elsewhere, ini()));
        GRABAINI(ini(), kSkinsSection, u"HURR"_s, u"Desert"_s);
        QVERIFY(QFileInfo(ini()).isSymLink());
        QCOMPARE(kvrtest::readFile(elsewhere), QByteArray("[Skins]\r\nHURR=Desert\r\n"));
    }

    // An undo's thread reads and writes the file while the window's does: each read hands back its
    // own key's value, and neither thread's writes are lost.
    void twoThreadsReadAndWrite()
    {
        QVERIFY(kvrtest::writeFile(ini(), "[Skins]\r\nHURR=Desert\r\nMOSQ=Sqn105\r\n"_ba));
        constexpr int kRounds = 2000;
        std::atomic<int> wrong{0};
        const auto work = [this, &wrong](const QString& key, const QString& value, const QString& writer) {
            for (int i = 1; i <= kRounds; ++i) {
                if (LEEINI(ini(), kSkinsSection, key) != value)
                    ++wrong;
                if (i % 100 == 0)
                    GRABAINI(ini(), u"Notes"_s, writer, QString::number(i));
            }
        };
        std::thread undo(work, u"MOSQ"_s, u"Sqn105"_s, u"undo"_s);
        work(u"HURR"_s, u"Desert"_s, u"window"_s);
        undo.join();
        QCOMPARE(wrong.load(), 0);
        for (const QString& writer : {u"undo"_s, u"window"_s})
            QCOMPARE(LEEINI(ini(), u"Notes"_s, writer), QString::number(kRounds));
    }

private:
    QString ini() const { return m_dir.filePath(u"KVRSI.INI"_s); }

    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
