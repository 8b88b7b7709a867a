// An error that no handler catches shows the toolkit's message and ends the program at once. It
// ends the event loop for good, so it has a test program of its own.
#include "guisupport.h"

#include <QApplication>
#include <QTimer>
#include <QToolButton>

using namespace Qt::StringLiterals;

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
    QVERIFY(ws.writeSettings());
    kvrtest::MsgBoxRecorder messages;
    Principal& main = Principal::instance();
    main.Show();
    main.findChild<QToolButton*>(u"Command3"_s)->click();
    QVERIFY(kvr::Ayuda::exists() && !main.isEnabled());
    EnabledWatcher watcher;
    main.installEventFilter(&watcher);

    QTimer::singleShot(0, &main, [] { kvr::handle([] { throw kvr::Error(u"Path not found"_s); }); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); }); // the program did not end
    QCOMPARE(QApplication::exec(), 0);

    QVERIFY(messages.askedOnce(u"Path not found"_s, kvr::vbCritical, u"KVR Skin Installer v1.1"_s));
    for (const QWidget* window : QApplication::topLevelWidgets())
        QVERIFY2(!window->isVisible(), qPrintable(window->objectName()));
    // Ending at once runs no Form_Unload: the help window did not give the main window back.
    QCOMPARE(watcher.changes, 0);
}

QTEST_MAIN(TestUncaughtError)
#include "test_uncaught_error.moc"
