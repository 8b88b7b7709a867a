#include "app/art.h"
#include "app/msgboxdialog.h"
#include "app/presentacion.h"
#include "app/toolkit.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    kvr::settleLocalTimeZone();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrava Skin Installer"));
    QApplication::setApplicationVersion(QStringLiteral("1.1"));
    QApplication::setWindowIcon(kvr::programIcon());
    kvr::installMsgBoxDialog();

    // The splash opens the main window when its time is up.
    kvr::Presentacion::instance().Show();
    return QApplication::exec();
}
