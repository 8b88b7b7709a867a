// The program's entry, above every folder: a command without a window, a hand-over to the open
// window, or the splash and the main window. windowlinks.cpp beside it fills in how the windows
// below reach those above.
#include "app/art.h"
#include "app/msgboxdialog.h"
#include "app/presentacion.h"
#include "app/toolkit.h"
#include "cli/commands.h"
#include "cli/headless.h"
#include "cli/windowrequests.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    kvr::settleLocalTimeZone();
    // A command needs no window, and no display.
    if (kvr::namesCommand(argc, argv))
        return kvr::runCommandLine(argc, argv);
    // Open already: that window takes the files and comes forward.
    if (kvr::handToOpenWindow(argc, argv))
        return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrava Skin Installer"));
    QApplication::setApplicationVersion(kvr::kProgramVersion);
    QApplication::setWindowIcon(kvr::programIcon());

    // What is left once the toolkit took its own options: files to open.
    const kvr::CommandLine line = kvr::parseCommandLine(QApplication::arguments().mid(1));
    if (!line.usageError.isEmpty())
        return kvr::usageError(line.usageError);
    kvr::installMsgBoxDialog();
    kvr::receiveLaterStarts(line.files);

    // The splash opens the main window when its time is up.
    kvr::Presentacion::instance().Show();
    return QApplication::exec();
}
