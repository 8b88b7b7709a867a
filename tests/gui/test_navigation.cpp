#include "app/acercade.h"
#include "app/ayuda.h"
#include "app/presentacion.h"
#include "installer/combolist.h"
#include "installer/principal.h"
#include "settings/controlpanel.h"
#include "viewer/visor.h"
#include "testsupport.h"

#include <QApplication>
#include <QListWidget>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <optional>

using kvr::Principal;
using kvrtest::writeFile;

namespace {

template <typename Form> void closeForm()
{
    if (Form::exists())
        Form::instance().close();
}

// Children first: closing one gives the main window back.
void closeEveryWindow()
{
    closeForm<kvr::Presentacion>();
    closeForm<kvr::Visor>();
    closeForm<kvr::ControlPanel>();
    closeForm<kvr::Ayuda>();
    closeForm<kvr::Acercade>();
    closeForm<Principal>();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QWidget* openWindow(const QString& name)
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->objectName() == name && window->isVisible())
            return window;
    }
    return nullptr;
}

QString slotText(int n)
{
    return Principal::instance().findChild<kvr::DropDownCombo*>(QStringLiteral("Combo%1").arg(n))->Text();
}

void click(const char* button)
{
    Principal::instance().findChild<QToolButton*>(QString::fromLatin1(button))->click();
}

// Remembers whether the main window was still available at the moment a window was shown.
class ShowWatcher : public QObject
{
public:
    explicit ShowWatcher(QString name) : m_name(std::move(name)) { qApp->installEventFilter(this); }
    ~ShowWatcher() override { qApp->removeEventFilter(this); }

    std::optional<bool> mainAvailableAtShow;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && watched->objectName() == m_name && !mainAvailableAtShow)
            mainAvailableAtShow = Principal::exists() && Principal::instance().isEnabled();
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

    Principal& openMain()
    {
        Principal& main = Principal::instance();
        main.Show();
        return main;
    }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void splashHandsOverExactlyOnce();
    void childWithdrawsTheMainWindowUntilClosed_data();
    void childWithdrawsTheMainWindowUntilClosed();
    void childOpenedAgainLoadsAfresh();
};

void TestNavigation::initTestCase()
{
    // The windows come and go here; the test decides when the program ends.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestNavigation::init()
{
    ws.emplace();
    ws->writeSettings("[Skins]\r\nMOSQ=Desert\r\n");
    messages.emplace();
}

void TestNavigation::cleanup()
{
    closeEveryWindow();
    QVERIFY(!Principal::exists());
    QVERIFY(!kvr::Presentacion::exists());
    messages.reset();
    ws.reset();
}

void TestNavigation::splashHandsOverExactlyOnce()
{
    kvr::Presentacion& splash = kvr::Presentacion::instance();
    const QPointer<kvr::Presentacion> splashAlive(&splash);
    splash.Show();
    QVERIFY(QTest::qWaitForWindowExposed(&splash));
    QCOMPARE(splash.size(), QSize(468, 315));
    QVERIFY(splash.windowFlags() & Qt::FramelessWindowHint);

    // The main window is not even loaded while the splash shows.
    QTest::qWait(600);
    QVERIFY(!Principal::exists());
    QVERIFY(splash.isVisible());

    QTRY_VERIFY_WITH_TIMEOUT(Principal::exists(), 3000);
    Principal& main = Principal::instance();
    QTRY_VERIFY(splashAlive.isNull());
    QVERIFY(main.isVisible());
    QVERIFY(main.isEnabled());
    QCOMPARE(slotText(7), QStringLiteral("Desert"));

    // A second run of the handler would show the main window again.
    main.hide();
    QTest::qWait(1500);
    QVERIFY(!main.isVisible());
    QCOMPARE(&Principal::instance(), &main);
}

void TestNavigation::childWithdrawsTheMainWindowUntilClosed_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("child");
    QTest::addColumn<bool>("withdrawnBeforeShowing");
    QTest::newRow("Skin Wiewer") << QStringLiteral("Command4") << QStringLiteral("Visor") << false;
    QTest::newRow("Control Panel") << QStringLiteral("Command2") << QStringLiteral("ControlPanel") << false;
    QTest::newRow("Help") << QStringLiteral("Command3") << QStringLiteral("Ayuda") << false;
    QTest::newRow("About...") << QStringLiteral("Command5") << QStringLiteral("Acercade") << true;
}

void TestNavigation::childWithdrawsTheMainWindowUntilClosed()
{
    QFETCH(QString, button);
    QFETCH(QString, child);
    QFETCH(bool, withdrawnBeforeShowing);

    Principal& main = openMain();
    const QPointer<Principal> mainAlive(&main);
    QCOMPARE(slotText(7), QStringLiteral("Desert"));

    ShowWatcher watcher(child);
    click(qPrintable(button));
    QWidget* window = openWindow(child);
    QVERIFY(window);
    QVERIFY(watcher.mainAvailableAtShow.has_value());
    QCOMPARE(*watcher.mainAvailableAtShow, !withdrawnBeforeShowing);
    QVERIFY(!main.isEnabled());
    QVERIFY(main.isVisible());
    QVERIFY(window->isEnabled());

    // A withdrawn main window opens nothing: at most one child at a time.
    const int windows = QApplication::topLevelWidgets().size();
    for (const char* other : {"Command2", "Command3", "Command4", "Command5"})
        click(other);
    QCOMPARE(QApplication::topLevelWidgets().size(), windows);

    // Given back, the main window is the same one, not loaded again: it keeps what it showed.
    writeFile(ws->iniPath(), "[Skins]\r\nMOSQ=Changed meanwhile\r\n");
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!openWindow(child));
    QVERIFY(mainAlive);
    QCOMPARE(&Principal::instance(), &main);
    QVERIFY(main.isEnabled());
    QCOMPARE(slotText(7), QStringLiteral("Desert"));
}

void TestNavigation::childOpenedAgainLoadsAfresh()
{
    writeFile(ws->skinsFolder() + QStringLiteral("/HURR_Desert.zip"), "PK");
    openMain();
    click("Command4");
    auto* first = qobject_cast<kvr::Visor*>(openWindow(QStringLiteral("Visor")));
    QVERIFY(first);
    QCOMPARE(first->findChild<QListWidget*>(QStringLiteral("List1"))->count(), 1);
    const QPointer<kvr::Visor> firstAlive(first);
    first->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(firstAlive.isNull());

    writeFile(ws->skinsFolder() + QStringLiteral("/SP2A_Sand.zip"), "PK");
    click("Command4");
    auto* second = qobject_cast<kvr::Visor*>(openWindow(QStringLiteral("Visor")));
    QVERIFY(second);
    QCOMPARE(second->findChild<QListWidget*>(QStringLiteral("List1"))->count(), 2);
}

QTEST_MAIN(TestNavigation)
#include "test_navigation.moc"
