// The skin viewer: lists the packages of the skins folder, all of them or one slot's, and shows a
// chosen package's preview picture and note. It only reads.
//
// viewer/ includes the installer and everything beneath it; only the command line and the
// program's entry include it.
#pragma once

#include "app/filelist.h"
#include "app/navigation.h"
#include "installer/importflow.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;

namespace kvr {

class PictureLoader;

class Visor : public ChildForm<Visor>, public PackageListWindow
{
    Q_OBJECT
public:
    Visor();

    // The settings file and the skins folder, as last read from it.
    QString INIFILE;
    QString SKINSFOLDER;
    // The packages of the skins folder as listed when the window opened.
    FileList File1;

    // Appends to List1 the skin name of every package that passes the filter: "ALL" or a slot code.
    void PONENLISTA(const QString& filter);
    // The user chose a filter.
    void Combo1_Click();
    // The user chose a package: shows its name, note and picture.
    void List1_Click();
    // Reads the skins folder again and lists it under the chosen filter.
    void listPackagesAgain() override;

    // Whether the picture of the latest choice is still being decoded (the previous one shows).
    bool pictureLoading() const;

protected:
    void Form_Load() override;

private:
    void buildLayout();
    void connectSignals();

    QLabel* Label1 = nullptr;
    QComboBox* Combo1 = nullptr;
    QListWidget* List1 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Image1 = nullptr;
    QPlainTextEdit* Text1 = nullptr;
    QLabel* Image2 = nullptr;
    PictureLoader* m_pictures = nullptr;
};

} // namespace kvr
