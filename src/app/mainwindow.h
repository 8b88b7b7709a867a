// The main window as the windows below it see it, and the links by which a window reaches one
// above it without including it. The windows above fill the links in once, before main() runs
// (src/windowlinks.cpp), so every program built on the windows gets them the same way.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace kvr {

// What the child windows use of the main window; the main window implements it.
class MainWindow
{
public:
    virtual ~MainWindow() = default;

    // The window itself, which the child windows stand above.
    virtual QWidget& widget() = 0;
    virtual void Show() = 0;

    // The settings file and the game folder, as read at the window's load.
    virtual QString settingsFile() const = 0;
    virtual QString gameFolder() const = 0;

    // Lists the packages of this skins folder in the slot boxes' lists.
    virtual void listPackages(const QString& skinsFolder) = 0;
    // Shows in the slot's box the skin the settings file records for it now.
    virtual void showRecordedSkin(const QString& slotCode) = 0;
};

struct WindowLinks
{
    std::function<MainWindow&()> mainWindow; // made and loaded on first reference, as every window
    std::function<bool()> mainWindowExists;
    std::function<void()> openViewer;                 // the main window's "Skin Wiewer"
    std::function<void()> openLoadouts;               // its menu's "Loadouts..."
    std::function<void(QWidget*)> acceptLoadoutDrops; // .kvrloadout and .kvrpack files dropped on it
};

// Set once, before main() runs; read on the window thread only.
void setWindowLinks(WindowLinks links);
const WindowLinks& windowLinks();

// The main window, made and loaded on first reference.
inline MainWindow& mainWindow()
{
    return windowLinks().mainWindow();
}
inline bool mainWindowExists()
{
    return windowLinks().mainWindowExists();
}

} // namespace kvr
