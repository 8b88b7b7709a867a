#include "cli/windowrequests.h"

#include "app/progresstask.h"
#include "app/toolkit.h"
#include "cli/commands.h"
#include "cli/instance.h"
#include "history/historywindow.h"
#include "installer/importflow.h"
#include "installer/principal.h"
#include "loadouts/loadouts.h"
#include "loadouts/pack.h"
#include "viewer/visor.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <memory>

namespace kvr {

namespace {

bool mainShown()
{
    return Principal::exists() && Principal::instance().isVisible();
}

// The player's hand is free: no child window or dialog holds the main window.
bool mainFree()
{
    return mainShown() && Principal::instance().isEnabled() && !QApplication::activeModalWidget();
}

void raiseProgram()
{
    if (!Principal::exists())
        return;
    Principal& main = Principal::instance();
    if (main.isMinimized())
        main.showNormal();
    main.raise();
    main.activateWindow();
    // A child window or a dialog over it is where the player goes on.
    QWidget* top = QApplication::activeModalWidget();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (!top && w != &main && w->isVisible() && w->isEnabled() && qobject_cast<QDialog*>(w) == nullptr &&
            w->windowHandle() && w->windowHandle()->transientParent() == main.windowHandle())
            top = w;
    if (top) {
        top->raise();
        top->activateWindow();
    }
}

void openFiles(const QStringList& files)
{
    QStringList loadouts, packs, archives;
    for (const QString& f : files) {
        if (f.endsWith(kLoadoutExtension, Qt::CaseInsensitive))
            loadouts.append(f);
        else if (f.endsWith(kPackExtension, Qt::CaseInsensitive))
            packs.append(f);
        else
            archives.append(f);
    }
    if (!loadouts.isEmpty())
        importLoadoutFiles(loadouts);
    // Each pack shows what it would change before anything is written, as a pack dropped does.
    for (const QString& pack : std::as_const(packs))
        openPackFile(&Principal::instance(), pack);
    if (!archives.isEmpty())
        importArchives(&Principal::instance(), archives);
}

// What a command changed, shown where the player looks: the slot boxes, the lists of packages,
// and the windows of loadouts and of the history.
void showChanges(const CommandResult& result)
{
    Principal& main = Principal::instance();
    QList<HistorySlot> slots;
    for (const QString& code : result.slots)
        slots.append({code, {}, {}});
    showSkins(main, slots);
    if (result.packagesAdded) {
        main.File1.setPath(main.File1.Path());
        if (Visor::exists())
            Visor::instance().listPackagesAgain();
    }
    if (Loadouts::exists())
        Loadouts::instance().refreshList();
    if (HistoryWindow::exists())
        HistoryWindow::instance().refill();
}

// Messages of a command carried out for a later start go back to it with the answer, not into
// dialogs: the command runs on the program's pool, where no dialog may open.
thread_local QStringList* t_messages = nullptr;

void collectCommandMessages()
{
    MsgBoxHandler previous = setMsgBoxHandler({});
    setMsgBoxHandler([previous](const QString& prompt, int style, const QString& title) {
        if (t_messages) {
            t_messages->append(prompt);
            return int(vbOK);
        }
        return previous ? previous(prompt, style, title) : int(vbOK);
    });
}

void carryOut(const CommandLine& line, const InstanceServer::Answer& answer)
{
    if (line.action == CommandLine::Action::Undo && restoreUnderWay()) {
        answer({kCommandRefused, {}, QStringLiteral("An undo or restore is under way.").toUtf8()});
        return;
    }
    Principal& main = Principal::instance();
    const InstallTarget target{main.INSTFOLDER, main.SKINSFOLDER, main.INIFILE};
    auto result = std::make_shared<CommandResult>();
    ProgressLook look;
    look.objectName = QStringLiteral("CommandProgress");
    look.title = main.windowTitle();
    look.label = QStringLiteral("Carrying out a command from the command line...");
    const auto work = [line, target, result](const std::atomic_bool& stop, WorkProgress& progress) {
        const LockWait waitForLock = lockWaitUntilCancelled(stop, [&progress](const QString& waitingFor) {
            if (!waitingFor.isEmpty())
                progress.say(waitingFor);
        });
        QStringList messages;
        t_messages = &messages;
        *result = runCommand(line, target, stop, waitForLock);
        t_messages = nullptr;
        if (!messages.isEmpty())
            result->problem = (messages + QStringList{result->problem}).join(QLatin1Char('\n')).trimmed();
    };
    ProgressTask* task = ProgressTask::start(&main, look, work, Qt::NonModal, ProgressTask::Ending::Finish);
    QObject::connect(task, &ProgressTask::Finished, QCoreApplication::instance(), [line, result, answer] {
        if (Principal::exists())
            showChanges(*result);
        answer({result->status, commandOutput(*result, line.json), result->problem.toUtf8()});
    });
}

// Holds what came before the main window could take it, and hands it over once it can.
class Receiver : public QObject
{
public:
    explicit Receiver(QObject* parent) : QObject(parent)
    {
        m_poll = new QTimer(this);
        m_poll->setInterval(100);
        connect(m_poll, &QTimer::timeout, this, &Receiver::handOver);
    }

    void take(const InstanceRequest& request, const InstanceServer::Answer& answer)
    {
        const CommandLine line = withAbsolutePaths(parseCommandLine(request.arguments), request.folder);
        if (!line.usageError.isEmpty()) {
            answer({kCommandUsage, {}, line.usageError.toUtf8()});
            return;
        }
        if (line.isCommand()) {
            m_waiting.append({false, [line, answer] { carryOut(line, answer); }});
        } else {
            // The later start ends at once; the window comes forward and opens its files.
            answer({kCommandDone, {}, {}});
            m_waiting.append({false, &raiseProgram});
            if (!line.files.isEmpty())
                m_waiting.append({true, [files = line.files] { openFiles(files); }});
        }
        handOver();
    }

private:
    struct Waiting
    {
        bool needsHand; // opens dialogs: waits until no child window or dialog is open
        std::function<void()> work;
    };

    void handOver()
    {
        while (!m_waiting.isEmpty() && mainShown() && (!m_waiting.first().needsHand || mainFree())) {
            const Waiting next = m_waiting.takeFirst();
            handle(next.work);
        }
        if (m_waiting.isEmpty())
            m_poll->stop();
        else if (!m_poll->isActive())
            m_poll->start();
    }

    QList<Waiting> m_waiting;
    QTimer* m_poll = nullptr;
};

} // namespace

bool handToOpenWindow(int argc, char* argv[])
{
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-')
            return false;
        files.append(QFile::decodeName(argv[i]));
    }
    // The program folder is known once an application object is: one without a display.
    const QCoreApplication probe(argc, argv);
    const InstancePlace place = instancePlace(programFolder());
    if (!place.problem.isEmpty())
        return false;
    const std::optional<InstanceReply> reply = handToOpenProgram(place.socketPath, {files, QDir::currentPath()});
    if (reply && !reply->err.isEmpty())
        std::fprintf(stderr, "%s\n", reply->err.constData());
    return reply.has_value();
}

QObject* receiveLaterStarts(const QStringList& files)
{
    collectCommandMessages();
    auto* receiver = new Receiver(QCoreApplication::instance());
    const InstancePlace place = instancePlace(programFolder());
    QString problem = place.problem;
    if (problem.isEmpty()) {
        auto* server =
            new InstanceServer([receiver](const InstanceRequest& request,
                                          const InstanceServer::Answer& answer) { receiver->take(request, answer); },
                               receiver);
        server->listen(place.socketPath, &problem);
    }
    // The program works on without: later starts then open windows of their own.
    if (!problem.isEmpty())
        std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
    if (!files.isEmpty())
        receiver->take({files, QDir::currentPath()}, [](const InstanceReply&) {});
    return receiver;
}

} // namespace kvr
