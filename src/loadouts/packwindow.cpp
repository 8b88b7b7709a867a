#include "loadouts/packwindow.h"

#include "app/forms.h"
#include "app/progresstask.h"
#include "app/toolkit.h"
#include "app/widgets.h"
#include "catalogue/slots.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace kvr {

namespace {

// A pack's work off the window's thread, its progress counted in KiB so that 4 GiB fits.
bool runPackWork(QWidget* window, const QString& label,
                 const std::function<void(const std::atomic_bool&, const PackProgress&)>& work)
{
    ProgressLook look;
    look.objectName = QStringLiteral("PackProgress");
    look.title = kPackTitle;
    look.label = label;
    look.total = 1;
    look.minimumWidthChars = 60;
    return runWithProgress(window, look, [&](const std::atomic_bool& stop, WorkProgress& progress) {
        work(stop, [&](qint64 done, qint64 total) {
            progress.total = static_cast<int>(std::max<qint64>(1, total / 1024));
            progress.done = static_cast<int>(done / 1024);
        });
    });
}

QString listed(const QString& heading, const QStringList& lines)
{
    return lines.isEmpty() ? QString() : heading + QStringLiteral("\n    ") + lines.join(QStringLiteral("\n    "));
}

} // namespace

PackWindow::PackWindow(const Pack& pack, const PackComparison& comparison, const InstallTarget& target, QWidget* parent)
    : QDialog(parent), m_pack(pack), m_target(target)
{
    setObjectName(QStringLiteral("Pack"));
    setWindowTitle(kPackTitle);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::ApplicationModal);
    buildLayout();
    connectHandler(AddPackages, &QPushButton::clicked, this, &PackWindow::AddPackages_Click);
    connectHandler(Apply, &QPushButton::clicked, this, &PackWindow::Apply_Click);
    connect(Close, &QPushButton::clicked, this, &QDialog::close);
    showComparison(comparison);
}

void PackWindow::buildLayout()
{
    Label1 = new QLabel(QStringLiteral("The pack \"%1\" holds the loadout \"%2\". What it would change:")
                            .arg(QFileInfo(m_pack.path).fileName(), m_pack.loadout.name));
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);
    Table1 = makeTable(QStringLiteral("Table1"),
                       {QStringLiteral("Slot"), QStringLiteral("Skin"), QStringLiteral("Status")}, kSlotCount);
    Table1->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    Label1->setBuddy(Table1);
    FreeName = new QCheckBox(QStringLiteral("Where a package differs from &yours, add the pack's under a free name"));
    FreeName->setObjectName(QStringLiteral("FreeName"));
    FreeName->setChecked(true);
    auto button = [](const char* name, const char* caption) {
        auto* b = new QPushButton(QString::fromLatin1(caption));
        b->setObjectName(QString::fromLatin1(name));
        return b;
    };
    AddPackages = button("AddPackages", "A&dd Packages");
    Apply = button("Apply", "&Apply");
    Apply->setEnabled(false);
    Close = button("Close", "&Close");

    const int charWidth = fontMetrics().averageCharWidth();
    Table1->setFixedSize(charWidth * 90, fontMetrics().height() * 26);
    Table1->setColumnWidth(0, charWidth * 24);
    Table1->setColumnWidth(1, charWidth * 28);
    Label1->setFixedWidth(charWidth * 90);

    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {AddPackages, Apply, Close})
        buttons->addWidget(b);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addWidget(Label1);
    layout->addWidget(Table1);
    layout->addWidget(FreeName);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setTabChain({Table1, FreeName, AddPackages, Apply, Close});
}

void PackWindow::showComparison(const PackComparison& comparison)
{
    for (const Slot& s : slotTable()) {
        const auto i = static_cast<size_t>(s.number - 1);
        const int row = s.number - 1;
        Table1->setItem(row, 0, new QTableWidgetItem(slotTitle(s)));
        Table1->setItem(row, 1, new QTableWidgetItem(m_pack.loadout.entries[i].skin));
        auto* status = new QTableWidgetItem(packStatusText(comparison[i].status));
        status->setToolTip(comparison[i].detail);
        Table1->setItem(row, 2, status);
    }
}

void PackWindow::AddPackages_Click()
{
    const DifferingPackage differing =
        FreeName->isChecked() ? DifferingPackage::AddUnderFreeName : DifferingPackage::Skip;
    PackAdded added;
    PackComparison comparison;
    const bool cancelled =
        runPackWork(this, QStringLiteral("Adding the pack's packages..."),
                    [&](const std::atomic_bool& stop, const PackProgress& p) {
                        added = addPackPackages(m_pack, usableFolder(m_target.skinsFolder), differing, stop, p);
                        Pack now = m_pack;
                        now.loadout = added.loadout;
                        PackageFolder packages(usableFolder(m_target.skinsFolder));
                        comparison = comparePack(now, recordedSkins(m_target.settingsFile), packages, stop);
                    });
    if (cancelled || added.cancelled)
        return;

    // The loadout goes to the list as an imported one does: a name in use is replaced only when
    // the player says so.
    const QString name = added.loadout.name;
    const QString folder = loadoutsFolder(m_target.settingsFile);
    const QString path = loadoutPath(folder, name);
    const bool exists = QFileInfo::exists(path) || QFileInfo(path).isSymLink();
    QString loadoutLine;
    if (exists && MsgBox(QStringLiteral("A loadout named \"%1\" exists. Replace it?").arg(name),
                         vbOKCancel + vbQuestion, kPackTitle) != vbOK) {
        loadoutLine = QStringLiteral("Kept the loadout \"%1\" you have.").arg(name);
    } else {
        QDir().mkpath(folder);
        const WriteResult written =
            writeFileWhole(path, loadoutBytes(added.loadout), exists ? WriteMode::Replace : WriteMode::Create);
        loadoutLine = written.ok()
                          ? QStringLiteral("Added the loadout \"%1\".").arg(name)
                          : QStringLiteral("The loadout \"%1\" could not be added: %2")
                                .arg(name, written.problem.isEmpty() ? QStringLiteral("the name was just taken")
                                                                     : written.problem);
        if (written.ok())
            m_added = name;
    }
    QStringList parts{listed(QStringLiteral("Packages added:"), added.added),
                      listed(QStringLiteral("Not added:"), added.notAdded), loadoutLine};
    parts.removeAll(QString());
    MsgBox(parts.join(QStringLiteral("\n\n")), added.notAdded.isEmpty() && m_added ? vbOKOnly + 64 : int(vbExclamation),
           kPackTitle);

    m_pack.loadout = added.loadout;
    showComparison(comparison);
    AddPackages->setEnabled(false);
    FreeName->setEnabled(false);
    Apply->setEnabled(m_added.has_value());
    if (m_added)
        Q_EMIT LoadoutAdded(*m_added);
}

void PackWindow::Apply_Click()
{
    if (!m_added)
        return;
    const QString name = *m_added;
    close();
    Q_EMIT ApplyWanted(name);
}

PackWindow* openPack(QWidget* from, const QString& localPath, const InstallTarget& target)
{
    Pack pack;
    PackComparison comparison;
    const bool cancelled = runPackWork(
        from, QStringLiteral("Reading the pack..."), [&](const std::atomic_bool& stop, const PackProgress&) {
            pack = readPack(localPath);
            if (!pack.ok())
                return;
            PackageFolder packages(usableFolder(target.skinsFolder));
            comparison = comparePack(pack, recordedSkins(target.settingsFile), packages, stop);
        });
    if (cancelled)
        return nullptr;
    if (!pack.ok()) {
        MsgBox(
            QStringLiteral("The pack \"%1\" %2; nothing was added.").arg(QFileInfo(localPath).fileName(), pack.problem),
            vbExclamation, kPackTitle);
        return nullptr;
    }
    auto* window = new PackWindow(pack, comparison, target, from);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

void exportPack(QWidget* from, const Loadout& loadout, const InstallTarget& target, const QString& localPath)
{
    const QString skins = usableFolder(target.skinsFolder);
    QStringList doubts;
    if (runPackWork(
            from, QStringLiteral("Checking the packages..."), [&](const std::atomic_bool& stop, const PackProgress&) {
                PackageFolder packages(skins);
                doubts = packDoubts(loadout, checkLoadout(loadout, recordedSkins(target.settingsFile), packages, stop));
            }))
        return;
    if (!doubts.isEmpty() &&
        MsgBox(listed(QStringLiteral("These slots' packages are not the ones the loadout was saved with:"), doubts) +
                   QStringLiteral("\n\nA missing package is left out of the pack; one that differs goes in as you "
                                  "have it. Write the pack?"),
               vbOKCancel + vbQuestion, kPackTitle) != vbOK)
        return;
    PackWritten written;
    if (runPackWork(from, QStringLiteral("Writing the pack..."),
                    [&](const std::atomic_bool& stop, const PackProgress& progress) {
                        written = writePack(loadout, skins, localPath, stop, progress);
                    }) ||
        written.cancelled)
        return;
    if (!written.written)
        MsgBox(QStringLiteral("The pack could not be written: ") + written.problem, vbExclamation, kPackTitle);
}

} // namespace kvr
