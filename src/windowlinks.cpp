// How the windows below reach the ones above them (app/mainwindow.h). Filled in before main()
// runs, so the program, its tests and its bench all get the same links.
#include "app/mainwindow.h"
#include "app/navigation.h"
#include "installer/principal.h"
#include "loadouts/loadouts.h"
#include "viewer/visor.h"

namespace kvr {

namespace {

[[maybe_unused]] const bool g_linked = [] {
    WindowLinks links;
    links.mainWindow = []() -> MainWindow& { return Principal::instance(); };
    links.mainWindowExists = [] { return Principal::exists(); };
    links.openViewer = [] { openChild<Visor>(Withdraw::AfterShowing); };
    links.openLoadouts = [] { openChild<Loadouts>(Withdraw::AfterShowing); };
    links.acceptLoadoutDrops = [](QWidget* window) { acceptLoadoutDrops(window); };
    setWindowLinks(std::move(links));
    return true;
}();

} // namespace

} // namespace kvr
