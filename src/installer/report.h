// The skins folder report: the files of the skins folder that need the player's attention, and
// for each slot with a recorded skin whether the game folder still holds what its package installs.
#pragma once

#include "app/background.h"
#include "app/navigation.h"
#include "installer/skinsreport.h"

class QLabel;
class QTableWidget;

namespace kvr {

class Report : public ChildForm<Report>
{
    Q_OBJECT
public:
    Report();
    ~Report() override;
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // True once both tables are filled and no check runs.
    bool ready() const { return m_ready; }

    // Installs a slot's recorded skin again by the ordinary installation, then checks it anew
    // away from the window thread.
    void Reinstall_Click(int row);

Q_SIGNALS:
    void Ready();

protected:
    void Form_Load() override;

private:
    void buildLayout();
    void fill(const QList<ReportProblem>& problems, const QList<SlotState>& states);
    void fillState(int row, const SlotState& state);

    QLabel* Label1 = nullptr;
    QTableWidget* Table1 = nullptr;
    QLabel* Label2 = nullptr;
    QTableWidget* Table2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Image1 = nullptr;
    QString m_skins;
    QString m_game;
    QList<SlotState> m_states;
    bool m_ready = false;
    bool m_skinsFolderSet = false;
    QList<StopFlag> m_work;
};

} // namespace kvr
