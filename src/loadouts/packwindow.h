// The window a pack opens in: what the pack would change, slot by slot, before anything is
// written; Add Packages brings in its packages and its loadout, and Apply hands the loadout to the
// Loadouts window's apply. Also the writing of a pack, with its question and progress.
#pragma once

#include "loadouts/pack.h"

#include <QDialog>

#include <optional>

class QCheckBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace kvr {

inline const QString kPackTitle = QStringLiteral("Kestrava _ Skin Installer v1.1 _ Pack");

class PackWindow : public QDialog
{
    Q_OBJECT
public:
    PackWindow(const Pack& pack, const PackComparison& comparison, const InstallTarget& target, QWidget* parent);

    void AddPackages_Click();
    void Apply_Click();

Q_SIGNALS:
    // The loadout was added to the loadouts folder under this name.
    void LoadoutAdded(const QString& name);
    // The player asked for the loadout added to be applied; the window has closed.
    void ApplyWanted(const QString& name);

private:
    void buildLayout();
    void showComparison(const PackComparison& comparison);

    QLabel* Label1 = nullptr;
    QTableWidget* Table1 = nullptr;
    QCheckBox* FreeName = nullptr;
    QPushButton* AddPackages = nullptr;
    QPushButton* Apply = nullptr;
    QPushButton* Close = nullptr;

    Pack m_pack;
    InstallTarget m_target;
    std::optional<QString> m_added; // the loadout's name once added
};

// Reads the pack and compares it off the window's thread, then shows it in a window of its own
// over `from`; a pack refused is said so, with the reason. Null when nothing is shown.
PackWindow* openPack(QWidget* from, const QString& localPath, const InstallTarget& target);

// Asks about the slots whose package is not the one saved, then writes the pack at `localPath`
// with progress and Cancel, saying why when it cannot.
void exportPack(QWidget* from, const Loadout& loadout, const InstallTarget& target, const QString& localPath);

} // namespace kvr
