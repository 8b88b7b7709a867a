// How the main window hands the screen to a child window and takes it back: the main window is
// withdrawn (stays on screen, inert) while the child is open, and every child's closing gives it
// back first.
#pragma once

#include "app/forms.h"

namespace kvr {

enum class Withdraw { AfterShowing, BeforeShowing };

void withdrawMain();
void giveMainBack();

// Makes a child window transient for the main window: the window manager keeps it above the main
// window, so a click on the withdrawn main window cannot bury the one window the user can use.
void keepAboveMain(QWidget& child);

// Escape closes the window, as it closes a dialog.
void closeOnEscape(QWidget& window);

template <typename Child> void openChild(Withdraw when)
{
    if (when == Withdraw::BeforeShowing)
        withdrawMain();
    Child& child = Child::instance();
    keepAboveMain(child);
    child.Show();
    if (when == Withdraw::AfterShowing)
        withdrawMain();
}

// A child of the main window. Its Form_Unload gives the main window back, then runs the child's
// own closing steps.
template <typename Form> class ChildForm : public FormBase<Form>
{
protected:
    // Qt names a transient parent to the window manager only for dialog-type windows.
    ChildForm() { this->setWindowFlags(Qt::Dialog); }

    void Form_Unload(bool& cancel) final
    {
        giveMainBack();
        Child_Unload(cancel);
    }
    virtual void Child_Unload(bool& /*cancel*/) {}
};

} // namespace kvr
