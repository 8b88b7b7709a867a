#include "app/acercade.h"
#include "app/ayuda.h"
#include "app/presentacion.h"
#include "installer/combolist.h"
#include "installer/principal.h"
#include "settings/controlpanel.h"
#include "testsupport.h"
#include "viewer/visor.h"

#include <QApplication>
#include <QPointer>
#include <QToolButton>
#include <QWindow>

#include <optional>

using kvr::Principal;
using kvrtest::writeFile;

namespace {

template <typename... Forms> void closeForms()
{
    (void(Forms::exists() && Forms::instance().close()), ...);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QWidget* openWindow(const QString& name)
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->objectName() == name && window->isVisible())
            return window;
    return nullptr;
}

QString slot7()
{
    return Principal::instance().findChild<kvr::DropDownCombo*>("Combo7")->Text();
}

// Notes whether the main window was available at the moment a window of that name was shown.
class ShowWatcher : public QObject
{
public:
    explicit ShowWatcher(QString name) : m_name(std::move(name)) { qApp->installEventFilter(this); }
    std::optional<bool> mainAvailable;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && watched->objectName() == m_name && !mainAvailable)
            mainAvailable = Principal::instance().isEnabled();
        return false;
    }

private:
    QString m_name;
};

} // namespace

class TestNavigation : public QObject
{
    Q_OBJECT

    std::optional<kvrtest::Workspace> ws;
    std::optional<kvrtest::MsgBoxRecorder> messages;

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init()
    {
        ws.emplace();
        ws->writeSettings("[Skins]\r\nMOSQ=Desert\r\n");
        messages.emplace();
    }
    void cleanup()
    {
        // Children first: closing one gives the main window back.
        closeForms<kvr::Presentacion, kvr::Visor, kvr::ControlPanel, kvr::Ayuda, kvr::Acercade>();
        closeForms<Principal>();
        QVERIFY(!Principal::exists() && !kvr::Presentacion::exists());
        messages.reset();
        ws.reset();
    }
    void splashHandsOverExactlyOnce();
    void childWithdrawsTheMainWindowUntilClosed_data();
    void childWithdrawsTheMainWindowUntilClosed();
};

void TestNavigation::splashHandsOverExactlyOnce()
{
    const QPointer<kvr::Presentacion> splash(&kvr::Presentacion::instance());
    splash->Show();
    QVERIFY(QTest::qWaitForWindowExposed(splash));
    QTest::qWait(600);
    QVERIFY(!Principal::exists()); // not even loaded while the splash shows
    QTRY_VERIFY_WITH_TIMEOUT(Principal::exists(), 3000);
    QTRY_VERIFY(splash.isNull());
    Principal& main = Principal::instance();
    QVERIFY(main.isVisible() && main.isEnabled());
    QCOMPARE(slot7(), QString("Desert"));

    // A second run of the handler would show the main window again.
    main.hide();
    QTest::qWait(1500);
    QVERIFY(!main.isVisible());
}

void TestNavigation::childWithdrawsTheMainWindowUntilClosed_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("child");
    QTest::addColumn<bool>("withdrawnFirst");
    QTest::newRow("Skin Wiewer") << "Command4"
                                 << "Visor" << false;
    QTest::newRow("Control Panel") << "Command2"
                                   << "ControlPanel" << false;
    QTest::newRow("Help") << "Command3"
                          << "Ayuda" << false;
    QTest::newRow("About...") << "Command5"
                              << "Acercade" << true;
}

void TestNavigation::childWithdrawsTheMainWindowUntilClosed()
{
    QFETCH(QString, button);
    QFETCH(QString, child);
    QFETCH(bool, withdrawnFirst);
    Principal& main = Principal::instance();
    main.Show();
    const QPointer<Principal> mainAlive(&main);

    ShowWatcher watcher(child);
    main.findChild<QToolButton*>(button)->click();
    const QPointer<QWidget> window = openWindow(child);
    QVERIFY(window && window->isEnabled());
    QCOMPARE(watcher.mainAvailable, std::optional<bool>(!withdrawnFirst));
    QVERIFY(!main.isEnabled() && main.isVisible());
    // The window manager keeps the child above the main window, and the main window stays inert.
    QVERIFY(window->windowHandle() && main.windowHandle());
    QCOMPARE(window->windowHandle()->transientParent(), main.windowHandle());
    for (const char* other : {"Command2", "Command4", "Command5"})
        QTest::mouseClick(main.findChild<QToolButton*>(other), Qt::LeftButton);
    QCOMPARE(openWindow(child), window.data());
    QCOMPARE(openWindow(child == "Visor" ? "Acercade" : "Visor"), nullptr);

    // Given back, the main window is the same one, not loaded again; the child goes, to load afresh.
    writeFile(ws->iniPath(), "[Skins]\r\nMOSQ=Changed meanwhile\r\n");
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(window.isNull());
    QVERIFY(mainAlive && main.isEnabled());
    QCOMPARE(slot7(), QString("Desert"));
}

QTEST_MAIN(TestNavigation)
#include "test_navigation.moc"
