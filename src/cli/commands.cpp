#include "cli/commands.h"

#include "app/toolkit.h"
#include "catalogue/slots.h"
#include "cli/importcommand.h"
#include "history/history.h"
#include "loadouts/loadoutfile.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <unistd.h>

namespace kvr {

namespace {

using Action = CommandLine::Action;

QString shownSkin(const QString& skin)
{
    return skin.isEmpty() ? QStringLiteral("(nothing recorded)") : skin;
}

CommandResult status(const InstallTarget& target)
{
    CommandResult result;
    const std::array<QString, kSlotCount> recorded = recordedSkins(target.settingsFile);
    result.text = QStringLiteral("Game folder:  %1\nSkins folder: %2\n").arg(target.gameFolder, target.skinsFolder);
    QJsonArray slots;
    for (const Slot& s : slotTable()) {
        const QString& skin = recorded[static_cast<size_t>(s.number - 1)];
        result.text +=
            QStringLiteral("%1  %2 %3\n").arg(s.number, 2).arg(slotTitle(s.SlotCode()), -24).arg(shownSkin(skin));
        slots.append(QJsonObject{{QStringLiteral("number"), s.number},
                                 {QStringLiteral("code"), s.SlotCode()},
                                 {QStringLiteral("caption"), s.Caption()},
                                 {QStringLiteral("skin"), skin}});
    }
    result.json = {{QStringLiteral("gameFolder"), target.gameFolder},
                   {QStringLiteral("skinsFolder"), target.skinsFolder},
                   {QStringLiteral("slots"), slots}};
    return result;
}

// Why a change cannot be recorded: the settings and the history live in the program folder, and
// a change that cannot keep what it removes must not begin.
QString programFolderProblem(const QString& settingsFile)
{
    const QString local = toLocalPath(settingsFile);
    const QString folder = QFileInfo(local).absolutePath();
    const bool fileWritable = !QFileInfo::exists(local) || ::access(QFile::encodeName(local).constData(), W_OK) == 0;
    if (::access(QFile::encodeName(folder).constData(), W_OK) == 0 && fileWritable)
        return {};
    return QStringLiteral("The program folder %1 cannot be written: nothing was changed.").arg(folder);
}

// The loadout a command names: a saved one by its name, or a file.
LoadoutRead findLoadout(const QString& loadout, const QString& settingsFile, QString* problem)
{
    const bool file = namesLoadoutFile(loadout);
    const QString path = file ? loadout : loadoutPath(loadoutsFolder(settingsFile), loadout);
    if (!QFileInfo(path).isFile()) {
        *problem = file ? QStringLiteral("There is no loadout file %1.").arg(loadout)
                        : QStringLiteral("There is no loadout named \"%1\".").arg(loadout);
        return {};
    }
    LoadoutRead read = readLoadoutFile(path, QFileInfo(path).completeBaseName());
    if (read.problem.isEmpty() && !read.whole)
        read.problem = QStringLiteral("it is larger than a loadout can be");
    if (!read.problem.isEmpty())
        *problem = QStringLiteral("%1 is not a loadout: %2").arg(loadout, read.problem);
    return read;
}

QJsonArray outcomesOf(const ApplyResult& applied, SlotOutcome::Kind kind)
{
    QJsonArray list;
    for (const SlotOutcome& o : applied.outcomes) {
        if (o.kind != kind)
            continue;
        QJsonObject item{{QStringLiteral("slot"), slot(o.number).SlotCode()}, {QStringLiteral("skin"), o.skin}};
        if (kind == SlotOutcome::Kind::Skipped)
            item.insert(QStringLiteral("reason"), o.reason);
        list.append(item);
    }
    return list;
}

CommandResult apply(const QString& name, const InstallTarget& target, const std::atomic<bool>& cancel)
{
    QString problem;
    const LoadoutRead read = findLoadout(name, target.settingsFile, &problem);
    if (!problem.isEmpty())
        return CommandResult::refused(problem);
    if (usableFolder(target.gameFolder).isEmpty())
        return CommandResult::refused(QStringLiteral("Set the game folder in the Control Panel first."));
    if (problem = programFolderProblem(target.settingsFile); !problem.isEmpty())
        return CommandResult::refused(problem);

    const ApplyResult applied = applyLoadout(read.loadout, target, false, cancel, {});
    CommandResult result;
    result.text = applySummary(read.loadout.name, applied) + QLatin1Char('\n');
    for (const SlotOutcome& o : applied.outcomes)
        if (o.kind == SlotOutcome::Kind::Changed)
            result.slots.append(slot(o.number).SlotCode());
    result.json = {{QStringLiteral("loadout"), read.loadout.name},
                   {QStringLiteral("changed"), outcomesOf(applied, SlotOutcome::Kind::Changed)},
                   {QStringLiteral("skipped"), outcomesOf(applied, SlotOutcome::Kind::Skipped)},
                   {QStringLiteral("notReached"), outcomesOf(applied, SlotOutcome::Kind::NotReached)},
                   {QStringLiteral("cancelled"), applied.cancelled}};
    if (applied.changed() < applied.outcomes.size() || applied.cancelled) {
        result.status = kCommandRefused;
        result.problem = QStringLiteral("Not every slot of \"%1\" was changed.").arg(read.loadout.name);
    }
    return result;
}

CommandResult undo(const InstallTarget& target, const LockWait& wait)
{
    const std::optional<HistoryEntry> newest =
        HistoryStore(target.settingsFile).newest(usableFolder(target.gameFolder));
    if (!newest)
        return CommandResult::refused(QStringLiteral("There is no change to undo."));
    if (const QString problem = programFolderProblem(target.settingsFile); !problem.isEmpty())
        return CommandResult::refused(problem);
    try {
        restoreBefore(target.settingsFile, target.gameFolder, *newest, QStringLiteral("undo"), wait);
    } catch (const Error& e) {
        return CommandResult::refused(e.description());
    }
    CommandResult result;
    result.text = QStringLiteral("Undone: the %1 of %2.\n")
                      .arg(newest->kind, QDateTime::fromMSecsSinceEpoch(newest->time).toString(Qt::ISODate));
    QJsonArray slots;
    for (const HistorySlot& s : newest->slots) {
        result.text +=
            QStringLiteral("    %1 %2, was %3\n").arg(slotTitle(s.slot), shownSkin(s.before), shownSkin(s.after));
        slots.append(QJsonObject{
            {QStringLiteral("slot"), s.slot}, {QStringLiteral("skin"), s.before}, {QStringLiteral("was"), s.after}});
        result.slots.append(s.slot);
    }
    result.json = {{QStringLiteral("undone"), newest->kind},
                   {QStringLiteral("time"), QDateTime::fromMSecsSinceEpoch(newest->time).toString(Qt::ISODate)},
                   {QStringLiteral("slots"), slots}};
    return result;
}

} // namespace

CommandResult CommandResult::refused(const QString& why)
{
    CommandResult result;
    result.status = kCommandRefused;
    result.problem = why;
    return result;
}

InstallTarget commandTarget(const QString& settingsFile)
{
    using namespace SettingsNames;
    return {Modulo::LEEINI(settingsFile, kFoldersSection, kGameFolderKey),
            Modulo::LEEINI(settingsFile, kFoldersSection, kSkinsFolderKey), settingsFile};
}

CommandResult runCommand(const CommandLine& line, const InstallTarget& target, const std::atomic<bool>& cancel,
                         const LockWait& wait)
{
    CommandResult result;
    switch (line.action) {
    case Action::Start:
    case Action::Help:
        result.text = usageText();
        result.json = {{QStringLiteral("usage"), usageText()}};
        return result;
    case Action::Version:
        result.text = QStringLiteral("Kestrava Skin Installer %1\n").arg(kProgramVersion);
        result.json = {{QStringLiteral("version"), kProgramVersion}};
        return result;
    case Action::Status:
        return status(target);
    case Action::ApplyLoadout:
        return apply(line.loadout, target, cancel);
    case Action::Undo:
        return undo(target, wait);
    case Action::Import:
        return importCommand(line.files, target.skinsFolder, cancel);
    }
    return result;
}

QByteArray commandOutput(const CommandResult& result, bool json)
{
    if (!json)
        return result.text.toUtf8();
    QJsonObject object = result.json;
    object.insert(QStringLiteral("status"), result.status);
    if (!result.problem.isEmpty())
        object.insert(QStringLiteral("error"), result.problem);
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

} // namespace kvr
