#include "app/navigation.h"

#include "app/mainwindow.h"

#include <QPointer>
#include <QShortcut>
#include <QWindow>

namespace kvr {

namespace {
// Disabling a window takes the keyboard focus from it; the control that had it gets it back
// with the window, so a keyboard user goes on from the button that opened the child.
QPointer<QWidget> g_focusBeforeWithdrawing;
} // namespace

void closeOnEscape(QWidget& window)
{
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), &window);
    QObject::connect(escape, &QShortcut::activated, &window, &QWidget::close);
}

void withdrawMain()
{
    QWidget& main = mainWindow().widget();
    g_focusBeforeWithdrawing = main.focusWidget();
    main.setEnabled(false);
}

void keepAboveMain(QWidget& child)
{
    QWidget& main = mainWindow().widget();
    // A transient parent rather than a parent widget: disabling the main window would otherwise
    // disable the child with it, and the child would go when the main window goes.
    main.winId();
    child.winId();
    child.windowHandle()->setTransientParent(main.windowHandle());
}

void giveMainBack()
{
    QWidget& main = mainWindow().widget();
    main.setEnabled(true);
    if (g_focusBeforeWithdrawing)
        g_focusBeforeWithdrawing->setFocus(Qt::OtherFocusReason);
    g_focusBeforeWithdrawing.clear();
}

} // namespace kvr
