#include "app/progresstask.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <condition_variable>
#include <vector>

namespace kvr {

namespace {

// Work that ends sooner than this shows no dialog.
constexpr int kProgressDelayMs = 500;
constexpr int kPollMs = 50;

// The tasks the end of the program waits for.
struct Unfinished
{
    std::mutex mutex;
    std::condition_variable ended;
    int count = 0;
};

Unfinished& unfinished()
{
    static Unfinished u;
    return u;
}

void waitForUnfinished()
{
    // Called off first: work still waiting for another program's lock gives up, touching nothing.
    background::cancelAll(0);
    Unfinished& u = unfinished();
    std::unique_lock lock(u.mutex);
    u.ended.wait(lock, [&u] { return u.count == 0; });
}

void beginUnfinished()
{
    static const bool hooked = [] {
        // The pool's own end comes first: it sets every flag.
        background::pool();
        if (auto* app = QCoreApplication::instance()) {
            QObject::connect(app, &QCoreApplication::aboutToQuit, app, waitForUnfinished);
            qAddPostRoutine(waitForUnfinished);
        }
        return true;
    }();
    (void)hooked;
    Unfinished& u = unfinished();
    const std::lock_guard lock(u.mutex);
    ++u.count;
}

void endUnfinished()
{
    Unfinished& u = unfinished();
    {
        const std::lock_guard lock(u.mutex);
        --u.count;
    }
    u.ended.notify_all();
}

// The tasks not finished yet, by their look's objectName. Touched on the window thread only.
std::vector<ProgressTask*>& runningTasks()
{
    static std::vector<ProgressTask*> tasks;
    return tasks;
}

// Input the player makes before the dialog shows, dropped: QEventLoop's ExcludeUserInputEvents
// would only hold it back, and deliver it once the work is done. A question the work asks meanwhile
// (a modal dialog, which keeps the other windows from input itself) takes its answer.
class InputDropper : public QObject
{
public:
    InputDropper() { QCoreApplication::instance()->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            if (event->spontaneous() && !QApplication::activeModalWidget()) {
                // An override taken keeps a shortcut from firing on the key.
                event->accept();
                return true;
            }
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }
};

// Cancel, Escape and the title bar's close button all come as `canceled`: the dialog stays up
// until the work has returned, saying it is cancelling or what it finishes.
class WorkDialog : public QProgressDialog
{
public:
    WorkDialog(const QString& label, int maximum, QWidget* parent)
        : QProgressDialog(label, QStringLiteral("Cancel"), 0, maximum, parent)
    {
        // QProgressDialog hides itself on `canceled`.
        disconnect(this, SIGNAL(canceled()), this, SLOT(cancel()));
    }

protected:
    void reject() override {}
};

} // namespace

void WorkProgress::say(const QString& text)
{
    const std::lock_guard lock(m_mutex);
    m_said = text;
}

QString WorkProgress::said() const
{
    const std::lock_guard lock(m_mutex);
    return m_said;
}

bool WorkProgress::finishing(const std::atomic_bool& stop, const QString& what)
{
    // Under the lock Cancel takes too: either the Cancel is seen here or it finds Cancel off.
    const std::lock_guard lock(m_mutex);
    if (stop)
        return false;
    m_finishing = true;
    m_said = what;
    return true;
}

void WorkProgress::cancellable(const QString& what)
{
    const std::lock_guard lock(m_mutex);
    m_finishing = false;
    m_said = what;
}

bool WorkProgress::isFinishing() const
{
    const std::lock_guard lock(m_mutex);
    return m_finishing;
}

bool WorkProgress::cancel(std::atomic_bool& stop)
{
    const std::lock_guard lock(m_mutex);
    if (m_finishing)
        return false;
    stop = true;
    return true;
}

struct ProgressTask::Shared
{
    explicit Shared(int total) : progress(total) {}
    WorkProgress progress;
    std::mutex mutex;
    std::condition_variable doneChanged;
    bool done = false;

    void waitDone()
    {
        std::unique_lock lock(mutex);
        doneChanged.wait(lock, [this] { return done; });
    }
};

// Goes with the pool's piece of work, after it ran or when the pool dropped it unstarted: either
// way the task hears of it once.
struct ProgressTask::Finisher
{
    Finisher(std::shared_ptr<Shared> state, ProgressTask* owner, bool waitedForAtEnd)
        : shared(std::move(state)), task(owner), counted(waitedForAtEnd)
    {
    }
    ~Finisher()
    {
        // Posted before the work counts as done, so the task is still there to take it.
        QMetaObject::invokeMethod(
            task, [t = task] { t->finish(); }, Qt::QueuedConnection);
        {
            const std::lock_guard lock(shared->mutex);
            shared->done = true;
        }
        shared->doneChanged.notify_all();
        if (counted)
            endUnfinished();
    }
    Finisher(const Finisher&) = delete;
    Finisher& operator=(const Finisher&) = delete;

    std::shared_ptr<Shared> shared;
    ProgressTask* task;
    bool counted;
};

ProgressTask::ProgressTask(QWidget* window, const ProgressLook& look, Qt::WindowModality modality)
    : m_window(window), m_look(look), m_modality(modality), m_shared(std::make_shared<Shared>(look.total)),
      m_delay(new QTimer(this)), m_poll(new QTimer(this))
{
    m_delay->setSingleShot(true);
    connect(m_delay, &QTimer::timeout, this, &ProgressTask::showDialog);
    connect(m_poll, &QTimer::timeout, this, &ProgressTask::refreshDialog);
    runningTasks().push_back(this);
}

ProgressTask::~ProgressTask()
{
    std::erase(runningTasks(), this);
    if (m_dialog)
        m_dialog->deleteLater();
}

ProgressTask* ProgressTask::start(QWidget* window, const ProgressLook& look, ProgressWork work,
                                  Qt::WindowModality modality, Ending ending)
{
    auto* task = new ProgressTask(window, look, modality);
    const bool counted = ending == Ending::Finish;
    if (counted)
        beginUnfinished();
    auto finisher = std::make_shared<Finisher>(task->m_shared, task, counted);
    task->m_stop = background::run(
        [finisher, work = std::move(work)](const std::atomic_bool& stop) { work(stop, finisher->shared->progress); });
    task->m_delay->start(kProgressDelayMs);
    return task;
}

ProgressTask* ProgressTask::running(const QString& objectName)
{
    const std::vector<ProgressTask*>& tasks = runningTasks();
    const auto it = std::ranges::find_if(
        tasks, [&objectName](const ProgressTask* t) { return t->m_look.objectName == objectName; });
    return it == tasks.end() ? nullptr : *it;
}

void ProgressTask::showDialog()
{
    // A window closed meanwhile gets no dialog; work the whole program waits for gets one anyway.
    if (m_finished || (!m_window && m_modality != Qt::ApplicationModal))
        return;
    auto* progress = new WorkDialog(m_look.label, std::max(m_look.total, 0), m_window);
    m_dialog = progress;
    progress->setObjectName(m_look.objectName);
    progress->setWindowTitle(m_look.title);
    if (m_look.minimumWidthChars > 0)
        progress->setMinimumWidth(progress->fontMetrics().averageCharWidth() * m_look.minimumWidthChars);
    progress->setWindowModality(m_modality);
    progress->setMinimumDuration(0);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    connect(progress, &QProgressDialog::canceled, this, [this] {
        if (m_cancelled || !canCancel() || !m_shared->progress.cancel(*m_stop))
            return;
        m_cancelled = true;
        refreshDialog();
    });
    refreshDialog();
    if (m_finished)
        return;
    m_poll->start(kPollMs);
    progress->show();
    Q_EMIT DialogShown();
}

bool ProgressTask::canCancel() const
{
    const WorkProgress& p = m_shared->progress;
    // Work that measures itself and is at its end only finishes.
    const bool atEnd = !m_look.finishing.isEmpty() && p.total > 0 && p.done == p.total;
    return !atEnd && !p.isFinishing();
}

void ProgressTask::refreshDialog()
{
    if (!m_dialog)
        return;
    const WorkProgress& p = m_shared->progress;
    const int total = p.total.load();
    const int done = p.done.load();
    if (m_dialog->maximum() != total)
        m_dialog->setMaximum(total);
    if (total > 0)
        m_dialog->setValue(std::min(done, total));
    // A modal dialog's setValue lets events through: the work may have finished meanwhile.
    if (!m_dialog || m_finished)
        return;
    QString label = m_look.label;
    if (m_cancelled)
        label = m_look.cancelling;
    else if (!m_look.finishing.isEmpty() && done == total)
        label = m_look.finishing;
    else if (const QString said = p.said(); !said.isEmpty())
        label = said;
    if (m_dialog->labelText() != label)
        m_dialog->setLabelText(label);
    if (auto* cancel = m_dialog->findChild<QPushButton*>())
        cancel->setEnabled(!m_cancelled && canCancel());
}

void ProgressTask::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    std::erase(runningTasks(), this);
    m_delay->stop();
    m_poll->stop();
    // Gone from the screen now, deleted with the task: a modal dialog's setValue may be what
    // delivered the end.
    if (m_dialog)
        m_dialog->hide();
    Q_EMIT Finished(m_cancelled);
    deleteLater();
}

bool runWithProgress(QWidget* window, const ProgressLook& look, const ProgressWork& work)
{
    QEventLoop loop;
    ProgressTask* task = ProgressTask::start(window, look, work, Qt::ApplicationModal);
    bool finished = false;
    bool cancelled = false;
    QObject::connect(task, &ProgressTask::Finished, &loop, [&](bool c) {
        finished = true;
        cancelled = c;
        loop.quit();
    });
    QObject::connect(task, &ProgressTask::DialogShown, &loop, &QEventLoop::quit);
    {
        const InputDropper dropped;
        loop.exec();
    }
    if (!finished)
        loop.exec();
    if (finished)
        return cancelled;
    // The program is ending. The work reads and writes the caller's variables: it has returned
    // before they go.
    task->m_shared->waitDone();
    cancelled = task->m_cancelled;
    delete task;
    return cancelled;
}

} // namespace kvr
