#include "installer/importflow.h"

#include "app/progresstask.h"
#include "app/toolkit.h"
#include "catalogue/slots.h"
#include "installer/principal.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>
#include <memory>
#include <utility>

namespace kvr {

namespace {

const QString kImportTitle = QStringLiteral("Kestrava _ Skin Installer v1.1 _ Import");

// The dialog that asks for the slot and the skin name of one archive.
class ImportDialog : public QDialog
{
public:
    ImportDialog(const ImportQuestion& question, QWidget* parent) : QDialog(parent)
    {
        setObjectName(QStringLiteral("ImportDialog"));
        setWindowTitle(kImportTitle);
        auto* heading =
            new QLabel(QStringLiteral("Which slot is <b>%1</b> for?").arg(question.fileName.toHtmlEscaped()));
        heading->setObjectName(QStringLiteral("Label1"));
        heading->setWordWrap(true);
        auto* hint = new QLabel(ImportDialog::hint(question));
        hint->setObjectName(QStringLiteral("Label2"));
        m_slots = new QListWidget;
        m_slots->setObjectName(QStringLiteral("SlotList"));
        for (const Slot& s : slotTable()) {
            auto* item = new QListWidgetItem(s.Caption() + QStringLiteral("  (") + s.SlotCode() + QLatin1Char(')'));
            item->setData(Qt::UserRole, s.SlotCode());
            if (question.guess.candidates.contains(s.SlotCode()) && s.SlotCode() != question.guess.best()) {
                QFont f = item->font();
                f.setItalic(true);
                item->setFont(f);
            }
            m_slots->addItem(item);
            if (s.SlotCode() == question.guess.best())
                m_slots->setCurrentItem(item);
        }
        m_slots->setMinimumHeight(fontMetrics().height() * 12);
        // Wide enough for the window's caption and a long package name.
        m_slots->setMinimumWidth(fontMetrics().averageCharWidth() * 56);
        auto* nameLabel = new QLabel(QStringLiteral("&Skin name:"));
        m_name = new QLineEdit(question.skin);
        m_name->setObjectName(QStringLiteral("SkinName"));
        nameLabel->setBuddy(m_name);
        m_problem = new QLabel;
        m_problem->setObjectName(QStringLiteral("NameProblem"));
        QPalette p = m_problem->palette();
        p.setColor(QPalette::WindowText, QColor(0xC0, 0, 0));
        m_problem->setPalette(p);
        m_buttons = new QDialogButtonBox;
        m_buttons->addButton(QStringLiteral("Import"), QDialogButtonBox::AcceptRole)
            ->setObjectName(QStringLiteral("Import"));
        m_buttons->addButton(QStringLiteral("Skip"), QDialogButtonBox::RejectRole)
            ->setObjectName(QStringLiteral("Skip"));
        connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        connect(m_slots, &QListWidget::itemSelectionChanged, this, [this] { check(); });
        connect(m_name, &QLineEdit::textChanged, this, [this] { check(); });

        auto* layout = new QVBoxLayout(this);
        layout->addWidget(heading);
        layout->addWidget(hint);
        layout->addWidget(m_slots);
        layout->addWidget(nameLabel);
        layout->addWidget(m_name);
        layout->addWidget(m_problem);
        layout->addWidget(m_buttons);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        check();
    }

    ImportAnswer answer() const { return {true, code(), m_name->text()}; }

    // Why the player is asked: a slot the name or files tell is asked about only for the skin name.
    static QString hint(const ImportQuestion& question)
    {
        if (!question.guess.code.isEmpty())
            return QStringLiteral("Its slot is selected; the skin name will not do as it is.");
        return question.guess.candidates.size() > 1
                   ? QStringLiteral("Its files fit several slots; the best match is selected.")
                   : QStringLiteral("Neither its name nor its files tell the slot.");
    }

private:
    // The selected slot, not the current one: a list given the focus makes its first row current
    // without selecting it, and the player has chosen nothing then.
    QString code() const
    {
        const QList<QListWidgetItem*> selected = m_slots->selectedItems();
        return selected.isEmpty() ? QString() : selected.first()->data(Qt::UserRole).toString();
    }
    void check()
    {
        const QString problem =
            code().isEmpty() ? QStringLiteral("Choose a slot.") : skinNameProblem(code(), m_name->text());
        m_problem->setText(
            problem.isEmpty() ? QStringLiteral("The package will be %1_%2.zip").arg(code(), m_name->text()) : problem);
        QPalette p = m_problem->palette();
        p.setColor(QPalette::WindowText,
                   problem.isEmpty() ? palette().color(QPalette::WindowText) : QColor(0xC0, 0, 0));
        m_problem->setPalette(p);
        for (QAbstractButton* b : m_buttons->buttons())
            if (m_buttons->buttonRole(b) == QDialogButtonBox::AcceptRole)
                b->setEnabled(problem.isEmpty());
    }

    QListWidget* m_slots = nullptr;
    QLineEdit* m_name = nullptr;
    QLabel* m_problem = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};

ImportAnswer askWithDialog(const ImportQuestion& question)
{
    ImportDialog dialog(question, QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.answer();
}

ExistingPackageAnswer askExisting(const QString& packageName, bool earlierInImport)
{
    QMessageBox box(QApplication::activeWindow());
    box.setObjectName(QStringLiteral("ExistingPackage"));
    box.setWindowTitle(kImportTitle);
    box.setIcon(QMessageBox::Question);
    box.setText(earlierInImport ? QStringLiteral("An earlier archive of this import is to become %1.").arg(packageName)
                                : QStringLiteral("The skins folder already holds %1.").arg(packageName));
    QPushButton* replace = box.addButton(QStringLiteral("Replace"), QMessageBox::DestructiveRole);
    QPushButton* both = box.addButton(QStringLiteral("Keep Both"), QMessageBox::AcceptRole);
    QPushButton* skip = box.addButton(QStringLiteral("Skip"), QMessageBox::RejectRole);
    box.setDefaultButton(both);
    box.setEscapeButton(skip);
    box.exec();
    if (box.clickedButton() == replace)
        return ExistingPackageAnswer::Replace;
    return box.clickedButton() == both ? ExistingPackageAnswer::KeepBoth : ExistingPackageAnswer::Skip;
}

ImportQuestionHandler g_question = &askWithDialog;
ExistingPackageHandler g_existing = &askExisting;

// The import's work: off the window's thread, with a dialog after half a second.
bool runWithProgress(QWidget* window, const QString& label, const ProgressWork& work)
{
    ProgressLook look;
    look.objectName = QStringLiteral("ImportProgress");
    look.title = kImportTitle;
    look.label = label;
    look.total = 1000;
    return kvr::runWithProgress(window, look, work);
}

struct Outcome
{
    QString file;
    QString text;
    bool imported = false;
};

} // namespace

ImportQuestionHandler setImportQuestionHandler(ImportQuestionHandler handler)
{
    return std::exchange(g_question, handler ? std::move(handler) : ImportQuestionHandler(&askWithDialog));
}

ExistingPackageHandler setExistingPackageHandler(ExistingPackageHandler handler)
{
    return std::exchange(g_existing, handler ? std::move(handler) : ExistingPackageHandler(&askExisting));
}

namespace {

// Where each readable archive goes: its slot and skin name, asked for when its name does not say,
// and what becomes of a name the skins folder or this import already holds.
QList<ImportJob> planJobs(const QString& skins, const QStringList& archives, const QList<ArchiveListing>& listings,
                          bool cancelled, QList<Outcome>& outcomes)
{
    QList<ImportJob> jobs;
    // The job of this import that is to write the package of that name, or -1.
    auto jobInImport = [&](const QString& code, const QString& skin) -> qsizetype {
        for (qsizetype j = 0; j < jobs.size(); ++j)
            if (jobs[j].code == code && jobs[j].skin.compare(skin, Qt::CaseInsensitive) == 0)
                return j;
        return -1;
    };
    auto taken = [&](const QString& code, const QString& skin) {
        return !existingPackage(skins, code, skin).isEmpty() || jobInImport(code, skin) >= 0;
    };
    for (qsizetype i = 0; i < archives.size(); ++i) {
        const QString name = QFileInfo(archives[i]).fileName();
        if (cancelled) {
            outcomes.append({name, QStringLiteral("cancelled")});
            continue;
        }
        if (!listings[i].readable) {
            outcomes.append({name, listings[i].problem});
            continue;
        }
        const SlotGuess guess = inferSlot(name, listings[i].members);
        QString code = guess.code, skin = defaultSkinName(name);
        if (code.isEmpty() || !skinNameProblem(code, skin).isEmpty()) {
            const ImportAnswer answer = g_question({name, guess, skin});
            if (!answer.accepted || !skinNameProblem(answer.code, answer.skin).isEmpty()) {
                outcomes.append({name, QStringLiteral("skipped: no slot or skin name chosen")});
                continue;
            }
            code = answer.code;
            skin = answer.skin;
        }
        bool replace = false;
        const QString existing = existingPackage(skins, code, skin);
        const qsizetype earlier = jobInImport(code, skin);
        if (!existing.isEmpty() || earlier >= 0) {
            const QString packageName =
                earlier >= 0 || existing.isEmpty() ? code + QLatin1Char('_') + skin + QStringLiteral(".zip") : existing;
            const ExistingPackageAnswer a = g_existing(packageName, earlier >= 0);
            if (a == ExistingPackageAnswer::Skip) {
                outcomes.append({name, QStringLiteral("skipped: ") + code + QLatin1Char('_') + skin +
                                           QStringLiteral(".zip exists")});
                continue;
            }
            if (a == ExistingPackageAnswer::Replace) {
                // This archive takes the name: the earlier one of this import is not written at all.
                replace = !existing.isEmpty();
                if (earlier >= 0) {
                    outcomes.append({QFileInfo(jobs[earlier].source).fileName(),
                                     QStringLiteral("replaced by ") + name + QStringLiteral(" of this import")});
                    jobs.removeAt(earlier);
                }
            } else {
                const QString base = skin;
                for (int n = 2; taken(code, skin); ++n)
                    skin = base + QStringLiteral(" (") + QString::number(n) + QLatin1Char(')');
            }
        }
        jobs.append({archives[i], code, skin, replace});
    }
    return jobs;
}

// Writes the planned packages off the window's thread and says of each what became of it.
void runJobs(QWidget* window, const QString& skins, const QList<ImportJob>& jobs, QList<Outcome>& outcomes)
{
    QList<ImportResult> results(jobs.size());
    if (!jobs.isEmpty()) {
        (void)runWithProgress(window, QStringLiteral("Importing packages..."),
                              [&](const std::atomic_bool& cancel, WorkProgress& progress) {
                                  const auto n = jobs.size();
                                  for (qsizetype i = 0; i < n; ++i) {
                                      results[i] = importPackage(jobs[i], skins, cancel, [&](double f) {
                                          progress.done = static_cast<int>(1000 * (static_cast<double>(i) + f) /
                                                                           static_cast<double>(n));
                                      });
                                      if (cancel && !results[i].imported)
                                          results[i].cancelled = true;
                                  }
                              });
    }
    for (qsizetype i = 0; i < jobs.size(); ++i) {
        const QString name = QFileInfo(jobs[i].source).fileName();
        const ImportResult& r = results[i];
        if (!r.imported) {
            outcomes.append({name, r.cancelled ? QStringLiteral("cancelled") : r.problem});
            continue;
        }
        QString text = slotTitle(jobs[i].code) + QStringLiteral(" as ") + r.package;
        if (r.preview || r.note)
            text += r.preview && r.note ? QStringLiteral(", with its preview and note")
                    : r.preview         ? QStringLiteral(", with its preview")
                                        : QStringLiteral(", with its note");
        outcomes.append({name, text, true});
    }
}

// One box for the whole drop: what was imported where, then what was not and why.
void showSummary(const QString& skins, const QList<Outcome>& outcomes)
{
    QString imported, skipped;
    for (const Outcome& o : outcomes)
        (o.imported ? imported : skipped) += QStringLiteral("\n    ") + o.file +
                                             (o.imported ? QStringLiteral(" \u2192 ") : QStringLiteral(": ")) + o.text;
    QString summary;
    if (!imported.isEmpty())
        summary += QStringLiteral("Imported into ") + skins + QLatin1Char(':') + imported;
    if (!skipped.isEmpty())
        summary += (summary.isEmpty() ? QString() : QStringLiteral("\n\n")) + QStringLiteral("Not imported:") + skipped;
    if (!summary.isEmpty())
        MsgBox(summary, imported.isEmpty() ? vbExclamation : vbOKOnly + 64, kImportTitle);
}

} // namespace

void importArchives(QWidget* window, const QStringList& paths)
{
    Principal& main = Principal::instance();
    const QString skins = usableFolder(main.File1.Path());
    if (skins.isEmpty()) {
        MsgBox(QStringLiteral("Set the skins folder in the Control Panel first."), vbExclamation);
        return;
    }
    QList<Outcome> outcomes;
    QStringList archives;
    for (const QString& path : paths) {
        const QString name = QFileInfo(path).fileName();
        if (!QFileInfo(path).isFile() || !isImportableArchive(name))
            outcomes.append({name, QStringLiteral("not an archive this program imports (.zip, .7z, .rar, .tar.*)")});
        else
            archives.append(path);
    }

    // Listing a compressed tar means reading it whole: off the window's thread too.
    QList<ArchiveListing> listings(archives.size());
    const bool cancelled = runWithProgress(
        window, QStringLiteral("Reading the archives..."), [&](const std::atomic_bool& cancel, WorkProgress& progress) {
            for (qsizetype i = 0; i < archives.size() && !cancel; ++i) {
                listings[i] = listArchive(archives[i], cancel, [&](double f) {
                    progress.done =
                        static_cast<int>(1000 * (static_cast<double>(i) + f) / static_cast<double>(archives.size()));
                });
            }
        });
    runJobs(window, skins, planJobs(skins, archives, listings, cancelled, outcomes), outcomes);

    // The slot lists show the new packages at once, and so does the viewer they were dropped on.
    main.File1.setPath(main.File1.Path());
    if (auto* lister = dynamic_cast<PackageListWindow*>(window))
        lister->listPackagesAgain();
    showSummary(skins, outcomes);
}

void chooseAndImportArchives(QWidget* window)
{
    if (usableFolder(Principal::instance().File1.Path()).isEmpty()) {
        MsgBox(QStringLiteral("Set the skins folder in the Control Panel first."), vbExclamation);
        return;
    }
    const QStringList files = QFileDialog::getOpenFileNames(
        window, QStringLiteral("Import Packages"), QDir::homePath(),
        QStringLiteral(
            "Skin archives (*.zip *.7z *.rar *.tar *.tar.gz *.tgz *.tar.bz2 *.tbz2 *.tar.xz *.txz *.tar.zst);;"
            "All files (*)"));
    if (!files.isEmpty())
        importArchives(window, files);
}

namespace {

class DropTaker : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto* drag = static_cast<QDropEvent*>(event);
            if (!archivesIn(drag->mimeData()).isEmpty()) {
                drag->acceptProposedAction();
                return true;
            }
        } else if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            const QStringList files = archivesIn(drop->mimeData());
            if (!files.isEmpty()) {
                drop->acceptProposedAction();
                // The file manager waits for the drop to end: import after it has.
                QPointer<QWidget> window = qobject_cast<QWidget*>(watched);
                QTimer::singleShot(0, this, [window, files] {
                    if (window && window->isEnabled())
                        handle([&] { importArchives(window, files); });
                });
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    static QStringList archivesIn(const QMimeData* mime)
    {
        QStringList files;
        if (!mime || !mime->hasUrls())
            return files;
        for (const QUrl& url : mime->urls())
            if (url.isLocalFile())
                files.append(url.toLocalFile());
        for (const QString& f : files)
            if (isImportableArchive(QFileInfo(f).fileName()))
                return files;
        return {};
    }
};

} // namespace

void acceptArchiveDrops(QWidget* window)
{
    window->setAcceptDrops(true);
    window->installEventFilter(new DropTaker(window));
}

} // namespace kvr
