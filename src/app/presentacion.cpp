#include "app/presentacion.h"

#include "app/art.h"
#include "app/mainwindow.h"

#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

namespace kvr {

namespace {
constexpr QSize kSplashSize(468, 315);
constexpr int kSplashMilliseconds = 1000;
} // namespace

Presentacion::Presentacion()
{
    setObjectName(QStringLiteral("Presentacion"));
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint);
    setWindowIcon(programIcon());

    // The picture fills the whole window, whatever size the art turns out to be.
    Picture = new QLabel;
    Picture->setObjectName(QStringLiteral("Picture"));
    Picture->setFixedSize(kSplashSize);
    Picture->setScaledContents(true);
    Picture->setPixmap(splashPicture());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Picture);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setSingleShot(true);
    Timer1->setInterval(kSplashMilliseconds);
    connectHandler(Timer1, &QTimer::timeout, this, &Presentacion::Timer1_Timer);
}

void Presentacion::Form_Load()
{
    Timer1->start();
}

void Presentacion::Timer1_Timer()
{
    // The timer goes with the window: it must not fire again while the window waits to be destroyed.
    Timer1->stop();
    mainWindow().Show();
    close();
}

} // namespace kvr
