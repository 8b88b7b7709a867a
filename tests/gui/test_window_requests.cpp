// Later starts reaching the open window: a command is carried out on the window's folders and
// shows in its slot boxes and lists; files given open as a drop would.
#include "cli/instance.h"
#include "cli/windowrequests.h"
#include "loadouts/pack.h"

#include "guisupport.h"
#include "loadoutsupport.h"

#include <future>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

class TestWindowRequests : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    QTemporaryDir m_runtime;
    QObject* m_receiver = nullptr;

    // Hands the arguments over as a later start does, from a thread of its own, while the window
    // goes on; the answer.
    kvr::InstanceReply handOver(const QStringList& arguments)
    {
        const QString socket = kvr::instancePlace(ws->programFolder()).socketPath;
        std::future<std::optional<kvr::InstanceReply>> reply = std::async(std::launch::async, [=, root = ws->root()] {
            return kvr::handToOpenProgram(socket, {arguments, root});
        });
        for (int i = 0; i < 400 && reply.wait_for(0s) != std::future_status::ready; ++i)
            QTest::qWait(50);
        return reply.get().value_or(kvr::InstanceReply{-1, {}, {}});
    }

private Q_SLOTS:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
    }
    void init()
    {
        openProgram();
        QVERIFY(kvrtest::plantCommandFiles(*ws));
    }
    void cleanup()
    {
        delete std::exchange(m_receiver, nullptr);
        QVERIFY(kvrtest::closeEveryWindow());
        closeProgram();
    }

    void commandsShowInTheWindow()
    {
        kvrtest::shownMainWindow();
        m_receiver = kvr::receiveLaterStarts({});
        kvr::Principal& main = kvr::Principal::instance();
        kvr::InstanceReply reply = handOver({u"--apply-loadout"_s, u"Squadron"_s});
        QCOMPARE(reply.status, 0);
        QVERIFY2(reply.out.contains("1 of its slots changed"), reply.out.constData());
        QCOMPARE(main.Combo(7).Text(), u"Sqn105"_s);

        reply = handOver({u"--undo"_s, u"--json"_s});
        QCOMPARE(reply.status, 0);
        QVERIFY2(reply.out.contains("\"undone\": \"loadout\""), reply.out.constData());
        QCOMPARE(main.Combo(7).Text(), QString());

        reply = handOver({u"--import"_s, u"dl/MOSQ_Red.zip"_s});
        QCOMPARE(reply.status, 0);
        QVERIFY(main.File1.names().contains(u"MOSQ_Red.zip"_s));
        QVERIFY(messages->calls.isEmpty());

        reply = handOver({u"--status"_s, u"--undo"_s});
        QCOMPARE(reply.status, 2);
    }

    // The later start ends at once; the window imports as a drop does, with its summaries.
    void filesOpenInTheWindow()
    {
        kvrtest::shownMainWindow();
        m_receiver = kvr::receiveLaterStarts({});
        const std::atomic<bool> no{false};
        const QString pack = ws->root() + u"/Trip.kvrpack"_s;
        QVERIFY(kvr::writePack(kvr::readLoadoutFile(ws->root() + u"/Other.kvrloadout"_s, u"Other"_s).loadout,
                               ws->skinsFolder(), pack, no)
                    .written);
        const kvr::InstanceReply reply =
            handOver({u"Other.kvrloadout"_s, QUrl::fromLocalFile(ws->root() + u"/dl/MOSQ_Red.zip"_s).toString(), pack});
        QCOMPARE(reply.status, 0);
        // A pack shows what it would change, and nothing else.
        QTRY_VERIFY(kvrtest::openWindow(u"Pack"_s));
        QTRY_COMPARE(messages->calls.size(), 2);
        QCOMPARE(messages->calls[0].prompt, u"Added:\n    Other"_s);
        QVERIFY2(messages->calls[1].prompt.startsWith(u"Imported into"_s), qPrintable(messages->calls[1].prompt));
    }

    // Started with a file: it is opened once the main window shows, not before.
    void startedWithFiles()
    {
        m_receiver = kvr::receiveLaterStarts({ws->root() + u"/Other.kvrloadout"_s});
        QTest::qWait(300);
        QVERIFY(messages->calls.isEmpty());
        kvrtest::shownMainWindow();
        QTRY_COMPARE(messages->calls.size(), 1);
        QCOMPARE(messages->calls[0].prompt, u"Added:\n    Other"_s);
    }
};

QTEST_MAIN(TestWindowRequests)
#include "test_window_requests.moc"
