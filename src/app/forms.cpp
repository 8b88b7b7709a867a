#include "forms.h"

#include <QApplication>
#include <QMessageBox>
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
    QMessageBox::critical(nullptr, defaultMsgBoxTitle(), error.description());
    endAtOnce();
}

void centreOnScreen(QWidget& window)
{
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = window.frameSize().isValid() && window.isVisible() ? window.frameSize() : window.sizeHint();
    window.move(area.center() - QPoint(size.width() / 2, size.height() / 2));
}

} // namespace kvr
