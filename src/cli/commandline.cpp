#include "cli/commandline.h"

#include "loadouts/loadoutfile.h"

#include <QDir>
#include <QUrl>

namespace kvr {

namespace {

using Action = CommandLine::Action;

struct OptionName
{
    const char* name;
    Action action;
};

// The options that name a command; one at a time.
constexpr OptionName kCommands[] = {
    {"--help", Action::Help},
    {"-h", Action::Help},
    {"--version", Action::Version},
    {"--status", Action::Status},
    {"--undo", Action::Undo},
    {"--import", Action::Import},
    {"--apply-loadout", Action::ApplyLoadout},
};

CommandLine usage(const QString& why)
{
    CommandLine line;
    line.usageError = why;
    return line;
}

} // namespace

CommandLine parseCommandLine(const QStringList& arguments)
{
    CommandLine line;
    bool commandGiven = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString argument = arguments[i];
        if (argument == QStringLiteral("--")) {
            line.then = arguments.mid(i + 1);
            if (line.then.isEmpty())
                return usage(QStringLiteral("\"--\" must be followed by the program to start."));
            break;
        }
        if (!argument.startsWith(QLatin1Char('-')) || argument == QStringLiteral("-")) {
            line.files.append(argument);
            continue;
        }
        if (argument == QStringLiteral("--json")) {
            line.json = true;
            continue;
        }
        if (argument == QStringLiteral("--start-anyway")) {
            line.startAnyway = true;
            continue;
        }
        QString value;
        bool hasValue = false;
        if (const qsizetype equals = argument.indexOf(QLatin1Char('='));
            argument.startsWith(QStringLiteral("--")) && equals > 0) {
            value = argument.mid(equals + 1);
            argument.truncate(equals);
            hasValue = true;
        }
        const auto* option = std::find_if(std::begin(kCommands), std::end(kCommands),
                                          [&](const OptionName& o) { return argument == QLatin1String(o.name); });
        if (option == std::end(kCommands))
            return usage(QStringLiteral("Unknown option: %1").arg(arguments[i]));
        if (commandGiven)
            return usage(QStringLiteral("Give one command at a time."));
        commandGiven = true;
        line.action = option->action;
        if (option->action == Action::ApplyLoadout) {
            if (!hasValue && i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1Char('-')))
                value = arguments[++i], hasValue = true;
            if (!hasValue || value.isEmpty())
                return usage(QStringLiteral("--apply-loadout needs the name of a loadout or a loadout file."));
            line.loadout = value;
        } else if (hasValue) {
            return usage(QStringLiteral("%1 takes no value.").arg(argument));
        }
    }

    if (!line.then.isEmpty() && line.action != Action::ApplyLoadout)
        return usage(QStringLiteral("Only --apply-loadout starts a program after \"--\"."));
    if (line.startAnyway && line.then.isEmpty())
        return usage(QStringLiteral("--start-anyway goes with --apply-loadout NAME -- COMMAND."));
    if (line.action == Action::Import && line.files.isEmpty())
        return usage(QStringLiteral("--import needs at least one archive."));
    if (line.action != Action::Import && line.action != Action::Start && !line.files.isEmpty())
        return usage(QStringLiteral("Unexpected argument: %1").arg(line.files.first()));
    if (line.json && !line.isCommand())
        return usage(QStringLiteral("--json goes with a command."));
    return line;
}

bool namesLoadoutFile(const QString& loadout)
{
    return loadout.contains(QLatin1Char('/')) || loadout.endsWith(kLoadoutExtension, Qt::CaseInsensitive);
}

CommandLine withAbsolutePaths(CommandLine line, const QString& folder)
{
    const QDir dir(folder);
    // A desktop entry may hand over files as file: URLs.
    for (QString& file : line.files)
        file = QDir::cleanPath(dir.absoluteFilePath(
            file.startsWith(QStringLiteral("file:"), Qt::CaseInsensitive) ? QUrl(file).toLocalFile() : file));
    if (line.action == Action::ApplyLoadout && namesLoadoutFile(line.loadout))
        line.loadout = QDir::cleanPath(dir.absoluteFilePath(line.loadout));
    return line;
}

QString usageText()
{
    return QStringLiteral("Usage: kvrsi [FILE...]\n"
                          "       kvrsi COMMAND [--json]\n"
                          "\n"
                          "Without a command the program opens its windows; archives, .kvrloadout and .kvrpack files\n"
                          "given are opened there. When the program is open already, they go to its window.\n"
                          "\n"
                          "Commands (carried out in the open window when there is one, else without a window):\n"
                          "  --status                    the 30 slots with the skin recorded for each, and the\n"
                          "                              game and skins folders\n"
                          "  --apply-loadout NAME|FILE   applies a saved loadout, or a loadout file (named with a\n"
                          "                              '/' or its .kvrloadout extension), as one change\n"
                          "  --apply-loadout NAME [--start-anyway] -- COMMAND [ARGS...]\n"
                          "                              applies it, then runs COMMAND in its place; a refused\n"
                          "                              apply does not run it unless --start-anyway is given\n"
                          "  --undo                      Undo Last Change\n"
                          "  --import FILE...            imports archives into the skins folder; an archive\n"
                          "                              whose slot cannot be told is refused\n"
                          "  --version                   the program's version\n"
                          "  --help                      this text\n"
                          "\n"
                          "  --json                      the same output as JSON\n"
                          "\n"
                          "Exit status: 0 done, 1 refused (the reason on standard error), 2 usage error.\n");
}

} // namespace kvr
