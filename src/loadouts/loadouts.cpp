#include "loadouts/loadouts.h"

#include "app/fileio.h"
#include "app/progresstask.h"
#include "app/widgets.h"
#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "installer/combolist.h"
#include "installer/principal.h"
#include "loadouts/packwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace kvr {

namespace {

std::optional<QString> askName()
{
    bool ok = false;
    const QString name = QInputDialog::getText(QApplication::activeWindow(), kLoadoutsTitle,
                                               QStringLiteral("Save the skins recorded now as the loadout:"),
                                               QLineEdit::Normal, QString(), &ok);
    return ok ? std::optional<QString>(name) : std::nullopt;
}

QString askFile(bool forSaving, const QString& suggestedName)
{
    const bool pack = suggestedName.endsWith(kPackExtension);
    const QString filter = pack        ? QStringLiteral("Packs (*.kvrpack);;All files (*)")
                           : forSaving ? QStringLiteral("Loadouts (*.kvrloadout);;All files (*)")
                                       : QStringLiteral("Loadouts and packs (*.kvrloadout *.kvrpack);;All files (*)");
    return forSaving
               ? QFileDialog::getSaveFileName(QApplication::activeWindow(),
                                              pack ? QStringLiteral("Export Pack") : QStringLiteral("Export Loadout"),
                                              QDir::home().filePath(suggestedName), filter)
               : QFileDialog::getOpenFileName(QApplication::activeWindow(), QStringLiteral("Import Loadout"),
                                              QDir::homePath(), filter);
}

LoadoutNameHandler g_name = &askName;
LoadoutFileHandler g_file = &askFile;

// While work runs off the window's thread, a message box it raises (the extraction library's
// "Unzip: ..." when it cannot be loaded) is shown by the window's thread.
class MessagesFromWorker
{
public:
    MessagesFromWorker() : m_previous(setMsgBoxHandler({}))
    {
        setMsgBoxHandler([previous = m_previous](const QString& prompt, int style, const QString& title) {
            if (!previous)
                return int(vbOK);
            if (QThread::currentThread() == QCoreApplication::instance()->thread())
                return previous(prompt, style, title);
            int answer = vbOK;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [&] { answer = previous(prompt, style, title); },
                Qt::BlockingQueuedConnection);
            return answer;
        });
    }
    ~MessagesFromWorker() { setMsgBoxHandler(m_previous); }
    MessagesFromWorker(const MessagesFromWorker&) = delete;
    MessagesFromWorker& operator=(const MessagesFromWorker&) = delete;

private:
    MsgBoxHandler m_previous;
};

// The window's work: off the window's thread, with a dialog after half a second. True when the
// player cancelled.
bool runWithProgress(QWidget* window, const QString& label, const ProgressWork& work)
{
    const MessagesFromWorker messages;
    ProgressLook look;
    look.objectName = QStringLiteral("LoadoutProgress");
    look.title = kLoadoutsTitle;
    look.label = label;
    look.cancelling = QStringLiteral("Cancelling after the slot being changed...");
    // The last slot is changed: the history keeps what the change put in the game folder.
    look.finishing = QStringLiteral("Recording the change in the history...");
    look.total = 1;
    // Wide enough for the window's caption.
    look.minimumWidthChars = 72;
    return kvr::runWithProgress(window, look, work);
}

} // namespace

LoadoutNameHandler setLoadoutNameHandler(LoadoutNameHandler handler)
{
    return std::exchange(g_name, handler ? std::move(handler) : LoadoutNameHandler(&askName));
}

LoadoutFileHandler setLoadoutFileHandler(LoadoutFileHandler handler)
{
    return std::exchange(g_file, handler ? std::move(handler) : LoadoutFileHandler(&askFile));
}

Loadouts::Loadouts()
{
    setUpWindow(QStringLiteral("Loadouts"), kLoadoutsTitle);
    closeOnEscape(*this);
    buildLayout();
    connectSignals();
    acceptLoadoutDrops(this);
}

void Loadouts::buildLayout()
{
    Label1 = new QLabel(QStringLiteral("&Loadouts:"));
    Label1->setObjectName(QStringLiteral("Label1"));
    List1 = new QListWidget;
    List1->setObjectName(QStringLiteral("List1"));
    Label1->setBuddy(List1);
    SaveCurrent = makeButton("SaveCurrent", "&Save Current...");
    Apply = makeButton("Apply", "&Apply");
    Export = makeButton("Export", "&Export...");
    ExportPack = makeButton("ExportPack", "Export &Pack...");
    Import = makeButton("Import", "&Import...");
    Delete = makeButton("Delete", "&Delete");
    ApplyAnyway = new QCheckBox(QStringLiteral("Apply a&nyway where a package differs"));
    ApplyAnyway->setObjectName(QStringLiteral("ApplyAnyway"));

    Label2 = new QLabel(QStringLiteral("Select a loadout to see its slots."));
    Label2->setObjectName(QStringLiteral("Label2"));
    Table1 = makeTable(QStringLiteral("Table1"),
                       {QStringLiteral("Slot"), QStringLiteral("Skin"), QStringLiteral("Status")}, kSlotCount);
    Table1->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    Label2->setBuddy(Table1);
    Label3 = new QLabel;
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setWordWrap(true);
    Image1 = makeBanner(QStringLiteral("Image1"));

    const int charWidth = fontMetrics().averageCharWidth();
    List1->setFixedSize(charWidth * 30, fontMetrics().height() * 26);
    Table1->setFixedSize(charWidth * 84, fontMetrics().height() * 26);
    Table1->setColumnWidth(0, charWidth * 24);
    Table1->setColumnWidth(1, charWidth * 24);
    Label3->setFixedWidth(charWidth * 84);

    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {SaveCurrent, Apply, Export, ExportPack, Import, Delete})
        buttons->addWidget(b);
    buttons->addStretch(1);
    auto* left = new QVBoxLayout;
    left->addWidget(Label1);
    left->addWidget(List1);
    auto* right = new QVBoxLayout;
    right->addWidget(Label2);
    right->addWidget(Table1);
    right->addWidget(Label3);
    auto* top = new QHBoxLayout;
    top->addLayout(left);
    top->addLayout(right);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addLayout(top);
    layout->addWidget(ApplyAnyway);
    layout->addLayout(buttons);
    layout->addWidget(Image1, 0, Qt::AlignHCenter);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setTabChain({List1, Table1, ApplyAnyway, SaveCurrent, Apply, Export, ExportPack, Import, Delete});
}

void Loadouts::connectSignals()
{
    connectHandler(List1, &QListWidget::itemSelectionChanged, this, &Loadouts::List1_Click);
    connectHandler(SaveCurrent, &QPushButton::clicked, this, &Loadouts::SaveCurrent_Click);
    connectHandler(Apply, &QPushButton::clicked, this, &Loadouts::Apply_Click);
    connectHandler(Export, &QPushButton::clicked, this, &Loadouts::Export_Click);
    connectHandler(ExportPack, &QPushButton::clicked, this, &Loadouts::ExportPack_Click);
    connectHandler(Import, &QPushButton::clicked, this, &Loadouts::Import_Click);
    connectHandler(Delete, &QPushButton::clicked, this, &Loadouts::Delete_Click);
}

void Loadouts::Form_Load()
{
    const Principal& main = Principal::instance();
    m_target = {main.INSTFOLDER, main.SKINSFOLDER, main.INIFILE};
    m_folder = loadoutsFolder(m_target.settingsFile);
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [c = m_cancel] { *c = true; });
    refreshList();
}

void Loadouts::Child_Unload(bool& /*cancel*/)
{
    *m_cancel = true;
}

void Loadouts::setReady(bool ready)
{
    m_ready = ready;
    const bool chosen = ready && m_shown.has_value();
    Apply->setEnabled(chosen);
    Export->setEnabled(chosen);
    ExportPack->setEnabled(chosen);
    Delete->setEnabled(!selectedName().isEmpty());
    if (ready)
        Q_EMIT Ready();
}

QString Loadouts::selectedName() const
{
    const QList<QListWidgetItem*> items = List1->selectedItems();
    return items.isEmpty() ? QString() : items.first()->text();
}

void Loadouts::refreshList(const QString& select)
{
    const QString keep = select.isEmpty() ? selectedName() : select;
    const int generation = ++m_generation;
    m_shown.reset();
    setReady(false);
    QPointer<Loadouts> self(this);
    // The folder listings, and on the first call the skins folder's, off the window's thread.
    runJob([self, generation, keep, folder = m_folder, packages = m_packages,
            skins = usableFolder(m_target.skinsFolder), cancel = m_cancel]() mutable {
        const QStringList names = listLoadouts(folder);
        if (!packages)
            packages = std::make_shared<PackageFolder>(skins);
        // A window closed meanwhile, or a program ending, wants nothing back.
        if (*cancel)
            return;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, generation, keep, names, packages] {
            if (!self || generation != self->m_generation)
                return;
            self->m_packages = packages;
            {
                const QSignalBlocker blocker(self->List1);
                self->List1->clear();
                self->List1->addItems(names);
            }
            const QList<QListWidgetItem*> found =
                keep.isEmpty() ? QList<QListWidgetItem*>() : self->List1->findItems(keep, Qt::MatchExactly);
            if (!found.isEmpty()) {
                self->List1->setCurrentItem(found.first()); // checks that loadout
                return;
            }
            self->showLoadout({}, {});
            self->Label2->setText(QStringLiteral("Select a loadout to see its slots."));
            self->setReady(true);
        });
    });
}

void Loadouts::runJob(std::function<void()> job)
{
    // One job at a time: jobs share the skins folder's CRCs. Only the newest job waiting counts,
    // since each drops what an earlier one found.
    if (m_jobRunning) {
        m_nextJob = std::move(job);
        return;
    }
    m_jobRunning = true;
    QPointer<Loadouts> self(this);
    background::run([self, job = std::move(job)](const std::atomic_bool&) {
        job();
        // After the job's own answer, which it posted first.
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self] {
            if (!self)
                return;
            self->m_jobRunning = false;
            if (std::function<void()> next = std::exchange(self->m_nextJob, {}))
                self->runJob(std::move(next));
        });
    });
}

void Loadouts::applyWhenReady(const QString& name)
{
    refreshList(name);
    auto* once = new QObject(this);
    connect(this, &Loadouts::Ready, once, [this, once, name] {
        once->deleteLater();
        if (m_shown && m_shown->name == name)
            Apply_Click();
    });
}

void Loadouts::List1_Click()
{
    const QString name = selectedName();
    const int generation = ++m_generation;
    m_shown.reset();
    setReady(false);
    if (name.isEmpty()) {
        setReady(true);
        return;
    }
    Label2->setText(QStringLiteral("Checking the packages of \"%1\"...").arg(name));
    QPointer<Loadouts> self(this);
    // Telling a package by its CRC reads it whole: off the window's thread.
    runJob([self, generation, name, path = loadoutPath(m_folder, name), packages = m_packages,
            settings = m_target.settingsFile, cancel = m_cancel] {
        const LoadoutRead read = readLoadoutFile(path, name);
        PackageFolder none;
        const LoadoutCheck checks =
            checkLoadout(read.loadout, recordedSkins(settings), packages ? *packages : none, *cancel);
        if (*cancel)
            return;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, generation, name, read, checks] {
            if (!self || generation != self->m_generation)
                return;
            Loadout shown = read.loadout;
            shown.name = name;
            if (!read.problem.isEmpty())
                shown.notUnderstood.prepend(QStringLiteral("the file: ") + read.problem);
            self->m_shown = shown;
            self->showLoadout(shown, checks);
            self->setReady(true);
        });
    });
}

void Loadouts::showLoadout(const Loadout& loadout, const LoadoutCheck& checks)
{
    Label2->setText(loadout.name.isEmpty() ? QString() : QStringLiteral("Slots of \"%1\":").arg(loadout.name));
    for (const Slot& s : slotTable()) {
        const auto i = static_cast<size_t>(s.number - 1);
        const int row = s.number - 1;
        Table1->setItem(row, 0, new QTableWidgetItem(slotTitle(s)));
        Table1->setItem(row, 1, new QTableWidgetItem(loadout.entries[i].skin));
        auto* status = new QTableWidgetItem(loadout.name.isEmpty() ? QString() : statusText(checks[i].status));
        status->setToolTip(checks[i].detail);
        Table1->setItem(row, 2, status);
        // A missing package the loadout says where to find: a link the browser opens.
        if (const QString& source = loadout.sources[i];
            checks[i].status == SlotStatus::PackageMissing && !source.isEmpty() && !loadout.name.isEmpty()) {
            auto* link = new QLabel(QStringLiteral("%1: <a href=\"%2\">download</a>")
                                        .arg(statusText(checks[i].status), source.toHtmlEscaped()));
            link->setObjectName(QStringLiteral("Source%1").arg(s.number));
            link->setOpenExternalLinks(true);
            link->setToolTip(source);
            Table1->setCellWidget(row, 2, link);
        } else {
            Table1->removeCellWidget(row, 2);
        }
    }
    Label3->setText(loadout.notUnderstood.isEmpty()
                        ? QString()
                        : QStringLiteral("Not understood: ") + loadout.notUnderstood.join(QStringLiteral("; ")));
}

void Loadouts::SaveCurrent_Click()
{
    const std::optional<QString> name = g_name();
    if (!name)
        return;
    if (const QString problem = loadoutNameProblem(*name); !problem.isEmpty()) {
        MsgBox(problem, vbExclamation, kLoadoutsTitle);
        return;
    }
    const QString path = loadoutPath(m_folder, *name);
    const bool exists = QFileInfo::exists(path) || QFileInfo(path).isSymLink();
    if (exists && MsgBox(QStringLiteral("A loadout named \"%1\" exists. Replace it?").arg(*name),
                         vbOKCancel + vbQuestion + vbDefaultButton2, kLoadoutsTitle) != vbOK)
        return;
    QStringList leftOut;
    WriteResult written;
    const bool cancelled = runWithProgress(
        this, QStringLiteral("Saving the loadout..."), [&](const std::atomic_bool& cancel, WorkProgress&) {
            PackageFolder packages(usableFolder(m_target.skinsFolder));
            Loadout loadout = currentLoadout(*name, recordedSkins(m_target.settingsFile), packages, cancel, &leftOut);
            if (cancel)
                return;
            // Where the packages can be downloaded is the player's knowledge, not the skins folder's: kept.
            if (exists)
                loadout.sources = readLoadoutFile(path, *name).loadout.sources;
            QDir().mkpath(m_folder);
            written = writeFileWhole(path, loadoutBytes(loadout), exists ? WriteMode::Replace : WriteMode::Create);
        });
    if (cancelled)
        return;
    if (written.status == WriteResult::Status::NameTaken)
        MsgBox(QStringLiteral("A loadout named \"%1\" was just made elsewhere; nothing was saved.").arg(*name),
               vbExclamation, kLoadoutsTitle);
    else if (!written.ok())
        MsgBox(QStringLiteral("The loadout could not be saved: ") + written.problem, vbExclamation, kLoadoutsTitle);
    else if (!leftOut.isEmpty())
        MsgBox(QStringLiteral("Saved \"%1\". Left out, as their packages are no longer in the skins folder:\n    ")
                       .arg(*name) +
                   leftOut.join(QStringLiteral("\n    ")),
               vbExclamation, kLoadoutsTitle);
    refreshList(*name);
}

void Loadouts::Apply_Click()
{
    if (!m_shown)
        return;
    if (usableFolder(m_target.gameFolder).isEmpty()) {
        MsgBox(QStringLiteral("Set the game folder in the Control Panel first."), vbExclamation, kLoadoutsTitle);
        return;
    }
    const Loadout loadout = *m_shown;
    const bool anyway = ApplyAnyway->isChecked();
    ApplyResult result;
    runWithProgress(this, QStringLiteral("Applying \"%1\"...").arg(loadout.name),
                    [&](const std::atomic_bool& cancel, WorkProgress& progress) {
                        result = applyLoadout(
                            loadout, m_target, anyway, cancel,
                            [&](int d, int t) {
                                progress.done = d;
                                progress.total = std::max(1, t);
                            },
                            [&](const QString& waitingFor) { progress.say(waitingFor); });
                    });
    // The main window's slot boxes show what is recorded now.
    const std::array<QString, kSlotCount> recorded = recordedSkins(m_target.settingsFile);
    Principal& main = Principal::instance();
    for (const SlotOutcome& o : result.outcomes)
        if (o.kind == SlotOutcome::Kind::Changed)
            main.Combo(o.number).setText(recorded[static_cast<size_t>(o.number - 1)]);
    const bool skipped = std::any_of(result.outcomes.begin(), result.outcomes.end(),
                                     [](const SlotOutcome& o) { return o.kind != SlotOutcome::Kind::Changed; });
    MsgBox(applySummary(loadout.name, result), skipped ? int(vbExclamation) : vbOKOnly + 64, kLoadoutsTitle);
    refreshList();
}

void Loadouts::Export_Click()
{
    if (!m_shown)
        return;
    const QString name = m_shown->name;
    const QString target = g_file(true, name + kLoadoutExtension);
    if (target.isEmpty())
        return;
    const FileRead read = readRegularFile(loadoutPath(m_folder, name), kLoadoutFileMax);
    const WriteResult written = read.ok() ? writeFileWhole(target, read.data, WriteMode::Replace)
                                          : WriteResult{WriteResult::Status::Failed, read.message()};
    if (!written.ok())
        MsgBox(QStringLiteral("The loadout could not be exported: ") + written.problem, vbExclamation, kLoadoutsTitle);
}

void Loadouts::ExportPack_Click()
{
    if (!m_shown)
        return;
    const QString target = g_file(true, m_shown->name + kPackExtension);
    if (!target.isEmpty())
        exportPack(this, *m_shown, m_target, target);
}

void Loadouts::Import_Click()
{
    const QString file = g_file(false, QString());
    if (file.endsWith(kPackExtension, Qt::CaseInsensitive))
        openPackFile(this, file);
    else if (!file.isEmpty())
        importLoadoutFiles({file});
}

void Loadouts::Delete_Click()
{
    const QString name = selectedName();
    if (name.isEmpty() || MsgBox(QStringLiteral("Delete the loadout \"%1\"?").arg(name),
                                 vbOKCancel + vbQuestion + vbDefaultButton2, kLoadoutsTitle) != vbOK)
        return;
    if (!deleteLoadout(m_folder, name))
        MsgBox(QStringLiteral("The loadout \"%1\" could not be deleted.").arg(name), vbExclamation, kLoadoutsTitle);
    List1->clearSelection();
    refreshList();
}

void importLoadoutFiles(const QStringList& paths)
{
    const QString folder = loadoutsFolder(Principal::instance().INIFILE);
    QString added, refused, last;
    for (const QString& path : paths) {
        const QString file = QFileInfo(path).fileName();
        const LoadoutRead read = readLoadoutFile(path, QFileInfo(path).completeBaseName());
        QString problem = read.problem;
        if (problem.isEmpty() && !loadoutNameProblem(read.loadout.name).isEmpty())
            problem = QStringLiteral("it has no name a loadout can have");
        if (!problem.isEmpty()) {
            refused += QStringLiteral("\n    ") + file + QStringLiteral(": not a loadout: ") + problem;
            continue;
        }
        const QString name = read.loadout.name;
        const QString target = loadoutPath(folder, name);
        const bool exists = QFileInfo::exists(target) || QFileInfo(target).isSymLink();
        if (exists && MsgBox(QStringLiteral("A loadout named \"%1\" exists. Replace it?").arg(name),
                             vbOKCancel + vbQuestion + vbDefaultButton2, kLoadoutsTitle) != vbOK) {
            refused += QStringLiteral("\n    ") + file + QStringLiteral(": kept the loadout \"%1\" there").arg(name);
            continue;
        }
        QDir().mkpath(folder);
        const WriteResult written = writeFileWhole(target, read.bytes, exists ? WriteMode::Replace : WriteMode::Create);
        if (!written.ok()) {
            refused += QStringLiteral("\n    ") + file + QStringLiteral(": ") +
                       (written.problem.isEmpty() ? QStringLiteral("the name was just taken") : written.problem);
            continue;
        }
        added += QStringLiteral("\n    ") + name;
        last = name;
    }
    QString summary;
    if (!added.isEmpty())
        summary = QStringLiteral("Added:") + added;
    if (!refused.isEmpty())
        summary += (summary.isEmpty() ? QString() : QStringLiteral("\n\n")) + QStringLiteral("Not added:") + refused;
    MsgBox(summary, refused.isEmpty() ? vbOKOnly + 64 : int(vbExclamation), kLoadoutsTitle);
    if (Loadouts::exists())
        Loadouts::instance().refreshList(last);
}

void openPackFile(QWidget* from, const QString& path)
{
    const Principal& main = Principal::instance();
    PackWindow* window = openPack(from, path, {main.INSTFOLDER, main.SKINSFOLDER, main.INIFILE});
    if (!window)
        return;
    QObject::connect(window, &PackWindow::LoadoutAdded, window, [](const QString& name) {
        if (Loadouts::exists())
            Loadouts::instance().refreshList(name);
    });
    // The apply is the Loadouts window's, with its progress, summary and one history entry.
    QObject::connect(window, &PackWindow::ApplyWanted, QCoreApplication::instance(), [](const QString& name) {
        handle([&] {
            if (!Loadouts::exists())
                openChild<Loadouts>(Withdraw::AfterShowing);
            Loadouts::instance().applyWhenReady(name);
        });
    });
}

namespace {

class LoadoutDropTaker : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const bool entering = event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove;
        if (!entering && event->type() != QEvent::Drop)
            return QObject::eventFilter(watched, event);
        auto* drop = static_cast<QDropEvent*>(event);
        const QStringList files = loadoutsIn(drop->mimeData());
        if (files.isEmpty())
            return QObject::eventFilter(watched, event);
        drop->acceptProposedAction();
        if (!entering) {
            // The file manager waits for the drop to end: import after it has.
            QPointer<QWidget> window = qobject_cast<QWidget*>(watched);
            QTimer::singleShot(0, this, [window, files] {
                if (!window || !window->isEnabled())
                    return;
                handle([&] {
                    QStringList loadouts;
                    for (const QString& file : files)
                        if (file.endsWith(kPackExtension, Qt::CaseInsensitive))
                            openPackFile(window, file);
                        else
                            loadouts.append(file);
                    if (!loadouts.isEmpty())
                        importLoadoutFiles(loadouts);
                });
            });
        }
        return true;
    }

private:
    // Every file dropped, when each is a .kvrloadout or a .kvrpack; archives among them go to the importer.
    static QStringList loadoutsIn(const QMimeData* mime)
    {
        QStringList files;
        if (!mime || !mime->hasUrls())
            return files;
        for (const QUrl& url : mime->urls()) {
            if (!url.isLocalFile() || !(url.toLocalFile().endsWith(kLoadoutExtension, Qt::CaseInsensitive) ||
                                        url.toLocalFile().endsWith(kPackExtension, Qt::CaseInsensitive)))
                return {};
            files.append(url.toLocalFile());
        }
        return files;
    }
};

} // namespace

void acceptLoadoutDrops(QWidget* window)
{
    window->setAcceptDrops(true);
    window->installEventFilter(new LoadoutDropTaker(window));
}

} // namespace kvr
