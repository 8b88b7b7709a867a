// A command given on the command line: handed to the open window when there is one, else carried
// out here without a window (a QCoreApplication, no display needed). Prints the result and
// returns the exit status; a program to start afterwards replaces this process.
#pragma once

#include "cli/commandline.h"

namespace kvr {

// Whether the raw arguments name a command; the windows' own options (Qt's -style, ...) and
// files do not.
bool namesCommand(int argc, char* argv[]);

int runCommandLine(int argc, char* argv[]);

// Prints a usage error with a pointer to --help; returns kCommandUsage.
int usageError(const QString& why);

} // namespace kvr
