// The installation core without a window: which folder a value names, what a delete may take,
// interrupted changes finished at start, and two writers or two installations at once.
#include "app/fileio.h"
#include "change/journal.h"
#include "change/slotchange.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QMutex>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

using namespace Qt::StringLiterals;

using kvr::ChangeStep;
using kvrtest::filesIn;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

// Every call the file services get, as "delete <folder> <pattern>" and "unzip <package> <target>".
class ServiceRecorder
{
public:
    ServiceRecorder()
        : m_previous(kvr::setFileServices(
              {[this](const QString& folder, const QString& pattern) { add(u"delete "_s + folder + u' ' + pattern); },
               [this](const QString& package, const QString& target) { add(u"unzip "_s + package + u' ' + target); }}))
    {
    }
    ~ServiceRecorder() { kvr::setFileServices(m_previous); }

    QStringList calls;

private:
    void add(const QString& call)
    {
        const QMutexLocker lock(&m_mutex);
        calls.append(call);
    }
    QMutex m_mutex;
    kvr::FileServices m_previous;
};

QString skinOf(const QString& slot)
{
    return kvr::Modulo::LEEINI(kvr::Modulo::settingsPath(), kvr::SettingsNames::kSkinsSection, slot);
}

// Changes MOSQ in the workspace's own folders, as the window does.
kvr::SlotChange::Begun changeMosq(const kvrtest::Workspace& ws, const QString& skin,
                                  kvr::PackageRule rule = kvr::PackageRule::AsChosen)
{
    return kvr::changeSlot(ws.gameFolder(), ws.skinsFolder(), kvr::Modulo::settingsPath(), u"MOSQ"_s, skin, rule);
}

QStringList leftoversBeside(const kvrtest::Workspace& ws)
{
    return QDir(ws.programFolder()).entryList({u"KVRSI.INI.*"_s}, QDir::AllEntries | QDir::Hidden | QDir::System);
}

} // namespace

class TestInstallationCore : public QObject
{
    Q_OBJECT
private Q_SLOTS:

    // {root} stands for the workspace's folder; an empty expectation means no delete and no unpacking.
    void folderRules_data()
    {
        QTest::addColumn<QString>("gameValue");
        QTest::addColumn<QString>("skinsValue");
        QTest::addColumn<QString>("expectedGame"); // the folder the deletes get
        QTest::addColumn<bool>("unpacks");

        // Which values are usable is the folder rule's own table; these show both folders go through it.
        QTest::newRow("absolute folder") << u"{root}/game"_s << u"{root}/skins"_s << u"{root}/game"_s << true;
        QTest::newRow("empty") << u""_s << u"{root}/skins"_s << u""_s << false;
        QTest::newRow("backslashes read as slashes")
            << u"{root}\\game"_s << u"{root}/skins"_s << u"{root}/game"_s << true;
        QTest::newRow("skins folder empty") << u"{root}/game"_s << u""_s << u"{root}/game"_s << false;
    }

    // Only a usable value reaches a delete or the unpacking (a reset goes the same way), and the
    // settings are written whatever the folders.
    void folderRules()
    {
        QFETCH(QString, gameValue);
        QFETCH(QString, skinsValue);
        QFETCH(QString, expectedGame);
        QFETCH(bool, unpacks);
        kvrtest::Workspace ws;
        const auto expand = [&ws](QString value) { return value.replace(u"{root}"_s, ws.root()); };
        expectedGame = expand(expectedGame);
        ServiceRecorder services;
        kvr::changeSlot(expand(gameValue), expand(skinsValue), kvr::Modulo::settingsPath(), u"MOSQ"_s, u"Sqn105"_s);
        QStringList expected;
        if (!expectedGame.isEmpty())
            expected << u"delete "_s + expectedGame + u" PMOSQ*.*"_s;
        if (unpacks)
            expected << u"unzip "_s + expand(u"{root}/skins"_s) + u"/MOSQ_Sqn105.ZIP "_s + expectedGame + u"/"_s;
        QCOMPARE(services.calls, expected);
        QCOMPARE(skinOf(u"MOSQ"_s), u"Sqn105"_s);
    }

    // A folder whose own name holds a '\' is the folder meant; the one the '\' would read as is not.
    void backslashFolderUsedAsWritten()
    {
        kvrtest::Workspace ws;
        const QString asWritten = ws.root() + u"/ga\\me"_s;
        const QString lookalike = ws.root() + u"/ga/me"_s;
        for (const QString& folder : {asWritten, lookalike})
            QVERIFY(writeFile(folder + u"/PMOSQ_old.tpc"_s, "old"_ba));
        QVERIFY(kvr::writeZip(ws.skinsFolder() + u"/mosq_Sqn105.zip"_s, {{"PMOSQ_new.tpc", "new"}}));

        kvr::changeSlot(asWritten, ws.skinsFolder(), kvr::Modulo::settingsPath(), u"MOSQ"_s, u"Sqn105"_s);
        QCOMPARE(filesIn(asWritten), QStringList({u"PMOSQ_new.tpc"_s}));
        QCOMPARE(filesIn(lookalike), QStringList({u"PMOSQ_old.tpc"_s}));
    }

    void programFilesNeverDeleted_data()
    {
        QTest::addColumn<QString>("reachedAs"); // how the deleting code names the program folder
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("left"); // {EXE} is this program's name in capitals
        const QString own = u"KVRSI.INI Kvrsi.ini LIBUNZIP32.SO {EXE} libunzip32.so readme.txt"_s;
        QTest::newRow("every name, through a link") << u"link"_s << u"*.*"_s << own;
        QTest::newRow("readme only") << u"path"_s << u"R*.*"_s << own + u" KVRSI_old.bak PMOSQ.TPC"_s;
        QTest::newRow("another folder holding the same names") << u"other"_s << u"*.*"_s << QString();
    }

    void programFilesNeverDeleted()
    {
        QFETCH(QString, reachedAs);
        QFETCH(QString, pattern);
        QFETCH(QString, left);
        kvrtest::Workspace ws(/*withUnzipLibrary=*/false);
        const QString exe = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        const QString folder = reachedAs == u"other"_s ? ws.gameFolder() : ws.programFolder();
        for (const QString& name :
             {u"KVRSI.INI"_s, u"Kvrsi.ini"_s, u"LIBUNZIP32.SO"_s, exe.toUpper(), u"libunzip32.so"_s, u"readme.txt"_s,
              u"Rogue.txt"_s, u"KVRSI_old.bak"_s, u"PMOSQ.TPC"_s})
            QVERIFY(writeFile(folder + u'/' + name, "x"_ba));
        QVERIFY(QFile::link(ws.programFolder(), ws.root() + u"/link"_s));
        const QString named = reachedAs == u"link"_s ? ws.root() + u"/link"_s : folder;
        try {
            kvr::deleteFiles(named, pattern);
        } catch (const kvr::Error&) {
        }
        QStringList expected = left.replace(u"{EXE}"_s, exe.toUpper()).split(u' ', Qt::SkipEmptyParts);
        expected.sort();
        QCOMPARE(filesIn(folder), expected);
    }

    void linksToFoldersStay_data()
    {
        QTest::addColumn<QString>("linkTo"); // "file", "folder", "nothing"
        QTest::addColumn<bool>("survives");
        QTest::newRow("link to a file goes, its file stays") << u"file"_s << false;
        QTest::newRow("link to a folder stays") << u"folder"_s << true;
        QTest::newRow("link to nothing goes") << u"nothing"_s << false;
    }

    void linksToFoldersStay()
    {
        QFETCH(QString, linkTo);
        QFETCH(bool, survives);
        kvrtest::Workspace ws;
        const QString outside = ws.root() + u"/outside"_s;
        QVERIFY(writeFile(outside + u"/textures/PMOSQ.TPC"_s, "theirs"_ba));
        QVERIFY(writeFile(outside + u"/PMOSQ_file.tpc"_s, "theirs too"_ba));
        const QString target = outside + (linkTo == u"file"_s     ? u"/PMOSQ_file.tpc"_s
                                          : linkTo == u"folder"_s ? u"/textures"_s
                                                                  : u"/nowhere"_s);
        const QString link = ws.gameFolder() + u"/PMOSQ_textures"_s;
        QVERIFY(QFile::link(target, link));
        QVERIFY(writeFile(ws.gameFolder() + u"/PMOSQ.tpc"_s, "ours"_ba));

        changeMosq(ws, u"(Default)"_s);
        QCOMPARE(QFileInfo(link).isSymLink(), survives);
        QVERIFY(!QFile::exists(ws.gameFolder() + u"/PMOSQ.tpc"_s));
        QCOMPARE(readFile(outside + u"/textures/PMOSQ.TPC"_s), QByteArray("theirs"));
        QCOMPARE(readFile(outside + u"/PMOSQ_file.tpc"_s), QByteArray("theirs too"));
    }

    void interruptedChangeIsFinishedAtStart_data()
    {
        QTest::addColumn<QString>("change"); // a skin name, or "reset"
        QTest::addColumn<int>("stopAt");     // a ChangeStep
        QTest::addColumn<QStringList>("left");
        // The start redoes the whole change whatever step it reached: each step once.
        const QStringList unpacked{u"PHURR.TPC"_s, u"PMOSQ_new.3dz"_s, u"PMOSQ_new.tpc"_s, u"other.txt"_s};
        QTest::newRow("a skin, stopped once journaled") << u"Sqn105"_s << int(ChangeStep::Journaled) << unpacked;
        QTest::newRow("a skin, stopped once unpacked") << u"Sqn105"_s << int(ChangeStep::Unpacked) << unpacked;
        QTest::newRow("(Default), stopped once recorded")
            << u"(Default)"_s << int(ChangeStep::Recorded) << QStringList{u"PHURR.TPC"_s, u"other.txt"_s};
        QTest::newRow("reset, stopped once deleted")
            << u"reset"_s << int(ChangeStep::Deleted) << QStringList{u"other.txt"_s};
    }

    // The change stops at a step (as a kill or a power cut would stop it); the start then leaves
    // the disk and the settings as a whole change would have, and no journal behind.
    void interruptedChangeIsFinishedAtStart()
    {
        QFETCH(QString, change);
        QFETCH(int, stopAt);
        kvrtest::Workspace ws;
        QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"MOSQ=Old"_s, u"HURR=Desert"_s})));
        const QString game = ws.gameFolder();
        for (const QString& name : {u"PMOSQ_old.tpc"_s, u"PMOSQ_old.3dz"_s, u"PHURR.TPC"_s, u"other.txt"_s})
            QVERIFY(writeFile(game + u'/' + name, "old"_ba));
        QVERIFY(kvr::writeZip(ws.skinsFolder() + u"/MOSQ_Sqn105.zip"_s,
                              {{"PMOSQ_new.tpc", "new"}, {"maps/PMOSQ_new.3dz", QByteArray(20000, 'm')}}));
        struct Stopped
        {
        };
        const kvr::ChangeProbe previous = kvr::setChangeProbe([stopAt](ChangeStep step) {
            if (int(step) == stopAt)
                throw Stopped{};
        });
        try {
            if (change == u"reset"_s)
                kvr::resetSlots(game, kvr::Modulo::settingsPath());
            else
                changeMosq(ws, change);
        } catch (const Stopped&) {
        }
        kvr::setChangeProbe(previous);
        QCOMPARE(leftoversBeside(ws).size(), 1);

        kvr::finishInterruptedChanges(kvr::Modulo::settingsPath());

        QCOMPARE(leftoversBeside(ws), QStringList());
        QTEST(filesIn(game), "left");
        const bool reset = change == u"reset"_s;
        QCOMPARE(skinOf(u"MOSQ"_s), reset ? u"(Default)"_s : change);
        QCOMPARE(skinOf(u"HURR"_s), reset ? u"(Default)"_s : u"Desert"_s);
    }

    void leftoversAreRemoved()
    {
        kvrtest::Workspace ws;
        QVERIFY(ws.writeSettings());
        const QString game = ws.gameFolder();
        QVERIFY(writeFile(game + u"/.unzip32-0123abcd-1.tmp"_s, "stale"_ba));
        QVERIFY(writeFile(game + u"/.unzip32-0123abcd-x.tmp"_s, "not the library's name"_ba));
        QVERIFY(writeFile(ws.root() + u"/outside.txt"_s, "theirs"_ba));
        QVERIFY(QFile::link(ws.root() + u"/outside.txt"_s, game + u"/.unzip32-0123abcd-2.tmp"_s));
        QVERIFY(QDir(game).mkdir(u".unzip32-0123abcd-3.tmp"_s));
        const QString program = ws.programFolder();
        QVERIFY(writeFile(program + u"/KVRSI.INI.tmp1a2b3c"_s, "stale"_ba));
        QVERIFY(writeFile(program + u"/KVRSI.INI.tmpzz"_s, "not a temporary's name"_ba));
        QVERIFY(writeFile(program + u"/KVRSI.INI.journal-1f"_s,
                          "KVRSI journal 1\nkind=install\nslot=MOSQ\n"_ba)); // cut short

        kvr::finishInterruptedChanges(kvr::Modulo::settingsPath());
        QCOMPARE(leftoversBeside(ws), QStringList({u"KVRSI.INI.journal-1f.damaged"_s, u"KVRSI.INI.tmpzz"_s}));

        // Taking the game folder's lock (a change's or a reset's) removes the library's stale temporaries.
        QVERIFY(writeFile(game + u"/.unzip32-feedbeef-7.tmp"_s, "stale"_ba));
        kvr::resetSlots(game, kvr::Modulo::settingsPath());
        QCOMPARE(
            QDir(game).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList({u".unzip32-0123abcd-2.tmp"_s, u".unzip32-0123abcd-3.tmp"_s, u".unzip32-0123abcd-x.tmp"_s}));
        QCOMPARE(readFile(ws.root() + u"/outside.txt"_s), QByteArray("theirs"));
    }

    // Journals a kill left are carried out in the order they were written, whatever their names;
    // one that a later change made moot (the same slot's, or any after a reset) goes with it.
    void deadJournalsGiveWayToLaterChoices()
    {
        kvrtest::Workspace ws;
        QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"MOSQ=Old"_s, u"HURR=Old"_s})));
        const QString ini = kvr::Modulo::settingsPath();
        time_t written = 1000000;
        const auto dead = [&](const QString& slot, const QString& skin, const QString& name) {
            const QString package = ws.skinsFolder() + u'/' + slot + u'_' + skin + u".ZIP"_s; // as the program names it
            QVERIFY(kvr::writeZip(package.chopped(4) + u".zip"_s, {{"P" + slot.toLatin1() + ".TPC", skin.toUtf8()}}));
            const QString named = ws.programFolder() + u"/KVRSI.INI.journal-"_s + name;
            QVERIFY(QFile::rename(
                kvr::writeJournal({kvr::ChangePlan::Kind::Install, slot, skin, package, ws.gameFolder()}, ini), named));
            const timespec times[2] = {{++written, 0}, {written, 0}};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(named).constData(), times, 0), 0);
        };
        dead(u"MOSQ"_s, u"A"_s, u"ff"_s);
        dead(u"HURR"_s, u"A"_s, u"ee"_s);
        dead(u"MOSQ"_s, u"B"_s, u"00"_s);
        kvr::finishInterruptedChanges(ini);
        QCOMPARE(skinOf(u"MOSQ"_s), u"B"_s);
        QCOMPARE(skinOf(u"HURR"_s), u"A"_s);

        dead(u"MOSQ"_s, u"A"_s, u"11"_s);
        dead(u"HURR"_s, u"B"_s, u"22"_s);
        changeMosq(ws, u"B"_s);
        QCOMPARE(leftoversBeside(ws), QStringList({u"KVRSI.INI.journal-22"_s}));
        kvr::finishInterruptedChanges(ini);
        QCOMPARE(skinOf(u"HURR"_s), u"B"_s);
        dead(u"HURR"_s, u"A"_s, u"33"_s);
        kvr::resetSlots(ws.gameFolder(), ini);
        QCOMPARE(leftoversBeside(ws), QStringList());
    }

    void journalActedOnOnlyWhenValid_data()
    {
        // {game} and {skins} stand for the workspace's folders, as the settings name them. Values are
        // written percent-encoded, as the program writes them; a '%' in them is written as it is.
        QTest::addColumn<QString>("lines"); // between the header and "end", '|' between lines
        const QString install = u"kind=install|slot=MOSQ|skin=Sqn105|package={skins}/MOSQ_Sqn105.ZIP|game={game}"_s;
        QTest::newRow("slot code in lower case") << QString(install).replace(u"MOSQ"_s, u"mosq"_s);
        QTest::newRow("unknown kind") << QString(install).replace(u"install"_s, u"remove"_s);
        QTest::newRow("another game folder") << QString(install).replace(u"={game}"_s, u"={skins}"_s);
        QTest::newRow("skin with a folder part") << u"kind=install|slot=MOSQ|skin=../x|package=|game={game}"_s;
        QTest::newRow("skin of two lines") << u"kind=install|slot=MOSQ|skin=a\nb|package=|game={game}"_s;
        QTest::newRow("empty skin") << u"kind=install|slot=MOSQ|skin=|package=|game={game}"_s;
        QTest::newRow("package outside the skins folder") << QString(install).replace(u"{skins}/"_s, u"{game}/"_s);
        QTest::newRow("package for (Default)")
            << u"kind=install|slot=MOSQ|skin=(Default)|package={skins}/MOSQ_(Default).ZIP|game={game}"_s;
        QTest::newRow("reset with a slot line") << u"kind=reset|slot=*|game={game}"_s;
        QTest::newRow("a line twice") << install + u"|slot=MOSQ"_s;
        QTest::newRow("a value not UTF-8") << u"kind=install|slot=MOSQ|skin=Sqn%FF|package=|game={game}"_s;
        QTest::newRow("an unknown line") << install + u"|undo=all"_s;
        QTest::newRow("a line lacking") << QString(install).replace(u"|package={skins}/MOSQ_Sqn105.ZIP"_s, QString());
    }

    // A journal found at start is carried out only when the program could have written it; any
    // other is set aside under a name that says so, and nothing is deleted or recorded for it.
    void journalActedOnOnlyWhenValid()
    {
        QFETCH(QString, lines);
        kvrtest::Workspace ws;
        QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"MOSQ=Old"_s})));
        const QStringList files{u"PATCH.EXE"_s, u"PILOTS.CFG"_s, u"PMOSQ_old.tpc"_s, u"Player.dat"_s};
        for (const QString& name : files)
            QVERIFY(writeFile(ws.gameFolder() + u'/' + name, "theirs"_ba));
        QVERIFY(kvr::writeZip(ws.skinsFolder() + u"/MOSQ_Sqn105.zip"_s, {{"PMOSQ_new.tpc", "new"}}));
        QByteArray journal = "KVRSI journal 2\n";
        for (const QString& line : lines.split(u'|')) {
            QString value = line.section(u'=', 1);
            value.replace(u"{game}"_s, ws.gameFolder()).replace(u"{skins}"_s, ws.skinsFolder());
            journal +=
                line.section(u'=', 0, 0).toUtf8() + '=' + value.toUtf8().toPercentEncoding().replace("%25", "%") + '\n';
        }
        journal += "end\n";
        QVERIFY(writeFile(ws.programFolder() + u"/KVRSI.INI.journal-5e"_s, journal));
        const QByteArray settings = readFile(ws.iniPath());

        kvr::finishInterruptedChanges(kvr::Modulo::settingsPath());
        QCOMPARE(leftoversBeside(ws), QStringList({u"KVRSI.INI.journal-5e.damaged"_s}));
        QCOMPARE(readFile(ws.programFolder() + u"/KVRSI.INI.journal-5e.damaged"_s), journal);
        QCOMPARE(filesIn(ws.gameFolder()), files);
        QCOMPARE(readFile(ws.iniPath()), settings);
        kvr::finishInterruptedChanges(kvr::Modulo::settingsPath()); // set aside for good
        QCOMPARE(leftoversBeside(ws), QStringList({u"KVRSI.INI.journal-5e.damaged"_s}));
    }

    void refusedPackageChangesNothing_data()
    {
        QTest::addColumn<bool>("onlyWhole"); // as the report's Reinstall asks
        // The list was filled before the package went: the slot is cleared and the name recorded.
        QTest::newRow("vanished, as chosen in a list") << false;
        QTest::newRow("vanished, reinstalled") << true;
    }

    // Checked before the first delete: a package the library would refuse costs the slot nothing.
    void refusedPackageChangesNothing()
    {
        QFETCH(bool, onlyWhole);
        kvrtest::Workspace ws;
        QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"MOSQ=Old"_s})));
        QVERIFY(writeFile(ws.gameFolder() + u"/PMOSQ_old.tpc"_s, "old"_ba));
        const QByteArray settings = readFile(ws.iniPath());
        const auto begun =
            changeMosq(ws, u"New"_s, onlyWhole ? kvr::PackageRule::OnlyWhole : kvr::PackageRule::AsChosen);
        if (!onlyWhole) {
            QCOMPARE(begun, kvr::SlotChange::Begun::Yes);
            QCOMPARE(skinOf(u"MOSQ"_s), u"New"_s);
            QVERIFY(!filesIn(ws.gameFolder()).contains(u"PMOSQ_old.tpc"_s));
        } else {
            QCOMPARE(begun, kvr::SlotChange::Begun::Refused);
            QCOMPARE(filesIn(ws.gameFolder()), QStringList({u"PMOSQ_old.tpc"_s}));
            QCOMPARE(readFile(ws.iniPath()), settings);
        }
        QCOMPARE(leftoversBeside(ws), QStringList());
    }

    // Locks another program holds: a change that gives up waiting changes nothing; the start leaves
    // a change for the next one and goes on; a settings write gives up after a bounded wait.
    void lockHeldElsewhereNeverHoldsForever()
    {
        kvrtest::Workspace ws;
        QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"MOSQ=Old"_s})));
        QVERIFY(writeFile(ws.gameFolder() + u"/PMOSQ_old.tpc"_s, "old"_ba));
        QVERIFY(kvr::writeZip(ws.skinsFolder() + u"/MOSQ_New.zip"_s, {{"PMOSQ_new.tpc", "new"}}));
        const QString ini = kvr::Modulo::settingsPath();
        const QByteArray settings = readFile(ws.iniPath());

        const kvr::UniqueFd folder(::open(QFile::encodeName(ws.gameFolder()).constData(), O_RDONLY | O_DIRECTORY));
        QVERIFY(folder.isValid() && ::flock(folder.get(), LOCK_EX) == 0);
        int tries = 0;
        const kvr::LockWait previous = kvr::setLockWait([&tries](const QString& waitingFor, const auto& tryLock) {
            tries += int(waitingFor.startsWith(u"Another program is using the game folder"_s)) + int(tryLock());
            return false; // the player cancels
        });
        QCOMPARE(changeMosq(ws, u"New"_s), kvr::SlotChange::Begun::Cancelled);
        QCOMPARE(kvr::resetSlots(ws.gameFolder(), ini), kvr::SlotChange::Begun::Cancelled);
        kvr::setLockWait(previous);
        QCOMPARE(tries, 2);
        QCOMPARE(filesIn(ws.gameFolder()), QStringList({u"PMOSQ_old.tpc"_s}));
        QCOMPARE(readFile(ws.iniPath()), settings);
        QCOMPARE(leftoversBeside(ws), QStringList());

        // Cut short before its delete, the change is left to the start, which does not wait for it.
        const QString journal = ws.programFolder() + u"/KVRSI.INI.journal-7"_s;
        QVERIFY(writeFile(journal, "KVRSI journal 2\nkind=reset\ngame="_ba +
                                       ws.gameFolder().toUtf8().toPercentEncoding() + "\nend\n"_ba));
        kvr::finishInterruptedChanges(ini);
        QCOMPARE(filesIn(ws.gameFolder()), QStringList({u"PMOSQ_old.tpc"_s}));
        QVERIFY(QFile::exists(journal));

        // The settings file (kept elsewhere, through a link) locked: the write is given up
        // silently, the start goes on without removing the temporaries beside it that another
        // writer may still be filling; once the lock is won they go.
        const QString kept = ws.root() + u"/kept/KVRSI.INI"_s;
        QVERIFY(QDir().mkpath(ws.root() + u"/kept"_s) && QFile::rename(ws.iniPath(), kept) &&
                QFile::link(kept, ws.iniPath()));
        QVERIFY(writeFile(kept + u".tmp1a"_s, "maybe live"_ba));
        const kvr::UniqueFd settingsFd(::open(QFile::encodeName(kept).constData(), O_RDONLY));
        QVERIFY(settingsFd.isValid() && ::flock(settingsFd.get(), LOCK_SH) == 0);
        kvr::Modulo::GRABAINI(ini, kvr::SettingsNames::kSkinsSection, u"MOSQ"_s, u"Other"_s);
        QCOMPARE(readFile(ws.iniPath()), settings);
        ::flock(folder.get(), LOCK_UN);
        kvr::finishInterruptedChanges(ini);
        QVERIFY(QFile::exists(kept + u".tmp1a"_s));
        ::flock(settingsFd.get(), LOCK_UN);
        kvr::finishInterruptedChanges(ini);
        QVERIFY(!QFile::exists(kept + u".tmp1a"_s));
        // No settings file to lock: a first write may be filling its temporary.
        QVERIFY(QFile::remove(ws.iniPath()));
        QVERIFY(writeFile(ws.programFolder() + u"/KVRSI.INI.tmp2b"_s, "maybe live"_ba));
        kvr::finishInterruptedChanges(ini);
        QVERIFY(QFile::exists(ws.programFolder() + u"/KVRSI.INI.tmp2b"_s));
    }

    // Two changes on one game folder from two threads: each runs from its lock to its record whole.
    void twoInstallationsNeverInterleave()
    {
        kvrtest::Workspace ws;
        QVERIFY(ws.writeSettings());
        ServiceRecorder services;
        // Every step lies between its change's Journaled and Recorded: a second change open at a
        // Journaled is a step of one falling within the other.
        std::atomic<int> steps{0}, open{0}, overlaps{0};
        const kvr::ChangeProbe previous = kvr::setChangeProbe([&](ChangeStep step) {
            ++steps;
            if (step == ChangeStep::Journaled && ++open != 1)
                ++overlaps;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (step == ChangeStep::Recorded)
                --open;
        });
        std::thread other([&] {
            for (int i = 0; i < 10; ++i)
                kvr::changeSlot(ws.gameFolder(), ws.skinsFolder(), kvr::Modulo::settingsPath(), u"HURR"_s, u"Desert"_s);
        });
        for (int i = 0; i < 10; ++i)
            kvr::resetSlots(ws.gameFolder(), kvr::Modulo::settingsPath());
        other.join();
        kvr::setChangeProbe(previous);
        QCOMPARE(steps.load(), 10 * 4 + 10 * 3);
        QCOMPARE(overlaps.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestInstallationCore)
#include "test_installation_core.moc"
