// Shared fixtures of the window tests: closing every window, and finding the main window's controls.
#pragma once

#include "app/acercade.h"
#include "app/ayuda.h"
#include "app/presentacion.h"
#include "installer/combolist.h"
#include "installer/principal.h"
#include "installer/report.h"
#include "settings/controlpanel.h"
#include "testsupport.h"
#include "viewer/visor.h"

#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace kvrtest {

// Closes a window as its title bar's close box does, and lets it go.
inline void closeWindow(QWidget& window)
{
    window.close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

template <typename... Forms> void closeForms()
{
    (void(Forms::exists() && Forms::instance().close()), ...);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Closes every window the program has, children first (closing one gives the main window back),
// and tells whether all of them are gone: a withdrawn main window refuses to close.
inline bool closeEveryWindow()
{
    closeForms<kvr::Presentacion, kvr::Report, kvr::Visor, kvr::ControlPanel, kvr::Ayuda, kvr::Acercade>();
    closeForms<kvr::Principal>();
    const bool gone = !kvr::Presentacion::exists() && !kvr::Report::exists() && !kvr::Visor::exists() &&
                      !kvr::ControlPanel::exists() && !kvr::Ayuda::exists() && !kvr::Acercade::exists() &&
                      !kvr::Principal::exists();
    return QTest::qVerify(gone, "closeEveryWindow", "a window is left", __FILE__, __LINE__);
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

inline QStringList itemsOf(const QComboBox& combo)
{
    QStringList items;
    for (int i = 0; i < combo.count(); ++i)
        items << combo.itemText(i);
    return items;
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
