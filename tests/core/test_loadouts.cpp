// Loadouts and the packs that carry them with their packages: read, checked, applied, exported and added.
#include "history/history.h"
#include "loadouts/loadoutstate.h"
#include "loadouts/pack.h"

#include "loadoutsupport.h"
#include "zipbytes.h"

#include <QDateTime>
#include <QRegularExpression>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using kvrtest::addPackage;
using kvrtest::crc32Of;

namespace {

constexpr size_t kMosq = 6; // slot 7

QByteArray withSlots(const QByteArray& skins, const QByteArray& packages)
{
    return "[Loadout]\r\nName=Desert\r\n[Skins]\r\n"_ba + skins + "[Packages]\r\n"_ba + packages;
}

// The package line naming CODE_skin.zip of these bytes, its CRC and size put off as asked.
QByteArray packageLine(const QByteArray& code, const QByteArray& skin, const QByteArray& bytes, quint32 crcXor = 0,
                       int sizeDelta = 0)
{
    return code + '=' + code + '_' + skin + ".zip|" + QByteArray::number(bytes.size() + sizeDelta) + '|' +
           QByteArray::number(crc32Of(bytes) ^ crcXor, 16) + "\r\n";
}

// A second central record pointed at the first member's local header: two names, one set of bytes.
QByteArray overlapped(QByteArray zip)
{
    const qsizetype first = zip.indexOf("PK\x01\x02");
    const qsizetype second = zip.indexOf("PK\x01\x02", first + 4);
    for (int i = 0; i < 4; ++i)
        zip[second + 42 + i] = 0;
    return zip;
}

} // namespace

class TestLoadouts : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    std::atomic<bool> m_noCancel{false};

    kvr::InstallTarget target() const { return {ws->gameFolder(), ws->skinsFolder(), ws->iniPath()}; }

    QString skins() const { return ws->skinsFolder(); }
    QString packPath() const { return ws->root() + u"/out/Desert.kvrpack"_s; }

    // Slot 7 on Sqn105 with its picture and note, slot 1 on Desert, slot 2 on the game's own.
    kvr::PackWritten exportThree(const std::atomic<bool>& cancel)
    {
        kvrtest::addPackage(skins(), u"MOSQ"_s, u"Sqn105"_s);
        kvrtest::addPackage(skins(), u"HURR"_s, u"Desert"_s);
        if (!kvrtest::writeFile(skins() + u"/sqn105.JPG"_s, "jpeg") ||
            !kvrtest::writeFile(skins() + u"/Sqn105.txt"_s, "note") ||
            !ws->writeSettings(kvrtest::skinsSection({u"MOSQ=Sqn105"_s, u"HURR=Desert"_s, u"SP2A=(Default)"_s})))
            return {};
        kvr::PackageFolder packages(skins());
        kvr::Loadout loadout =
            kvr::currentLoadout(u"Desert"_s, kvr::recordedSkins(ws->iniPath()), packages, m_noCancel, nullptr);
        loadout.sources[kMosq] = u"https://example.org/sqn105"_s;
        QDir().mkpath(ws->root() + u"/out"_s);
        return kvr::writePack(loadout, skins(), packPath(), cancel);
    }

private Q_SLOTS:
    void init() { openProgram(); }
    void cleanup() { closeProgram(); }

    // Each row is a file as a player might hand-edit or break it; slot 7's reading and what else
    // is named as not understood.
    void readsAsFarAsItMakesSense_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("skin");
        QTest::addColumn<QString>("problem");       // part of slot 7's problem; "" when understood
        QTest::addColumn<QString>("notUnderstood"); // part of the lines listed as not understood
        const auto row = [](const char* name, const QByteArray& bytes, const QString& skin, const QString& problem = {},
                            const QString& notUnderstood = {}) {
            QTest::newRow(name) << bytes << skin << problem << notUnderstood;
        };
        // A file recording slot 7 as `skin`, with this package line ("" for none).
        const auto mosq = [](const QByteArray& skin, const QByteArray& package) {
            return withSlots("MOSQ=" + skin + "\r\n", package.isEmpty() ? QByteArray() : "MOSQ=" + package + "\r\n");
        };
        const QByteArray good = "MOSQ_Sqn105.zip|4194304|1A2B3C4D";
        row("as written", mosq("Sqn105", good), u"Sqn105"_s);
        row("hand edited",
            "; mine\n[ loadout ]\n Name = Desert \n[skins]\nmosq =  Sqn105 \n"
            "[PACKAGES]\nMosq = mosq_SQN105.ZIP | 4194304 | 1a2b3c4d\n"_ba,
            u"Sqn105"_s);
        row("default needs no package", mosq("(Default)", {}), u"(Default)"_s);
        row("unknown slot and section",
            withSlots("MOSQ=Sqn105\r\nSPIT=Mk1\r\n", "MOSQ=" + good + "\r\n") + "[Extra]\r\nx=1\r\n", u"Sqn105"_s, {},
            u"line 5: no slot has the code \"SPIT\"\nline 8: an unknown section [Extra]"_s);
        row("one quote mark", mosq("'", "MOSQ_'.zip|4194304|1A2B3C4D"), u"'"_s);
        row("same first and last letter", mosq("SkinS", "MOSQ_SkinS.zip|4194304|1A2B3C4D"), u"SkinS"_s);
        row("in quotes", mosq("\"'Sqn'\"", {}), u"'Sqn'"_s, u"is in quotes"_s);
        row("slash in skin", mosq("../x", "MOSQ_../x.zip|1|1"), u"../x"_s, u"holds / or \\ or .."_s);
        row("package outside the folder", mosq("Sqn105", "../../etc/passwd|1|1"), u"Sqn105"_s,
            u"not named MOSQ_Sqn105.zip"_s);
        row("crc not a number", mosq("Sqn105", "MOSQ_Sqn105.zip|12|xyz"), u"Sqn105"_s,
            u"CRC is not a hexadecimal number"_s);
        row("crc too long", mosq("Sqn105", "MOSQ_Sqn105.zip|12|123456789"), u"Sqn105"_s, u"CRC is not"_s);
        row("negative size", mosq("Sqn105", "MOSQ_Sqn105.zip|-5|1"), u"Sqn105"_s, u"size is not a number"_s);
        row("skin too long", mosq(QByteArray(300, 'k'), {}), QString(254, u'k'), u"longer than 254 characters"_s);
        row("zero in skin", mosq("Sq\0n"_ba, {}), u"Sq"_s, u"zero character"_s);
        row("truncated", "[Loadout]\r\nName=T\r\n[Skins]\r\nMOSQ=Sqn1"_ba, u"Sqn1"_s, u"no package line"_s);
        row("CR line ends", QByteArray(mosq("Sqn105", good)).replace("\r\n", "\r"), u"Sqn105"_s);
        const QString text = QString::fromLatin1(mosq("Sqn105", good));
        row("UTF-16 with its mark",
            "\xFF\xFE"_ba + QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2), u"Sqn105"_s);
        row("bar in the skin", mosq("a|b", "MOSQ_a|b.zip|4194304|1A2B3C4D"), u"a|b"_s);
        row("binary", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe"_ba, {}, {}, u"line 1: a line before any section"_s);
    }
    void readsAsFarAsItMakesSense()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, skin);
        QFETCH(QString, problem);
        QFETCH(QString, notUnderstood);
        const kvr::Loadout loadout = kvr::parseLoadout(bytes, u"fallback"_s);
        const kvr::LoadoutSlot& mosq = loadout.entries[kMosq];
        QCOMPARE(mosq.skin, skin);
        QVERIFY2(problem.isEmpty() ? mosq.problem.isEmpty() : mosq.problem.contains(problem), qPrintable(mosq.problem));
        if (mosq.understood() && skin != u"(Default)"_s)
            QCOMPARE(mosq.package.crc, 0x1A2B3C4Du);
        // What is understood is saved as it reads.
        if (mosq.understood())
            QCOMPARE(kvr::parseLoadout(kvr::loadoutBytes(loadout), u"fallback"_s).entries[kMosq], mosq);
        const QString noted = loadout.notUnderstood.join(u'\n');
        QVERIFY2(notUnderstood.isEmpty() ? noted.isEmpty() : noted.contains(notUnderstood), qPrintable(noted));
        QCOMPARE(kvr::looksLikeLoadout(bytes), qstrcmp(QTest::currentDataTag(), "binary") != 0);
    }

    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("usable");
        QTest::newRow("plain") << u"Desert 1941"_s << true;
        QTest::newRow("empty") << u"  "_s << false;
        QTest::newRow("slash") << u"a/b"_s << false;
        QTest::newRow("backslash") << u"a\\b"_s << false;
        QTest::newRow("dot dot") << u".."_s << false;
        QTest::newRow("control") << u"a\tb"_s << false;
        // The file's temporary, ".<name>.kvrloadout.tmp" and eight digits, is a file name too.
        QTest::newRow("longest") << QString(231, u'n') << true;
        QTest::newRow("too long for the temporary") << QString(232, u'n') << false;
        QTest::newRow("too long in two-byte letters") << QString(116, u'é') << false;
    }
    void names()
    {
        QFETCH(QString, name);
        QFETCH(bool, usable);
        QCOMPARE(kvr::loadoutNameProblem(name).isEmpty(), usable);
        // A name in the file that cannot name a loadout gives way to the file's own name.
        const QByteArray bytes = "[Loadout]\r\nName=" + name.toUtf8() + "\r\n";
        QCOMPARE(kvr::parseLoadout(bytes, u"file"_s).name, usable ? name : u"file"_s);
    }

    // What stands at a loadout's path and is refused, with the reason: never read in part, and a
    // pipe never waited on.
    void refusedFiles()
    {
        const QString pipe = ws->root() + u"/Pipe.kvrloadout"_s, folder = ws->root() + u"/Folder.kvrloadout"_s;
        const QString large = ws->root() + u"/Large.kvrloadout"_s;
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(kvrtest::writeFile(large, withSlots("MOSQ=Sqn105\r\n", {}) + QByteArray(kvr::kLoadoutFileMax, ';')));
        QCOMPARE(kvr::readLoadoutFile(pipe, u"Evening"_s).problem, u"it is a pipe, not a file"_s);
        QCOMPARE(kvr::readLoadoutFile(folder, u"Evening"_s).problem, u"it is a folder, not a file"_s);
        const kvr::LoadoutRead read = kvr::readLoadoutFile(large, u"Evening"_s);
        QCOMPARE(read.problem, u"it is larger than 1024 KiB, more than a loadout can be"_s);
        QCOMPARE(read.loadout.entries[kMosq].skin, QString());
    }

    // The skins recorded now, saved, written, read back: the same loadout.
    void savedLoadoutReadsBackTheSame()
    {
        const QByteArray mosq = addPackage(ws->skinsFolder(), u"MOSQ"_s, u"Sqn105"_s);
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"MOSQ=Sqn105"_s, u"HURR=Gone"_s, u"SP2A=(Default)"_s})));
        kvr::PackageFolder packages(ws->skinsFolder());
        QStringList leftOut;
        kvr::Loadout saved =
            kvr::currentLoadout(u"Desert"_s, kvr::recordedSkins(ws->iniPath()), packages, m_noCancel, &leftOut);
        QCOMPARE(leftOut, QStringList{u"Hurricane_I (HURR): Gone"_s});
        QCOMPARE(saved.entries[kMosq].package, (kvr::PackageId{u"MOSQ_Sqn105.zip"_s, mosq.size(), crc32Of(mosq)}));
        QCOMPARE(saved.entries[1].skin, u"(Default)"_s);
        QCOMPARE(saved.entries[29].skin, u"(Default)"_s); // nothing recorded
        QCOMPARE(saved.entries[0].skin, QString());
        // Where a package can be downloaded travels with it; only a web address is taken.
        saved.sources[kMosq] = u"https://example.org/sqn105?a=1&b=2"_s;
        QCOMPARE(kvr::parseLoadout("[Sources]\r\nMOSQ=file:///etc/passwd\r\n", u"x"_s).sources[kMosq], QString());
        // A package replaced by another of the same size is told apart.
        QByteArray other = mosq;
        other[other.size() - 1] = char(~other.back());
        QVERIFY(kvrtest::writeFile(ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s, other));
        QFile(ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s)
            .setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime);
        QCOMPARE(packages.identify(u"mosq_sqn105.ZIP"_s, m_noCancel)->crc, crc32Of(other));

        const QString path = ws->root() + u"/Desert.kvrloadout"_s;
        QVERIFY(kvrtest::writeFile(path, kvr::loadoutBytes(saved)));
        QCOMPARE(kvr::loadoutBytes(saved).count('|'), 2); // a package line for slot 7 alone
        QCOMPARE(kvr::readLoadoutFile(path, u"other"_s).loadout, saved);
    }

    // Slot 7 of a loadout against what is recorded and in the skins folder, and what a pack
    // bringing that loadout shows for it.
    void statusOfEachSlot_data()
    {
        QTest::addColumn<QString>("recorded"); // slot 7's recorded skin
        QTest::addColumn<QString>("skin");     // the loadout's
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("packStatus");
        QTest::addColumn<int>("sizeDelta");
        QTest::addColumn<quint32>("crcXor");
        QTest::addColumn<QString>("detail"); // a pattern of the reason shown, or none
        using S = kvr::SlotStatus;
        using P = kvr::PackStatus;
        const auto row = [](const char* name, const QString& recorded, const QString& skin, S status, P pack,
                            int sizeDelta = 0, quint32 crcXor = 0, const QString& detail = {}) {
            QTest::newRow(name) << recorded << skin << int(status) << int(pack) << sizeDelta << crcXor << detail;
        };
        row("same", u"Sqn105"_s, u"Sqn105"_s, S::Same, P::Same);
        row("will change", u"Old"_s, u"Sqn105"_s, S::WillChange, P::WillChange);
        row("to default", u"Sqn105"_s, u"(Default)"_s, S::WillChange, P::WillChange);
        row("default, nothing recorded", QString(), u"(Default)"_s, S::Same, P::Same);
        row("default already", u"(Default)"_s, u"(Default)"_s, S::Same, P::Same);
        row("missing", u"Old"_s, u"Nope"_s, S::PackageMissing, P::Added);
        row("other size", u"Old"_s, u"Sqn105"_s, S::PackageDiffers, P::Differs, 1, 0,
            uR"(^MOSQ_Sqn105\.zip is \d+ bytes, not \d+$)"_s);
        row("other crc", u"Sqn105"_s, u"Sqn105"_s, S::PackageDiffers, P::Differs, 0, 1,
            uR"(^MOSQ_Sqn105\.zip is \d+ bytes, CRC [0-9A-F]{8}, not \d+ bytes, CRC [0-9A-F]{8}$)"_s);
        row("recorded skin gone", u"Nope"_s, u"Nope"_s, S::SkinGone, P::Added);
        row("not understood", u"Old"_s, u"a/b"_s, S::NotUnderstood, P::NotInPack);
        row("not in loadout", u"Old"_s, QString(), S::NotInLoadout, P::NotInPack);
    }
    void statusOfEachSlot()
    {
        QFETCH(QString, recorded);
        QFETCH(QString, skin);
        QFETCH(int, status);
        QFETCH(int, packStatus);
        QFETCH(int, sizeDelta);
        QFETCH(quint32, crcXor);
        QFETCH(QString, detail);
        const QByteArray package = addPackage(ws->skinsFolder(), u"MOSQ"_s, u"Sqn105"_s);
        QVERIFY(ws->writeSettings(recorded.isNull() ? QByteArray() : kvrtest::skinsSection({u"MOSQ="_s + recorded})));
        kvr::Pack pack;
        pack.loadout = kvr::parseLoadout(
            withSlots("MOSQ=" + skin.toUtf8() + "\r\n", packageLine("MOSQ", skin.toUtf8(), package, crcXor, sizeDelta)),
            u"x"_s);
        kvr::PackageFolder packages(ws->skinsFolder());
        const auto recordedNow = kvr::recordedSkins(ws->iniPath());
        const kvr::LoadoutCheck checks = kvr::checkLoadout(pack.loadout, recordedNow, packages, m_noCancel);
        QCOMPARE(kvr::statusText(checks[kMosq].status), kvr::statusText(kvr::SlotStatus(status)));
        QVERIFY2(QRegularExpression(detail).match(checks[kMosq].detail).hasMatch(), qPrintable(checks[kMosq].detail));
        QCOMPARE(kvr::packStatusText(kvr::comparePack(pack, recordedNow, packages, m_noCancel)[kMosq].status),
                 kvr::packStatusText(kvr::PackStatus(packStatus)));
    }

    // Slots 1 and 7 change, 2's package differs, 8's is missing; a cancel after the first change
    // leaves it whole and the next ones untouched (2's package is read only in its turn). A package
    // replaced before its turn is skipped; one replaced after its check is installed as checked.
    void applyChangesTheSlotsThatDiffer_data()
    {
        QTest::addColumn<bool>("applyAnyway");
        // 1: cancel after the first change (the Loadouts window's test cancels a wait for the game
        // folder); 3: 7's package replaced after the first change; 4: replaced just after its
        // check (a history that cannot keep an old file is the command line's test)
        QTest::addColumn<int>("event");
        QTest::addColumn<QString>("outcomes"); // slot number and kind, in slot order
        QTest::addColumn<QString>("recorded"); // slots 1, 2, 7, 8 after
        QTest::addColumn<QString>("summary");  // a part of it
        QTest::newRow("skips missing and differing")
            << false << 0 << u"1 changed, 2 skipped, 7 changed, 8 skipped"_s << u"Desert Old Sqn105 Old"_s
            << u"\n    P51_B (P51B) Gone: package missing: P51B_Gone.zip is not in the skins folder"_s;
        QTest::newRow("apply anyway")
            << true << 0 << u"1 changed, 2 changed, 7 changed, 8 skipped"_s << u"Desert Sand Sqn105 Old"_s
            << u"Loadout \"x\": 3 of its slots changed.\n\nChanged:\n    Hurricane_I (HURR) "
               u"Desert\n    Spitfire_Ia (SP2A) Sand\n    Mosquito_VI (MOSQ) Sqn105\n\nSkipped:"
               u"\n    P51_B (P51B) Gone: package missing: P51B_Gone.zip is not in the skins folder"_s;
        QTest::newRow("cancelled")
            << false << 1 << u"1 changed, 2 not reached, 7 not reached, 8 skipped"_s << u"Desert Old Old Old"_s
            << u"\n\nCancelled, not changed:\n    Spitfire_Ia (SP2A) Sand\n    Mosquito_VI (MOSQ) Sqn105"_s;
        QTest::newRow("replaced before its turn")
            << false << 3 << u"1 changed, 2 skipped, 7 skipped, 8 skipped"_s << u"Desert Old Old Old"_s
            << u"\n    Mosquito_VI (MOSQ) Sqn105: package differs: MOSQ_Sqn105.zip is "_s;
        QTest::newRow("replaced after its check") << false << 4 << u"1 changed, 2 skipped, 7 changed, 8 skipped"_s
                                                  << u"Desert Old Sqn105 Old"_s << u"Changed:"_s;
    }
    void applyChangesTheSlotsThatDiffer()
    {
        QFETCH(bool, applyAnyway);
        QFETCH(int, event);
        QFETCH(QString, outcomes);
        QFETCH(QString, recorded);
        QFETCH(QString, summary);
        const bool mosqChanged = event == 0 || event == 4;
        const QByteArray hurr = addPackage(ws->skinsFolder(), u"HURR"_s, u"Desert"_s);
        const QByteArray sp2a = addPackage(ws->skinsFolder(), u"SP2A"_s, u"Sand"_s);
        const QByteArray mosq = addPackage(ws->skinsFolder(), u"MOSQ"_s, u"Sqn105"_s);
        QVERIFY(ws->writeSettings(
            kvrtest::skinsSection({u"HURR=Old"_s, u"SP2A=Old"_s, u"MOSQ=Old"_s, u"P51B=Old"_s, u"TYPH=(Default)"_s})));
        QVERIFY(kvrtest::writeFile(ws->gameFolder() + u"/PMOSQ_OLD.TPC"_s, "old"_ba));
        // Applied anyway, 2's package differs in size too: known before its turn, and changed all the same.
        const kvr::Loadout loadout = kvr::parseLoadout(
            withSlots("HURR=Desert\r\nSP2A=Sand\r\nMOSQ=Sqn105\r\nP51B=Gone\r\nTYPH=(Default)\r\n",
                      packageLine("HURR", "Desert", hurr) + packageLine("SP2A", "Sand", sp2a, 1, applyAnyway ? 1 : 0) +
                          packageLine("MOSQ", "Sqn105", mosq) + packageLine("P51B", "Gone", mosq)),
            u"x"_s);

        std::atomic<bool> cancelled{false};
        QList<int> progress;
        // Another package of the same size takes MOSQ's name.
        const QString mosqPath = ws->skinsFolder() + u"/MOSQ_Sqn105.zip"_s;
        const auto replaceMosq = [&] {
            QVERIFY(kvr::writeZip(mosqPath + u".new"_s, {{"PMOSQ.TPC", "Sqn106"}, {"notes.txt", "Sqn106"}}));
            QCOMPARE(QFileInfo(mosqPath + u".new"_s).size(), mosq.size());
            QVERIFY(::rename(QFile::encodeName(mosqPath + u".new"_s).constData(),
                             QFile::encodeName(mosqPath).constData()) == 0);
        };
        int journaled = 0;
        const kvr::ChangeProbe probe = kvr::setChangeProbe([&](kvr::ChangeStep step) {
            if (event == 4 && step == kvr::ChangeStep::Journaled && ++journaled == 2)
                replaceMosq();
        });
        const kvr::ApplyResult result =
            kvr::applyLoadout(loadout, target(), applyAnyway, cancelled, [&](int done, int total) {
                progress << done << total;
                if (event == 1 && done == 1)
                    cancelled = true;
                if (event == 3 && done == 1)
                    replaceMosq();
            });
        kvr::setChangeProbe(probe);
        QStringList got;
        for (const kvr::SlotOutcome& o : result.outcomes)
            got << QString::number(o.number) + (o.kind == kvr::SlotOutcome::Kind::Changed   ? u" changed"_s
                                                : o.kind == kvr::SlotOutcome::Kind::Skipped ? u" skipped"_s
                                                                                            : u" not reached"_s);
        QCOMPARE(got.join(u", "_s), outcomes);
        QCOMPARE(result.cancelled, event == 1);
        QVERIFY2(kvr::applySummary(u"x"_s, result).contains(summary), qPrintable(kvr::applySummary(u"x"_s, result)));
        QCOMPARE(progress.mid(0, 4), (QList<int>{0, 3, 1, 3}));
        const auto now = kvr::recordedSkins(ws->iniPath());
        QCOMPARE((QStringList{now[0], now[1], now[6], now[7]}).join(u' '), recorded);
        // A finished slot is whole; the one not reached keeps its files.
        QVERIFY(QFile::exists(ws->gameFolder() + u"/PHURR.TPC"_s));
        QCOMPARE(QFile::exists(ws->gameFolder() + u"/PMOSQ_OLD.TPC"_s), !mosqChanged);
        QCOMPARE(kvrtest::readFile(ws->gameFolder() + u"/PMOSQ.TPC"_s), mosqChanged ? "Sqn105"_ba : ""_ba);
        // What was done is one entry of the history, which one undo takes back (the history's own matter).
        const QList<kvr::HistoryEntry> entries = kvr::HistoryStore(ws->iniPath()).entries(ws->gameFolder());
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].kind, u"loadout"_s);
        QCOMPARE(entries[0].slots.size(), result.changed());
    }

    // The pack holds the packages stored as they are, their picture and note, and the loadout;
    // read back it names the same packages.
    void exportsTheLoadoutWithItsPackages()
    {
        const kvr::PackWritten written = exportThree(m_noCancel);
        QVERIFY2(written.written, qPrintable(written.problem));
        QCOMPARE(kvrtest::zipMembers(packPath(), true),
                 (QStringList{u"Desert.kvrloadout"_s, u"HURR_Desert.zip"_s, u"MOSQ_Sqn105.zip"_s, u"Sqn105.jpg"_s,
                              u"Sqn105.txt"_s}));
        QCOMPARE(kvrtest::filesIn(ws->root() + u"/out"_s), QStringList{u"Desert.kvrpack"_s});
        const kvr::Pack pack = kvr::readPack(packPath());
        QVERIFY2(pack.ok(), qPrintable(pack.problem));
        kvr::PackageFolder packages(skins());
        QCOMPARE(pack.loadout.entries[kMosq].package, *packages.identify(u"MOSQ_Sqn105.zip"_s, m_noCancel));
        QCOMPARE(pack.loadout.entries[1].skin, u"(Default)"_s);
        QCOMPARE(pack.loadout.sources[kMosq], u"https://example.org/sqn105"_s);
        // A package gone from the skins folder at the export leaves its slot out of the pack.
        QVERIFY(QFile::remove(skins() + u"/HURR_Desert.zip"_s));
        QCOMPARE(kvr::writePack(pack.loadout, skins(), packPath(), m_noCancel).leftOut,
                 QStringList{u"Hurricane_I (HURR): Desert"_s});

        // Cancelled, the export leaves no pack.
        QVERIFY(QFile::remove(packPath()));
        const kvr::PackWritten cancelled = exportThree(std::atomic<bool>{true});
        QVERIFY(cancelled.cancelled && !cancelled.written);
        QCOMPARE(kvrtest::filesIn(ws->root() + u"/out"_s), QStringList());
    }

    // The player's package of the same name stays; the pack's comes in beside it or not at all.
    void addsPackagesNeverOverwriting_data()
    {
        QTest::addColumn<bool>("freeName");
        QTest::addColumn<QStringList>("files"); // the skins folder after
        QTest::addColumn<QString>("skin");      // slot 7's in the loadout to add
        QTest::newRow("free name") << true
                                   << QStringList{u"HURR_Desert.zip"_s, u"MOSQ_Sqn105 (2).zip"_s, u"MOSQ_Sqn105.zip"_s,
                                                  u"Sqn105 (2).jpg"_s, u"Sqn105 (2).txt"_s}
                                   << u"Sqn105 (2)"_s;
        QTest::newRow("skip") << false << QStringList{u"HURR_Desert.zip"_s, u"MOSQ_Sqn105.zip"_s} << u"Sqn105"_s;
    }
    void addsPackagesNeverOverwriting()
    {
        QFETCH(bool, freeName);
        QFETCH(QStringList, files);
        QFETCH(QString, skin);
        QVERIFY(exportThree(m_noCancel).written);
        for (const QString& f : kvrtest::filesIn(skins()))
            QVERIFY(QFile::remove(skins() + u'/' + f));
        const QByteArray mine = kvrtest::addPackage(skins(), u"MOSQ"_s, u"Sqn105"_s, "mine");

        const kvr::Pack pack = kvr::readPack(packPath());
        const kvr::PackAdded added = kvr::addPackPackages(
            pack, skins(), freeName ? kvr::DifferingPackage::AddUnderFreeName : kvr::DifferingPackage::Skip,
            m_noCancel);
        QCOMPARE(kvrtest::filesIn(skins()), files);
        QCOMPARE(kvrtest::readFile(skins() + u"/MOSQ_Sqn105.zip"_s), mine);
        QCOMPARE(added.loadout.entries[kMosq].skin, skin);
        QCOMPARE(added.notAdded.size(), freeName ? 0 : 1);
        // The loadout added applies to what the skins folder holds now.
        kvr::PackageFolder packages(skins());
        const kvr::LoadoutCheck checks =
            kvr::checkLoadout(added.loadout, kvr::recordedSkins(ws->iniPath()), packages, m_noCancel);
        QCOMPARE(kvr::statusText(checks[kMosq].status),
                 kvr::statusText(freeName ? kvr::SlotStatus::WillChange : kvr::SlotStatus::PackageDiffers));

        // A cancel part way leaves the skins folder as it was.
        QVERIFY(QFile::remove(skins() + u"/HURR_Desert.zip"_s));
        std::atomic<bool> cancel{false};
        const QStringList before = kvrtest::filesIn(skins());
        const kvr::PackAdded cancelled = kvr::addPackPackages(pack, skins(), kvr::DifferingPackage::AddUnderFreeName,
                                                              cancel, [&](qint64 done, qint64) { cancel = done > 0; });
        QVERIFY(cancelled.cancelled);
        QCOMPARE(kvrtest::filesIn(skins()), before);
    }

    void refusesBadPacks_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("problem");
        const QByteArray loadout = "[Loadout]\r\nName=Desert\r\n"_ba;
        const QByteArray package = "PK\x05\x06" + QByteArray(18, '\0'); // an empty ZIP is package enough here
        const QTemporaryDir dir;                                        // the data come before init()
        const auto pack = [&](QList<kvr::ZipMember> members) {
            const QString path = dir.filePath(u"made.zip"_s);
            return kvr::writeZip(path, members) ? kvrtest::readFile(path) : QByteArray();
        };
        const auto row = [](const char* name, const QByteArray& bytes, const QString& problem) {
            QTest::newRow(name) << bytes << problem;
        };
        row("not a zip", "[Loadout]\r\n"_ba, u"is not a ZIP archive"_s);
        row("folder", pack({{"Desert.kvrloadout", loadout}, {"skins/MOSQ_Sqn105.zip", package}}),
            u"holds folders (skins/MOSQ_Sqn105.zip)"_s);
        row("dot dot", pack({{"Desert.kvrloadout", loadout}, {"../MOSQ_Sqn105.zip", package}}),
            u"has a member named with .. (../MOSQ_Sqn105.zip)"_s);
        row("absolute", pack({{"/etc/Desert.kvrloadout", loadout}}),
            u"has a member with an absolute name (/etc/Desert.kvrloadout)"_s);
        row("not a package name", pack({{"Desert.kvrloadout", loadout}, {"SPIT_Mk1.zip", package}}),
            u"holds SPIT_Mk1.zip, which is not named as a package, <CODE>_<skin name>.zip"_s);
        row("other file", pack({{"Desert.kvrloadout", loadout}, {"setup.exe", "MZ"}}),
            u"holds setup.exe, which is no package, picture or note"_s);
        row("stray picture", pack({{"Desert.kvrloadout", loadout}, {"Other.jpg", "jpeg"}}),
            u"holds Other.jpg, which is no package's picture or note"_s);
        row("no loadout", pack({{"MOSQ_Sqn105.zip", package}}), u"holds no loadout"_s);
        row("two loadouts", pack({{"Desert.kvrloadout", loadout}, {"Other.kvrloadout", loadout}}),
            u"holds two loadouts"_s);
        row("bomb", pack({{"Desert.kvrloadout", loadout}, {"MOSQ_Sqn105.zip", QByteArray(8 << 20, '\0')}}),
            u"is a ZIP bomb: MOSQ_Sqn105.zip unpacks to 8388608 bytes"_s);
        row("over the caps", pack({{"Desert.kvrloadout", QByteArray(kvr::kLoadoutFileMax + 1, ';'), ZIP_CM_STORE}}),
            u"holds Desert.kvrloadout, larger than the import takes (1048577 bytes)"_s);
        row("overlapping",
            overlapped(pack({{"MOSQ_Sqn105.zip", package, ZIP_CM_STORE}, {"Desert.kvrloadout", loadout}})),
            u"has members that share their bytes, the shape of a ZIP bomb"_s);
        row("package not held",
            pack({{"Desert.kvrloadout",
                   loadout + "[Skins]\r\nMOSQ=Sqn105\r\n[Packages]\r\nMOSQ=MOSQ_Sqn105.zip|22|0\r\n"}}),
            u"has a loadout naming MOSQ_Sqn105.zip, which the pack does not hold"_s);
        row("package of another crc",
            pack({{"Desert.kvrloadout",
                   loadout + "[Skins]\r\nMOSQ=Sqn105\r\n[Packages]\r\nMOSQ=MOSQ_Sqn105.zip|22|1\r\n"},
                  {"MOSQ_Sqn105.zip", package}}),
            u"has a loadout naming MOSQ_Sqn105.zip, which the pack does not hold"_s);
        const QByteArray junk = "not a zip";
        const QByteArray junkCrc = QByteArray::number(kvrtest::crc32Of(junk), 16);
        row("package the installer refuses",
            pack({{"Desert.kvrloadout",
                   loadout + "[Skins]\r\nMOSQ=Sqn105\r\n[Packages]\r\nMOSQ=MOSQ_Sqn105.zip|9|" + junkCrc + "\r\n"},
                  {"MOSQ_Sqn105.zip", junk, ZIP_CM_STORE}}),
            {});
        row("loadout not understood", pack({{"Desert.kvrloadout", loadout + "[Skins]\r\nMOSQ=a/b\r\n"}}),
            u"has a loadout whose slot MOSQ is not understood: the skin name holds / or \\ or .."_s);
    }
    void refusesBadPacks()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, problem);
        QVERIFY(kvrtest::writeFile(packPath(), bytes));
        const kvr::Pack pack = kvr::readPack(packPath());
        QCOMPARE(pack.problem, problem);
        // Nothing is added from a refused pack, nor a package the installer would refuse.
        const kvr::PackAdded added =
            kvr::addPackPackages(pack, skins(), kvr::DifferingPackage::AddUnderFreeName, m_noCancel);
        QVERIFY(added.added.isEmpty());
        QCOMPARE(kvrtest::filesIn(skins()), QStringList());
        if (problem.isEmpty())
            QVERIFY2(added.notAdded.value(0).startsWith(u"MOSQ_Sqn105.zip: refused: "_s),
                     qPrintable(added.notAdded.join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestLoadouts)
#include "test_loadouts.moc"
