// Random sequences of installs, "(Default)", resets, undos, restores and files placed by hand (some
// read-only, some with a link outside the game folder written through later), on a game folder
// with the game's own files: after every undo the folder equals its snapshot from before the
// undone change (when nothing was placed by hand since), an undo failing at any of its steps
// leaves the folder as it was, and every byte the program ever saw in the game folder is still
// in the folder or in the history.
// KVR_HISTORY_SEED=<n> repeats a run.
#include "change/slotchange.h"
#include "history/history.h"
#include "testsupport.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using kvrtest::readFile;
using kvrtest::writeFile;

namespace {

QMap<QString, QByteArray> contents(const QString& folder)
{
    QMap<QString, QByteArray> files;
    for (const QString& name : QDir(folder).entryList(QDir::Files))
        files[name] = readFile(folder + u'/' + name);
    return files;
}

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
        int undosChecked = 0;
        for (int sequence = 0; sequence < 200; ++sequence) {
            kvrtest::Workspace ws;
            const QString game = ws.gameFolder();
            const QString ini = ws.iniPath();
            QVERIFY(ws.writeSettings());
            for (const QString& name : {u"PMOSQ.TPC"_s, u"pmosq2.3dz"_s, u"PHURR.TPC"_s, u"readme.txt"_s, u"KVR.EXE"_s})
                QVERIFY(writeFile(game + u'/' + name, name.toUtf8() + " as shipped"));
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
            const kvr::HistoryStore store(ini);
            QSet<QByteArray> everSeen;
            QMap<qint64, QMap<QString, QByteArray>> before; // entry -> the folder before it
            bool byHandSinceNewest = false;
            QList<QPair<QString, QString>> outsideLinks; // outside path, game folder name
            for (int step = 0; step < 6; ++step) {
                const QMap<QString, QByteArray> now = contents(game);
                for (const QByteArray& bytes : now)
                    everSeen.insert(kvr::sha256Hex(bytes));
                const QList<kvr::HistoryEntry> entries = store.entries(game);
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
                        // Only once the game folder's file is another: else the player changed it.
                        struct stat there
                        {
                        };
                        struct stat here
                        {
                        };
                        if (::stat(QFile::encodeName(link).constData(), &there) != 0 ||
                            (::stat(QFile::encodeName(game + u'/' + name).constData(), &here) == 0 &&
                             here.st_ino == there.st_ino))
                            continue;
                        QFile outside(link);
                        QVERIFY(outside.open(QIODevice::Append) && outside.write(" written outside") > 0);
                    }
                    if (!slotFiles.isEmpty()) {
                        outsideLinks.append({ws.root() + u"/outside"_s + tag, slotFiles.first()});
                        ::link(QFile::encodeName(game + u'/' + slotFiles.first()).constData(),
                               QFile::encodeName(outsideLinks.last().first).constData());
                    }
                    byHandSinceNewest = true;
                    continue;
                }
                if (what == 1 && !entries.isEmpty() && random.bounded(3) == 0) {
                    // A write failure at one of the undo's steps: nothing changes, nothing is recorded.
                    const int failAt = int(kvr::ChangeStep::Deleted) + int(random.bounded(2));
                    const kvr::ChangeProbe previous = kvr::setRestoreProbe([failAt](kvr::ChangeStep reached) {
                        if (int(reached) == failAt)
                            throw kvr::Error(u"planted failure"_s);
                    });
                    QVERIFY_THROWS_EXCEPTION(kvr::Error, kvr::restoreBefore(ini, game, entries.first(), u"undo"_s));
                    kvr::setRestoreProbe(previous);
                    QCOMPARE(contents(game), now);
                    QCOMPARE(store.entries(game).size(), entries.size());
                    continue;
                }
                if (what == 1 && !entries.isEmpty()) {
                    const kvr::HistoryEntry newest = entries.first();
                    kvr::restoreBefore(ini, game, newest, u"undo"_s);
                    if (!byHandSinceNewest && before.contains(newest.id)) {
                        QCOMPARE(contents(game), before[newest.id]);
                        ++undosChecked;
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
                const qint64 id = store.entries(game).first().id;
                before[id] = now;
                byHandSinceNewest = false;
            }
            QSet<QByteArray> held;
            for (const QByteArray& bytes : contents(game))
                held.insert(kvr::sha256Hex(bytes));
            for (const QString& blob : QDir(store.folder() + u"/blobs"_s).entryList(QDir::Files))
                held.insert(blob.toLatin1());
            for (const QByteArray& hash : std::as_const(everSeen))
                QVERIFY2(held.contains(hash),
                         qPrintable(u"sequence %1 lost bytes %2"_s.arg(sequence).arg(QString::fromLatin1(hash))));
        }
        QVERIFY(undosChecked > 20);
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
