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
#include "history/history.h"
#include "installer/installation.h"
#include "settings/profile.h"
#include "settings/settings_names.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#include <algorithm>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

// A folder's files, hidden ones too: name -> mode and bytes.
QMap<QString, QByteArray> contents(const QString& folder)
{
    QMap<QString, QByteArray> files;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
        struct stat st
        {
        };
        ::stat(QFile::encodeName(folder + u'/' + name).constData(), &st);
        files[name] = QByteArray::number(st.st_mode & 07777, 8) + ' ' + readFile(folder + u'/' + name);
    }
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

// The entries of this game folder, newest first: each whole.
QList<kvr::HistoryEntry> entriesOf(const kvr::HistoryStore& store, const QString& game)
{
    QList<kvr::HistoryEntry> entries = store.entries(game);
    entries.removeIf([&game](const kvr::HistoryEntry& e) { return !kvr::sameGameFolder(e.gameFolder, game); });
    for (const kvr::HistoryEntry& e : std::as_const(entries))
        if (!e.damage.isEmpty())
            qFatal("entry %lld damaged: %s", e.id, qPrintable(e.damage));
    return entries;
}

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

private Q_SLOTS:
    void randomSequences()
    {
        const quint32 seed = qEnvironmentVariableIsSet("KVR_HISTORY_SEED")
                                 ? quint32(qEnvironmentVariableIntValue("KVR_HISTORY_SEED"))
                                 : QRandomGenerator::global()->generate();
        qInfo("KVR_HISTORY_SEED=%u", seed);
        QRandomGenerator random(seed);
        int undosChecked = 0, skinsChecked = 0, failuresPlanted = 0;
        for (int sequence = 0; sequence < 150; ++sequence) {
            kvrtest::Workspace ws;
            const QString ini = ws.iniPath();
            QVERIFY(ws.writeSettings());
            Game games[2];
            games[0].path = ws.gameFolder();
            games[1].path = ws.root() + u"/second game"_s;
            QVERIFY(QDir().mkpath(games[1].path));
            for (Game& g : games) {
                for (const QString& name : {u"PMOSQ.TPC"_s, u"pmosq2.3dz"_s, u"PHURR.TPC"_s, u"readme.txt"_s})
                    QVERIFY(writeFile(g.path + u'/' + name, name.toUtf8() + " as shipped in " + g.path.toUtf8()));
                g.now = contents(g.path);
            }
            const QList<QPair<QString, QList<QByteArray>>> packages = {
                {u"MOSQ_A"_s, {"PMOSQ.TPC", "PMOSQ_A.TPC", "readme.txt"}},
                {u"MOSQ_B"_s, {"pmosq.tpc", "PMOSQ_B.3DZ"}},
                {u"HURR_C"_s, {"PHURR.TPC", "readme.txt", "PHURR_C.TPC"}},
            };
            for (const auto& [name, members] : packages) {
                QList<kvr::ZipMember> zip;
                for (const QByteArray& member : members)
                    zip.append(kvr::ZipMember(member, member + " of " + name.toUtf8(), ZIP_CM_DEFLATE, 1600000000));
                QVERIFY(kvr::writeZip(ws.skinsFolder() + u'/' + name + u".zip"_s, zip));
            }
            kvr::HistoryStore store(ini);
            QSet<QByteArray> everSeen;
            QMap<qint64, QByteArrayList> skinsBefore; // entry -> the skins recorded before it
            qint64 newestOfAll = 0;
            QMap<QString, QByteArray> outside;           // a link outside the game folders -> its bytes
            QList<QPair<QString, QString>> outsideLinks; // outside path, game folder file
            int current = 0;
            for (int step = 0; step < 8; ++step) {
                if (random.bounded(3) == 0) {
                    current = 1 - current;
                    QVERIFY(kvr::writeProfileString(ini, kvr::SettingsNames::kFoldersSection,
                                                    kvr::SettingsNames::kGameFolderKey, games[current].path));
                }
                Game& g = games[current];
                const QString game = g.path;
                const QByteArrayList skinsNow = skinLines(ini);
                for (const QString& name : QDir(game).entryList(QDir::Files))
                    everSeen.insert(kvr::sha256Hex(readFile(game + u'/' + name)));
                const QList<kvr::HistoryEntry> entries = entriesOf(store, game);
                const int what = int(random.bounded(7));
                if (what == 0) {
                    // Placed by hand: a slot file and a file of the player's own.
                    const QString tag = QString::number(step);
                    QVERIFY(writeFile(game + u"/PMOSQ_hand"_s + tag + u".TPC"_s, "by hand " + tag.toUtf8()));
                    QVERIFY(writeFile(game + u"/notes"_s + tag + u".txt"_s, "notes " + tag.toUtf8()));
                    // A slot file made read-only, another linked outside; what was linked
                    // before is written to through its outside link.
                    const QStringList slotFiles = QDir(game).entryList({u"P*"_s}, QDir::Files);
                    if (!slotFiles.isEmpty()) {
                        const QString name = slotFiles.at(random.bounded(int(slotFiles.size())));
                        ::chmod(QFile::encodeName(game + u'/' + name).constData(), 0444);
                    }
                    for (const auto& [link, name] : std::as_const(outsideLinks)) {
                        // Only once no game folder's file is this one: else the player changed it.
                        struct stat there
                        {
                        };
                        struct stat here
                        {
                        };
                        bool inGame = false;
                        for (const Game& other : games)
                            inGame = inGame ||
                                     (::stat(QFile::encodeName(other.path + u'/' + name).constData(), &here) == 0 &&
                                      ::stat(QFile::encodeName(link).constData(), &there) == 0 &&
                                      here.st_ino == there.st_ino);
                        if (inGame)
                            continue;
                        QFile file(link);
                        QVERIFY(file.open(QIODevice::Append) && file.write(" written outside") > 0);
                        outside[link] += " written outside";
                    }
                    for (const QString& name : slotFiles) {
                        // One outside link a file: a write through it is the model's to follow.
                        struct stat st
                        {
                        };
                        const QByteArray path = QFile::encodeName(game + u'/' + name);
                        if (::stat(path.constData(), &st) != 0 || st.st_nlink != 1)
                            continue;
                        const QString link = ws.root() + u"/outside"_s + QString::number(step);
                        QVERIFY(::link(path.constData(), QFile::encodeName(link).constData()) == 0);
                        outsideLinks.append({link, name});
                        outside[link] = readFile(link);
                        break;
                    }
                    g.now = contents(game);
                    g.byHandSinceNewest = true;
                    continue;
                }
                if (what == 1 && !entries.isEmpty()) {
                    // In one undo of three each write fails in turn, the run reaching no failure
                    // being the undo: until then nothing changes and nothing is recorded.
                    const kvr::HistoryEntry newest = entries.first();
                    const int failures = random.bounded(3) == 0 ? std::numeric_limits<int>::max() : 0;
                    const QStringList recorded =
                        QDir(store.folder() + u"/entries"_s).entryList({u"*.entry"_s}, QDir::Files);
                    for (int failAt = 0;; ++failAt) {
                        auto writes = std::make_shared<int>(0);
                        kvr::setRestoreWriteProbe([writes, failAt, failures] {
                            if ((*writes)++ == failAt && failAt < failures)
                                throw kvr::Error(u"planted failure"_s);
                        });
                        QString error;
                        try {
                            kvr::restoreBefore(ini, game, newest, u"undo"_s);
                        } catch (const kvr::Error& e) {
                            error = e.description();
                        }
                        kvr::setRestoreWriteProbe({});
                        if (error.isEmpty())
                            break;
                        QVERIFY2(failAt<failures&& * writes> failAt, qPrintable(error));
                        QCOMPARE(contents(game), g.now);
                        QCOMPARE(skinLines(ini), skinsNow);
                        QCOMPARE(QDir(store.folder() + u"/entries"_s).entryList({u"*.entry"_s}, QDir::Files), recorded);
                        ++failuresPlanted;
                    }
                    if (!g.byHandSinceNewest && g.before.contains(newest.id)) {
                        QCOMPARE(contents(game), g.before[newest.id]);
                        ++undosChecked;
                    }
                    if (newest.id == newestOfAll) {
                        QCOMPARE(skinLines(ini), skinsBefore[newest.id]);
                        ++skinsChecked;
                    }
                } else if (what == 2 && !entries.isEmpty()) {
                    kvr::restoreBefore(ini, game, entries.at(random.bounded(int(entries.size()))), u"restore"_s);
                } else if (what == 3) {
                    kvr::resetSlots(game, ini);
                } else {
                    const auto& [name, members] = packages.at(random.bounded(int(packages.size())));
                    const bool toDefault = random.bounded(4) == 0;
                    kvr::changeSlot(game, ws.skinsFolder(), ini, name.left(4),
                                    toDefault ? u"(Default)"_s : name.mid(5));
                }
                newestOfAll = store.entries(game).first().id;
                g.before[newestOfAll] = g.now;
                skinsBefore[newestOfAll] = skinsNow;
                g.now = contents(game);
                g.byHandSinceNewest = false;
                // Nothing outside this game folder was touched.
                QCOMPARE(contents(games[1 - current].path), games[1 - current].now);
                for (auto it = outside.cbegin(); it != outside.cend(); ++it)
                    QCOMPARE(readFile(it.key()), it.value());
            }
            // Each blob holds the bytes it is named for; with the folders they hold all ever seen.
            QSet<QByteArray> held;
            for (const Game& g : games)
                for (const QString& name : QDir(g.path).entryList(QDir::Files))
                    held.insert(kvr::sha256Hex(readFile(g.path + u'/' + name)));
            for (const QString& blob : QDir(store.folder() + u"/blobs"_s).entryList(QDir::Files)) {
                QCOMPARE(kvr::sha256Hex(readFile(store.folder() + u"/blobs/"_s + blob)), blob.toLatin1());
                held.insert(blob.toLatin1());
            }
            for (const QByteArray& hash : std::as_const(everSeen))
                QVERIFY2(held.contains(hash),
                         qPrintable(u"sequence %1 lost bytes %2"_s.arg(sequence).arg(QString::fromLatin1(hash))));
            // Pruning to one entry, or forgetting all, keeps each folder's first state whole.
            QMap<QString, qint64> first;
            for (const Game& g : games)
                if (const QList<kvr::HistoryEntry> e = entriesOf(store, g.path); !e.isEmpty())
                    first[g.path] = e.last().id;
            if (random.bounded(2))
                store.prune(1);
            else
                store.forgetOlderThan(std::numeric_limits<qint64>::max(), false);
            for (const Game& g : games) {
                const QList<kvr::HistoryEntry> left = entriesOf(store, g.path);
                QCOMPARE(left.isEmpty() ? 0 : left.last().id, first.value(g.path));
                for (const kvr::HistoryFile& f : left.isEmpty() ? QList<kvr::HistoryFile>() : left.last().kept)
                    QCOMPARE(kvr::sha256Hex(readFile(store.blobPath(f.hash))), f.hash);
            }
        }
        qInfo("%d undos and %d skins checked, %d failures planted", undosChecked, skinsChecked, failuresPlanted);
        QVERIFY(undosChecked > 20 && skinsChecked > 10 && failuresPlanted > 50);
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
