// The history when things go wrong: two instances share it, entries within the rules are undone
// and damaged ones refused, a history that cannot be written or is locked elsewhere changes
// nothing, and a kill at any step followed by a start loses nothing.
#include "change/journal.h"
#include "historysupport.h"

#include <QCoreApplication>
#include <QProcess>

#include <cstring>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using kvrtest::readFile;
using kvrtest::writeFile;

constexpr char kChangeMode[] = "--history-change";

class TestHistoryRecovery : public QObject, kvrtest::HistoryFixture
{
    Q_OBJECT

    // This test's own program as another instance, changing the game folder (see childMain).
    void startChild(QProcess& child, const QString& skin, int stopAt)
    {
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(kChangeMode), ws->programFolder(), game(), ws->skinsFolder(), skin,
                     QString::number(stopAt)});
    }

private Q_SLOTS:
    void init() { openHistoryProgram(); }
    void cleanup() { closeHistoryProgram(); }

    void twoInstancesShareTheHistory()
    {
        package(u"Tiger"_s, {"PHURR.TPC", "readme.txt"}, {}, u"HURR"_s);
        const Snapshot before = snapshot(game());
        QProcess children[2];
        startChild(children[0], u"Sqn105"_s, -10);
        startChild(children[1], u"HURR:Tiger"_s, -10);
        for (QProcess& child : children) {
            QVERIFY(child.waitForFinished(120000));
            QCOMPARE(child.exitCode(), 0);
        }
        QCOMPARE(store().entries(game()).size(), 20);
        // Taken back newest first (each a restore: an undo takes back only the newest entry),
        // every change of both comes off, and the game's files are back.
        for (int i = 0; i < 20; ++i)
            kvr::restoreBefore(ini(), game(), store().entries(game()).at(2 * i), u"restore"_s);
        QCOMPARE(snapshot(game()), before);
    }

    // The largest entry the program can write (a ZIP's most members, each replacing a file, with
    // the longest names) is read back.
    void largestEntryIsRead()
    {
        constexpr qint64 most = std::numeric_limits<qint64>::max();
        const kvr::HistoryFile f{'P' + QByteArray(254, '#'), kvr::sha256Hex(""), most, 0644, most, 999999999, true};
        kvr::HistoryEntry e;
        e.id = 1;
        e.kind = u"install"_s;
        e.gameFolder = game();
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

    // Entries the rules allow are carried out within them: the game folder however an entry
    // spells it (entries made before it was recorded as the folder itself spell it as the
    // settings did: a link, a trailing slash or a ".." are the same folder to the file system),
    // and an entry from before the checksum, its modes read as permission bits.
    // Entries outside them are refused, touching nothing; edits are sealed again as a forger who
    // knows the format would.
    void entriesAreHeldToTheRules_data()
    {
        QTest::addColumn<QByteArray>("from"); // {game}: the game folder; {link}: a link to it
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("reason"); // "" for an entry within the rules
        QTest::addColumn<QString>("seal");   // "seal", "none", or "strip": no checksum at all
        QTest::addColumn<QString>("blob");   // "", "missing", "short", "altered", "link"
        const auto row = [](const char* name, const QByteArray& from, const QByteArray& to, const QString& reason,
                            const QString& seal = u"seal"_s, const QString& blob = {}) {
            QTest::addRow("%s", name) << from << to << reason << seal << blob;
        };
        row("through a link", "game={game}\n"_ba, "game={link}\n"_ba, {});
        row("no checksum, a mode beyond permissions", " 640 "_ba, " 7640 "_ba, {}, u"strip"_s);
        // Not this folder's change: Undo has none to take back.
        row("another game folder", "game="_ba, "game=%2Felsewhere"_ba, u"not the one in use"_s);
        row("a path for a name", " PMOSQ.TPC"_ba, " ..%2FPMOSQ.TPC"_ba, u"a path"_s);
        row("a parent for a name", " PMOSQ.TPC"_ba, " .."_ba, u"a path"_s);
        row("a line end in a name", " PMOSQ.TPC"_ba, " PMOSQ%0A.TPC"_ba, u"a path"_s);
        row("a backslash in a name", " PMOSQ.TPC"_ba, " ..%5CKVR.EXE"_ba, u"a path"_s);
        row("a pattern of every file", "pattern=PMOSQ%2A.%2A"_ba, "pattern=P%2A"_ba, u"outside a slot"_s);
        row("a pattern of no slot", "pattern=PMOSQ%2A.%2A"_ba, "pattern=PMOSX%2A.%2A"_ba, u"outside a slot"_s);
        row("a kind of no change", "kind="_ba, "kind=whatever"_ba, u"line %1 does not parse"_s);
        row("a nanosecond out of range", " 1234567 891 "_ba, " 1234567 1000000000 "_ba, u"line %1 does not parse"_s);
        row("a field too many", " PMOSQ.TPC\n"_ba, " PMOSQ.TPC changed more\n"_ba, u"does not parse"_s);
        row("a created file's field too many", " PMOSQ_W.TPC\n"_ba, " PMOSQ_W.TPC more\n"_ba,
            u"line %1 does not parse"_s);
        row("another entry's number", "id="_ba, "id=9"_ba, u"its number"_s);
        row("another entry's number and a missing blob", "id="_ba, "id=9"_ba, u"its number"_s, u"seal"_s, u"missing"_s);
        row("a hand edit", "kind=install"_ba, "kind=reset"_ba, u"edited"_s, u"none"_s);
        row("cut short", "end\n"_ba, ""_ba, u"cut short"_s, u"none"_s);
        row("a missing blob", {}, {}, u"missing"_s, u"none"_s, u"missing"_s);
        row("a short blob", {}, {}, u"cut short"_s, u"none"_s, u"short"_s);
        row("a blob not matching its hash", {}, {}, u"damaged"_s, u"none"_s, u"altered"_s);
        row("a blob that is a link", {}, {}, u"not a file"_s, u"none"_s, u"link"_s);
    }
    void entriesAreHeldToTheRules()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, reason);
        QFETCH(QString, seal);
        QFETCH(QString, blob);
        const QString link = ws->root() + u"/linked game"_s;
        QVERIFY(QFile::link(game(), link));
        const Snapshot before = snapshot(game());
        change(u"Sqn105"_s);
        const kvr::HistoryEntry made = newest();
        const QString file = store().folder() + u"/entries/%1.entry"_s.arg(made.id);
        QByteArray text = readFile(file);
        from.replace("{game}", kvr::entryField(game()));
        to.replace("{game}", kvr::entryField(game())).replace("{link}", kvr::entryField(link));
        if (!from.isEmpty()) {
            const qsizetype at = text.indexOf(from);
            QVERIFY(at >= 0);
            text.replace(at, from.size(), to);
            if (reason.contains(u"%1"))
                reason = reason.arg(text.left(at).count('\n') + 1);
        }
        if (seal != u"none")
            text = text.left(text.lastIndexOf("sum="));
        if (seal == u"seal")
            text = kvr::sealedEntry(text);
        else if (seal == u"strip")
            text += "end\n";
        QVERIFY(writeFile(file, text));
        const QString blobFile = store().blobPath(made.kept.first().hash);
        const QByteArray bytes = readFile(blobFile);
        if (blob == u"missing" || blob == u"link")
            QVERIFY(QFile::remove(blobFile));
        if (blob == u"link")
            QVERIFY(writeFile(ws->root() + u"/copy"_s, bytes) && QFile::link(ws->root() + u"/copy"_s, blobFile));
        else if (blob == u"short" || blob == u"altered")
            QVERIFY(writeFile(blobFile, blob == u"short" ? bytes.left(3) : QByteArray(bytes.size(), 'z')));
        const Snapshot changed = snapshot(game());
        const QString error = kvrtest::errorOf([this] { undo(); });
        QVERIFY2(reason.isEmpty() ? error.isEmpty() : error.contains(reason), qPrintable(error));
        QCOMPARE(snapshot(game()), reason.isEmpty() ? before : changed);
        QCOMPARE(store().entries(game()).size(), reason.isEmpty() ? 2 : 1);
    }

    // A history that cannot be written (a file where its folder goes, a full disk) or whose lock
    // another program holds (a flock on its folder, waited for a few seconds at most): the call
    // changes nothing and a change says so; the start leaves its work, and a change cut short
    // earlier waits for the next start.
    void unusableHistoryChangesNothing_data()
    {
        QTest::addColumn<QString>("history"); // "file", "full" or "locked"
        QTest::addColumn<QString>("call");    // a skin for the Mosquito, "undo", "start" or "forget"
        QTest::addColumn<QString>("said");    // in the change's message; "" for no message
        QTest::addRow("a file where the history's folder goes") << u"file"_s << u"Sqn105"_s << u"cannot be written"_s;
        QTest::addRow("a full disk") << u"full"_s << u"(Default)"_s << u"not enough free space"_s;
        QTest::addRow("locked: (Default)") << u"locked"_s << u"(Default)"_s << u"stayed in use"_s;
        QTest::addRow("locked: undo") << u"locked"_s << u"undo"_s << QString();
        QTest::addRow("locked: start with a pending entry") << u"locked"_s << u"start"_s << QString();
        QTest::addRow("locked: forget older") << u"locked"_s << u"forget"_s << QString();
    }
    void unusableHistoryChangesNothing()
    {
        QFETCH(QString, history);
        QFETCH(QString, call);
        QFETCH(QString, said);
        const QString entries = store().folder() + u"/entries"_s;
        if (history == u"file") {
            QVERIFY(writeFile(store().folder(), "a file where the folder goes"));
        } else {
            change(u"Sqn105"_s);
            QVERIFY(writeFile(entries + u"/99.pending"_s, readFile(entries + u"/1.entry"_s).replace("end\n", "")));
        }
        const QStringList recorded = QDir(entries).entryList(QDir::Files);
        const QString skin = skinOf(ini(), u"MOSQ"_s);
        const Snapshot before = snapshot(game());
        messages->calls.clear();
        const QString waiting =
            kvr::writeJournal({kvr::ChangePlan::Kind::Install, u"MOSQ"_s, u"(Default)"_s, {}, game()}, ini());
        const kvr::UniqueFd held(::open(QFile::encodeName(store().folder()).constData(), O_RDONLY | O_DIRECTORY));
        QVERIFY(history != u"locked" || ::flock(held.get(), LOCK_EX | LOCK_NB) == 0);
        kvr::setHistoryDiskFull(history == u"full");
        if (call == u"undo")
            QVERIFY_THROWS_EXCEPTION(kvr::Error, undo());
        else if (call == u"start")
            kvr::finishInterruptedChanges(ini());
        else if (call == u"forget")
            QVERIFY_THROWS_EXCEPTION(kvr::Error, store().forgetOlderThan(kEveryEntry, true));
        else
            QCOMPARE(change(call), kvr::SlotChange::Begun::Cancelled);
        kvr::setHistoryDiskFull(false);
        QCOMPARE(snapshot(game()), before);
        QCOMPARE(skinOf(ini(), u"MOSQ"_s), skin);
        QCOMPARE(QDir(entries).entryList(QDir::Files), recorded);
        QCOMPARE(messages->calls.size(), said.isEmpty() ? 0 : 1);
        for (const kvrtest::MsgBoxCall& shown : messages->calls) {
            QCOMPARE(shown.style, int(kvr::vbExclamation));
            QVERIFY2(shown.prompt.contains(said) && shown.prompt.contains(u"nothing was changed"_s),
                     qPrintable(shown.prompt));
        }
        // A change cut short earlier is the start's: the stopped change leaves it be.
        QCOMPARE(QDir(ws->programFolder()).entryList({u"KVRSI.INI.journal-*"_s}, QDir::Files | QDir::Hidden),
                 QStringList{QFileInfo(waiting).fileName()});
    }

    // A change's entry is not flushed on its own: its flushed pending entry stays and makes it
    // again when a crash cut it short, each kept file once, and the change can be undone. A
    // change killed before it named a file makes no entry. The start acts only on pending entries
    // of the game folder now set, and a pending entry's moved names are names of the history's
    // own folder, never paths through a link there.
    void startTakesUpItsOwnPendingEntries_data()
    {
        QTest::addColumn<QString>("cut");
        QTest::newRow("the entry cut") << u"entry"_s;
        QTest::newRow("cut between a kept line and its blob's rename") << u"settling"_s;
        QTest::newRow("a later change cut before it named a file") << u"header"_s;
        QTest::newRow("an undo cut short in another game folder") << u"other folder"_s;
        QTest::newRow("a moved name through a link in the history") << u"link"_s;
    }
    void startTakesUpItsOwnPendingEntries()
    {
        QFETCH(QString, cut);
        const Snapshot before = snapshot(game());
        change(u"Sqn105"_s);
        const kvr::HistoryEntry made = newest();
        const QString path = store().folder() + u"/entries/1.entry"_s;
        const QString another = store().folder() + u"/entries/99.pending"_s;
        QByteArray pending = readFile(path).replace("end\n", "").replace("id=1\n", "id=99\n");
        const QString outside = ws->root() + u"/outside"_s;
        QVERIFY(QDir().mkpath(outside) && writeFile(outside + u"/PMOSQ.TPC"_s, "theirs"));
        if (cut == u"header") {
            QVERIFY(writeFile(another, pending.left(pending.indexOf("kept="))));
        } else if (cut == u"other folder") {
            QVERIFY(writeFile(another, pending.replace("kind=install", "kind=undo").append("restores=1\n")));
            QVERIFY(writeFile(ini(), kvrtest::Workspace::foldersSection(outside, ws->skinsFolder())));
        } else if (cut == u"link") {
            QVERIFY(QFile::link(outside, store().folder() + u"/blobs/.in-dir"_s));
            QVERIFY(writeFile(another, pending.append("moved=.in-dir/PMOSQ.TPC 6 644 1 0 PMOSQ.TPC\n")));
        } else if (cut == u"settling") {
            // The pending entry names the file twice: linked in under a temporary name, and kept.
            const kvr::HistoryFile& f = made.kept.first();
            QVERIFY(::link(QFile::encodeName(store().blobPath(f.hash)).constData(),
                           QFile::encodeName(store().folder() + u"/blobs/.in-5e771e"_s).constData()) == 0);
            pending = readFile(path);
            pending.truncate(pending.indexOf("sum="));
            pending.insert(pending.indexOf("kept="),
                           kvr::keptLine(f).replace(QByteArray("kept=" + f.hash), "moved=.in-5e771e"));
            QVERIFY(writeFile(QString(path).replace(u".entry"_s, u".pending"_s), pending) && QFile::remove(path));
        } else {
            QVERIFY(writeFile(path, readFile(path).left(40)));
        }
        const Snapshot changed = snapshot(game());
        const Snapshot theirs = snapshot(outside);
        kvr::finishInterruptedChanges(ini());
        QCOMPARE(snapshot(outside), theirs);
        if (cut == u"other folder" || cut == u"link") {
            QCOMPARE(snapshot(game()), changed);
            QCOMPARE(QFileInfo::exists(another), cut == u"other folder");
            return;
        }
        QCOMPARE(newest().kept.size(), made.kept.size());
        QCOMPARE(store().entries(game()).size(), 1);
        QVERIFY(entryFiles(u"*.pending"_s).isEmpty());
        undo();
        QCOMPARE(snapshot(game()), before);
    }

    void killAtEveryStepLosesNothing_data()
    {
        QTest::addColumn<QString>("skin");
        QTest::addColumn<int>("step");
        for (int step = 0; step <= 3; ++step) {
            QTest::addRow("install, killed at step %d", step) << u"Sqn105"_s << step;
            if (step != int(kvr::ChangeStep::Unpacked))
                QTest::addRow("reset, killed at step %d", step) << u"reset"_s << step;
        }
        // Each write of the undo (three kept files staged, the history's link and flush, three
        // removed, three put in place, the skin recorded), and between the record and the entry.
        QTest::addRow("undo, killed once recorded") << u"undo"_s << int(kvr::ChangeStep::Recorded);
        for (int write = 0; write < 12; ++write)
            QTest::addRow("undo, killed at write %d", write) << u"undo-write"_s << write;
    }
    void killAtEveryStepLosesNothing()
    {
        QFETCH(QString, skin);
        QFETCH(int, step);
        const Snapshot before = snapshot(game());
        const bool undoing = skin.startsWith(u"undo");
        if (undoing)
            change(u"Sqn105"_s);
        const Snapshot changed = snapshot(game());
        QProcess child;
        startChild(child, skin, step);
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 7);
        kvr::finishInterruptedChanges(ini());
        QSet<QString> held = hashesOf(snapshot(game()));
        for (const kvr::HistoryEntry& e : store().entries(game())) {
            QVERIFY2(e.damage.isEmpty(), qPrintable(e.damage));
            for (const kvr::HistoryFile& f : e.kept)
                held.insert(QString::fromLatin1(kvr::sha256Hex(readFile(store().blobPath(f.hash)))));
        }
        QVERIFY(held.contains(hashesOf(before)) && held.contains(hashesOf(changed)));
        // A pending entry stays only beside its committed entry, until that is on disk.
        for (const QString& pending : entryFiles(u"*.pending"_s))
            QVERIFY(QFileInfo::exists(store().folder() + u"/entries/"_s + pending.section(u'.', 0, 0) + u".entry"_s));
        if (!undoing) {
            // Finished at start in the entry it began: one undo takes back the whole change.
            QCOMPARE(store().entries(game()).size(), 1);
            undo();
            QCOMPARE(snapshot(game()), before);
        } else {
            // An undo cut short is carried out again at start, once it has begun taking files;
            // before, nothing of it happened.
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
