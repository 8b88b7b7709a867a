// The history of the game folder: each kind of change and its undo give the folder back exactly
// (names, bytes, modes, times), replaced files come back, a file changed behind the program's
// back is kept, the same bytes are stored once, and the cap spares first states and damaged entries.
#include "app/background.h"
#include "app/newfile.h"
#include "historysupport.h"

#include <QScopeGuard>
#include <QSemaphore>

using namespace Qt::StringLiterals;
using kvrtest::readFile;
using kvrtest::writeFile;

class TestHistory : public QObject, kvrtest::HistoryFixture
{
    Q_OBJECT

private Q_SLOTS:
    void init() { openHistoryProgram(); }
    void cleanup() { closeHistoryProgram(); }

    void changeAndUndo_data()
    {
        QTest::addColumn<QString>("skin"); // or "reset"
        QTest::addColumn<QString>("kind");
        // "pool busy": every thread of the program's pool taken, as by a loadout's apply, so the
        // change does its hashing and flushing itself; "elsewhere": the game on /dev/shm.
        QTest::addColumn<QString>("setting");
        QTest::addRow("install over the game's files and a readme") << u"Sqn105"_s << u"install"_s << "";
        QTest::addRow("(Default)") << u"(Default)"_s << u"default"_s << "";
        QTest::addRow("Reset Skins") << u"reset"_s << u"reset"_s << "";
        QTest::addRow("install, the pool busy") << u"Sqn105"_s << u"install"_s << "pool busy";
        if (QFileInfo(u"/dev/shm"_s).isWritable())
            QTest::addRow("install, the game on another file system") << u"Sqn105"_s << u"install"_s << "elsewhere";
    }
    void changeAndUndo()
    {
        QFETCH(QString, skin);
        QFETCH(QString, kind);
        QFETCH(QString, setting);
        QThreadPool& pool = kvr::background::pool();
        const int taken = setting == u"pool busy" ? pool.maxThreadCount() : 0;
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
        if (setting == u"elsewhere") {
            m_elsewhere.emplace(u"/dev/shm/kvr-history-XXXXXX"_s);
            m_game = m_elsewhere->path();
            gameFiles();
        }
        // A read-only slot file stays through the change, as the plain delete leaves it.
        const QString readOnly = game() + u"/PMOSQ_RO.TPC"_s;
        QVERIFY(writeFile(readOnly, "the player's"_ba));
        QCOMPARE(::chmod(QFile::encodeName(readOnly).constData(), 0444), 0);
        // The settings come back byte for byte.
        const QByteArray settingsBefore = readFile(ini());
        const Snapshot before = snapshot(game());
        if (skin == u"reset")
            kvr::resetSlots(game(), ini());
        else
            change(skin);
        QVERIFY(snapshot(game()) != before);
        QCOMPARE(readFile(readOnly), "the player's"_ba);
        QCOMPARE(newest().kind, kind);
        undo();
        QCOMPARE(snapshot(game()), before);
        QCOMPARE(readFile(ini()), settingsBefore);
        // Each change lets go of the pending entries before it, their entries being on disk.
        QCOMPARE(entryFiles(u"*.pending"_s).size(), 1);
    }

    // A slot whose change the history stopped is no slot of the entry: its undo leaves the
    // slot's files be.
    void severalSlotsAsOneEntry_data()
    {
        QTest::addColumn<QStringList>("stopped");
        QTest::newRow("both changed") << QStringList();
        QTest::newRow("the first stopped") << QStringList{u"MOSQ"_s};
        QTest::newRow("the second stopped") << QStringList{u"HURR"_s};
        QTest::newRow("both stopped: no entry") << QStringList{u"MOSQ"_s, u"HURR"_s};
    }
    void severalSlotsAsOneEntry()
    {
        QFETCH(QStringList, stopped);
        // Both packages write notes.txt: the program's own second write is no change behind its back.
        package(u"Sqn105"_s, {"PMOSQ.TPC", "notes.txt"});
        package(u"Tiger"_s, {"PHURR.TPC", "notes.txt"}, {}, u"HURR"_s);
        const Snapshot before = snapshot(game());
        {
            kvr::HistoryBatch batch(u"loadout"_s);
            for (const auto& [slot, skin] : {std::pair{u"MOSQ"_s, u"Sqn105"_s}, std::pair{u"HURR"_s, u"Tiger"_s}}) {
                kvr::setHistoryDiskFull(stopped.contains(slot));
                change(skin, slot);
            }
            kvr::setHistoryDiskFull(false);
        }
        QCOMPARE(store().entries(game()).size(), stopped.size() < 2 ? 1 : 0);
        if (stopped.size() == 2)
            return;
        QCOMPARE(newest().slots.size(), 2 - stopped.size());
        undo();
        QCOMPARE(snapshot(game()), before);
        for (const kvr::HistoryFile& f : newest().kept)
            QVERIFY2(!f.changedBehind, f.name.constData());
        QCOMPARE(skinOf(ini(), u"HURR"_s), QString());
    }

    // A link among the game's files goes as any file; one that stands where the undo writes a file
    // back (planted just as it does; whatever it points to, the link itself stands there) is
    // replaced by the file: no link is ever written through.
    void linksAreNeverWrittenThrough_data()
    {
        QTest::addColumn<bool>("atUndo");
        QTest::addColumn<bool>("hidden"); // the undo's files under hidden names, as where no unnamed file can be
        QTest::newRow("a link among the game's files") << false << false;
        QTest::newRow("a link where the undo writes back") << true << false;
        QTest::newRow("a link where the undo writes back, hidden temporaries") << true << true;
    }
    void linksAreNeverWrittenThrough()
    {
        QFETCH(bool, atUndo);
        QFETCH(bool, hidden);
        const QString outside = ws->root() + u"/outside"_s;
        if (!atUndo) {
            QVERIFY(kvrtest::plantLink(game() + u"/PMOSQ_LINK.TPC"_s, u"file"_s, outside));
            change(u"(Default)"_s);
            QVERIFY(!QFileInfo(game() + u"/PMOSQ_LINK.TPC"_s).isSymLink());
        } else {
            const Snapshot before = snapshot(game());
            change(u"Sqn105"_s);
            bool planted = false;
            const kvr::ChangeProbe previous = kvr::setRestoreProbe([&](kvr::ChangeStep step) {
                if (step == kvr::ChangeStep::Deleted)
                    planted = kvrtest::plantLink(game() + u"/PMOSQ.TPC"_s, u"file"_s, outside) &&
                              kvrtest::plantLink(game() + u"/readme.txt"_s, u"file"_s, outside);
            });
            kvr::forceHiddenTemporaries(hidden);
            undo();
            kvr::forceHiddenTemporaries(false);
            kvr::setRestoreProbe(previous);
            QVERIFY(planted);
            QCOMPARE(snapshot(game()), before);
        }
        QVERIFY(kvrtest::outsideUntouched(outside));
    }

    // Kept bytes are the history's alone: a file with a link outside the game folder is copied,
    // never shared; a slot file changed since the change (read-only or not) is kept first, flagged.
    // A file of another name the change created and the player changed since is no longer the
    // change's: the undo leaves it. A change cut short by an error once the unpack replaced a file
    // (linked outside, so kept only as the unpack comes to it) leaves that file undoable.
    void keptBytesAreTheHistorysAlone_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("mode"); // 0: linked outside, appended to there; else changed, then given this mode
        // "pipe": the created notes.txt replaced by a pipe (else written over); "blob": a folder stands
        // where the file's bytes go in the history, so the change cannot keep it and leaves it be;
        // "cut short": the change fails once unpacked.
        QTest::addColumn<QString>("also");
        QTest::newRow("a slot file linked outside") << u"PMOSQ.TPC"_s << 0 << QString();
        QTest::newRow("a file the unpack replaces, linked outside") << u"readme.txt"_s << 0 << QString();
        QTest::newRow("a file the unpack replaces, the change cut short") << u"readme.txt"_s << 0 << u"cut short"_s;
        QTest::newRow("a slot file linked outside that cannot be kept") << u"pmosq2.3dz"_s << 0 << u"blob"_s;
        QTest::newRow("a read-only slot file changed after the change") << u"PMOSQ.TPC"_s << 0444 << QString();
        QTest::newRow("a slot file the change created, changed after it") << u"PMOSQ_W.TPC"_s << 0644 << u"pipe"_s;
    }
    void keptBytesAreTheHistorysAlone()
    {
        QFETCH(QString, name);
        QFETCH(int, mode);
        QFETCH(QString, also);
        const bool pipe = also == u"pipe";
        package(u"Sqn105"_s, {"PMOSQ.TPC", "PMOSQ_W.TPC", "readme.txt", "notes.txt"});
        const QString path = game() + u'/' + name;
        const QString outside = ws->root() + u"/outside-link"_s;
        const QByteArray original = readFile(path);
        if (!mode)
            QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(outside).constData()), 0);
        if (also == u"blob")
            QVERIFY(QDir().mkpath(store().blobPath(kvr::sha256Hex(original))));
        const kvr::ChangeProbe previous = kvr::setChangeProbe([&also](kvr::ChangeStep step) {
            if (also == u"cut short" && step == kvr::ChangeStep::Unpacked)
                throw kvr::Error(u"planted failure"_s);
        });
        kvrtest::errorOf([this] { change(u"Sqn105"_s); });
        kvr::setChangeProbe(previous);
        if (also == u"blob") {
            QCOMPARE(readFile(path), original);
            return;
        }
        QCOMPARE(readFile(path), name.toUtf8() + " of Sqn105"); // the unpack came to it, cut short or not
        const QString notes = game() + u"/notes.txt"_s;
        QVERIFY(pipe ? QFile::remove(notes) && ::mkfifo(QFile::encodeName(notes).constData(), 0644) == 0
                     : writeFile(notes, "the player's own notes"));
        if (!mode) {
            QFile other(outside);
            QVERIFY(other.open(QIODevice::Append) && other.write(" and more") == 9);
        } else {
            QVERIFY(writeFile(path, "painted over by hand"));
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
        }
        undo();
        QCOMPARE(readFile(path), original);
        QVERIFY(pipe ? QFileInfo::exists(notes) && !QFileInfo(notes).isFile() // still the pipe
                     : readFile(notes) == "the player's own notes");
        if (!mode)
            return;
        const kvr::HistoryEntry e = newest();
        const auto it =
            std::find_if(e.kept.begin(), e.kept.end(), [&](const auto& f) { return f.name == name.toUtf8(); });
        QVERIFY(it != e.kept.end() && it->changedBehind);
        QCOMPARE(readFile(store().blobPath(it->hash)), "painted over by hand"_ba);
    }

    // A read-only file a restore wrote back is the restore's doing: its undo takes it too.
    void undoOfARestoreTakesItsReadOnlyFile()
    {
        QCOMPARE(::chmod(QFile::encodeName(game() + u"/PMOSQ.TPC"_s).constData(), 0444), 0);
        const Snapshot shipped = snapshot(game());
        change(u"Sqn105"_s); // the package's PMOSQ.TPC replaces the read-only one
        kvr::resetSlots(game(), ini());
        const Snapshot reset = snapshot(game());
        kvr::restoreBefore(ini(), game(), store().entries(game()).last(), u"restore"_s);
        QCOMPARE(snapshot(game())[u"PMOSQ.TPC"_s], shipped[u"PMOSQ.TPC"_s]);
        undo();
        QCOMPARE(snapshot(game()), reset);
    }

    // An undo that cannot finish puts the game folder back as it was, records nothing and says
    // so: the next undo still takes back the change. One whose entry is no longer the newest
    // (another instance undid it, or made a change since) touches nothing.
    void failedUndoChangesNothing_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("said");
        QTest::newRow("a folder where a kept file goes") << u"folder"_s << u"nothing was recorded"_s;
        QTest::newRow("a full disk for the history") << u"disk"_s << u"nothing was recorded"_s;
        QTest::newRow("a read-only settings file") << u"settings"_s << u"nothing was recorded"_s;
        QTest::newRow("an older change") << u"older"_s << u"no longer the newest"_s;
    }
    void failedUndoChangesNothing()
    {
        QFETCH(QString, failure);
        QFETCH(QString, said);
        change(u"(Default)"_s);
        change(u"Sqn105"_s);
        const kvr::HistoryEntry target = failure == u"older" ? store().entries(game()).at(1) : newest();
        if (failure == u"folder")
            QVERIFY(QFile::remove(game() + u"/readme.txt"_s) && QDir(game()).mkdir(u"readme.txt"_s));
        const Snapshot before = snapshot(game());
        const QByteArray settings = readFile(ini());
        const QStringList entries = entryFiles(u"*.entry"_s);
        kvr::setHistoryDiskFull(failure == u"disk");
        if (failure == u"settings")
            QVERIFY(QFile::setPermissions(ini(), QFile::ReadOwner));
        const QString error = kvrtest::errorOf([&] { kvr::restoreBefore(ini(), game(), target, u"undo"_s); });
        kvr::setHistoryDiskFull(false);
        QVERIFY(QFile::setPermissions(ini(), QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY2(error.contains(said), qPrintable(error));
        QCOMPARE(snapshot(game()), before);
        QCOMPARE(readFile(ini()), settings);
        QCOMPARE(entryFiles(u"*.entry"_s), entries);
        if (failure == u"folder" || failure == u"older")
            return;
        undo();
        QCOMPARE(skinOf(ini(), u"MOSQ"_s), u"(Default)"_s);
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
        change(u"Sqn105"_s);
        change(u"Other"_s);
        const kvr::HistoryEntry second = newest();
        const QString entries = store().folder() + u"/entries/"_s;
        QVERIFY(QFile::copy(entries + u"2.entry"_s, entries + u"999999999999999999.entry"_s));
        m_game = ws->root() + u"/second game"_s;
        QVERIFY(QDir().mkpath(m_game) && writeFile(m_game + u"/PMOSQ.TPC"_s, "the second game's own"));
        change(u"Sqn105"_s);
        m_game.clear();
        // Back in the first folder, Undo takes this folder's newest change.
        QCOMPARE(newest().id, second.id);
        QVERIFY2(newest().damage.isEmpty(), qPrintable(newest().damage));
        change(u"Sqn105"_s);
        const kvr::HistoryEntry fourth = newest();
        QCOMPARE(fourth.id, 4);
        // A change under way names what it keeps in its pending entry alone.
        QVERIFY(writeFile(entries + u"5.pending"_s, readFile(entries + u"4.entry"_s).replace("end\n", "")));
        if (prune)
            store().prune(1);
        else
            store().forgetOlderThan(kEveryEntry, false);
        QCOMPARE(entryIds(QString()), QList<qint64>({1, 3}));
        QCOMPARE(readFile(store().blobPath(kvr::sha256Hex("the second game's own"))), "the second game's own"_ba);
        for (const kvr::HistoryFile& f : second.kept + fourth.kept)
            QVERIFY2(QFileInfo::exists(store().blobPath(f.hash)), f.name.constData());
    }

    // The cap never prunes a first state. A damaged entry stays until it is forgotten, and so do
    // the bytes it names, which count toward the cap: pruning removes sound entries for them, and
    // never loops when it can remove nothing. Forgetting on purpose takes them all.
    void pruningSparesFirstStatesAndDamagedEntries()
    {
        package(u"Other"_s, {"PMOSQ.TPC"}, QByteArray(4000, 'x'));
        for (const QString& skin : {u"Sqn105"_s, u"Other"_s, u"Sqn105"_s, u"(Default)"_s})
            change(skin);
        const QDir blobs(store().folder() + u"/blobs"_s);
        // Sqn105's files, kept twice, are stored once: beside them the game's own three and Other's.
        QCOMPARE(blobs.entryList(QDir::Files).size(), 7);
        QSet<QString> named; // by the first state and the entry damaged next
        for (const kvr::HistoryEntry& e : {store().entries(game()).at(1), store().entries(game()).last()})
            for (const kvr::HistoryFile& f : e.kept)
                named.insert(QString::fromLatin1(f.hash));
        // Its pending entry went with the next change: the entry alone names its bytes.
        const QString third = store().folder() + u"/entries/3.entry"_s;
        QVERIFY(writeFile(third, readFile(third).replace("kind=install", "kind=reset")));
        store().prune(store().spaceUsed() - 1);
        QCOMPARE(entryIds(game()), QList<qint64>({1, 3}));
        store().prune(1);
        QCOMPARE(entryIds(game()), QList<qint64>({1, 3}));
        const QStringList left = blobs.entryList(QDir::Files);
        QCOMPARE(QSet<QString>(left.begin(), left.end()), named);
        store().forgetOlderThan(kEveryEntry, true);
        QVERIFY(store().entries(game()).isEmpty());
        QVERIFY(blobs.entryList(QDir::Files).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHistory)

#include "test_history.moc"
