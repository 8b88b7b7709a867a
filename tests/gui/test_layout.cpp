// The windows as a user meets them: fixed sizes that hold every caption whole at the desktop's font
// and a larger one, sharp pictures at scale factor 2, and a keyboard order that follows the layout.
#include "guisupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QTest>

#include <optional>

using namespace Qt::StringLiterals;

using kvr::Principal;

namespace {

// The named control that holds the keyboard focus (an editable combo box hands it to its text field).
QString focusedControl()
{
    QWidget* focus = QApplication::focusWidget();
    if (focus && qobject_cast<QComboBox*>(focus->parentWidget()))
        focus = focus->parentWidget();
    return focus ? focus->objectName() : QString();
}

// What a fixed-size window fails to show whole or sharp; empty when all is well.
QString faults(const QWidget& window)
{
    QStringList faults;
    if (window.minimumSize() != window.maximumSize() || window.size() != window.minimumSize())
        faults << u"not of one fixed size"_s;
    const auto size = [](QSize s) { return u"%1x%2"_s.arg(s.width()).arg(s.height()); };
    for (const QWidget* widget : window.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&window) || widget->objectName().isEmpty())
            continue;
        const QString name = widget->objectName();
        if (!window.rect().contains(QRect(widget->mapTo(&window, QPoint()), widget->size())))
            faults << name + u" lies outside the window"_s;
        QSize needed;
        if (const auto* label = qobject_cast<const QLabel*>(widget)) {
            const QPixmap pixmap = label->pixmap();
            if (!pixmap.isNull() && (pixmap.width() < label->contentsRect().width() * window.devicePixelRatio() ||
                                     pixmap.height() < label->contentsRect().height() * window.devicePixelRatio()))
                faults << name + u" blurs its picture of "_s + size(pixmap.size());
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
            faults << name + u" needs "_s + size(needed) + u", has "_s + size(widget->size());
    }
    return faults.join(u"; "_s);
}

} // namespace

class TestLayout : public QObject, kvrtest::ProgramFixture
{
    Q_OBJECT

    QFont desktopFont;

private Q_SLOTS:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        desktopFont = QApplication::font();
    }
    void init()
    {
        openProgram();
        QVERIFY(ws->writeSettings());
    }
    void cleanup()
    {
        QVERIFY(kvrtest::closeEveryWindow());
        QApplication::setFont(desktopFont);
        closeProgram();
    }

    void windowsFitTheirTexts_data();
    void windowsFitTheirTexts();
    void tabOrder_data();
    void tabOrder();
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

    Principal& main = Principal::instance(); // loaded after the font is set, as at start-up
    main.Show();
    for (const QString& button : {u"Command4"_s, u"Command2"_s, u"Command3"_s, u"Command5"_s}) {
        main.findChild<QAbstractButton*>(button)->click();
        QWidget* child = kvrtest::openWindow({}, &main);
        QVERIFY2(child, qPrintable(button));
        QVERIFY(QTest::qWaitForWindowExposed(child));
        QVERIFY2(faults(*child).isEmpty(), qPrintable(child->objectName() + u": "_s + faults(*child)));
        kvrtest::closeWindow(*child);
    }
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    QVERIFY2(faults(main).isEmpty(), qPrintable(faults(main)));
}

void TestLayout::tabOrder_data()
{
    QTest::addColumn<QString>("opener");
    QTest::addColumn<QStringList>("expected");
    QStringList main;
    for (int n = 1; n <= 30; ++n)
        main << u"Combo%1"_s.arg(n);
    main << u"Command1"_s << u"Command4"_s << u"Command2"_s << u"Command3"_s << u"Command5"_s << u"Combo1"_s;
    QTest::newRow("main window: down each column, then the buttons") << QString() << main;
    QTest::newRow("control panel") << u"Command2"_s
                                   << QStringList{u"Drive1"_s,   u"Dir1"_s,  u"Command1"_s, u"Text1"_s,
                                                  u"Command2"_s, u"Text2"_s, u"Command3"_s, u"Drive1"_s};
}

void TestLayout::tabOrder()
{
    QFETCH(QString, opener);
    QFETCH(QStringList, expected);
    Principal& main = Principal::instance();
    main.Show();
    QWidget* window = &main;
    if (!opener.isEmpty()) {
        main.findChild<QAbstractButton*>(opener)->click();
        window = kvrtest::openWindow({}, &main);
        QVERIFY(window);
    }
    QVERIFY(QTest::qWaitForWindowActive(window));
    window->findChild<QWidget*>(expected.first())->setFocus();
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
    for (const QString& name : {u"Command3"_s, u"Command5"_s}) {
        auto* button = main.findChild<QAbstractButton*>(name);
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Space);
        QWidget* child = kvrtest::openWindow({}, &main);
        QVERIFY2(child, qPrintable(name));
        kvrtest::closeWindow(*child);
        main.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        QCOMPARE(focusedControl(), name);
    }
}

int main(int argc, char* argv[])
{
    qputenv("QT_SCALE_FACTOR", "2"); // every size is device-independent, drawn at twice the pixels
    QApplication app(argc, argv);
    TestLayout test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_layout.moc"
