#include "change/journal.h"

#include "app/fileio.h"
#include "app/logging.h"
#include "app/toolkit.h"
#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "settings/modulo_ini.h"
#include "settings/settings_names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kvr {

namespace {

// Version 2 gives a reset its own lines; a version 1 journal is set aside.
const QByteArray kHeader = "KVRSI journal 2";
const QByteArray kInstall = "install";
const QByteArray kReset = "reset";

QString settingsFolder(const QString& settingsFile)
{
    return QFileInfo(toLocalPath(settingsFile)).absolutePath();
}

QString journalPrefix(const QString& settingsFile)
{
    return QFileInfo(toLocalPath(settingsFile)).fileName() + QStringLiteral(".journal-");
}

QByteArray encoded(const QString& value)
{
    return value.toUtf8().toPercentEncoding();
}

QByteArray journalBytes(const ChangePlan& plan)
{
    QByteArray bytes = kHeader + '\n';
    const auto line = [&bytes](const char* key, const QByteArray& value) {
        bytes += key + QByteArray("=") + value + '\n';
    };
    if (plan.kind == ChangePlan::Kind::Reset) {
        line("kind", kReset);
    } else {
        line("kind", kInstall);
        line("slot", encoded(plan.slot));
        line("skin", encoded(plan.skin));
        line("package", encoded(plan.package));
    }
    line("game", encoded(plan.gameFolder));
    // The change carried out again at start goes on in the same history entry.
    if (plan.historyEntry > 0)
        line("history", QByteArray::number(plan.historyEntry));
    // A journal cut short lacks this line and is not taken for a whole one.
    bytes += "end\n";
    return bytes;
}

// A skin name a package file name can give, or "(Default)": not empty, no folder separator, no
// control character (it is recorded as one line of the settings file).
bool couldBeSkinName(const QString& skin)
{
    if (skin == kDefaultSkin)
        return true;
    if (skin.isEmpty() || skin.contains(QLatin1Char('/')))
        return false;
    for (const QChar c : skin) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    }
    return true;
}

bool isSlotCode(const QString& code)
{
    for (const Slot& s : slotTable()) {
        if (s.SlotCode() == code)
            return true;
    }
    return false;
}

// The lines of a whole journal as key and value, each key once; nothing when any line is not
// one the program writes.
std::optional<QList<std::pair<QByteArray, QString>>> wholeLines(const QByteArray& bytes)
{
    static const QRegularExpression line(QStringLiteral("^(kind|slot|skin|package|game|history)=([A-Za-z0-9._~%-]*)$"));
    QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 4 || lines.first() != kHeader || lines.at(lines.size() - 2) != "end" || !lines.last().isEmpty())
        return std::nullopt;
    QList<std::pair<QByteArray, QString>> values;
    for (qsizetype i = 1; i + 2 < lines.size(); ++i) {
        const QRegularExpressionMatch match = line.match(QString::fromLatin1(lines.at(i)));
        if (!match.hasMatch())
            return std::nullopt;
        const QByteArray key = match.captured(1).toLatin1();
        for (const auto& [seen, value] : values) {
            if (seen == key)
                return std::nullopt;
        }
        const QByteArray raw = QByteArray::fromPercentEncoding(match.captured(2).toLatin1());
        const QString value = QString::fromUtf8(raw);
        if (value.toUtf8() != raw)
            return std::nullopt; // not UTF-8
        values.append({key, value});
    }
    return values;
}

QString problemOf(const QByteArray& bytes, const QString& settingsFile, ChangePlan& plan)
{
    const auto lines = wholeLines(bytes);
    if (!lines)
        return QStringLiteral("a line is cut short or not one the program writes");
    QStringList keys;
    QString kind;
    for (const auto& [key, value] : *lines) {
        if (key == "history") {
            bool ok = false;
            plan.historyEntry = value.toLongLong(&ok);
            if (!ok || plan.historyEntry <= 0 || value != QString::number(plan.historyEntry))
                return QStringLiteral("\"%1\" is no entry of the history").arg(value);
            continue;
        }
        keys.append(QString::fromLatin1(key));
        if (key == "kind")
            kind = value;
        else if (key == "slot")
            plan.slot = value;
        else if (key == "skin")
            plan.skin = value;
        else if (key == "package")
            plan.package = value;
        else
            plan.gameFolder = value;
    }
    keys.sort();
    if (kind == QLatin1String(kReset)) {
        plan.kind = ChangePlan::Kind::Reset;
        if (keys != QStringList{QStringLiteral("game"), QStringLiteral("kind")})
            return QStringLiteral("a reset with lines of a slot change");
    } else if (kind == QLatin1String(kInstall)) {
        if (keys.size() != 5)
            return QStringLiteral("a slot change lacks a line");
        if (!isSlotCode(plan.slot))
            return QStringLiteral("\"%1\" is no slot code").arg(plan.slot);
        if (!couldBeSkinName(plan.skin))
            return QStringLiteral("\"%1\" is no skin name").arg(plan.skin);
        const QString skins =
            usableFolder(Modulo::LEEINI(settingsFile, SettingsNames::kFoldersSection, SettingsNames::kSkinsFolderKey));
        // "(Default)" unpacks nothing; a skin unpacks its own package, or nothing when the skins
        // folder was not usable.
        const bool consistent =
            plan.package.isEmpty() || (plan.skin != kDefaultSkin && !skins.isEmpty() &&
                                       plan.package == localPackagePath(skins, plan.slot, plan.skin));
        if (!consistent)
            return QStringLiteral("the package \"%1\" is not the slot's package in the skins folder").arg(plan.package);
    } else {
        return QStringLiteral("an unknown kind of change");
    }
    const QString game =
        usableFolder(Modulo::LEEINI(settingsFile, SettingsNames::kFoldersSection, SettingsNames::kGameFolderKey));
    if (plan.gameFolder.isEmpty() || plan.gameFolder != game)
        return QStringLiteral("\"%1\" is not the game folder").arg(plan.gameFolder);
    return {};
}

} // namespace

QString writeJournal(const ChangePlan& plan, const QString& settingsFile)
{
    const QString folder = settingsFolder(settingsFile);
    const QByteArray bytes = journalBytes(plan);
    // Written through the program folder's one door (an unnamed file linked in under a name no
    // other journal has), a journal appears whole or not at all, so another instance starting
    // meanwhile never takes half of one for a broken one. Where the file system has no unnamed
    // files, its hidden temporary is named like the settings file's, which the start removes.
    // The program folder may be reached through a link of the player's: resolved once, then
    // opened without following anything.
    const UniqueFd folderFd = openFolder(QFileInfo(folder).canonicalFilePath());
    const QByteArray temporary = QFile::encodeName(QFileInfo(toLocalPath(settingsFile)).fileName()) + ".tmpXXXXXX";
    for (int attempt = 0; folderFd.isValid() && attempt < 100; ++attempt) {
        const QString name = journalPrefix(settingsFile) + QString::number(QRandomGenerator::global()->generate(), 16);
        const int error = writeFileIn(folderFd.get(), QFile::encodeName(name), bytes, Existing::Keep, temporary);
        if (error == 0)
            return folder + QLatin1Char('/') + name;
        if (error != EEXIST)
            break;
    }
    qCWarning(lcInstall, "no journal written beside %s: an interruption now would not be finished at start",
              qUtf8Printable(settingsFile));
    return {};
}

void removeJournal(const QString& journal)
{
    if (!journal.isEmpty())
        ::unlink(QFile::encodeName(journal).constData());
}

void removeFinishedJournal(const QString& journal, const ChangePlan& done, const QString& settingsFile)
{
    for (const QString& earlier : journalsBeside(settingsFile)) {
        if (earlier == journal)
            break;
        const std::optional<ChangePlan> plan = readJournal(earlier, settingsFile);
        if (plan && plan->gameFolder == done.gameFolder &&
            (done.kind == ChangePlan::Kind::Reset || (plan->kind == done.kind && plan->slot == done.slot))) {
            qCInfo(lcInstall, "%s: made moot by a later change", qUtf8Printable(earlier));
            removeJournal(earlier);
        }
    }
    removeJournal(journal);
}

QStringList journalsBeside(const QString& settingsFile)
{
    const QString folder = settingsFolder(settingsFile);
    const QRegularExpression name(QStringLiteral("^") + QRegularExpression::escape(journalPrefix(settingsFile)) +
                                  QStringLiteral("[0-9a-f]+$"));
    // Their names are random: the order they were written in is their times'.
    std::vector<std::pair<qint64, QString>> found;
    for (const QString& entry : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort)) {
        struct stat st
        {
        };
        const QString path = folder + QLatin1Char('/') + entry;
        if (name.match(entry).hasMatch() && ::lstat(QFile::encodeName(path).constData(), &st) == 0)
            found.emplace_back(qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, path);
    }
    std::sort(found.begin(), found.end());
    QStringList journals;
    for (const auto& [time, path] : found)
        journals.append(path);
    return journals;
}

std::optional<ChangePlan> readJournal(const QString& journal, const QString& settingsFile, QString* why)
{
    const FileRead read = readRegularFile(journal, qint64{64} * 1024, Links::Refuse);
    ChangePlan plan;
    const QString problem = read.ok() ? problemOf(read.data, settingsFile, plan) : read.message();
    if (why)
        *why = problem;
    if (!problem.isEmpty())
        return std::nullopt;
    return plan;
}

void setJournalAside(const QString& journal)
{
    const QByteArray from = QFile::encodeName(journal);
    const QByteArray to = QFile::encodeName(journal + QStringLiteral(".damaged"));
    if (::rename(from.constData(), to.constData()) != 0)
        ::unlink(from.constData());
}

} // namespace kvr
