#include "guisupport.h"

#include <QPointer>
#include <QToolButton>
#include <QWindow>

#include <optional>

using namespace Qt::StringLiterals;
using kvr::Principal;
using kvrtest::openWindow;
using kvrtest::writeFile;

namespace {

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

class TestNavigation : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init()
    {
        openProgram();
        QVERIFY(ws->writeSettings(kvrtest::skinsSection({u"MOSQ=Desert"_s})));
    }
    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        closeProgram();
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
    QCOMPARE(kvrtest::comboOf(7)->Text(), u"Desert"_s);

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
    QTest::newRow("Skin Wiewer") << u"Command4"_s << u"Visor"_s << false;
    QTest::newRow("Control Panel") << u"Command2"_s << u"ControlPanel"_s << false;
    QTest::newRow("Help") << u"Command3"_s << u"Ayuda"_s << false;
    QTest::newRow("About...") << u"Command5"_s << u"Acercade"_s << true;
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
    for (const QString& other : {u"Command2"_s, u"Command4"_s, u"Command5"_s})
        QTest::mouseClick(main.findChild<QToolButton*>(other), Qt::LeftButton);
    QCOMPARE(openWindow(child), window.data());
    QCOMPARE(openWindow(child == "Visor"_L1 ? u"Acercade"_s : u"Visor"_s), nullptr);

    // Given back, the main window is the same one, not loaded again; the child goes, to load afresh.
    QVERIFY(writeFile(ws->iniPath(), kvrtest::skinsSection({u"MOSQ=Changed meanwhile"_s})));
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(window.isNull());
    QVERIFY(mainAlive && main.isEnabled());
    QCOMPARE(kvrtest::comboOf(7)->Text(), u"Desert"_s);
}

QTEST_MAIN(TestNavigation)
#include "test_navigation.moc"
