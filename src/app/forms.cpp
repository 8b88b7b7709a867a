#include "app/forms.h"

#include <QApplication>
#include <QLayout>
#include <QScreen>

namespace kvr {

namespace {
bool g_endingAtOnce = false;
} // namespace

void endAtOnce()
{
    g_endingAtOnce = true;
    for (QWidget* window : QApplication::topLevelWidgets())
        window->close();
    QCoreApplication::exit(0);
}

bool endingAtOnce()
{
    return g_endingAtOnce;
}

void uncaughtError(const Error& error)
{
    // The toolkit's own message: the description alone, a critical icon, the program's title.
    // It goes through MsgBox like every other message, so tests answer it without a real dialog.
    MsgBox(error.description(), vbCritical);
    endAtOnce();
}

void centreOnScreen(QWidget& window)
{
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    window.ensurePolished();
    if (QLayout* layout = window.layout())
        layout->activate();
    // A window without a layout has no size hint: its own size is what will show.
    const QSize hint = window.sizeHint();
    const QSize size =
        window.isVisible() ? window.frameSize() : (hint.isValid() ? hint.expandedTo(window.size()) : window.size());
    window.move(area.center() - QPoint(size.width() / 2, size.height() / 2));
}

} // namespace kvr
