// The windows as a user meets them: fixed-size windows that still hold every caption whole at the
// desktop's font and at a larger one, pictures drawn for a high-density screen, and a keyboard
// order that follows the layout. Runs with the toolkit's scale factor at 2.
#include "app/acercade.h"
#include "app/ayuda.h"
#include "installer/principal.h"
#include "settings/controlpanel.h"
#include "testsupport.h"
#include "viewer/visor.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QTest>

#include <optional>

using kvr::Principal;

namespace {

template <typename... Forms> void closeForms()
{
    (void(Forms::exists() && Forms::instance().close()), ...);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QWidget* openChild(const QWidget& main)
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window != &main && window->isWindow() && window->isVisible())
            return window;
    return nullptr;
}

// The named control that holds the keyboard focus (an editable combo box hands it to its text field).
QString focusedControl()
{
    QWidget* focus = QApplication::focusWidget();
    if (focus && qobject_cast<QComboBox*>(focus->parentWidget()))
        focus = focus->parentWidget();
    return focus ? focus->objectName() : QString();
}

// Why a window does not show a control whole, or an empty text when it does.
QString clipped(const QWidget& window)
{
    QStringList faults;
    const QRect inside = window.rect();
    for (const QWidget* widget : window.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&window) || widget->objectName().isEmpty())
            continue;
        const QRect area(widget->mapTo(&window, QPoint()), widget->size());
        if (!inside.contains(area))
            faults << widget->objectName() + QStringLiteral(" lies outside the window");

        QSize needed;
        if (const auto* label = qobject_cast<const QLabel*>(widget)) {
            // A path label shortens its text on purpose; a picture has no text to fit.
            if (qobject_cast<const kvr::PathLabel*>(label) || label->text().isEmpty())
                continue;
            needed =
                label->wordWrap() ? QSize(label->width(), label->heightForWidth(label->width())) : label->sizeHint();
        } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
            needed = button->sizeHint();
        } else {
            continue;
        }
        if (needed.width() > widget->width() || needed.height() > widget->height())
            faults << QStringLiteral("%1 needs %2x%3, has %4x%5")
                          .arg(widget->objectName())
                          .arg(needed.width())
                          .arg(needed.height())
                          .arg(widget->width())
                          .arg(widget->height());
    }
    return faults.join(QStringLiteral("; "));
}

// Labels showing a picture whose pixels are fewer than the screen's: the picture would be blurred.
QString blurred(const QWidget& window)
{
    QStringList faults;
    const qreal ratio = window.devicePixelRatio();
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        const QPixmap pixmap = label->pixmap();
        if (pixmap.isNull())
            continue;
        if (pixmap.width() < label->contentsRect().width() * ratio ||
            pixmap.height() < label->contentsRect().height() * ratio)
            faults << QStringLiteral("%1 has %2x%3 pixels for %4x%5 at %6x")
                          .arg(label->objectName())
                          .arg(pixmap.width())
                          .arg(pixmap.height())
                          .arg(label->contentsRect().width())
                          .arg(label->contentsRect().height())
                          .arg(ratio);
    }
    return faults.join(QStringLiteral("; "));
}

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT

    std::optional<kvrtest::Workspace> ws;
    std::optional<kvrtest::MsgBoxRecorder> messages;
    QFont desktopFont;

private Q_SLOTS:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        desktopFont = QApplication::font();
    }
    void init()
    {
        ws.emplace();
        ws->writeSettings();
        messages.emplace();
    }
    void cleanup()
    {
        closeForms<kvr::Visor, kvr::ControlPanel, kvr::Ayuda, kvr::Acercade>();
        closeForms<Principal>();
        QApplication::setFont(desktopFont);
        messages.reset();
        ws.reset();
    }

    void windowsFitTheirTexts_data();
    void windowsFitTheirTexts();
    void mainWindowTabsDownEachColumnThenAlongTheButtons();
    void focusComesBackToTheButtonThatOpenedAChild();
};

void TestLayout::windowsFitTheirTexts_data()
{
    QTest::addColumn<int>("extraPoints");
    QTest::newRow("desktop font") << 0;
    QTest::newRow("font three points larger") << 3;
}

void TestLayout::windowsFitTheirTexts()
{
    QFETCH(int, extraPoints);
    QFont font = desktopFont;
    font.setPointSizeF(font.pointSizeF() + extraPoints);
    QApplication::setFont(font);

    Principal& main = Principal::instance();
    main.Show();
    // Each child is opened by its button, as the user opens it, and closed again before the next.
    for (const char* button : {"Command4", "Command2", "Command3", "Command5"}) {
        main.findChild<QAbstractButton*>(button)->click();
        QWidget* child = openChild(main);
        QVERIFY2(child, button);

        QVERIFY(QTest::qWaitForWindowExposed(child));
        QCOMPARE(child->minimumSize(), child->maximumSize());
        QCOMPARE(child->size(), child->minimumSize());
        QVERIFY2(clipped(*child).isEmpty(), qPrintable(child->objectName() + QStringLiteral(": ") + clipped(*child)));
        QVERIFY2(blurred(*child).isEmpty(), qPrintable(blurred(*child)));
        child->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    QCOMPARE(main.minimumSize(), main.maximumSize());
    QCOMPARE(main.size(), main.minimumSize());
    QVERIFY2(clipped(main).isEmpty(), qPrintable(clipped(main)));
    QVERIFY2(blurred(main).isEmpty(), qPrintable(blurred(main)));
}

void TestLayout::mainWindowTabsDownEachColumnThenAlongTheButtons()
{
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    main.findChild<QWidget*>(QStringLiteral("Combo1"))->setFocus();

    QStringList expected;
    for (int n = 1; n <= 30; ++n)
        expected << QStringLiteral("Combo%1").arg(n);
    expected << QStringLiteral("Command1") << QStringLiteral("Command4") << QStringLiteral("Command2")
             << QStringLiteral("Command3") << QStringLiteral("Command5") << QStringLiteral("Combo1");
    QStringList order;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        order << focusedControl();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(order, expected);
}

void TestLayout::focusComesBackToTheButtonThatOpenedAChild()
{
    Principal& main = Principal::instance();
    main.Show();
    QVERIFY(QTest::qWaitForWindowActive(&main));
    for (const char* name : {"Command3", "Command5"}) {
        auto* button = main.findChild<QAbstractButton*>(name);
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Space);
        QWidget* child = openChild(main);
        QVERIFY2(child, name);
        QVERIFY(!main.isEnabled());
        child->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        main.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        QCOMPARE(focusedControl(), QString::fromLatin1(name));
    }
}

int main(int argc, char* argv[])
{
    // A high-density screen: every size below is in device-independent pixels, drawn at twice as many.
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    TestLayout test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_layout.moc"
