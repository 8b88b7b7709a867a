#include "app/msgboxdialog.h"

#include "app/toolkit.h"

#include <QApplication>
#include <QMessageBox>

namespace kvr {

namespace {

int showDialog(const QString& prompt, int style, const QString& title)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title);
    box.setText(prompt);
    switch (style & 0x70) {
    case vbCritical:
        box.setIcon(QMessageBox::Critical);
        break;
    case vbQuestion:
        box.setIcon(QMessageBox::Question);
        break;
    case vbExclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case 64:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    if ((style & 0x0F) == vbOKCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton((style & vbDefaultButton2) != 0 ? QMessageBox::Cancel : QMessageBox::Ok);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    return box.exec() == QMessageBox::Ok ? vbOK : vbCancel;
}

} // namespace

void installMsgBoxDialog()
{
    setMsgBoxHandler(&showDialog);
}

} // namespace kvr
