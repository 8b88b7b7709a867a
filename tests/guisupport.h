// Shared fixtures of the window tests: closing every window, and finding the windows' controls.
#pragma once

#include "app/acercade.h"
#include "app/ayuda.h"
#include "app/presentacion.h"
#include "history/historywindow.h"
#include "installer/combolist.h"
#include "installer/principal.h"
#include "installer/principalmenu.h"
#include "installer/report.h"
#include "loadouts/loadouts.h"
#include "settings/controlpanel.h"
#include "testsupport.h"
#include "viewer/visor.h"

#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QUrl>

namespace kvrtest {

// Closes a window as its title bar's close box does, and lets it go.
inline void closeWindow(QWidget& window)
{
    window.close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Closes those windows that are loaded; true when none is left.
template <typename... Forms> bool closeForms()
{
    (void(Forms::exists() && Forms::instance().close()), ...);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return !(Forms::exists() || ...);
}

// Closes every window the program has, children first (closing one gives the main window back),
// and tells whether all of them are gone: a withdrawn main window refuses to close.
inline bool closeEveryWindow()
{
    using namespace kvr;
    const bool children =
        closeForms<Presentacion, Report, Visor, ControlPanel, Ayuda, Acercade, HistoryWindow, Loadouts>();
    return QTest::qVerify(closeForms<Principal>() && children, "closeEveryWindow", "a window is left", __FILE__,
                          __LINE__);
}

// A control of a window, found by its name as the code names it; a missing one ends the run.
template <typename T> T* childOf(const QWidget& window, const QString& name)
{
    T* found = window.findChild<T*>(name);
    if (!found)
        qFatal("%s has no control %s", qPrintable(window.objectName()), qPrintable(name));
    return found;
}

// Slot n's combo box on the main window, loading the window if need be.
inline kvr::DropDownCombo* comboOf(int n)
{
    return childOf<kvr::DropDownCombo>(kvr::Principal::instance(), u"Combo%1"_s.arg(n));
}

// The main window, loaded if need be, shown and exposed; a window that does not come up fails the test.
inline kvr::Principal& shownMainWindow()
{
    kvr::Principal& main = kvr::Principal::instance();
    main.Show();
    QTest::qVerify(QTest::qWaitForWindowExposed(&main), "shownMainWindow", "not exposed", __FILE__, __LINE__);
    return main;
}

// Picks an entry of the main window's menu by its name.
inline void triggerMenuEntry(const QString& name)
{
    std::unique_ptr<QMenu> menu(kvr::buildPrincipalMenu(kvr::Principal::instance()));
    childOf<QAction>(*menu, name)->trigger();
}

inline QStringList itemsOf(const QComboBox& combo)
{
    QStringList items;
    for (int i = 0; i < combo.count(); ++i)
        items << combo.itemText(i);
    return items;
}

inline QStringList itemsOf(const QListWidget& list)
{
    QStringList items;
    for (int i = 0; i < list.count(); ++i)
        items << list.item(i)->text();
    return items;
}

// Small files of those names in the folder, their content beside the point.
[[nodiscard]] inline bool plantFiles(const QString& folder, const QStringList& names)
{
    for (const QString& name : names)
        if (!writeFile(folder + u'/' + name, "PK"_ba))
            return false;
    return true;
}

// The shown top-level window of that name, or else any shown one besides `except`.
inline QWidget* openWindow(const QString& name, const QWidget* except = nullptr)
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible() && window != except && (name.isEmpty() || window->objectName() == name))
            return window;
    return nullptr;
}

// Drops the files on the window as a file manager does; false when the window refuses them.
inline bool dropFiles(QWidget* target, const QStringList& files)
{
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& file : files)
        urls << QUrl::fromLocalFile(file);
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
    return dropped.isAccepted();
}

} // namespace kvrtest
