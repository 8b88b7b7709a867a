// Windows of this program: one instance per class, created on first reference (which runs its
// Form_Load) and destroyed when closed (its Form_Unload runs from the close event).
#pragma once

#include "app/art.h"
#include "app/toolkit.h"

#include <QCloseEvent>
#include <QPointer>
#include <QWidget>

#include <functional>

namespace kvr {

// Ends the program at once: every window closes and no Form_Unload runs.
void endAtOnce();
bool endingAtOnce();

// An error that no handler catches shows the toolkit's message and ends the program.
void uncaughtError(const Error& error);

// Runs an event handler in the "none" error state.
template <typename Handler> void handle(Handler&& handler)
{
    try {
        std::forward<Handler>(handler)();
    } catch (const Error& e) {
        uncaughtError(e);
    }
}

// Connects a control's event to a window's handler, run in the "none" error state. Extra
// arguments go to the handler: the slot number, for thirty rows that share one handler.
template <typename Sender, typename Signal, typename Receiver, typename Handler, typename... Args>
void connectHandler(Sender* sender, Signal signal, Receiver* receiver, Handler handler, Args... args)
{
    QObject::connect(sender, signal, receiver,
                     [receiver, handler, args...] { handle([&] { std::invoke(handler, receiver, args...); }); });
}

// Centres a fixed-size window on its screen.
void centreOnScreen(QWidget& window);

template <typename Form> class FormBase : public QWidget
{
public:
    // The window, created and loaded on first reference.
    static Form& instance()
    {
        if (!s_instance) {
            auto* form = new Form;
            s_instance = form;
            handle([form] { static_cast<FormBase*>(form)->Form_Load(); });
        }
        return *s_instance;
    }
    static bool exists() { return !s_instance.isNull(); }

    // Names the window as code and tests find it, with its caption and the program's icon.
    void setUpWindow(const QString& name, const QString& caption)
    {
        setObjectName(name);
        setWindowTitle(caption);
        setWindowIcon(programIcon());
    }

    // Modeless: returns at once.
    void Show()
    {
        centreOnScreen(*this);
        show();
        raise();
        activateWindow();
    }

protected:
    FormBase() { setAttribute(Qt::WA_DeleteOnClose); }

    virtual void Form_Load() {}
    virtual void Form_Unload(bool& /*cancel*/) {}

    void closeEvent(QCloseEvent* event) override
    {
        if (!endingAtOnce()) {
            bool cancel = false;
            handle([&] { Form_Unload(cancel); });
            if (cancel) {
                event->ignore();
                return;
            }
        }
        event->accept();
    }

private:
    friend Form;
    static inline QPointer<Form> s_instance;
};

} // namespace kvr
