// An error that no handler catches shows the toolkit's message and ends the program at once. It
// ends the event loop for good, so it has a test program of its own.
#include "app/ayuda.h"
#include "installer/principal.h"
#include "testsupport.h"

#include <QApplication>
#include <QTimer>
#include <QToolButton>

using kvr::Principal;

namespace {

// Counts a window's changes of enabled state.
class EnabledWatcher : public QObject
{
public:
    int changes = 0;

protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override
    {
        changes += event->type() == QEvent::EnabledChange ? 1 : 0;
        return false;
    }
};

} // namespace

class TestUncaughtError : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void showsTheMessageAndEndsTheProgram();
};

void TestUncaughtError::showsTheMessageAndEndsTheProgram()
{
    QApplication::setQuitOnLastWindowClosed(false);
    kvrtest::Workspace ws;
    ws.writeSettings();
    kvrtest::MsgBoxRecorder messages;
    Principal& main = Principal::instance();
    main.Show();
    main.findChild<QToolButton*>("Command3")->click();
    QVERIFY(kvr::Ayuda::exists() && !main.isEnabled());
    EnabledWatcher watcher;
    main.installEventFilter(&watcher);

    QTimer::singleShot(0, &main, [] { kvr::handle([] { throw kvr::Error("Path not found"); }); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); }); // the program did not end
    QCOMPARE(QApplication::exec(), 0);

    QCOMPARE(messages.calls.size(), 1);
    QCOMPARE(messages.calls[0].prompt, QString("Path not found"));
    QCOMPARE(messages.calls[0].style, int(kvr::vbCritical));
    QCOMPARE(messages.calls[0].title, QString("KVR Skin Installer v1.1"));
    for (const QWidget* window : QApplication::topLevelWidgets())
        QVERIFY2(!window->isVisible(), qPrintable(window->objectName()));
    // Ending at once runs no Form_Unload: the help window did not give the main window back.
    QCOMPARE(watcher.changes, 0);
}

QTEST_MAIN(TestUncaughtError)
#include "test_uncaught_error.moc"
