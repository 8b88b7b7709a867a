#include "installer/changeprompts.h"

#include "app/toolkit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace kvr {

bool waitInWindow(const QString& waitingFor, const std::function<bool()>& tryLock)
{
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < 500) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        if (tryLock())
            return true;
    }
    QMessageBox box(QMessageBox::Information, defaultMsgBoxTitle(), waitingFor, QMessageBox::Cancel,
                    QApplication::activeWindow());
    box.setObjectName(QStringLiteral("LockWait"));
    box.setWindowModality(Qt::ApplicationModal);
    bool locked = false;
    QTimer retry;
    QObject::connect(&retry, &QTimer::timeout, &box, [&] {
        if (tryLock()) {
            locked = true;
            box.done(QDialog::Accepted);
        }
    });
    retry.start(100);
    box.exec();
    return locked;
}

void tellNotInstalled(const QString& skin, const QString& problem)
{
    MsgBox(QStringLiteral("%1 was not installed; nothing of the slot changed.\n%2").arg(skin, problem), vbExclamation);
}

} // namespace kvr
