#include "app/msgboxdialog.h"
#include "installer/principal.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrava Skin Installer"));
    QApplication::setApplicationVersion(QStringLiteral("1.1"));
    kvr::installMsgBoxDialog();

    kvr::Principal::instance().Show();
    return QApplication::exec();
}
