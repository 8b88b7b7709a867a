// The commands of the command line, carried out on the folders the settings file names: by the
// program started without a window, or by the open window a command was handed to. Either way
// through the same functions the windows use, so a command changes what a window's action would.
//
// cli/ is the command line and the hand-over from a later start. It may include every folder but
// the program's entry.
#pragma once

#include "change/slotchange.h"
#include "cli/commandline.h"
#include "loadouts/loadoutstate.h"

#include <QJsonObject>

#include <atomic>

namespace kvr {

inline const QString kProgramVersion = QStringLiteral("1.1");

struct CommandResult
{
    int status = kCommandDone;
    QString text;      // for standard output
    QJsonObject json;  // the same, for --json
    QString problem;   // why it was refused, for standard error
    QStringList slots; // the codes of the slots whose recorded skin may have changed
    bool packagesAdded = false;

    static CommandResult refused(const QString& why);
};

// The folders the settings file names, as the main window reads them at load.
InstallTarget commandTarget(const QString& settingsFile);

// Carries out a command (any action but Start). `cancel` stops an apply between slots and ends a
// wait for the game folder; `wait` stands by while another program holds the game folder.
CommandResult runCommand(const CommandLine& line, const InstallTarget& target, const std::atomic<bool>& cancel,
                         const LockWait& wait);

// What the command prints on standard output: its text, or its JSON with the status and the
// reason of a refusal.
QByteArray commandOutput(const CommandResult& result, bool json);

} // namespace kvr
