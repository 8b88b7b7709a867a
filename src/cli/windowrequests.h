// Later starts of the program reach the open window here: files to open (a file manager's Open
// With) are imported as a drop on the main window imports them, and commands are carried out on
// the window's folders, history and lock, with the slot boxes showing what they changed.
#pragma once

#include <QStringList>

class QObject;

namespace kvr {

// Hands the files of this start to the program already open for this program folder, which
// raises its window; true when it took them, and this start ends. Needs no display. Arguments
// for the toolkit (a leading '-') are left to a start of its own.
bool handToOpenWindow(int argc, char* argv[]);

// Listens for later starts from now on, and opens `files` once the main window shows. The
// listener goes with the application, or when deleted.
QObject* receiveLaterStarts(const QStringList& files);

} // namespace kvr
