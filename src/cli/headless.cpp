#include "cli/headless.h"

#include "app/toolkit.h"
#include "cli/commands.h"
#include "cli/instance.h"
#include "settings/modulo_ini.h"

#include <QCoreApplication>
#include <QDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include <unistd.h>

namespace kvr {

namespace {

std::atomic<bool> g_interrupted{false};

void interrupt(int /*signal*/)
{
    g_interrupted = true;
}

void print(std::FILE* stream, const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    if (!bytes.endsWith('\n'))
        std::fputc('\n', stream);
    std::fflush(stream);
}

// Another program holding the game folder is waited for until it lets go or the user presses
// Ctrl+C; nothing has been touched until then.
bool waitForGameFolder(const QString& waitingFor, const std::function<bool()>& tryLock)
{
    bool said = false;
    while (!g_interrupted) {
        if (tryLock())
            return true;
        if (!said)
            print(stderr, waitingFor.toUtf8());
        said = true;
        QThread::msleep(50);
    }
    return false;
}

InstanceReply runHere(const CommandLine& line)
{
    // Ctrl+C calls off a wait for the game folder, or an apply between two slots.
    std::signal(SIGINT, &interrupt);
    std::signal(SIGTERM, &interrupt);
    const QString settings = Modulo::settingsPath();
    // As the main window's load does: a change cut short is finished before anything is read.
    if (line.action != CommandLine::Action::Help && line.action != CommandLine::Action::Version)
        finishInterruptedChanges(settings);
    const CommandResult result = runCommand(line, commandTarget(settings), g_interrupted, &waitForGameFolder);
    return {result.status, commandOutput(result, line.json), result.problem.toUtf8()};
}

// Starts the program after "--" in this process's place; arguments go to it as they are, never
// through a shell. Returns only when it could not be started.
int startInstead(const QStringList& command)
{
    std::vector<QByteArray> bytes;
    for (const QString& argument : command)
        bytes.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    argv.reserve(bytes.size() + 1);
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    ::execvp(argv[0], argv.data());
    const int err = errno;
    print(stderr, QStringLiteral("%1 could not be started: %2")
                      .arg(command.first(), Error::fromErrno(err).description())
                      .toUtf8());
    return kCommandRefused;
}

} // namespace

bool namesCommand(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--") == 0)
            return true;
        // A long option is ours; Qt's own take one dash.
        if (std::strncmp(a, "--", 2) == 0 || std::strcmp(a, "-h") == 0)
            return true;
    }
    return false;
}

int usageError(const QString& why)
{
    print(stderr, (why + QStringLiteral("\nTry \"kvrsi --help\".")).toUtf8());
    return kCommandUsage;
}

int runCommandLine(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Kestrava Skin Installer"));
    QCoreApplication::setApplicationVersion(kProgramVersion);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const CommandLine line = withAbsolutePaths(parseCommandLine(arguments), QDir::currentPath());
    if (!line.usageError.isEmpty())
        return usageError(line.usageError);

    // What a window would say in a message box goes to standard error.
    setMsgBoxHandler([](const QString& prompt, int, const QString&) {
        print(stderr, prompt.toUtf8());
        return int(vbOK);
    });

    InstanceReply reply;
    if (line.action == CommandLine::Action::Help || line.action == CommandLine::Action::Version) {
        reply = runHere(line);
    } else {
        const InstancePlace place = instancePlace(programFolder());
        if (!place.problem.isEmpty()) {
            print(stderr, place.problem.toUtf8());
            return kCommandRefused;
        }
        const std::optional<InstanceReply> handed =
            handToOpenProgram(place.socketPath, {arguments, QDir::currentPath()});
        reply = handed ? *handed : runHere(line);
    }
    print(stdout, reply.out);
    print(stderr, reply.err);
    if (line.then.isEmpty())
        return reply.status;
    if (reply.status != kCommandDone && !line.startAnyway) {
        print(stderr, QStringLiteral("%1 was not started (--start-anyway starts it all the same).")
                          .arg(line.then.first())
                          .toUtf8());
        return reply.status;
    }
    return startInstead(line.then);
}

} // namespace kvr
