#include "cli/importcommand.h"

#include "app/toolkit.h"
#include "catalogue/slots.h"
#include "installer/importer.h"

#include <QFileInfo>
#include <QJsonArray>

namespace kvr {

namespace {

// The package the archive is to become; "" with `problem` set when it cannot be told or taken.
ImportJob planImport(const QString& path, const QString& skins, const QList<ImportJob>& earlier,
                     const std::atomic<bool>& cancel, QString* problem)
{
    const QString name = QFileInfo(path).fileName();
    if (!QFileInfo(path).isFile() || !isImportableArchive(name)) {
        *problem = QStringLiteral("not an archive this program imports (.zip, .7z, .rar, .tar.*)");
        return {};
    }
    const ArchiveListing listing = listArchive(path, cancel);
    if (!listing.readable) {
        *problem = listing.problem;
        return {};
    }
    const SlotGuess guess = inferSlot(name, listing.members);
    if (guess.code.isEmpty()) {
        *problem = guess.candidates.size() > 1
                       ? QStringLiteral("its files fit several slots (%1); name it <CODE>_<skin name> to choose")
                             .arg(guess.candidates.join(QStringLiteral(", ")))
                       : QStringLiteral("neither its name nor its files tell the slot; name it <CODE>_<skin name>");
        return {};
    }
    ImportJob job{path, guess.code, defaultSkinName(name), false};
    if (const QString why = skinNameProblem(job.code, job.skin); !why.isEmpty()) {
        *problem = why;
        return {};
    }
    const QString package = job.code + QLatin1Char('_') + job.skin + QStringLiteral(".zip");
    const bool inImport = std::any_of(earlier.begin(), earlier.end(), [&](const ImportJob& j) {
        return j.code == job.code && j.skin.compare(job.skin, Qt::CaseInsensitive) == 0;
    });
    if (inImport || !existingPackage(skins, job.code, job.skin).isEmpty()) {
        *problem = QStringLiteral("the skins folder already holds %1").arg(package);
        return {};
    }
    return job;
}

} // namespace

CommandResult importCommand(const QStringList& archives, const QString& skinsFolderValue,
                            const std::atomic<bool>& cancel)
{
    const QString skins = usableFolder(skinsFolderValue);
    if (skins.isEmpty())
        return CommandResult::refused(QStringLiteral("Set the skins folder in the Control Panel first."));
    CommandResult result;
    QList<ImportJob> done;
    QJsonArray imported, refused;
    QStringList notImported;
    for (const QString& path : archives) {
        const QString name = QFileInfo(path).fileName();
        QString problem;
        const ImportJob job = planImport(path, skins, done, cancel, &problem);
        ImportResult written;
        if (problem.isEmpty()) {
            written = importPackage(job, skins, cancel);
            problem = written.imported ? QString() : cancel ? QStringLiteral("cancelled") : written.problem;
        }
        if (!problem.isEmpty()) {
            notImported.append(name + QStringLiteral(": ") + problem);
            refused.append(QJsonObject{{QStringLiteral("file"), path}, {QStringLiteral("reason"), problem}});
            continue;
        }
        done.append(job);
        result.text += QStringLiteral("    %1 \u2192 %2 as %3%4\n")
                           .arg(name, slotTitle(job.code), written.package,
                                written.preview && written.note ? QStringLiteral(", with its preview and note")
                                : written.preview               ? QStringLiteral(", with its preview")
                                : written.note                  ? QStringLiteral(", with its note")
                                                                : QString());
        imported.append(QJsonObject{{QStringLiteral("file"), path},
                                    {QStringLiteral("slot"), job.code},
                                    {QStringLiteral("package"), written.package},
                                    {QStringLiteral("preview"), written.preview},
                                    {QStringLiteral("note"), written.note}});
    }
    if (!result.text.isEmpty())
        result.text.prepend(QStringLiteral("Imported into %1:\n").arg(skins));
    result.packagesAdded = !done.isEmpty();
    result.json = {{QStringLiteral("skinsFolder"), skins},
                   {QStringLiteral("imported"), imported},
                   {QStringLiteral("notImported"), refused}};
    if (!notImported.isEmpty()) {
        result.status = kCommandRefused;
        result.problem = QStringLiteral("Not imported:\n    ") + notImported.join(QStringLiteral("\n    "));
    }
    return result;
}

} // namespace kvr
