#include "app/fileio.h"
#include "change/journal.h"
#include "change/slotchange.h"
#include "guisupport.h"
#include "history/history.h"
#include "settings/modulo_ini.h"
#include "zipwriter.h"

#include <QAbstractItemView>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <fcntl.h>
#include <sys/file.h>

using namespace Qt::StringLiterals;

using kvr::DropDownCombo;
using kvr::Principal;
using kvrtest::comboOf;
using kvrtest::filesIn;
using kvrtest::writeFile;

namespace {

// Opens a slot's list and picks an entry with the keyboard, as a user would; false when the entry
// is not in the list or the list does not open and close.
bool choose(int n, const QString& entry)
{
    DropDownCombo* combo = comboOf(n);
    combo->showPopup();
    const int index = combo->findText(entry, Qt::MatchExactly | Qt::MatchCaseSensitive);
    QAbstractItemView* view = combo->view();
    if (!QTest::qVerify(index >= 0, "choose", qPrintable(entry), __FILE__, __LINE__) ||
        !QTest::qWaitFor([view] { return view->isVisible(); }))
        return false;
    view->setCurrentIndex(view->model()->index(index, 0));
    QTest::keyClick(view, Qt::Key_Return);
    return QTest::qWaitFor([view] { return !view->isVisible(); });
}

} // namespace

class TestInstallation : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { QVERIFY(kvrtest::closeEveryWindow()); }
    void resetPutsEverySlotBack();
    void interruptedChangeIsFinishedBeforeTheLoad();
    void deleteGoesWhereTheChangeBegan();
    void blockedChoiceChangesNothing_data();
    void blockedChoiceChangesNothing();
};

// Which files a reset deletes and what it records is the installation core's test; here every
// slot's list shows the default.
void TestInstallation::resetPutsEverySlotBack()
{
    kvrtest::Workspace ws;
    QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"MOSQ=Sqn105"_s})));
    kvrtest::shownMainWindow().findChild<QToolButton*>(u"Command1"_s)->click();
    for (int n = 1; n <= 30; ++n) {
        QCOMPARE(comboOf(n)->Text(), u"(Default)"_s);
        QCOMPARE(comboOf(n)->count(), 0);
    }
}

// A change a kill cut short after its journal: the next start finishes it before the slots are shown.
void TestInstallation::interruptedChangeIsFinishedBeforeTheLoad()
{
    kvrtest::Workspace ws;
    QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"MOSQ=Old"_s})));
    const QString package = ws.skinsFolder() + u"/MOSQ_Sqn105.ZIP"_s;
    QVERIFY(kvr::writeZip(package, {{"PMOSQ_new.tpc", "new"}}));
    kvr::writeJournal({kvr::ChangePlan::Kind::Install, u"MOSQ"_s, u"Sqn105"_s, package, ws.gameFolder()},
                      kvr::Modulo::settingsPath());
    kvrtest::MsgBoxRecorder boxes;
    QCOMPARE(comboOf(7)->Text(), u"Sqn105"_s);
    QVERIFY(boxes.calls.isEmpty());
}

// BORRASKIN deletes in the folder its change locked and journaled, even when the folder value
// names another folder by then: "ga\me" is read as ga/me until a folder of that very name appears.
void TestInstallation::deleteGoesWhereTheChangeBegan()
{
    kvrtest::Workspace ws;
    const QString locked = ws.root() + u"/ga/me"_s;
    const QString lookalike = ws.root() + u"/ga\\me"_s;
    QVERIFY(writeFile(locked + u"/PMOSQ_old.tpc"_s, "old"_ba));
    QVERIFY(writeFile(ws.iniPath(), kvrtest::Workspace::foldersSection(lookalike, ws.skinsFolder())));
    const kvr::ChangeProbe previous = kvr::setChangeProbe([&](kvr::ChangeStep step) {
        if (step == kvr::ChangeStep::Journaled)
            QVERIFY(writeFile(lookalike + u"/PMOSQ_theirs.tpc"_s, "theirs"_ba));
    });
    Principal::instance().DESCOMPRIME(u"(Default)"_s, u"MOSQ"_s);
    kvr::setChangeProbe(previous);
    QCOMPARE(filesIn(locked), QStringList());
    QCOMPARE(filesIn(lookalike), QStringList({u"PMOSQ_theirs.tpc"_s}));
}

void TestInstallation::blockedChoiceChangesNothing_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QStringList>("left"); // in the game folder afterwards
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("message"); // the one message box, as a pattern; null for none
    QTest::newRow("folder locked, the player cancels")
        << u"cancel"_s << QStringList{u"PMOSQ_old.tpc"_s} << u"Old"_s << QString();
    QTest::newRow("folder locked, then let go")
        << u"let go"_s << QStringList{u"PMOSQ_new.tpc"_s} << u"Sqn105"_s << QString();
    QTest::newRow("a package the library refuses")
        << u"broken"_s << QStringList{u"PMOSQ_old.tpc"_s} << u"Old"_s << u""_s;
    // The history cannot keep the slot's files: the box shows the skin still recorded.
    QTest::newRow("the history's disk full")
        << u"disk full"_s << QStringList{u"PMOSQ_old.tpc"_s} << u"Old"_s << u"not enough free space"_s;
    // The slot's files are deleted before the library is needed, and the choice recorded after.
    QTest::newRow("no extraction library")
        << u"no library"_s << QStringList() << u"Sqn105"_s << u"^Unzip: .*libunzip32\\.so"_s;
}

// A lock another program holds on the game folder: after half a second the player sees what is
// waited for, with Cancel, and Cancel changes nothing. A package the library would refuse
// deletes nothing either, and says why.
void TestInstallation::blockedChoiceChangesNothing()
{
    QFETCH(QString, obstacle);
    QFETCH(QStringList, left);
    QFETCH(QString, shown);
    QFETCH(QString, message);
    const bool locked = obstacle == u"cancel"_s || obstacle == u"let go"_s;
    kvrtest::Workspace ws(/*withUnzipLibrary=*/obstacle != u"no library"_s);
    QVERIFY(ws.writeSettings(kvrtest::skinsSection({u"MOSQ=Old"_s})));
    const QString package = ws.skinsFolder() + u"/MOSQ_Sqn105.zip"_s;
    if (obstacle == u"broken"_s)
        QVERIFY(writeFile(package, "half a download"_ba.repeated(10)));
    else
        QVERIFY(kvr::writeZip(package, {{"PMOSQ_new.tpc", "new"}}));
    QVERIFY(writeFile(ws.gameFolder() + u"/PMOSQ_old.tpc"_s, "old"_ba));
    kvrtest::MsgBoxRecorder boxes;
    kvrtest::shownMainWindow();

    kvr::UniqueFd lock(::open(QFile::encodeName(ws.gameFolder()).constData(), O_RDONLY | O_DIRECTORY));
    QVERIFY(lock.isValid() && ::flock(lock.get(), locked ? LOCK_EX : LOCK_UN) == 0);
    QString waitShown;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(kvrtest::openWindow(u"LockWait"_s));
        if (!box || !waitShown.isEmpty())
            return;
        waitShown = box->text();
        if (obstacle == u"cancel"_s)
            box->button(QMessageBox::Cancel)->click();
        else
            lock.reset();
    });
    answer.start(50);
    kvr::setHistoryDiskFull(obstacle == u"disk full"_s);
    QVERIFY(choose(7, u"Sqn105"_s));
    kvr::setHistoryDiskFull(false);
    answer.stop();

    QCOMPARE(waitShown.startsWith(u"Another program is using the game folder"_s), locked);
    QCOMPARE(boxes.calls.size(), message.isNull() ? 0 : 1);
    if (!message.isNull())
        QVERIFY2(boxes.calls[0].prompt.contains(QRegularExpression(message)), qPrintable(boxes.calls[0].prompt));
    QCOMPARE(filesIn(ws.gameFolder()), left);
    QCOMPARE(comboOf(7)->Text(), shown);
}

QTEST_MAIN(TestInstallation)
#include "test_installation.moc"
