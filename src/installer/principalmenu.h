// The main window's context menu (right-click, the Menu key, Shift+F10) and its Ctrl+I, and the
// archives dropped on it.
#pragma once

class QMenu;

namespace kvr {

class Principal;

// Called once as the window is built.
void installPrincipalMenu(Principal& main);

// A fresh menu for the window as it stands; the caller owns it.
QMenu* buildPrincipalMenu(Principal& main);

} // namespace kvr
