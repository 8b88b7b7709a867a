// Random sequences of installs, "(Default)", resets, undos, restores and files placed by hand (some
// read-only, some with a link outside the game folder written through later) in two game folders
// with the game's own files, the settings switched between them. After every step the other
// folder and the outside links are as they were; after every undo of a folder's newest change the
// folder equals its snapshot from before it (names, bytes, modes) when nothing was placed by hand
// since, and the settings name the skins of before it when it was the newest change of all. A
// write failing at any step of an undo leaves folder and settings as they were and records
// nothing. Every byte the program ever saw is still in a folder or in the history under its own
// hash, and pruning or forgetting keeps each folder's first state.
// KVR_HISTORY_SEED=<n> repeats a run.
#include "change/slotchange.h"
#include "history/history.h"
#include "settings/profile.h"
#include "settings/settings_names.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

struct stat statOf(const QString& path)
{
    struct stat st
    {
    };
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}

// A folder's files, hidden ones too: name -> mode and bytes.
QMap<QString, QByteArray> contents(const QString& folder)
{
    QMap<QString, QByteArray> files;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        files[name] =
            QByteArray::number(statOf(folder + u'/' + name).st_mode & 07777, 8) + ' ' + readFile(folder + u'/' + name);
    return files;
}

// The settings' values but the game folder, in order: the skins recorded.
QByteArrayList skinLines(const QString& ini)
{
    QByteArrayList lines = readFile(ini).split('\n');
    lines.removeIf([](const QByteArray& l) {
        return !l.contains('=') || l.startsWith(kvr::SettingsNames::kGameFolderKey.toUtf8());
    });
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The entries of this game folder, newest first.
QList<kvr::HistoryEntry> entriesOf(const kvr::HistoryStore& store, const QString& game)
{
    QList<kvr::HistoryEntry> entries = store.entries(game);
    entries.removeIf([&game](const kvr::HistoryEntry& e) { return !kvr::sameGameFolder(e.gameFolder, game); });
    return entries;
}

const QList<QPair<QString, QList<QByteArray>>> kPackages = {
    {u"MOSQ_A"_s, {"PMOSQ.TPC", "PMOSQ_A.TPC", "readme.txt"}},
    {u"MOSQ_B"_s, {"pmosq.tpc", "PMOSQ_B.3DZ"}},
    {u"HURR_C"_s, {"PHURR.TPC", "readme.txt", "PHURR_C.TPC"}},
};

// One game folder as the model sees it.
struct Game
{
    QString path;
    QMap<QString, QByteArray> now;                  // its files after the last step
    QMap<qint64, QMap<QString, QByteArray>> before; // entry -> the folder before it
    bool byHandSinceNewest = false;
};

} // namespace

class TestHistoryProperty : public QObject
{
    Q_OBJECT

    QRandomGenerator m_random;
    std::optional<kvrtest::Workspace> m_ws;
    Game m_games[2];
    int m_current = 0;
    QSet<QByteArray> m_everSeen;
    QMap<qint64, QByteArrayList> m_skinsBefore; // entry -> the skins recorded before it
    qint64 m_newestOfAll = 0;
    QMap<QString, QByteArray> m_outside; // a link outside the game folders -> its bytes
    int m_undosChecked = 0, m_skinsChecked = 0, m_failuresPlanted = 0;

    QString ini() const { return m_ws->iniPath(); }
    kvr::HistoryStore store() const { return kvr::HistoryStore(ini()); }
    QStringList recorded() const
    {
        return QDir(store().folder() + u"/entries"_s).entryList({u"*.entry"_s}, QDir::Files);
    }

    void startSequence()
    {
        m_ws.emplace();
        QVERIFY(m_ws->writeSettings());
        m_games[0] = {m_ws->gameFolder(), {}, {}, false};
        m_games[1] = {m_ws->root() + u"/second game"_s, {}, {}, false};
        QVERIFY(QDir().mkpath(m_games[1].path));
        for (Game& g : m_games) {
            for (const QString& name : {u"PMOSQ.TPC"_s, u"pmosq2.3dz"_s, u"PHURR.TPC"_s, u"readme.txt"_s})
                QVERIFY(writeFile(g.path + u'/' + name, name.toUtf8() + " as shipped in " + g.path.toUtf8()));
            g.now = contents(g.path);
        }
        for (const auto& [name, members] : kPackages) {
            QList<kvr::ZipMember> zip;
            for (const QByteArray& member : members)
                zip.append(kvr::ZipMember(member, member + " of " + name.toUtf8(), ZIP_CM_DEFLATE, 1600000000));
            QVERIFY(kvr::writeZip(m_ws->skinsFolder() + u'/' + name + u".zip"_s, zip));
        }
        m_current = 0;
        m_everSeen.clear();
        m_skinsBefore.clear();
        m_newestOfAll = 0;
        m_outside.clear();
    }

    // A slot file and a file of the player's own placed by hand, a slot file made read-only and
    // one linked outside; what was linked before is written to through its link once no game
    // folder holds it (else the player changed a game folder's file).
    void placeByHand(Game& g, int step)
    {
        const QString tag = QString::number(step);
        QVERIFY(writeFile(g.path + u"/PMOSQ_hand"_s + tag + u".TPC"_s, "by hand " + tag.toUtf8()));
        QVERIFY(writeFile(g.path + u"/notes"_s + tag + u".txt"_s, "notes " + tag.toUtf8()));
        const QStringList slotFiles = QDir(g.path).entryList({u"P*"_s}, QDir::Files);
        ::chmod(QFile::encodeName(g.path + u'/' + slotFiles.at(m_random.bounded(int(slotFiles.size())))).constData(),
                0444);
        QSet<ino_t> inGame;
        for (const Game& other : m_games)
            for (const QString& name : QDir(other.path).entryList(QDir::Files))
                inGame.insert(statOf(other.path + u'/' + name).st_ino);
        for (auto it = m_outside.begin(); it != m_outside.end(); ++it) {
            QFile link(it.key());
            if (inGame.contains(statOf(link.fileName()).st_ino))
                continue;
            QVERIFY(link.open(QIODevice::Append) && link.write(" written outside") > 0);
            it.value() += " written outside";
        }
        for (const QString& name : slotFiles) {
            // One outside link a file, so that the model follows each write through it.
            const QString link = m_ws->root() + u"/outside"_s + tag;
            if (statOf(g.path + u'/' + name).st_nlink != 1)
                continue;
            QVERIFY(::link(QFile::encodeName(g.path + u'/' + name).constData(), QFile::encodeName(link).constData()) ==
                    0);
            m_outside[link] = readFile(link);
            break;
        }
        g.now = contents(g.path);
        g.byHandSinceNewest = true;
    }

    // Undoes the folder's newest change, or restores the folder to before an entry. Failing, each
    // write fails in turn, the run reaching no failure being the undo: until then nothing changes
    // and nothing is recorded.
    void undo(Game& g, const kvr::HistoryEntry& target, const QString& kind, const QByteArrayList& skinsNow,
              bool failing)
    {
        const QStringList entriesBefore = recorded();
        for (int failAt = 0;; ++failAt) {
            auto writes = std::make_shared<int>(0);
            kvr::setRestoreWriteProbe([writes, failAt, failing] {
                if ((*writes)++ == failAt && failing)
                    throw kvr::Error(u"planted failure"_s);
            });
            QString error;
            try {
                kvr::restoreBefore(ini(), g.path, target, kind);
            } catch (const kvr::Error& e) {
                error = e.description();
            }
            kvr::setRestoreWriteProbe({});
            if (error.isEmpty())
                break;
            QVERIFY2(failing, qPrintable(error));
            QVERIFY(*writes > failAt);
            QCOMPARE(contents(g.path), g.now);
            QCOMPARE(skinLines(ini()), skinsNow);
            QCOMPARE(recorded(), entriesBefore);
            ++m_failuresPlanted;
        }
        if (kind != u"undo")
            return;
        if (!g.byHandSinceNewest && g.before.contains(target.id)) {
            QCOMPARE(contents(g.path), g.before[target.id]);
            ++m_undosChecked;
        }
        if (target.id == m_newestOfAll) {
            QCOMPARE(skinLines(ini()), m_skinsBefore[target.id]);
            ++m_skinsChecked;
        }
    }

    void step(int step)
    {
        if (m_random.bounded(3) == 0) {
            m_current = 1 - m_current;
            QVERIFY(kvr::writeProfileString(ini(), kvr::SettingsNames::kFoldersSection,
                                            kvr::SettingsNames::kGameFolderKey, m_games[m_current].path));
        }
        Game& g = m_games[m_current];
        const QByteArrayList skinsNow = skinLines(ini());
        for (const QString& name : QDir(g.path).entryList(QDir::Files))
            m_everSeen.insert(kvr::sha256Hex(readFile(g.path + u'/' + name)));
        const QList<kvr::HistoryEntry> entries = entriesOf(store(), g.path);
        const int what = int(m_random.bounded(7));
        if (what == 0)
            return placeByHand(g, step);
        if ((what == 1 || what == 2) && !entries.isEmpty()) {
            const bool restore = what == 2;
            undo(g, entries.at(restore ? m_random.bounded(int(entries.size())) : 0), restore ? u"restore"_s : u"undo"_s,
                 skinsNow, m_random.bounded(3) == 0);
            if (QTest::currentTestFailed())
                return;
        } else if (what == 3) {
            kvr::resetSlots(g.path, ini());
        } else {
            const auto& [name, members] = kPackages.at(m_random.bounded(int(kPackages.size())));
            const bool toDefault = m_random.bounded(4) == 0;
            kvr::changeSlot(g.path, m_ws->skinsFolder(), ini(), name.left(4), toDefault ? u"(Default)"_s : name.mid(5));
        }
        m_newestOfAll = store().entries(g.path).first().id;
        g.before[m_newestOfAll] = g.now;
        m_skinsBefore[m_newestOfAll] = skinsNow;
        g.now = contents(g.path);
        g.byHandSinceNewest = false;
        // Nothing outside this game folder was touched.
        QCOMPARE(contents(m_games[1 - m_current].path), m_games[1 - m_current].now);
        for (auto it = m_outside.cbegin(); it != m_outside.cend(); ++it)
            QCOMPARE(readFile(it.key()), it.value());
    }

    // Each blob holds the bytes it is named for, and with the folders all bytes ever seen there;
    // pruning to one entry, or forgetting all, keeps each folder's first state whole.
    void checkHistory()
    {
        QSet<QByteArray> held;
        for (const Game& g : m_games)
            for (const QString& name : QDir(g.path).entryList(QDir::Files))
                held.insert(kvr::sha256Hex(readFile(g.path + u'/' + name)));
        for (const QString& blob : QDir(store().folder() + u"/blobs"_s).entryList(QDir::Files)) {
            QCOMPARE(kvr::sha256Hex(readFile(store().folder() + u"/blobs/"_s + blob)), blob.toLatin1());
            held.insert(blob.toLatin1());
        }
        for (const QByteArray& hash : std::as_const(m_everSeen))
            QVERIFY2(held.contains(hash), hash.constData());
        QMap<QString, qint64> first;
        for (const Game& g : m_games)
            if (const QList<kvr::HistoryEntry> e = entriesOf(store(), g.path); !e.isEmpty())
                first[g.path] = e.last().id;
        if (m_random.bounded(2))
            store().prune(1);
        else
            store().forgetOlderThan(std::numeric_limits<qint64>::max(), false);
        for (const Game& g : m_games) {
            const QList<kvr::HistoryEntry> left = entriesOf(store(), g.path);
            QCOMPARE(left.isEmpty() ? 0 : left.last().id, first.value(g.path));
            for (const kvr::HistoryFile& f : left.isEmpty() ? QList<kvr::HistoryFile>() : left.last().kept)
                QCOMPARE(kvr::sha256Hex(readFile(store().blobPath(f.hash))), f.hash);
        }
    }

private Q_SLOTS:
    void randomSequences()
    {
        const quint32 seed = qEnvironmentVariableIsSet("KVR_HISTORY_SEED")
                                 ? quint32(qEnvironmentVariableIntValue("KVR_HISTORY_SEED"))
                                 : QRandomGenerator::global()->generate();
        qInfo("KVR_HISTORY_SEED=%u", seed);
        m_random.seed(seed);
        for (int sequence = 0; sequence < 150; ++sequence) {
            startSequence();
            for (int s = 0; s < 8 && !QTest::currentTestFailed(); ++s)
                step(s);
            if (!QTest::currentTestFailed())
                checkHistory();
            if (QTest::currentTestFailed())
                return qInfo("in sequence %d", sequence);
        }
        qInfo("%d undos and %d skins checked, %d failures planted", m_undosChecked, m_skinsChecked, m_failuresPlanted);
        QVERIFY(m_undosChecked > 20 && m_skinsChecked > 10 && m_failuresPlanted > 50);
    }
};

int main(int argc, char** argv)
{
    // Every change flushes to disk; in memory that costs nothing, and the test stays short.
    if (QFileInfo(u"/dev/shm"_s).isWritable())
        qputenv("TMPDIR", "/dev/shm");
    QCoreApplication app(argc, argv);
    TestHistoryProperty test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_history_property.moc"
