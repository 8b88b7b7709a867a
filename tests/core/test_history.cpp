// The history of the game folder: each kind of change and its undo give the folder back exactly
// (names, bytes, modes, times), replaced files come back, a file changed behind the program's
// back is kept, the same bytes are stored once, the cap spares first states, damaged entries are
// refused, and a kill at any step followed by a start loses nothing.
#include "app/background.h"
#include "app/newfile.h"
#include "change/journal.h"
#include "change/slotchange.h"
#include "history/history.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>

#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

const char* const kChangeMode = "--history-change";
// An entry number above every one the program writes: Forget older than it forgets them all.
constexpr qint64 kEveryEntry = std::numeric_limits<qint64>::max();

// A folder's files: name -> bytes, mode and modification time to the nanosecond.
using Snapshot = QMap<QString, QString>;

Snapshot snapshot(const QString& folder)
{
    Snapshot files;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        struct stat st
        {
        };
        ::stat(QFile::encodeName(folder + u'/' + name).constData(), &st);
        files[name] = u"%1 %2 %3.%4"_s.arg(QString::fromLatin1(kvr::sha256Hex(readFile(folder + u'/' + name))))
                          .arg(st.st_mode & 07777, 0, 8)
                          .arg(st.st_mtim.tv_sec)
                          .arg(st.st_mtim.tv_nsec);
    }
    return files;
}

QString skinOf(const QString& ini, const QString& slot)
{
    return kvr::Modulo::LEEINI(ini, kvr::SettingsNames::kSkinsSection, slot);
}

} // namespace

class TestHistory : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    std::optional<QTemporaryDir> m_elsewhere; // a game folder on another file system
    QString m_game;

    QString game() const { return m_game.isEmpty() ? ws->gameFolder() : m_game; }
    QString ini() const { return ws->iniPath(); }
    kvr::HistoryStore store() const { return kvr::HistoryStore(ini()); }
    kvr::HistoryEntry newest() const { return store().newest(game()).value_or(kvr::HistoryEntry{}); }

    // A package of these members for the Mosquito slot (or another code).
    void package(const QString& skin, const QList<QByteArray>& names, const QByteArray& salt = {},
                 const QString& code = u"MOSQ"_s)
    {
        QList<kvr::ZipMember> members;
        for (const QByteArray& name : names)
            members.append(kvr::ZipMember(name, name + " of " + skin.toUtf8() + salt, ZIP_CM_DEFLATE, 1600000000));
        QVERIFY(kvr::writeZip(ws->skinsFolder() + u'/' + code + u'_' + skin + u".zip"_s, members));
    }
    // The game's own files, with odd modes and times to the nanosecond.
    void gameFiles()
    {
        for (const QString& name : {u"PMOSQ.TPC"_s, u"pmosq2.3dz"_s, u"PHURR.TPC"_s, u"readme.txt"_s, u"KVR.EXE"_s}) {
            const QString path = game() + u'/' + name;
            QVERIFY(writeFile(path, name.toUtf8() + " as the game shipped it"));
            ::chmod(QFile::encodeName(path).constData(), 0640);
            const timespec times[2] = {{1234567, 891}, {1234567, 891}};
            ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
        }
    }
    void undo() { kvr::restoreBefore(ini(), game(), newest(), u"undo"_s); }

private Q_SLOTS:
    void init()
    {
        openProgram();
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"MOSQ=Old"_s})));
        gameFiles();
        package(u"Sqn105"_s, {"PMOSQ.TPC", "PMOSQ_W.TPC", "readme.txt"});
    }
    void cleanup()
    {
        m_game.clear();
        m_elsewhere.reset();
        closeProgram();
    }

    void changeAndUndo_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("elsewhere");
        QTest::addColumn<QString>("skinBefore"); // "" when the settings name none for the slot
        // Every thread of the program's pool taken, as by a loadout's apply: the change does its
        // hashing and flushing itself rather than wait for a thread.
        QTest::addColumn<bool>("poolBusy");
        QTest::addRow("install over the game's files and a readme")
            << u"Sqn105"_s << u"install"_s << false << u"Old"_s << false;
        QTest::addRow("install, no skin recorded before") << u"Sqn105"_s << u"install"_s << false << QString() << false;
        QTest::addRow("(Default)") << u"(Default)"_s << u"default"_s << false << u"Old"_s << false;
        QTest::addRow("Reset Skins") << u"reset"_s << u"reset"_s << false << u"Old"_s << false;
        QTest::addRow("install, the pool busy") << u"Sqn105"_s << u"install"_s << false << u"Old"_s << true;
        if (QFileInfo(u"/dev/shm"_s).isWritable())
            QTest::addRow("install, the game on another file system")
                << u"Sqn105"_s << u"install"_s << true << u"Old"_s << false;
    }
    void changeAndUndo()
    {
        QFETCH(QString, change);
        QFETCH(QString, kind);
        QFETCH(bool, elsewhere);
        QFETCH(QString, skinBefore);
        QFETCH(bool, poolBusy);
        QThreadPool& pool = kvr::background::pool();
        const int taken = poolBusy ? pool.maxThreadCount() : 0;
        QSemaphore started, release;
        for (int i = 0; i < taken; ++i)
            kvr::background::run([&](const std::atomic_bool&) {
                started.release();
                release.acquire();
            });
        started.acquire(taken);
        const auto freePool = qScopeGuard([&] {
            release.release(taken);
            pool.waitForDone();
        });
        if (elsewhere) {
            m_elsewhere.emplace(u"/dev/shm/kvr-history-XXXXXX"_s);
            m_game = m_elsewhere->path();
            gameFiles();
        }
        if (skinBefore.isEmpty())
            QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"HURR=Blue"_s})));
        // The settings come back byte for byte: a skin never recorded is no key at all again.
        const QByteArray settingsBefore = readFile(ini());
        const Snapshot before = snapshot(game());
        if (change == u"reset")
            kvr::resetSlots(game(), ini());
        else
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, change);
        QVERIFY(snapshot(game()) != before);
        QCOMPARE(newest().kind, kind);
        QVERIFY2(newest().damage.isEmpty(), qPrintable(newest().damage));
        const Snapshot after = snapshot(game());
        undo();
        QCOMPARE(snapshot(game()), before);
        QCOMPARE(readFile(ini()), settingsBefore);
        // The undo is an entry of its own, and undoing it gives the change's result back.
        QCOMPARE(newest().kind, u"undo"_s);
        undo();
        QCOMPARE(snapshot(game()).keys(), after.keys());
        for (const QString& name : after.keys())
            QCOMPARE(snapshot(game())[name].section(u' ', 0, 1), after[name].section(u' ', 0, 1));
        QCOMPARE(skinOf(ini(), u"MOSQ"_s), change == u"reset" ? u"(Default)"_s : change);
        // Each change lets go of the pending entries before it, their entries being on disk.
        QCOMPARE(QDir(store().folder() + u"/entries"_s).entryList({u"*.pending"_s}, QDir::Files).size(), 1);
    }

    void twoInstancesShareTheHistory()
    {
        package(u"Tiger"_s, {"PHURR.TPC", "readme.txt"}, {}, u"HURR"_s);
        QList<QProcess*> children;
        for (const QString& skin : {u"Sqn105"_s, u"HURR:Tiger"_s}) {
            auto* child = new QProcess(this);
            child->start(
                QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(kChangeMode), ws->programFolder(), game(), ws->skinsFolder(), skin, u"-10"_s});
            children.append(child);
        }
        for (QProcess* child : children) {
            QVERIFY(child->waitForFinished(120000));
            QCOMPARE(child->exitCode(), 0);
        }
        const QList<kvr::HistoryEntry> entries = store().entries(game());
        QCOMPARE(entries.size(), 20);
        for (const kvr::HistoryEntry& e : entries)
            QVERIFY2(e.damage.isEmpty(), qPrintable(e.damage));
        // Taken back newest first (each a restore: an undo takes back only the newest entry),
        // every change of both comes off, and the game's files are back.
        const Snapshot now = snapshot(game());
        for (int i = 0; i < 20; ++i)
            kvr::restoreBefore(ini(), game(), store().entries(game()).at(2 * i), u"restore"_s);
        QVERIFY(snapshot(game()) != now);
        QCOMPARE(readFile(game() + u"/PMOSQ.TPC"_s), "PMOSQ.TPC as the game shipped it"_ba);
        QCOMPARE(readFile(game() + u"/PHURR.TPC"_s), "PHURR.TPC as the game shipped it"_ba);
        QCOMPARE(readFile(game() + u"/readme.txt"_s), "readme.txt as the game shipped it"_ba);
    }

    void severalSlotsAsOneEntry()
    {
        // Both packages write notes.txt: the program's own second write is no change behind its back.
        package(u"Sqn105"_s, {"PMOSQ.TPC", "notes.txt"});
        package(u"Tiger"_s, {"PHURR.TPC", "notes.txt"}, {}, u"HURR"_s);
        const Snapshot before = snapshot(game());
        {
            kvr::HistoryBatch batch(u"loadout"_s);
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"HURR"_s, u"Tiger"_s);
        }
        QCOMPARE(store().entries(game()).size(), 1);
        QCOMPARE(newest().kind, u"loadout"_s);
        QCOMPARE(newest().slots.size(), 2);
        undo();
        QCOMPARE(snapshot(game()), before);
        for (const kvr::HistoryFile& f : newest().kept)
            QVERIFY2(!f.changedBehind, f.name.constData());
        QCOMPARE(skinOf(ini(), u"HURR"_s), QString());
    }

    // A link among the game's files goes as any file; one that stands where the undo writes a file
    // back (planted just as it does) is replaced by the file: no link is ever written through.
    void linksAreNeverWrittenThrough_data()
    {
        QTest::addColumn<QString>("link"); // what it points to, as kvrtest::plantLink makes it
        QTest::addColumn<bool>("atUndo");
        QTest::addColumn<bool>("hidden"); // the undo's files under hidden names, as where no unnamed file can be
        QTest::newRow("a link among the game's files") << u"file"_s << false << false;
        for (const QString& link : {u"dangling"_s, u"file"_s, u"folder"_s})
            QTest::addRow("link to %s where the undo writes back", qPrintable(link)) << link << true << false;
        QTest::newRow("link to file where the undo writes back, hidden temporaries") << u"file"_s << true << true;
    }
    void linksAreNeverWrittenThrough()
    {
        QFETCH(QString, link);
        QFETCH(bool, atUndo);
        QFETCH(bool, hidden);
        const QString outside = ws->root() + u"/outside"_s;
        if (!atUndo) {
            QVERIFY(kvrtest::plantLink(game() + u"/PMOSQ_LINK.TPC"_s, link, outside));
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"(Default)"_s);
            QVERIFY(!QFileInfo(game() + u"/PMOSQ_LINK.TPC"_s).isSymLink());
        } else {
            const Snapshot before = snapshot(game());
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
            bool planted = false;
            const kvr::ChangeProbe previous = kvr::setRestoreProbe([&](kvr::ChangeStep step) {
                if (step == kvr::ChangeStep::Deleted)
                    planted = kvrtest::plantLink(game() + u"/PMOSQ.TPC"_s, link, outside) &&
                              kvrtest::plantLink(game() + u"/readme.txt"_s, link, outside);
            });
            kvr::forceHiddenTemporaries(hidden);
            undo();
            kvr::forceHiddenTemporaries(false);
            kvr::setRestoreProbe(previous);
            QVERIFY(planted);
            QCOMPARE(snapshot(game()), before);
            QVERIFY(!QFileInfo(game() + u"/PMOSQ.TPC"_s).isSymLink());
        }
        QVERIFY(kvrtest::outsideUntouched(outside));
    }

    // A slot file changed since is kept, flagged; a file of another name the change created and
    // the player changed since is no longer the change's: the undo leaves it.
    void fileChangedBehindTheProgramsBackIsKept()
    {
        package(u"Sqn105"_s, {"PMOSQ.TPC", "PMOSQ_W.TPC", "notes.txt"});
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        QVERIFY(writeFile(game() + u"/PMOSQ_W.TPC"_s, "painted over by hand"));
        QVERIFY(writeFile(game() + u"/notes.txt"_s, "the player's own notes"));
        undo();
        QCOMPARE(readFile(game() + u"/notes.txt"_s), "the player's own notes"_ba);
        const kvr::HistoryEntry e = newest();
        const auto it =
            std::find_if(e.kept.begin(), e.kept.end(), [](const auto& f) { return f.name == "PMOSQ_W.TPC"; });
        QVERIFY(it != e.kept.end());
        QVERIFY(it->changedBehind);
        QCOMPARE(readFile(store().blobPath(it->hash)), "painted over by hand"_ba);
    }

    // Kept bytes are the history's alone: a file with a link outside the game folder is copied,
    // never shared; a read-only file the undo writes over is kept first, as any other.
    void keptBytesAreTheHistorysAlone_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("linked"); // else changed and made read-only after the change
        QTest::newRow("a slot file linked outside") << u"PMOSQ.TPC"_s << true;
        QTest::newRow("a file the unpack replaces, linked outside") << u"readme.txt"_s << true;
        QTest::newRow("a read-only slot file changed after the change") << u"PMOSQ.TPC"_s << false;
    }
    void keptBytesAreTheHistorysAlone()
    {
        QFETCH(QString, name);
        QFETCH(bool, linked);
        const QString path = game() + u'/' + name;
        const QString outside = ws->root() + u"/outside-link"_s;
        const QByteArray original = readFile(path);
        if (linked)
            QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(outside).constData()), 0);
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        if (linked) {
            QFile other(outside);
            QVERIFY(other.open(QIODevice::Append) && other.write(" and more") == 9);
        } else {
            QVERIFY(writeFile(path, "painted over by hand"));
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0444), 0);
        }
        undo();
        QCOMPARE(readFile(path), original);
        if (linked)
            return;
        const kvr::HistoryEntry e = newest();
        const auto it = std::find_if(e.kept.begin(), e.kept.end(), [](const auto& f) { return f.name == "PMOSQ.TPC"; });
        QVERIFY(it != e.kept.end() && it->changedBehind);
        QCOMPARE(readFile(store().blobPath(it->hash)), "painted over by hand"_ba);
    }

    // An undo that cannot finish puts the game folder back as it was, records nothing and says
    // so: the next undo still takes back the change. One whose entry is no longer the newest
    // (another instance undid it) touches nothing.
    void failedUndoChangesNothing_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("said");
        QTest::newRow("a folder where a kept file goes") << u"folder"_s << u"nothing was recorded"_s;
        QTest::newRow("a full disk for the history") << u"disk"_s << u"nothing was recorded"_s;
        QTest::newRow("a failure once the change's files are gone") << u"Deleted"_s << u"nothing was recorded"_s;
        QTest::newRow("a failure once the kept files are in place") << u"Unpacked"_s << u"nothing was recorded"_s;
        QTest::newRow("undone already by another instance") << u"twice"_s << u"no longer the newest"_s;
        QTest::newRow("an older change") << u"older"_s << u"no longer the newest"_s;
    }
    void failedUndoChangesNothing()
    {
        QFETCH(QString, failure);
        QFETCH(QString, said);
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"(Default)"_s);
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        kvr::HistoryEntry target = failure == u"older" ? store().entries(game()).at(1) : newest();
        if (failure == u"twice")
            undo();
        if (failure == u"folder")
            QVERIFY(QFile::remove(game() + u"/readme.txt"_s) && QDir(game()).mkdir(u"readme.txt"_s));
        const Snapshot before = snapshot(game());
        const QByteArray settings = readFile(ini());
        const QStringList entries = QDir(store().folder() + u"/entries"_s).entryList({u"*.entry"_s}, QDir::Files);
        const kvr::ChangeProbe previous = kvr::setRestoreProbe([&failure](kvr::ChangeStep step) {
            if (failure == (step == kvr::ChangeStep::Deleted ? u"Deleted"_s : u"Unpacked"_s))
                throw kvr::Error(u"planted failure"_s);
        });
        kvr::setHistoryDiskFull(failure == u"disk");
        QString error;
        try {
            kvr::restoreBefore(ini(), game(), target, u"undo"_s);
        } catch (const kvr::Error& e) {
            error = e.description();
        }
        kvr::setHistoryDiskFull(false);
        kvr::setRestoreProbe(previous);
        QVERIFY2(error.contains(said), qPrintable(error));
        QCOMPARE(snapshot(game()), before);
        QCOMPARE(readFile(ini()), settings);
        QCOMPARE(QDir(store().folder() + u"/entries"_s).entryList({u"*.entry"_s}, QDir::Files), entries);
        if (failure == u"folder" || failure == u"twice" || failure == u"older")
            return;
        undo();
        QCOMPARE(skinOf(ini(), u"MOSQ"_s), u"(Default)"_s);
    }

    void swapsStoreEachFileOnce()
    {
        package(u"Other"_s, {"PMOSQ.TPC", "PMOSQ_X.TPC"});
        for (int i = 0; i < 100; ++i)
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, i % 2 ? u"Other"_s : u"Sqn105"_s);
        // The game's two slot files and readme, Sqn105's three, Other's two.
        QCOMPARE(QDir(store().folder() + u"/blobs"_s).entryList(QDir::Files).size(), 8);
        QCOMPARE(store().entries(game()).size(), 100);
    }

    void capNeverPrunesAFirstState()
    {
        package(u"Other"_s, {"PMOSQ.TPC"}, QByteArray(4000, 'x'));
        for (const QString& skin : {u"Sqn105"_s, u"Other"_s, u"Sqn105"_s, u"(Default)"_s})
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, skin);
        store().prune(1);
        const QList<kvr::HistoryEntry> left = store().entries(game());
        QCOMPARE(left.size(), 1);
        QCOMPARE(left.first().slots.first().before, u"Old"_s);
        QVERIFY(left.first().damage.isEmpty());
        // The blobs only pruned entries named went with them.
        QSet<QByteArray> firstState;
        for (const kvr::HistoryFile& f : left.first().kept)
            firstState.insert(f.hash);
        QCOMPARE(QDir(store().folder() + u"/blobs"_s).entryList(QDir::Files).size(), firstState.size());
        // Forgetting on purpose may take it too.
        store().forgetOlderThan(kEveryEntry, true);
        QVERIFY(store().entries(game()).isEmpty());
        QVERIFY(QDir(store().folder() + u"/blobs"_s).entryList(QDir::Files).isEmpty());
    }

    // First states are the game's own files of a slot in one game folder; a file of a name the
    // program never writes (a stray huge number) is not numbered from, but its blobs stay, as a
    // pending entry's do.
    void forgettingKeepsEachFolderAndStray_data()
    {
        QTest::addColumn<bool>("prune");
        QTest::addRow("pruning") << true;
        QTest::addRow("Forget Older Changes") << false;
    }
    void forgettingKeepsEachFolderAndStray()
    {
        QFETCH(bool, prune);
        package(u"Other"_s, {"PMOSQ.TPC"}, "other");
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Other"_s);
        const kvr::HistoryEntry second = newest();
        const QString entries = store().folder() + u"/entries/"_s;
        QVERIFY(QFile::copy(entries + u"2.entry"_s, entries + u"999999999999999999.entry"_s));
        m_game = ws->root() + u"/second game"_s;
        QVERIFY(QDir().mkpath(m_game) && writeFile(m_game + u"/PMOSQ.TPC"_s, "the second game's own"));
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        m_game.clear();
        // Back in the first folder, Undo takes this folder's newest change.
        QCOMPARE(newest().id, second.id);
        QVERIFY2(newest().damage.isEmpty(), qPrintable(newest().damage));
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const kvr::HistoryEntry fourth = newest();
        QCOMPARE(fourth.id, 4);
        QVERIFY2(fourth.damage.isEmpty(), qPrintable(fourth.damage));
        // A change under way names what it keeps in its pending entry alone.
        QVERIFY(writeFile(entries + u"5.pending"_s, readFile(entries + u"4.entry"_s).replace("end\n", "")));
        if (prune)
            store().prune(1);
        else
            store().forgetOlderThan(kEveryEntry, false);
        QList<qint64> left;
        for (const kvr::HistoryEntry& e : store().entries(QString()))
            left.prepend(e.id);
        QCOMPARE(left, QList<qint64>({1, 3}));
        QCOMPARE(readFile(store().blobPath(kvr::sha256Hex("the second game's own"))), "the second game's own"_ba);
        for (const kvr::HistoryFile& f : second.kept + fourth.kept)
            QVERIFY2(QFileInfo::exists(store().blobPath(f.hash)), f.name.constData());
    }

    // A damaged entry stays until it is forgotten, and so do the bytes it names, which count
    // toward the cap: pruning removes sound entries for them, and never loops when it can remove
    // nothing.
    void pruningCountsDamagedEntries()
    {
        package(u"Other"_s, {"PMOSQ.TPC"}, QByteArray(4000, 'x'));
        for (const QString& skin : {u"Sqn105"_s, u"Other"_s, u"Sqn105"_s})
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, skin);
        const QList<kvr::HistoryFile> kept = store().entries(game()).first().kept;
        const QString newest = store().folder() + u"/entries/3.entry"_s;
        QVERIFY(writeFile(newest, readFile(newest).replace("kind=install", "kind=reset")));
        // Its pending entry gone too, as the next change lets it go: the entry alone names them.
        QFile::remove(store().folder() + u"/entries/3.pending"_s);
        store().prune(store().spaceUsed() - 1);
        QList<qint64> left;
        for (const kvr::HistoryEntry& e : store().entries(game()))
            left.prepend(e.id);
        QCOMPARE(left, QList<qint64>({1, 3}));
        store().prune(1);
        QCOMPARE(store().entries(game()).size(), 2);
        for (const kvr::HistoryFile& f : kept)
            QVERIFY2(QFileInfo::exists(store().blobPath(f.hash)), f.name.constData());
    }

    // The game folder is the folder, however an entry spells it (entries made before it was
    // recorded as the folder itself spell it as the settings did).
    void gameFolderSpelledAnotherWay_data()
    {
        QTest::addColumn<QString>("spelling"); // %1: the game folder
        QTest::addRow("a trailing slash") << u"%1/"_s;
        QTest::addRow("through a link") << u"link"_s;
        QTest::addRow("with ..") << u"%1/../game"_s;
    }
    void gameFolderSpelledAnotherWay()
    {
        QFETCH(QString, spelling);
        if (spelling == u"link") {
            QVERIFY(QFile::link(game(), ws->root() + u"/linked game"_s));
            spelling = ws->root() + u"/linked game"_s;
        } else {
            spelling = spelling.arg(game());
        }
        QVERIFY(QFileInfo(spelling).isDir());
        const Snapshot before = snapshot(game());
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const QString file = store().folder() + u"/entries/%1.entry"_s.arg(newest().id);
        QByteArray text = readFile(file);
        text.replace(QByteArray("game=" + kvr::entryField(game())), QByteArray("game=" + kvr::entryField(spelling)));
        QVERIFY(writeFile(file, kvr::sealedEntry(text.left(text.lastIndexOf("sum=")))));
        QVERIFY2(newest().damage.isEmpty(), qPrintable(newest().damage));
        QCOMPARE(newest().gameFolder, spelling);
        undo();
        QCOMPARE(snapshot(game()), before);
    }

    // The largest entry the program can write (a ZIP's most members, each replacing a file, with
    // the longest names) is read back.
    void largestEntryIsRead()
    {
        kvr::HistoryEntry e;
        e.id = 1;
        e.kind = u"install"_s;
        e.gameFolder = game();
        kvr::HistoryFile f;
        f.name = 'P' + QByteArray(254, '#');
        f.hash = kvr::sha256Hex("");
        f.size = std::numeric_limits<qint64>::max();
        f.mode = 0644;
        f.mtimeSec = std::numeric_limits<qint64>::max();
        f.mtimeNsec = 999999999;
        f.changedBehind = true;
        e.kept.fill(f, 65535);
        e.created.fill(f, 65535);
        const QByteArray bytes = kvr::entryBytes(e);
        QVERIFY(bytes.size() <= kvr::kEntryLimit);
        const kvr::HistoryEntry read = kvr::parseEntry(bytes, game());
        QVERIFY2(read.damage.isEmpty(), qPrintable(read.damage));
        QCOMPARE(read.created.size(), 65535);
    }

    // Edits are sealed again as a forger who knows the format would: the rules still refuse them.
    void damagedEntriesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<bool>("sealed");
        QTest::addColumn<QString>("blob"); // "", "missing", "short", "altered", "link"
        QTest::addColumn<QString>("reason");
        const auto edit = [](const char* row, const QByteArray& from, const QByteArray& to, const QString& reason) {
            QTest::addRow("%s", row) << from << to << true << QString() << reason;
        };
        // Not this folder's change: Undo has none to take back.
        edit("another game folder", "game="_ba, "game=%2Felsewhere"_ba, u"not the one in use"_s);
        edit("a path for a name", " PMOSQ.TPC"_ba, " ..%2FPMOSQ.TPC"_ba, u"a path"_s);
        edit("a parent for a name", " PMOSQ.TPC"_ba, " .."_ba, u"a path"_s);
        edit("a line end in a name", " PMOSQ.TPC"_ba, " PMOSQ%0A.TPC"_ba, u"a path"_s);
        edit("a backslash in a name", " PMOSQ.TPC"_ba, " ..%5CKVR.EXE"_ba, u"a path"_s);
        edit("a pattern of every file", "pattern=PMOSQ%2A.%2A"_ba, "pattern=P%2A"_ba, u"outside a slot"_s);
        edit("a pattern of no slot", "pattern=PMOSQ%2A.%2A"_ba, "pattern=PMOSX%2A.%2A"_ba, u"outside a slot"_s);
        edit("a kind of no change", "kind="_ba, "kind=whatever"_ba, u"line %1 does not parse"_s);
        edit("a nanosecond out of range", " 1234567 891 "_ba, " 1234567 1000000000 "_ba, u"line %1 does not parse"_s);
        edit("a field too many", " PMOSQ.TPC\n"_ba, " PMOSQ.TPC changed more\n"_ba, u"does not parse"_s);
        edit("another entry's number", "id="_ba, "id=9"_ba, u"its number"_s);
        QTest::addRow("another entry's number and a missing blob")
            << "id="_ba
            << "id=9"_ba << true << u"missing"_s << u"its number"_s;
        QTest::addRow("a hand edit") << "kind=install"_ba
                                     << "kind=reset"_ba << false << QString() << u"edited"_s;
        QTest::addRow("cut short") << "end\n"_ba
                                   << ""_ba << false << QString() << u"cut short"_s;
        QTest::addRow("a missing blob") << ""_ba
                                        << ""_ba << false << u"missing"_s << u"missing"_s;
        QTest::addRow("a short blob") << ""_ba
                                      << ""_ba << false << u"short"_s << u"cut short"_s;
        QTest::addRow("a blob not matching its hash") << ""_ba
                                                      << ""_ba << false << u"altered"_s << u"damaged"_s;
        QTest::addRow("a blob that is a link") << ""_ba
                                               << ""_ba << false << u"link"_s << u"not a file"_s;
    }
    void damagedEntriesAreRefused()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(bool, sealed);
        QFETCH(QString, blob);
        QFETCH(QString, reason);
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const kvr::HistoryEntry made = newest();
        const QString file = store().folder() + u"/entries/%1.entry"_s.arg(made.id);
        QByteArray text = readFile(file);
        if (!from.isEmpty()) {
            const qsizetype at = text.indexOf(from);
            QVERIFY(at >= 0);
            text.replace(at, from.size(), to);
            if (reason.contains(u"%1"))
                reason = reason.arg(text.left(at).count('\n') + 1);
        }
        if (sealed)
            text = kvr::sealedEntry(text.left(text.lastIndexOf("sum=")));
        QVERIFY(writeFile(file, text));
        const QString blobFile = store().blobPath(made.kept.first().hash);
        const QByteArray bytes = readFile(blobFile);
        if (blob == u"missing" || blob == u"link")
            QVERIFY(QFile::remove(blobFile));
        if (blob == u"link")
            QVERIFY(writeFile(ws->root() + u"/copy"_s, bytes) && QFile::link(ws->root() + u"/copy"_s, blobFile));
        else if (blob == u"short" || blob == u"altered")
            QVERIFY(writeFile(blobFile, blob == u"short" ? bytes.left(3) : QByteArray(bytes.size(), 'z')));
        const Snapshot before = snapshot(game());
        try {
            undo();
            QFAIL("a damaged entry was acted on");
        } catch (const kvr::Error& e) {
            QVERIFY2(e.description().contains(reason), qPrintable(e.description()));
        }
        QCOMPARE(snapshot(game()), before);
        QCOMPARE(store().entries(game()).size(), 1);
    }

    // An entry from before the checksum is read by the rules alone: its modes are permission bits.
    void entryWithoutChecksumIsBoundedByTheRules()
    {
        const Snapshot before = snapshot(game());
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const QString file = store().folder() + u"/entries/%1.entry"_s.arg(newest().id);
        QByteArray text = readFile(file);
        text = text.left(text.lastIndexOf("sum=")).replace(" 640 ", " 7640 ") + "end\n";
        QVERIFY(writeFile(file, text));
        undo();
        QCOMPARE(snapshot(game()), before);
    }

    void unwritableHistoryRemovesNothing_data()
    {
        QTest::addColumn<bool>("diskFull");
        QTest::addColumn<QString>("said");
        QTest::addRow("a file where the history's folder goes") << false << u"cannot be written"_s;
        QTest::addRow("a full disk") << true << u"not enough free space"_s;
    }
    void unwritableHistoryRemovesNothing()
    {
        QFETCH(bool, diskFull);
        QFETCH(QString, said);
        if (diskFull)
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"HURR"_s, u"(Default)"_s);
        else
            QVERIFY(writeFile(ws->programFolder() + u"/KVRSI.history"_s, "a file where the folder goes"));
        const QStringList entries = QDir(store().folder() + u"/entries"_s).entryList(QDir::Files);
        const Snapshot before = snapshot(game());
        // A change cut short earlier waits for the next start: the stopped change leaves it be.
        const QString waiting =
            kvr::writeJournal({kvr::ChangePlan::Kind::Install, u"MOSQ"_s, u"(Default)"_s, {}, game()}, ini());
        kvr::setHistoryDiskFull(diskFull);
        const auto begun = kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        kvr::setHistoryDiskFull(false);
        QCOMPARE(QDir(store().folder() + u"/entries"_s).entryList(QDir::Files), entries);
        QCOMPARE(messages->calls.size(), 1);
        QCOMPARE(messages->calls.first().style, int(kvr::vbExclamation));
        QVERIFY2(messages->calls.first().prompt.contains(said), qPrintable(messages->calls.first().prompt));
        QVERIFY(messages->calls.first().prompt.contains(u"nothing was changed"_s));
        QCOMPARE(snapshot(game()), before);
        QCOMPARE(skinOf(ini(), u"MOSQ"_s), u"Old"_s);
        QCOMPARE(QDir(ws->programFolder()).entryList({u"KVRSI.INI.journal-*"_s}, QDir::Files | QDir::Hidden),
                 QStringList{QFileInfo(waiting).fileName()});
        QCOMPARE(begun, kvr::SlotChange::Begun::Cancelled);
    }

    // Another program holding the history's lock (a flock on its folder) is waited for a few
    // seconds at most: the call returns having changed nothing, and the start leaves its work.
    void historyLockedElsewhereChangesNothing_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addRow("(Default)") << u"(Default)"_s;
        QTest::addRow("undo") << u"undo"_s;
        QTest::addRow("start with a pending entry") << u"start"_s;
        QTest::addRow("forget older") << u"forget"_s;
    }
    void historyLockedElsewhereChangesNothing()
    {
        QFETCH(QString, call);
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const QString entries = store().folder() + u"/entries"_s;
        QVERIFY(writeFile(entries + u"/99.pending"_s, readFile(entries + u"/1.entry"_s).replace("end\n", "")));
        const QStringList history = QDir(entries).entryList(QDir::Files);
        const Snapshot before = snapshot(game());
        messages->calls.clear();
        const int held = ::open(QFile::encodeName(store().folder()).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) == 0);
        if (call == u"undo")
            QVERIFY_THROWS_EXCEPTION(kvr::Error, undo());
        else if (call == u"start")
            kvr::finishInterruptedChanges(ini());
        else if (call == u"forget")
            QVERIFY_THROWS_EXCEPTION(kvr::Error, store().forgetOlderThan(kEveryEntry, true));
        else
            QCOMPARE(kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, call),
                     kvr::SlotChange::Begun::Cancelled);
        ::close(held);
        QCOMPARE(snapshot(game()), before);
        QCOMPARE(skinOf(ini(), u"MOSQ"_s), u"Sqn105"_s);
        QCOMPARE(QDir(entries).entryList(QDir::Files), history);
        QCOMPARE(messages->calls.size(), call == u"(Default)" ? 1 : 0);
    }

    // A change's entry is not flushed on its own: its flushed pending entry stays and makes it
    // again when a crash cut it short.
    void entryCutByACrashComesBackFromItsPendingEntry()
    {
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const kvr::HistoryEntry made = newest();
        const QString path = store().folder() + u"/entries/%1.entry"_s.arg(made.id);
        QVERIFY(writeFile(path, readFile(path).left(40)));
        QVERIFY(!newest().damage.isEmpty());
        kvr::finishInterruptedChanges(ini());
        QVERIFY2(newest().damage.isEmpty(), qPrintable(newest().damage));
        QCOMPARE(newest().kept.size(), made.kept.size());
        QVERIFY(QDir(store().folder() + u"/entries"_s).entryList({u"*.pending"_s}, QDir::Files).isEmpty());
    }

    // The start acts only on pending entries of the game folder now set, and a pending entry's
    // moved names are names of the history's own folder, never paths through a link there.
    void startActsOnlyOnItsOwnPendingEntries_data()
    {
        QTest::addColumn<bool>("otherFolder"); // else a moved name through a link in blobs/
        QTest::newRow("an undo cut short in another game folder") << true;
        QTest::newRow("a moved name through a link in the history") << false;
    }
    void startActsOnlyOnItsOwnPendingEntries()
    {
        QFETCH(bool, otherFolder);
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const QString outside = ws->root() + u"/outside"_s;
        QVERIFY(QDir().mkpath(outside) && writeFile(outside + u"/PMOSQ.TPC"_s, "theirs"));
        const QString entries = store().folder() + u"/entries"_s;
        QByteArray pending = readFile(entries + u"/1.entry"_s).replace("end\n", "").replace("id=1\n", "id=99\n");
        if (otherFolder) {
            pending.replace("kind=install", "kind=undo").append("restores=1\n");
            QVERIFY(writeFile(ini(), kvrtest::Workspace::foldersSection(outside, ws->skinsFolder())));
        } else {
            QVERIFY(QFile::link(outside, store().folder() + u"/blobs/.in-dir"_s));
            pending.append("moved=.in-dir/PMOSQ.TPC 6 644 1 0 PMOSQ.TPC\n");
        }
        QVERIFY(writeFile(entries + u"/99.pending"_s, pending));
        const Snapshot before = snapshot(game());
        const Snapshot theirs = snapshot(outside);
        kvr::finishInterruptedChanges(ini());
        QCOMPARE(snapshot(outside), theirs);
        QCOMPARE(snapshot(game()), before);
        QCOMPARE(QFileInfo::exists(entries + u"/99.pending"_s), otherFolder);
    }

    void killAtEveryStepLosesNothing_data()
    {
        QTest::addColumn<QString>("skin");
        QTest::addColumn<int>("step");
        // What the one entry of the change cut short says it created (an undo's: not looked at).
        QTest::addColumn<QStringList>("created");
        const QStringList unpacked = {u"PMOSQ.TPC"_s, u"PMOSQ_W.TPC"_s};
        for (int step = 0; step <= 3; ++step) {
            QTest::addRow("install, killed at step %d", step) << u"Sqn105"_s << step << unpacked;
            if (step != int(kvr::ChangeStep::Unpacked))
                QTest::addRow("reset, killed at step %d", step) << u"reset"_s << step << QStringList();
            if (step != int(kvr::ChangeStep::Journaled))
                QTest::addRow("undo, killed at step %d", step) << u"undo"_s << step << QStringList();
        }
    }
    void killAtEveryStepLosesNothing()
    {
        QFETCH(QString, skin);
        QFETCH(int, step);
        QFETCH(QStringList, created);
        const Snapshot before = snapshot(game());
        QSet<QByteArray> everHeld;
        for (const QString& name : QDir(game()).entryList(QDir::Files))
            everHeld.insert(kvr::sha256Hex(readFile(game() + u'/' + name)));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kChangeMode), ws->programFolder(),
                                                              game(), ws->skinsFolder(), skin, QString::number(step)});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 7);
        kvr::finishInterruptedChanges(ini());
        QSet<QByteArray> held;
        for (const QString& name : QDir(game()).entryList(QDir::Files))
            held.insert(kvr::sha256Hex(readFile(game() + u'/' + name)));
        for (const kvr::HistoryEntry& e : store().entries(game())) {
            QVERIFY2(e.damage.isEmpty(), qPrintable(e.damage));
            for (const kvr::HistoryFile& f : e.kept)
                held.insert(kvr::sha256Hex(readFile(store().blobPath(f.hash))));
        }
        QVERIFY(held.contains(everHeld));
        if (skin != u"undo") {
            // Finished at start in the entry it began: one undo takes back the whole change.
            const QList<kvr::HistoryEntry> entries = store().entries(game());
            QCOMPARE(entries.size(), 1);
            QStringList listed;
            for (const kvr::HistoryFile& f : entries.constFirst().created)
                listed.append(QString::fromUtf8(f.name));
            listed.sort();
            QCOMPARE(listed, created);
            undo();
            QCOMPARE(snapshot(game()), before);
        }
        // A pending entry stays only beside its committed entry, until that is on disk.
        for (const QString& pending : QDir(store().folder() + u"/entries"_s).entryList({u"*.pending"_s}, QDir::Files))
            QVERIFY(QFileInfo::exists(store().folder() + u"/entries/"_s + pending.section(u'.', 0, 0) + u".entry"_s));
        // An undo cut short is carried out again at start.
        if (skin == u"undo")
            QCOMPARE(snapshot(game()), before);
    }
};

namespace {

int childMain(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    kvr::setProgramFolder(args.value(2));
    const int stopAt = args.value(6).toInt();
    kvr::setChangeProbe([stopAt](kvr::ChangeStep step) {
        if (int(step) == stopAt)
            ::_exit(7);
    });
    const QString ini = args.value(2) + u"/KVRSI.INI"_s;
    if (stopAt < 0) {
        // An instance of its own changing one slot back and forth, -stopAt times.
        const QString slot = args.value(5).contains(u':') ? args.value(5).section(u':', 0, 0) : u"MOSQ"_s;
        for (int i = 0; i < -stopAt; ++i)
            kvr::changeSlot(args.value(3), args.value(4), ini, slot,
                            i % 2 ? u"(Default)"_s : args.value(5).section(u':', -1));
        return 0;
    }
    if (args.value(5) == u"undo") {
        kvr::setChangeProbe({});
        kvr::changeSlot(args.value(3), args.value(4), ini, u"MOSQ"_s, u"Sqn105"_s);
        kvr::setRestoreProbe([stopAt](kvr::ChangeStep step) {
            if (int(step) == stopAt)
                ::_exit(7);
        });
        const QString game = kvr::usableFolder(args.value(3));
        kvr::restoreBefore(ini, game, kvr::HistoryStore(ini).entries(game).first(), u"undo"_s);
    } else if (args.value(5) == u"reset")
        kvr::resetSlots(args.value(3), ini);
    else
        kvr::changeSlot(args.value(3), args.value(4), ini, u"MOSQ"_s, args.value(5));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], kChangeMode) == 0)
        return childMain(argc, argv);
    QCoreApplication app(argc, argv);
    TestHistory test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_history.moc"
