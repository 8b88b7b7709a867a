// What the program was started with: nothing (the windows as always), files to open in them (a
// file manager's Open With), or one command a launcher or a terminal runs without a window.
#pragma once

#include <QString>
#include <QStringList>

namespace kvr {

// The exit status of a command.
enum CommandStatus : int {
    kCommandDone = 0,
    kCommandRefused = 1, // the reason on standard error
    kCommandUsage = 2,   // the arguments do not make a command
};

struct CommandLine
{
    enum class Action { Start, Help, Version, Status, ApplyLoadout, Undo, Import };
    Action action = Action::Start;
    QStringList files; // Start: the files to open; Import: the archives
    QString loadout;   // ApplyLoadout: a saved loadout's name or a loadout file
    QStringList then;  // the program to run after the apply, with its arguments ("--" and on)
    bool json = false;
    bool startAnyway = false; // run `then` also when the apply was refused
    QString usageError;       // why the arguments make no command; "" when they do

    // A command runs without a window unless one is open; Start and its files need the windows.
    bool isCommand() const { return action != Action::Start; }
};

// Reads the arguments after the program's name. Never fails: a usage error is in the result.
CommandLine parseCommandLine(const QStringList& arguments);

// The same arguments with every file made absolute against `folder`, for a window whose own
// working folder is another, and file: URLs made paths.
CommandLine withAbsolutePaths(CommandLine line, const QString& folder);

// Whether a --apply-loadout argument names a loadout file rather than a saved loadout: a
// loadout's name never holds a '/', and a file from a file manager ends in the loadouts' extension.
bool namesLoadoutFile(const QString& loadout);

// What --help prints.
QString usageText();

} // namespace kvr
