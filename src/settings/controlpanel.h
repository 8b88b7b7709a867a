// The control panel: the user picks a folder in the tree, copies it into the game-folder or
// skins-folder box with a finger button, and saves both boxes to KVRSI.INI.
#pragma once

#include "app/background.h"
#include "app/navigation.h"
#include "settings/drives.h"

#include <QComboBox>
#include <QLabel>
#include <QTreeView>

class QFileSystemModel;
class QFrame;
class QLineEdit;
class QToolButton;

namespace kvr {

// The drive list. Change is raised whenever the drive changes, by the user or by code.
class DriveList : public QComboBox
{
    Q_OBJECT
public:
    explicit DriveList(const QList<Drive>& drives, QWidget* parent = nullptr);

    QString Drive() const;
    // Takes a drive's path, or the system's name for drive C ("C:", "c:\"). An unknown drive is ignored.
    void setDrive(const QString& drive);
    // Adds entries after the ones given at construction; a folder already listed is not added again.
    void appendDrives(const QList<kvr::Drive>& drives);

Q_SIGNALS:
    void Change();
};

// The folder tree: one drive at a time, folders only, hidden folders included. Its path is the
// selected folder's absolute POSIX path; before any pick, the drive itself.
class FolderTree : public QTreeView
{
    Q_OBJECT
public:
    explicit FolderTree(QWidget* parent = nullptr);

    const QString& Path() const { return m_path; }
    // Opens the tree at a drive or folder. Throws Error, leaving the tree as it was, when the
    // folder cannot be read (a missing medium, a broken link, no permission).
    void setPath(const QString& path);

    // The tree's row for a folder under the current drive, invalid when it is not shown.
    QModelIndex indexOf(const QString& path) const;

private:
    class DriveFilter;
    QFileSystemModel* m_model = nullptr;
    DriveFilter* m_filter = nullptr;
    QString m_path;
};

// A label that shows a long path shortened in the middle and the whole of it as a tooltip, so the
// window keeps its size whatever folder the program lies in.
class PathLabel : public QLabel
{
    Q_OBJECT
public:
    using QLabel::QLabel;
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

class ControlPanel : public ChildForm<ControlPanel>
{
    Q_OBJECT
public:
    ControlPanel();
    ~ControlPanel() override;
    ControlPanel(const ControlPanel&) = delete;
    ControlPanel& operator=(const ControlPanel&) = delete;

    void Drive1_Change();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();

protected:
    void Form_Load() override;
    void Child_Unload(bool& cancel) override;

private:
    void buildLayout();
    void connectSignals();

    DriveList* Drive1 = nullptr;
    FolderTree* Dir1 = nullptr;
    QLabel* Label6 = nullptr;
    QToolButton* Command3 = nullptr;
    PathLabel* Label3 = nullptr;
    QFrame* Line1 = nullptr;
    QLabel* Label1 = nullptr;
    QToolButton* Command1 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLabel* Label2 = nullptr;
    QToolButton* Command2 = nullptr;
    QLineEdit* Text2 = nullptr;
    QLabel* Image1 = nullptr;
    StopFlag m_prefixScan;

    // Used by the closing only: the settings file and the skins folder it holds.
    QString INIFILE;
    QString SKINSFOLDER;
};

} // namespace kvr
