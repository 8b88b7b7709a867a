#include "app/navigation.h"

#include "installer/principal.h"

#include <QPointer>

namespace kvr {

namespace {
// Disabling a window takes the keyboard focus from it; the control that had it gets it back
// with the window, so a keyboard user goes on from the button that opened the child.
QPointer<QWidget> g_focusBeforeWithdrawing;
} // namespace

void withdrawMain()
{
    Principal& main = Principal::instance();
    g_focusBeforeWithdrawing = main.focusWidget();
    main.setEnabled(false);
}

void giveMainBack()
{
    Principal& main = Principal::instance();
    main.setEnabled(true);
    if (g_focusBeforeWithdrawing)
        g_focusBeforeWithdrawing->setFocus(Qt::OtherFocusReason);
    g_focusBeforeWithdrawing.clear();
}

} // namespace kvr
