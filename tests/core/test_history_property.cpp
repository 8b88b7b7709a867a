// Random sequences of installs, "(Default)", resets, undos, restores and files placed by hand (some
// read-only) in a game folder with the game's own files. After every undo of the newest change the
// folder equals its snapshot from before it when nothing was placed by hand since, and the
// settings name the skins of before it. A write failing at any step of an undo leaves folder
// and settings as they were and records nothing. Every byte the program ever saw is still in the
// folder or in the history under its own hash.
// KVR_HISTORY_SEED=<n> repeats a run.
#include "historysupport.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#include <memory>

using namespace Qt::StringLiterals;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

// Packages as CODE_skin -> members.
const QList<QPair<QString, QList<QByteArray>>> kPackages = {
    {u"MOSQ_A"_s, {"PMOSQ.TPC", "PMOSQ_A.TPC", "readme.txt"}},
    {u"MOSQ_B"_s, {"pmosq.tpc", "PMOSQ_B.3DZ"}},
    {u"HURR_C"_s, {"PHURR.TPC", "readme.txt", "PHURR_C.TPC"}},
};

} // namespace

class TestHistoryProperty : public QObject, kvrtest::HistoryFixture
{
    Q_OBJECT

    QRandomGenerator m_random;
    Snapshot m_now;                                  // the folder after the last step
    QMap<qint64, Snapshot> m_before;                 // entry -> the folder before it
    QMap<qint64, QSet<QByteArray>> m_settingsBefore; // entry -> the settings before it
    bool m_byHandSinceNewest = false;
    QSet<QString> m_everSeen;                      // hashes
    int m_undosChecked = 0, m_failuresPlanted = 0; // a run that reaches too few of them proves nothing

    // The settings' lines, in no order: an undo may put a key back in another place.
    QSet<QByteArray> settings() const
    {
        const QByteArrayList lines = readFile(ini()).split('\n');
        return {lines.begin(), lines.end()};
    }

    void startSequence()
    {
        closeHistoryProgram();
        openHistoryProgram();
        for (const auto& [name, members] : kPackages)
            package(name.mid(5), members, {}, name.left(4));
        m_now = snapshot(game());
        m_before.clear();
        m_settingsBefore.clear();
        m_everSeen.clear();
    }

    // A slot file and a file of the player's own placed by hand, and a slot file made read-only.
    void placeByHand(int step)
    {
        const QString tag = QString::number(step);
        QVERIFY(writeFile(game() + u"/PMOSQ_hand"_s + tag + u".TPC"_s, "by hand " + tag.toUtf8()));
        QVERIFY(writeFile(game() + u"/notes"_s + tag + u".txt"_s, "notes " + tag.toUtf8()));
        const QStringList slotFiles = QDir(game()).entryList({u"P*"_s}, QDir::Files);
        QVERIFY(QFile::setPermissions(game() + u'/' + slotFiles.at(m_random.bounded(int(slotFiles.size()))),
                                      QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        m_now = snapshot(game());
        m_byHandSinceNewest = true;
    }

    // Undoes the newest change, or restores the folder to before an entry. Failing, each write
    // fails in turn, the run reaching no failure being the undo: until then nothing changes and
    // nothing is recorded.
    void undo(const kvr::HistoryEntry& target, const QString& kind, const QSet<QByteArray>& settingsNow, bool failing)
    {
        const QStringList entriesBefore = entryFiles(u"*.entry"_s);
        for (int failAt = 0;; ++failAt) {
            auto writes = std::make_shared<int>(0);
            kvr::setRestoreWriteProbe([writes, failAt, failing] {
                if ((*writes)++ == failAt && failing)
                    throw kvr::Error(u"planted failure"_s);
            });
            const QString error = kvrtest::errorOf([&] { kvr::restoreBefore(ini(), game(), target, kind); });
            kvr::setRestoreWriteProbe({});
            if (error.isEmpty())
                break;
            QVERIFY2(failing, qPrintable(error));
            QVERIFY(*writes > failAt);
            QCOMPARE(snapshot(game()), m_now);
            QCOMPARE(settings(), settingsNow);
            QCOMPARE(entryFiles(u"*.entry"_s), entriesBefore);
            ++m_failuresPlanted;
        }
        if (kind != u"undo")
            return;
        QCOMPARE(settings(), m_settingsBefore[target.id]);
        if (!m_byHandSinceNewest && m_before.contains(target.id)) {
            QCOMPARE(snapshot(game()), m_before[target.id]);
            ++m_undosChecked;
        }
    }

    void step(int step)
    {
        const QSet<QByteArray> settingsNow = settings();
        m_everSeen.unite(hashesOf(m_now));
        const QList<kvr::HistoryEntry> entries = store().entries(game());
        const int what = int(m_random.bounded(7));
        if (what == 0)
            return placeByHand(step);
        if ((what == 1 || what == 2) && !entries.isEmpty()) {
            const bool restore = what == 2;
            undo(entries.at(restore ? m_random.bounded(int(entries.size())) : 0), restore ? u"restore"_s : u"undo"_s,
                 settingsNow, m_random.bounded(3) == 0);
        } else if (what == 3) {
            kvr::resetSlots(game(), ini());
        } else {
            const auto& [name, members] = kPackages.at(m_random.bounded(int(kPackages.size())));
            change(m_random.bounded(4) == 0 ? u"(Default)"_s : name.mid(5), name.left(4));
        }
        const qint64 newest = store().entries(game()).first().id;
        m_before[newest] = m_now;
        m_settingsBefore[newest] = settingsNow;
        m_now = snapshot(game());
        m_byHandSinceNewest = false;
    }

    // Each blob holds the bytes it is named for, and with the folder all bytes ever seen there.
    void checkHistory()
    {
        QSet<QString> held = hashesOf(snapshot(game()));
        for (const QString& blob : QDir(store().folder() + u"/blobs"_s).entryList(QDir::Files)) {
            QCOMPARE(kvr::sha256Hex(readFile(store().folder() + u"/blobs/"_s + blob)), blob.toLatin1());
            held.insert(blob);
        }
        QVERIFY(held.contains(m_everSeen));
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
        QVERIFY(m_undosChecked > 20 && m_failuresPlanted > 50);
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
