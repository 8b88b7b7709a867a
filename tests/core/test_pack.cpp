#include "loadouts/pack.h"

#include "loadoutsupport.h"
#include "zipbytes.h"

using namespace Qt::StringLiterals;

namespace {

constexpr size_t kMosq = 6; // slot 7

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

class TestPack : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    std::atomic<bool> m_noCancel{false};

    QString skins() const { return ws->skinsFolder(); }
    QString packPath() const { return ws->root() + u"/out/Desert.kvrpack"_s; }

    // The skins recorded now, as a loadout.
    kvr::Loadout current(const QStringList& skinLines)
    {
        if (!ws->writeSettings(kvrtest::skinsSection(skinLines)))
            return {};
        kvr::PackageFolder packages(skins());
        return kvr::currentLoadout(u"Desert"_s, kvr::recordedSkins(ws->iniPath()), packages, m_noCancel, nullptr);
    }

    // Slot 7 on Sqn105 with its picture and note, slot 1 on Desert, slot 2 on the game's own.
    kvr::PackWritten exportThree(const std::atomic<bool>& cancel)
    {
        kvrtest::addPackage(skins(), u"MOSQ"_s, u"Sqn105"_s);
        kvrtest::addPackage(skins(), u"HURR"_s, u"Desert"_s);
        if (!kvrtest::writeFile(skins() + u"/sqn105.JPG"_s, "jpeg") ||
            !kvrtest::writeFile(skins() + u"/Sqn105.txt"_s, "note"))
            return {};
        kvr::Loadout loadout = current({u"MOSQ=Sqn105"_s, u"HURR=Desert"_s, u"SP2A=(Default)"_s});
        loadout.sources[kMosq] = u"https://example.org/sqn105"_s;
        QDir().mkpath(ws->root() + u"/out"_s);
        return kvr::writePack(loadout, skins(), packPath(), cancel);
    }

private Q_SLOTS:
    void init() { openProgram(); }
    void cleanup() { closeProgram(); }

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

        // Cancelled, the export leaves no pack.
        QVERIFY(QFile::remove(packPath()));
        const kvr::PackWritten cancelled = exportThree(std::atomic<bool>{true});
        QVERIFY(cancelled.cancelled && !cancelled.written);
        QCOMPARE(kvrtest::filesIn(ws->root() + u"/out"_s), QStringList());
    }

    // The receiver's slot 7 against the pack's Sqn105: the statuses the Pack window's test does not reach.
    void comparesEachSlot_data()
    {
        QTest::addColumn<QString>("recorded");  // the receiver's slot 7
        QTest::addColumn<QByteArray>("theirs"); // the receiver's MOSQ_Sqn105.zip holds this after the skin; null: none
        QTest::addColumn<int>("status");
        using S = kvr::PackStatus;
        QTest::newRow("added, recorded gone") << u"Sqn105"_s << QByteArray() << int(S::Added);
        QTest::newRow("differs") << u"Sqn105"_s << "repainted"_ba << int(S::Differs);
    }
    void comparesEachSlot()
    {
        QFETCH(QString, recorded);
        QFETCH(QByteArray, theirs);
        QFETCH(int, status);
        QVERIFY(exportThree(m_noCancel).written);
        // A package gone from the skins folder at the export leaves its slot out of the pack.
        const kvr::Loadout saved = kvr::readPack(packPath()).loadout;
        QVERIFY(QFile::remove(skins() + u"/HURR_Desert.zip"_s));
        const kvr::PackWritten written = kvr::writePack(saved, skins(), packPath(), m_noCancel);
        QCOMPARE(written.leftOut, QStringList{u"Hurricane_I (HURR): Desert"_s});
        QVERIFY(QFile::remove(skins() + u"/MOSQ_Sqn105.zip"_s));
        if (!theirs.isNull())
            kvrtest::addPackage(skins(), u"MOSQ"_s, u"Sqn105"_s, theirs);
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"MOSQ="_s + recorded})));
        const kvr::Pack pack = kvr::readPack(packPath());
        kvr::PackageFolder packages(skins());
        const kvr::PackComparison compared =
            kvr::comparePack(pack, kvr::recordedSkins(ws->iniPath()), packages, m_noCancel);
        QCOMPARE(kvr::packStatusText(compared[kMosq].status), kvr::packStatusText(kvr::PackStatus(status)));
        QCOMPARE(kvr::packStatusText(compared[0].status), u"not in the pack"_s);
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

QTEST_GUILESS_MAIN(TestPack)
#include "test_pack.moc"
