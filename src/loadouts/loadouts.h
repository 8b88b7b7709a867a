// The Loadouts window: the player's loadouts, each slot's status against the skins recorded now,
// and saving, applying, exporting, importing and deleting them. Opened from the main window's
// context menu; a .kvrloadout dropped on the main window is imported without it.
//
// loadouts/ holds the loadout and pack files and their windows. It includes the installer and
// everything beneath it; only the command line and the program's entry include it.
#pragma once

#include "app/navigation.h"
#include "loadouts/loadoutstate.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTableWidget;

namespace kvr {

inline const QString kLoadoutsTitle = QStringLiteral("Kestrava _ Skin Installer v1.1 _ Loadouts");

// The questions the window asks with a dialog of its own; tests answer them through these and
// get the previous handler back. A name: nothing when the player cancels. A file: "" when the
// player cancels; `forSaving` asks where to write.
using LoadoutNameHandler = std::function<std::optional<QString>()>;
using LoadoutFileHandler = std::function<QString(bool forSaving, const QString& suggestedName)>;
LoadoutNameHandler setLoadoutNameHandler(LoadoutNameHandler handler);
LoadoutFileHandler setLoadoutFileHandler(LoadoutFileHandler handler);

class Loadouts : public ChildForm<Loadouts>
{
    Q_OBJECT
public:
    Loadouts();

    // True once the list is filled and the selected loadout, if any, is checked.
    bool ready() const { return m_ready; }

    void List1_Click();
    void SaveCurrent_Click();
    void Apply_Click();
    void Export_Click();
    void ExportPack_Click();
    void Import_Click();
    void Delete_Click();

    // Lists the loadouts folder again, keeping the selection where it can.
    void refreshList(const QString& select = QString());
    // Selects the loadout and applies it once its slots are checked.
    void applyWhenReady(const QString& name);

Q_SIGNALS:
    void Ready();

protected:
    void Form_Load() override;
    void Child_Unload(bool& cancel) override;

private:
    void buildLayout();
    void connectSignals();
    void setReady(bool ready);
    QString selectedName() const;
    void showLoadout(const Loadout& loadout, const LoadoutCheck& checks);
    // Runs the job on the program's pool once the one running has returned.
    void runJob(std::function<void()> job);

    QLabel* Label1 = nullptr;
    QListWidget* List1 = nullptr;
    QLabel* Label2 = nullptr;
    QTableWidget* Table1 = nullptr;
    QLabel* Label3 = nullptr;
    QCheckBox* ApplyAnyway = nullptr;
    QPushButton* SaveCurrent = nullptr;
    QPushButton* Apply = nullptr;
    QPushButton* Export = nullptr;
    QPushButton* ExportPack = nullptr;
    QPushButton* Import = nullptr;
    QPushButton* Delete = nullptr;
    QLabel* Image1 = nullptr;

    InstallTarget m_target;
    QString m_folder;
    std::shared_ptr<PackageFolder> m_packages;
    std::shared_ptr<std::atomic<bool>> m_cancel = std::make_shared<std::atomic<bool>>(false);
    std::optional<Loadout> m_shown;
    int m_generation = 0;
    bool m_jobRunning = false;
    std::function<void()> m_nextJob;
    bool m_ready = false;
};

// Adds the loadout files to the loadouts folder, asking before one replaces another, and says
// what was added and what was not, and why. Never touches the game folder.
void importLoadoutFiles(const QStringList& paths);

// Shows what the pack would change, over `from`, in a window of its own.
void openPackFile(QWidget* from, const QString& path);

// Lets .kvrloadout files dropped on the window be imported, and a .kvrpack be opened.
void acceptLoadoutDrops(QWidget* window);

} // namespace kvr
