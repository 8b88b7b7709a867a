// The main window: one row per slot with the installed skin, and the five buttons.
//
// installer/ is the main window with its menu, the import of archives and the skins folder
// report. It includes app/, settings/, the history and the folders beneath them; the viewer and
// the loadouts sit above it and are opened through app/mainwindow.h's links.
#pragma once

#include "app/filelist.h"
#include "app/forms.h"
#include "app/mainwindow.h"

#include <array>

class QLabel;
class QToolButton;

namespace kvr {

class DropDownCombo;
class SlotChange;

class Principal : public FormBase<Principal>, public MainWindow
{
    Q_OBJECT
public:
    Principal();

    // Set by the load and kept for the window's life.
    QString INIFILE;
    QString INSTFOLDER;
    QString SKINSFOLDER;
    // The skin name most recently chosen in any slot.
    QString FILE;
    // The packages of the skins folder, as listed at load or when the control panel closed.
    FileList File1;

    DropDownCombo& Combo(int n) const { return *Combos.at(static_cast<size_t>(n - 1)); }

    // Refills a slot's list: "(Default)" first, then the slot's skin names in File1's order.
    void COMBOLIST(DropDownCombo& COMBO, const QString& SLOT);

    void ComboN_DropDown(int n);
    void ComboN_Click(int n);

    // Installs a skin into a slot: deletes the slot's files, unpacks the package, records it.
    void DESCOMPRIME(const QString& skin, const QString& SLOT);
    // Deletes the slot's files (P + code + anything) from the game folder, as the step of the
    // change DESCOMPRIME began.
    void BORRASKIN(const QString& SLOT);

    // "Reset Skins".
    void Command1_Click();
    // "Control Panel", "Help", "Skin Wiewer", "About...".
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();

    QWidget& widget() override { return *this; }
    void Show() override { FormBase::Show(); }
    QString settingsFile() const override { return INIFILE; }
    QString gameFolder() const override { return INSTFOLDER; }
    void listPackages(const QString& skinsFolder) override;
    void showRecordedSkin(const QString& slotCode) override;

protected:
    void Form_Load() override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout();
    void connectSignals();
    // Begins a change; one that does not begin shows the slot's recorded skin again.
    bool beginChange(SlotChange& change);

    SlotChange* m_change = nullptr; // the change DESCOMPRIME runs, for BORRASKIN

    std::array<DropDownCombo*, 30> Combos{};
    QToolButton* Command1 = nullptr;
    QToolButton* Command2 = nullptr;
    QToolButton* Command3 = nullptr;
    QToolButton* Command4 = nullptr;
    QToolButton* Command5 = nullptr;
    QLabel* Image1 = nullptr;
};

} // namespace kvr
