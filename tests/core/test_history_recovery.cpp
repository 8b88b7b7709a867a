// The history when things go wrong: two instances share it, entries within the rules are undone
// and damaged ones refused, a history that cannot be written or is locked elsewhere changes
// nothing, and a kill at any step followed by a start loses nothing.
#include "app/newfile.h"
#include "change/journal.h"
#include "change/slotchange.h"
#include "historysupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>

#include <chrono>
#include <cstring>
#include <memory>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

const char* const kChangeMode = "--history-change";

} // namespace

class TestHistoryRecovery : public QObject, kvrtest::HistoryFixture
{
    Q_OBJECT

private Q_SLOTS:
    void init() { openHistoryProgram(); }
    void cleanup() { closeHistoryProgram(); }

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

    // Entries the rules allow are carried out within them: the game folder however an entry
    // spells it (entries made before it was recorded as the folder itself spell it as the
    // settings did), and an entry from before the checksum, its modes read as permission bits.
    void entriesWithinTheRulesAreUndone_data()
    {
        QTest::addColumn<QString>("spelling"); // %1: the game folder; "" for no checksum
        QTest::addRow("a trailing slash") << u"%1/"_s;
        QTest::addRow("through a link") << u"link"_s;
        QTest::addRow("with ..") << u"%1/../game"_s;
        QTest::addRow("no checksum, a mode beyond permissions") << QString();
    }
    void entriesWithinTheRulesAreUndone()
    {
        QFETCH(QString, spelling);
        if (spelling == u"link") {
            QVERIFY(QFile::link(game(), ws->root() + u"/linked game"_s));
            spelling = ws->root() + u"/linked game"_s;
        } else if (!spelling.isEmpty()) {
            spelling = spelling.arg(game());
        }
        const Snapshot before = snapshot(game());
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const QString file = store().folder() + u"/entries/%1.entry"_s.arg(newest().id);
        QByteArray text = readFile(file);
        text = text.left(text.lastIndexOf("sum="));
        if (spelling.isEmpty())
            text = text.replace(" 640 ", " 7640 ") + "end\n";
        else
            text = kvr::sealedEntry(text.replace(QByteArray("game=" + kvr::entryField(game())),
                                                 QByteArray("game=" + kvr::entryField(spelling))));
        QVERIFY(writeFile(file, text));
        QVERIFY2(newest().damage.isEmpty(), qPrintable(newest().damage));
        if (!spelling.isEmpty())
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

    // A read that fails is no hash, never retried for good: a folder cannot be read as a file.
    void unreadableFileHasNoHash()
    {
        const kvr::UniqueFd folder(::open(QFile::encodeName(game()).constData(), O_RDONLY | O_DIRECTORY));
        QByteArray hash;
        qint64 size = 0;
        QVERIFY(folder.isValid() && !kvr::hashFd(folder.get(), hash, size));
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
        edit("a created file's field too many", " PMOSQ_W.TPC\n"_ba, " PMOSQ_W.TPC more\n"_ba,
             u"line %1 does not parse"_s);
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
    // again when a crash cut it short, each kept file once, and the change can be undone. A
    // change killed before it named a file makes no entry.
    void entryCutByACrashComesBackFromItsPendingEntry_data()
    {
        QTest::addColumn<QString>("cut");
        QTest::newRow("the entry cut") << u"entry"_s;
        QTest::newRow("cut between a kept line and its blob's rename") << u"settling"_s;
        QTest::newRow("a later change cut before it named a file") << u"header"_s;
    }
    void entryCutByACrashComesBackFromItsPendingEntry()
    {
        QFETCH(QString, cut);
        const Snapshot before = snapshot(game());
        kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const kvr::HistoryEntry made = newest();
        const QString path = store().folder() + u"/entries/%1.entry"_s.arg(made.id);
        if (cut == u"header") {
            QByteArray pending = readFile(path);
            pending.truncate(pending.indexOf("kept="));
            QVERIFY(writeFile(store().folder() + u"/entries/99.pending"_s, pending.replace("id=1\n", "id=99\n")));
        } else if (cut == u"settling") {
            // The pending entry names the file twice: linked in under a temporary name, and kept.
            const kvr::HistoryFile& f = made.kept.first();
            QVERIFY(::link(QFile::encodeName(store().blobPath(f.hash)).constData(),
                           QFile::encodeName(store().folder() + u"/blobs/.in-5e771e"_s).constData()) == 0);
            QByteArray pending = readFile(path);
            pending.truncate(pending.indexOf("sum="));
            pending.insert(pending.indexOf("kept="), "moved=.in-5e771e " + QByteArray::number(f.size) + ' ' +
                                                         QByteArray::number(f.mode, 8) + ' ' +
                                                         QByteArray::number(f.mtimeSec) + ' ' +
                                                         QByteArray::number(f.mtimeNsec) + ' ' + f.name + '\n');
            QVERIFY(writeFile(QString(path).replace(u".entry"_s, u".pending"_s), pending) && QFile::remove(path));
        } else {
            QVERIFY(writeFile(path, readFile(path).left(40)));
            QVERIFY(!newest().damage.isEmpty());
        }
        kvr::finishInterruptedChanges(ini());
        QVERIFY2(newest().damage.isEmpty(), qPrintable(newest().damage));
        QCOMPARE(newest().kept.size(), made.kept.size());
        QCOMPARE(store().entries(game()).size(), 1);
        QVERIFY(QDir(store().folder() + u"/entries"_s).entryList({u"*.pending"_s}, QDir::Files).isEmpty());
        undo();
        QCOMPARE(snapshot(game()), before);
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

    // Killed at random moments of a change, the start's recovery and one undo give back the
    // folder and the skin of before it. KVR_KILL_SEED=<n> repeats a run.
    void killAtRandomMomentsThenUndo()
    {
        const quint32 seed = qEnvironmentVariableIsSet("KVR_KILL_SEED")
                                 ? quint32(qEnvironmentVariableIntValue("KVR_KILL_SEED"))
                                 : QRandomGenerator::global()->generate();
        qInfo("KVR_KILL_SEED=%u", seed);
        QRandomGenerator random(seed);
        const Snapshot before = snapshot(game());
        const auto startChange = [this](QProcess& child) {
            child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kChangeMode), ws->programFolder(),
                                                                  game(), ws->skinsFolder(), u"Sqn105"_s, u"-1"_s});
            return child.waitForReadyRead(30000);
        };
        QProcess whole; // how long a change takes, from its start to the child's end
        QVERIFY(startChange(whole));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(whole.waitForFinished(30000));
        const qint64 longest = timer.nsecsElapsed() / 1000;
        undo();
        int cut = 0;
        for (int kill = 0; kill < 40; ++kill) {
            const qsizetype entries = store().entries(game()).size();
            QProcess child;
            QVERIFY(startChange(child));
            std::this_thread::sleep_for(std::chrono::microseconds(random.bounded(longest + longest / 5)));
            child.kill();
            QVERIFY(child.waitForFinished(30000));
            cut +=
                !QDir(ws->programFolder()).entryList({u"KVRSI.INI.journal-*"_s}, QDir::Files | QDir::Hidden).isEmpty();
            kvr::finishInterruptedChanges(ini());
            if (store().entries(game()).size() > entries)
                QVERIFY_THROWS_NO_EXCEPTION(undo());
            QCOMPARE(snapshot(game()), before);
            QCOMPARE(skinOf(ini(), u"MOSQ"_s), u"Old"_s);
        }
        qInfo("%d kills cut a change", cut);
        QVERIFY(cut > 0); // kills landed mid-change, not only before or after
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
        }
        // Each write of the undo (three kept files staged, the history's link and flush, three
        // removed, three put in place, the skin recorded), and between the record and the entry.
        QTest::addRow("undo, killed once recorded") << u"undo"_s << int(kvr::ChangeStep::Recorded) << QStringList();
        for (int write = 0; write < 12; ++write)
            QTest::addRow("undo, killed at write %d", write) << u"undo-write"_s << write << QStringList();
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
        const bool undoing = skin.startsWith(u"undo");
        if (undoing)
            kvr::changeSlot(game(), ws->skinsFolder(), ini(), u"MOSQ"_s, u"Sqn105"_s);
        const Snapshot changed = snapshot(game());
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
        if (!undoing) {
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
        // An undo cut short is carried out again at start, once it has begun taking files; before,
        // nothing of it happened.
        if (undoing) {
            const bool undone = snapshot(game()) == before;
            QVERIFY(undone || (skin == u"undo-write" && snapshot(game()) == changed));
            QCOMPARE(skinOf(ini(), u"MOSQ"_s), undone ? u"Old"_s : u"Sqn105"_s);
            QCOMPARE(store().entries(game()).size(), undone ? 2 : 1);
        }
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
        std::fputs("changing\n", stdout);
        std::fflush(stdout);
        for (int i = 0; i < -stopAt; ++i)
            kvr::changeSlot(args.value(3), args.value(4), ini, slot,
                            i % 2 ? u"(Default)"_s : args.value(5).section(u':', -1));
        return 0;
    }
    if (args.value(5).startsWith(u"undo")) {
        kvr::setChangeProbe({});
        if (args.value(5) == u"undo-write") {
            kvr::setRestoreWriteProbe([stopAt, writes = std::make_shared<int>(0)] {
                if ((*writes)++ == stopAt)
                    ::_exit(7);
            });
        } else {
            kvr::setRestoreProbe([stopAt](kvr::ChangeStep step) {
                if (int(step) == stopAt)
                    ::_exit(7);
            });
        }
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
    TestHistoryRecovery test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_history_recovery.moc"
