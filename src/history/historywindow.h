// The History window: one row per change to the game folder, newest first, with Restore and
// Forget Older Changes; and the main window's Undo Last Change.
#pragma once

#include "app/mainwindow.h"
#include "app/navigation.h"
#include "history/history.h"

class QAction;
class QLabel;
class QPushButton;
class QTableWidget;

namespace kvr {

class HistoryWindow : public ChildForm<HistoryWindow>
{
    Q_OBJECT
public:
    HistoryWindow();

    // True once the rows are filled.
    bool ready() const { return m_ready; }
    const QList<HistoryEntry>& entries() const { return m_entries; }

    // Puts the selected entry's slots back as they were just before it, on the program's pool.
    void Command1_Click();
    // Forgets the changes older than the selected one.
    void Command2_Click();
    // The list's context menu: the same, and each slot's first state (the game's own files) too.
    void ForgetFirstStates_Click();
    // Reads the history again.
    void refill();
    // Restore and the forgetting are off while an undo or restore runs.
    void enableCommands();

Q_SIGNALS:
    void Ready();

protected:
    void Form_Load() override;

private:
    void buildLayout();
    void fill(const QList<HistoryEntry>& entries, qint64 used, qint64 cap);
    void forget(bool firstStatesToo);
    // The entry of the selected row; null with none selected or while the rows are read.
    const HistoryEntry* selectedEntry() const;

    QLabel* Label1 = nullptr;
    QTableWidget* Table1 = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QAction* ForgetFirstStates = nullptr;
    QList<HistoryEntry> m_entries;
    QString m_settings;
    QString m_game;
    bool m_ready = false;
};

class ProgressTask;

// Undoes the newest change on the program's pool, and shows the slots' restored skins in the
// main window once it is done. Does nothing while an undo or restore runs.
void undoLastChange(MainWindow& main);

// The undo or restore under way, or null. Its Finished comes once the main window shows the
// restored skins; quitting waits for it.
ProgressTask* restoreUnderWay();

// Shows the skins of these slots in the main window's slot boxes.
void showSkins(MainWindow& main, const QList<HistorySlot>& slots);

} // namespace kvr
