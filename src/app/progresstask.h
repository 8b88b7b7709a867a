// Work a window hands to the program's pool (an import, a loadout applied, an undo): it runs off
// the window's thread, and when it takes longer than half a second a progress dialog says so.
#pragma once

#include "app/background.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class QProgressDialog;
class QTimer;
class QWidget;

namespace kvr {

// What the work reports while it runs; the dialog reads it from the window's thread.
class WorkProgress
{
public:
    explicit WorkProgress(int startTotal) : total(startTotal) {}
    std::atomic<int> done{0};
    // 0: the work cannot measure itself, and the dialog shows only that it is busy.
    std::atomic<int> total;

    // A text for the dialog's label in place of the one it opened with (what is waited for).
    void say(const QString& text);
    QString said() const;

    // The work reaches what it must finish once begun: from now Cancel is off and the dialog
    // says `what`. False, the step not to be begun, when Cancel came first.
    bool finishing(const std::atomic_bool& stop, const QString& what);
    // Cancel calls the work off again (a wait it can give up), the dialog saying `what`.
    void cancellable(const QString& what);
    bool isFinishing() const;
    // The dialog's Cancel: sets `stop` unless the work is finishing; false then.
    bool cancel(std::atomic_bool& stop);

private:
    mutable std::mutex m_mutex;
    QString m_said;
    bool m_finishing = false;
};

struct ProgressLook
{
    QString objectName; // the dialog's, for tests and accessibility tools
    QString title;
    QString label;
    QString cancelling = QStringLiteral("Cancelling..."); // the label once Cancel is pressed
    QString finishing; // the label once done reaches the total (work that measures itself); empty keeps the label
    int total = 0;     // the total the work starts with
    int minimumWidthChars = 0;
};

using ProgressWork = std::function<void(const std::atomic_bool& stop, WorkProgress& progress)>;

class ProgressTask : public QObject
{
    Q_OBJECT
public:
    enum class Ending {
        // Quitting calls the work off and waits for it no longer than the pool's own wait.
        CallOff,
        // Quitting still calls it off, then waits until it has returned: work that must finish
        // what it began (putting files back into the game folder).
        Finish,
    };

    // Starts `work` on the program's pool. The dialog, modal as `modality` says, opens over
    // `window` half a second later unless the work is done by then; its Cancel sets the work's
    // stop flag, and it stays up saying so until the work has returned; while the work is
    // finishing (WorkProgress::finishing) Cancel is off. The task deletes itself after `Finished`.
    static ProgressTask* start(QWidget* window, const ProgressLook& look, ProgressWork work,
                               Qt::WindowModality modality = Qt::NonModal, Ending ending = Ending::CallOff);
    ~ProgressTask() override;

    bool isFinished() const { return m_finished; }
    bool cancelled() const { return m_cancelled; }

    // The task started with this look's objectName that has not finished yet, or null: work
    // of which only one may run at a time asks before it starts another. Window thread only.
    static ProgressTask* running(const QString& objectName);

Q_SIGNALS:
    void DialogShown();
    // On the window's thread, once the work has returned (or was dropped unstarted at the end).
    void Finished(bool cancelled);

private:
    struct Shared;
    struct Finisher;
    ProgressTask(QWidget* window, const ProgressLook& look, Qt::WindowModality modality);
    void showDialog();
    void refreshDialog();
    bool canCancel() const;
    void finish();

    QPointer<QWidget> m_window;
    ProgressLook m_look;
    Qt::WindowModality m_modality;
    std::shared_ptr<Shared> m_shared;
    StopFlag m_stop;
    QPointer<QProgressDialog> m_dialog;
    QTimer* m_delay = nullptr;
    QTimer* m_poll = nullptr;
    bool m_finished = false;
    bool m_cancelled = false;

    friend bool runWithProgress(QWidget*, const ProgressLook&, const ProgressWork&);
};

// Runs `work` as a task and returns once it is done, the window's code going on as if it had run
// in place. No window takes a click or a key meanwhile: until the dialog shows, those the player
// makes are dropped (never delivered later); then the dialog is modal for the whole program.
// True when the player cancelled.
bool runWithProgress(QWidget* window, const ProgressLook& look, const ProgressWork& work);

} // namespace kvr
