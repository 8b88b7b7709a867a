#include "installer/principalmenu.h"

#include "app/background.h"
#include "app/mainwindow.h"
#include "app/navigation.h"
#include "history/historywindow.h"
#include "history/undotext.h"
#include "installer/importflow.h"
#include "installer/principal.h"
#include "installer/report.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QShortcut>
#include <QUrl>

namespace kvr {

namespace {

// What the newest read of the history said Undo Last Change would take back: the next menu shows
// it at once while the history is read again off the window's thread.
struct UndoSeen
{
    QString where; // the settings file and game folder it was read for
    QString text = QStringLiteral("Undo Last Change");
    bool any = true; // until read, the undo itself says when there is nothing
};
UndoSeen g_undoSeen; // the window's thread only

void showUndo(QAction& undo, const UndoSeen& seen)
{
    undo.setText(seen.text);
    // One undo or restore at a time.
    undo.setEnabled(seen.any && !restoreUnderWay());
}

void readUndo(QAction* undo, const QString& settings, const QString& game)
{
    const QString where = settings + QLatin1Char('\n') + game;
    if (g_undoSeen.where == where)
        showUndo(*undo, g_undoSeen);
    else
        showUndo(*undo, UndoSeen{});
    QPointer<QAction> action(undo);
    background::run([action, settings, game, where](const std::atomic_bool&) {
        UndoSeen seen{where};
        try {
            const std::optional<HistoryEntry> newest = HistoryStore(settings).newest(usableFolder(game));
            seen.any = newest.has_value();
            if (newest)
                seen.text = undoText(*newest);
        } catch (const Error&) {
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), [action, seen] {
            g_undoSeen = seen;
            if (action)
                showUndo(*action, seen);
        });
    });
}

void showInFileManager(const QString& value)
{
    const QString folder = usableFolder(value);
    if (!folder.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void popUp(Principal& main, const QPoint& globalPos)
{
    // Withdrawn under a child window, the main window offers nothing.
    if (!main.isEnabled())
        return;
    QMenu* menu = buildPrincipalMenu(main);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(globalPos);
}

class MenuOpener : public QObject
{
public:
    explicit MenuOpener(Principal& main) : QObject(&main), m_main(main) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Right-clicks on the background and the slot captions reach the window itself; the
        // slot boxes keep their own text menus.
        if (watched == &m_main && event->type() == QEvent::ContextMenu) {
            popUp(m_main, static_cast<QContextMenuEvent*>(event)->globalPos());
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    Principal& m_main;
};

// Ctrl+Z in a slot box's text field undoes typing there while there is typing to undo, and the
// last change to the game folder otherwise.
class UndoKeyPasser : public QObject
{
public:
    explicit UndoKeyPasser(QObject* parent) : QObject(parent) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ShortcutOverride) {
            // An editable box hands its text field the keys: the override comes to the box.
            auto* box = qobject_cast<QComboBox*>(watched);
            const QLineEdit* field = box ? box->lineEdit() : nullptr;
            const auto* key = static_cast<QKeyEvent*>(event);
            if (field && !field->isUndoAvailable() && key->keyCombination() == QKeyCombination(Qt::CTRL | Qt::Key_Z)) {
                event->ignore();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

QMenu* buildPrincipalMenu(Principal& main)
{
    auto* menu = new QMenu(&main);
    menu->setObjectName(QStringLiteral("PrincipalMenu"));
    QAction* import = menu->addAction(QStringLiteral("Import Packages..."));
    import->setObjectName(QStringLiteral("ImportPackages"));
    import->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    QAction* report = menu->addAction(QStringLiteral("Skins Folder Report..."));
    report->setObjectName(QStringLiteral("SkinsFolderReport"));
    QAction* loadouts = menu->addAction(QStringLiteral("Loadouts..."));
    loadouts->setObjectName(QStringLiteral("Loadouts"));
    menu->addSeparator();
    QAction* undo = menu->addAction(QStringLiteral("Undo Last Change"));
    undo->setObjectName(QStringLiteral("UndoLastChange"));
    undo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    readUndo(undo, main.INIFILE, main.INSTFOLDER);
    QAction* history = menu->addAction(QStringLiteral("History..."));
    history->setObjectName(QStringLiteral("History"));
    menu->addSeparator();
    QAction* game = menu->addAction(QStringLiteral("Open Game Folder"));
    game->setObjectName(QStringLiteral("OpenGameFolder"));
    game->setEnabled(!usableFolder(main.INSTFOLDER).isEmpty());
    QAction* skins = menu->addAction(QStringLiteral("Open Skins Folder"));
    skins->setObjectName(QStringLiteral("OpenSkinsFolder"));
    skins->setEnabled(!usableFolder(main.File1.Path()).isEmpty());

    Principal* window = &main;
    QObject::connect(import, &QAction::triggered, window,
                     [window] { handle([&] { chooseAndImportArchives(window); }); });
    QObject::connect(report, &QAction::triggered, window,
                     [] { handle([] { openChild<Report>(Withdraw::AfterShowing); }); });
    QObject::connect(loadouts, &QAction::triggered, window, [] { handle([] { windowLinks().openLoadouts(); }); });
    QObject::connect(undo, &QAction::triggered, window, [window] { handle([&] { undoLastChange(*window); }); });
    QObject::connect(history, &QAction::triggered, window,
                     [] { handle([] { openChild<HistoryWindow>(Withdraw::AfterShowing); }); });
    QObject::connect(game, &QAction::triggered, window, [window] { showInFileManager(window->INSTFOLDER); });
    QObject::connect(skins, &QAction::triggered, window, [window] { showInFileManager(window->File1.Path()); });
    return menu;
}

void installPrincipalMenu(Principal& main)
{
    main.installEventFilter(new MenuOpener(main));
    Principal* window = &main;
    auto* import = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_I), window);
    QObject::connect(import, &QShortcut::activated, window, [window] {
        if (window->isEnabled())
            handle([&] { chooseAndImportArchives(window); });
    });
    auto* passer = new UndoKeyPasser(window);
    for (QComboBox* box : window->findChildren<QComboBox*>())
        box->installEventFilter(passer);
    auto* undo = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), window);
    QObject::connect(undo, &QShortcut::activated, window, [window] {
        if (window->isEnabled())
            handle([&] { undoLastChange(*window); });
    });
    // The keyboard's ways to a context menu, wherever the focus is in the window.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Menu), QKeySequence(Qt::SHIFT | Qt::Key_F10)}) {
        auto* shortcut = new QShortcut(key, window);
        QObject::connect(shortcut, &QShortcut::activated, window, [window] {
            QWidget* focus = window->focusWidget() ? window->focusWidget() : window;
            popUp(*window, focus->mapToGlobal(focus->rect().center()));
        });
    }
    acceptArchiveDrops(window);
}

} // namespace kvr
