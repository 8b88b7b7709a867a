#include "loadouts/loadoutfile.h"

#include "app/fileio.h"
#include "app/textcodec.h"
#include "app/toolkit.h"
#include "catalogue/skinpackage.h"
#include "settings/profile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {

const QString kLoadoutSection = QStringLiteral("Loadout");
const QString kNameKey = QStringLiteral("Name");
const QString kSkinsSection = QStringLiteral("Skins");
const QString kPackagesSection = QStringLiteral("Packages");
const QString kSourcesSection = QStringLiteral("Sources");

// The longest file name the file system stores, in bytes.
constexpr qsizetype kNameMax = 255;
// More lines than this are not listed one by one.
constexpr qsizetype kNotUnderstoodShown = 20;

bool isBlank(QChar c)
{
    const char16_t u = c.unicode();
    return u == u' ' || u == u'\t' || u == u'\v' || u == u'\f' || u == 0x1A;
}

QString trimBlanks(QStringView s)
{
    qsizetype begin = 0, end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.sliced(begin, end - begin).toString();
}

bool holdsControl(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.isSurrogate() || c.unicode() == 0xFFFD)
            return true;
    return false;
}

// True when a profile line holding the text reads it back unchanged: the reader drops blanks
// around a value and a pair of quotes around it.
bool readsBackAsWritten(const QString& text)
{
    if (text != trimBlanks(text))
        return false;
    const bool quoted = text.size() >= 2 && (text.front() == QLatin1Char('"') || text.front() == QLatin1Char('\'')) &&
                        text.back() == text.front();
    return !quoted;
}

bool fitsFileName(const QString& name)
{
    return QFile::decodeName(QFile::encodeName(name)) == name && QFile::encodeName(name).size() <= kNameMax;
}

// The hidden temporary a loadout file is written under before it takes its name.
QByteArray temporaryPattern(const QByteArray& fileName)
{
    return "." + fileName + ".tmpXXXXXX";
}
// The longest name, in bytes, whose loadout file and its temporary both fit a file name
// ("XXXXXX" becomes eight digits).
qsizetype longestLoadoutName()
{
    return kNameMax - (temporaryPattern(QFile::encodeName(kLoadoutExtension)).size() + 2);
}

// Why the name cannot name a loadout file, its length aside; "" when it can.
QString nameShapeProblem(const QString& name)
{
    if (name.trimmed().isEmpty())
        return QStringLiteral("Type a name for the loadout.");
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QStringLiteral("A loadout name cannot hold / or \\.");
    if (name.startsWith(QLatin1Char('.')))
        return QStringLiteral("A loadout name cannot start with a dot.");
    if (holdsControl(name) || name != name.trimmed() || !readsBackAsWritten(name))
        return QStringLiteral(
            "A loadout name cannot hold control characters, start or end with a blank, or be in quotes.");
    return {};
}

// A loadout file in another encoding than the profile reader's (UTF-16 with its mark, as some
// Windows editors save), as UTF-8.
QByteArray asProfileText(const QByteArray& bytes)
{
    const bool little = bytes.startsWith("\xFF\xFE");
    if (!little && !bytes.startsWith("\xFE\xFF"))
        return bytes;
    QStringDecoder decoder(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
    return QString(decoder.decode(QByteArrayView(bytes).sliced(2))).toUtf8();
}

// The text's lines, whichever of CRLF, LF or CR ends them, as the profile reader takes them.
QStringList textLines(const QByteArray& bytes)
{
    QString text = decodeText(asProfileText(bytes)).text;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text.split(QLatin1Char('\n'));
}

// Why nothing can be read at the path, a folder, pipe or device standing there.
QString notAFile(const QString& localPath)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(localPath).constData(), &st) != 0)
        return Error::fromErrno(errno).description();
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("it is a folder, not a file");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("it is a pipe, not a file");
    return QStringLiteral("it is a device or socket, not a file");
}

// A value as the profile reader gives it, or why it cannot be used: a zero character or more
// than the read limit would make the value read back as something else than the file says.
QString readValue(const ProfileFile& file, const QString& section, const QString& key, QString& problem)
{
    const std::optional<QString> stored = file.value(section, key);
    if (!stored)
        return {};
    if (stored->contains(QChar(u'\0')))
        problem = QStringLiteral("it holds a zero character");
    else if (stored->size() > kProfileValueMax)
        problem = QStringLiteral("it is longer than %1 characters").arg(kProfileValueMax);
    return profileReadResult(*stored);
}

std::optional<quint64> number(QStringView text, int base, qsizetype maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return std::nullopt;
    for (QChar c : text)
        if (!(c.isDigit() && c.unicode() < 0x80) && !(base == 16 && ((c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
                                                                     (c >= QLatin1Char('A') && c <= QLatin1Char('F')))))
            return std::nullopt;
    bool ok = false;
    const quint64 value = text.toULongLong(&ok, base);
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

// Where a slot's package can be downloaded: only a web address is kept, never run or fetched.
QString readSource(const ProfileFile& file, const QString& code)
{
    QString problem;
    const QString source = readValue(file, kSourcesSection, code, problem);
    const bool web = source.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive) ||
                     source.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive);
    return problem.isEmpty() && web && !holdsControl(source) && !source.contains(QLatin1Char(' ')) ? source : QString();
}

LoadoutSlot readSlot(const ProfileFile& file, const QString& code)
{
    LoadoutSlot slot;
    QString problem;
    slot.skin = readValue(file, kSkinsSection, code, problem);
    if (!problem.isEmpty()) {
        slot.problem = QStringLiteral("the skin: ") + problem;
        return slot;
    }
    if (slot.skin.isEmpty())
        return slot;
    if (const QString p = skinProblem(code, slot.skin); !p.isEmpty()) {
        slot.problem = p;
        return slot;
    }
    if (slot.skin == kDefaultSkin)
        return slot;
    const QString line = readValue(file, kPackagesSection, code, problem);
    if (!problem.isEmpty()) {
        slot.problem = QStringLiteral("the package: ") + problem;
        return slot;
    }
    // Split at the last two bars: a skin name may hold one.
    const qsizetype crcBar = line.lastIndexOf(QLatin1Char('|'));
    const qsizetype sizeBar = crcBar > 0 ? line.lastIndexOf(QLatin1Char('|'), crcBar - 1) : -1;
    if (sizeBar < 0) {
        slot.problem = QStringLiteral("no package line of the form <file name>|<size>|<CRC>");
        return slot;
    }
    const QString name = trimBlanks(QStringView(line).first(sizeBar));
    if (const QString p = packageProblem(code, slot.skin, name); !p.isEmpty()) {
        slot.problem = p;
        return slot;
    }
    const std::optional<quint64> size =
        number(trimBlanks(QStringView(line).sliced(sizeBar + 1, crcBar - sizeBar - 1)), 10, 15);
    const std::optional<quint64> crc = number(trimBlanks(QStringView(line).sliced(crcBar + 1)), 16, 8);
    if (!size)
        slot.problem = QStringLiteral("the package size is not a number");
    else if (!crc)
        slot.problem = QStringLiteral("the package CRC is not a hexadecimal number");
    else
        slot.package = {name, static_cast<qint64>(*size), static_cast<quint32>(*crc)};
    return slot;
}

// The lines the reader above does not look at: other sections, keys that are no slot code,
// anything before the first section. Values are read by the profile reader; this only names
// what it leaves aside.
QStringList linesNotUnderstood(const QStringList& text)
{
    QStringList lines;
    qsizetype count = 0;
    QString section;
    bool anySection = false;
    auto note = [&](qsizetype number, const QString& why) {
        if (++count <= kNotUnderstoodShown)
            lines.append(QStringLiteral("line %1: %2").arg(number).arg(why));
    };
    qsizetype number = 0;
    for (const QString& raw : text) {
        ++number;
        const QString line = trimBlanks(raw);
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.lastIndexOf(QLatin1Char(']')) > 0) {
            section = trimBlanks(QStringView(line).sliced(1, line.lastIndexOf(QLatin1Char(']')) - 1));
            anySection = true;
            const bool known = section.compare(kLoadoutSection, Qt::CaseInsensitive) == 0 ||
                               section.compare(kSkinsSection, Qt::CaseInsensitive) == 0 ||
                               section.compare(kPackagesSection, Qt::CaseInsensitive) == 0 ||
                               section.compare(kSourcesSection, Qt::CaseInsensitive) == 0;
            if (!known)
                note(number, QStringLiteral("an unknown section [%1]").arg(section.left(40)));
            continue;
        }
        if (!anySection) {
            note(number, QStringLiteral("a line before any section"));
            continue;
        }
        const QString key = trimBlanks(QStringView(line).first(std::max<qsizetype>(0, line.indexOf(QLatin1Char('=')))));
        if (section.compare(kLoadoutSection, Qt::CaseInsensitive) == 0) {
            if (key.compare(kNameKey, Qt::CaseInsensitive) != 0)
                note(number, QStringLiteral("an unknown entry \"%1\"").arg(line.left(40)));
        } else if (section.compare(kSkinsSection, Qt::CaseInsensitive) == 0 ||
                   section.compare(kPackagesSection, Qt::CaseInsensitive) == 0 ||
                   section.compare(kSourcesSection, Qt::CaseInsensitive) == 0) {
            if (!isSlotCode(key.toUpper()))
                note(number, QStringLiteral("no slot has the code \"%1\"").arg(key.left(40)));
        }
    }
    if (count > kNotUnderstoodShown)
        lines.append(QStringLiteral("and %1 more lines").arg(count - kNotUnderstoodShown));
    return lines;
}

} // namespace

QString skinProblem(const QString& code, const QString& skin)
{
    if (skin == kDefaultSkin)
        return {};
    if (skin.contains(QLatin1Char('/')) || skin.contains(QLatin1Char('\\')) || skin.contains(QStringLiteral("..")))
        return QStringLiteral("the skin name holds / or \\ or ..");
    if (holdsControl(skin))
        return QStringLiteral("the skin name holds a character a file name cannot");
    if (!readsBackAsWritten(skin))
        return QStringLiteral("the skin name starts or ends with a blank, or is in quotes");
    const QString package = code + QLatin1Char('_') + skin + QStringLiteral(".zip");
    if (package.size() < kShortestPackageName)
        return QStringLiteral("the skin name is empty");
    if (!fitsFileName(package))
        return QStringLiteral("the skin name is too long for a file name");
    return {};
}

QString packageProblem(const QString& code, const QString& skin, const QString& file)
{
    const QString expected = code + QLatin1Char('_') + skin + QStringLiteral(".zip");
    if (file.compare(expected, Qt::CaseInsensitive) != 0)
        return QStringLiteral("the package is not named %1").arg(expected);
    return {};
}

Loadout parseLoadout(const QByteArray& bytes, const QString& fallbackName)
{
    const ProfileFile file = ProfileFile::parse(asProfileText(bytes));
    Loadout loadout;
    QString problem;
    const QString name = readValue(file, kLoadoutSection, kNameKey, problem);
    loadout.name = problem.isEmpty() && loadoutNameProblem(name).isEmpty() ? name : fallbackName;
    for (const Slot& s : slotTable()) {
        loadout.entries[static_cast<size_t>(s.number - 1)] = readSlot(file, s.SlotCode());
        loadout.sources[static_cast<size_t>(s.number - 1)] = readSource(file, s.SlotCode());
    }
    loadout.notUnderstood = linesNotUnderstood(textLines(bytes));
    return loadout;
}

bool looksLikeLoadout(const QByteArray& bytes)
{
    for (const QString& raw : textLines(bytes)) {
        const QString line = trimBlanks(raw);
        const qsizetype close = line.lastIndexOf(QLatin1Char(']'));
        if (line.startsWith(QLatin1Char('[')) && close > 0 &&
            trimBlanks(QStringView(line).sliced(1, close - 1)).compare(kLoadoutSection, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray loadoutBytes(const Loadout& loadout)
{
    ProfileFile file = ProfileFile::parse({});
    file.setValue(kLoadoutSection, kNameKey, loadout.name);
    for (const Slot& s : slotTable())
        if (const LoadoutSlot& slot = loadout.entries[static_cast<size_t>(s.number - 1)]; slot.understood())
            file.setValue(kSkinsSection, s.SlotCode(), slot.skin);
    for (const Slot& s : slotTable()) {
        const LoadoutSlot& slot = loadout.entries[static_cast<size_t>(s.number - 1)];
        if (slot.understood() && slot.skin != kDefaultSkin)
            file.setValue(kPackagesSection, s.SlotCode(),
                          QString(slot.package.file + QLatin1Char('|') + QString::number(slot.package.size) +
                                  QLatin1Char('|') +
                                  QStringLiteral("%1").arg(slot.package.crc, 8, 16, QLatin1Char('0')).toUpper()));
    }
    for (const Slot& s : slotTable())
        if (const QString& source = loadout.sources[static_cast<size_t>(s.number - 1)]; !source.isEmpty())
            file.setValue(kSourcesSection, s.SlotCode(), source);
    return file.toBytes();
}

QString loadoutNameProblem(const QString& name)
{
    if (QString problem = nameShapeProblem(name); !problem.isEmpty())
        return problem;
    if (!fitsFileName(name) || QFile::encodeName(name).size() > longestLoadoutName())
        return QStringLiteral("The loadout name is too long: it can take at most %1 bytes (a letter outside A to Z "
                              "takes two or more).")
            .arg(longestLoadoutName());
    return {};
}

QString loadoutsFolder(const QString& settingsFile)
{
    return QFileInfo(toLocalPath(settingsFile)).absolutePath() + QStringLiteral("/loadouts");
}

QString loadoutPath(const QString& folder, const QString& name)
{
    return folder + QLatin1Char('/') + name + kLoadoutExtension;
}

QStringList listLoadouts(const QString& folder)
{
    QStringList names;
    DirStream dir(folder);
    while (const dirent* entry = dir.next()) {
        const QString file = QFile::decodeName(entry->d_name);
        if (!file.endsWith(kLoadoutExtension, Qt::CaseInsensitive) || file.size() == kLoadoutExtension.size())
            continue;
        struct stat st
        {
        };
        if (::fstatat(dir.fd(), entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
        names.append(file.chopped(kLoadoutExtension.size()));
    }
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

LoadoutRead readLoadoutFile(const QString& localPath, const QString& fallbackName)
{
    FileRead read = readRegularFile(localPath, kLoadoutFileMax);
    LoadoutRead result;
    result.loadout.name = fallbackName;
    if (read.status == FileRead::Status::NotRegularFile) {
        result.problem = notAFile(localPath);
        return result;
    }
    if (read.status == FileRead::Status::Failed) {
        result.problem = read.message();
        return result;
    }
    // Its beginning alone is no loadout: taken as one, it would set some slots and leave the rest.
    if (read.status == FileRead::Status::TooLarge) {
        result.problem =
            QStringLiteral("it is larger than %1 KiB, more than a loadout can be").arg(kLoadoutFileMax / 1024);
        return result;
    }
    result.loadout = parseLoadout(read.data, fallbackName);
    result.whole = true;
    if (!looksLikeLoadout(read.data))
        result.problem = QStringLiteral("it has no [Loadout] section");
    result.bytes = std::move(read.data);
    return result;
}

WriteResult writeFileWhole(const QString& localPath, const QByteArray& bytes, WriteMode mode)
{
    const QByteArray path = QFile::encodeName(localPath);
    auto failed = [](int err) { return WriteResult{WriteResult::Status::Failed, Error::fromErrno(err).description()}; };

    // A writer of the file replaced holds its lock for a moment only: tried, and tried again briefly.
    const UniqueFd old(
        mode == WriteMode::Replace ? ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW) : -1);
    for (int tries = 0; old.isValid() && ::flock(old.get(), LOCK_EX | LOCK_NB) != 0 && ++tries < 20;)
        QThread::msleep(10);

    // Through the one door for writes into the player's folders: the folder (which may be reached
    // through a link of the player's) resolved once, then the file made inside it and named last.
    const QFileInfo info(localPath);
    const UniqueFd folder = openFolder(info.absoluteDir().canonicalPath());
    const QByteArray name = QFile::encodeName(info.fileName());
    const int error = folder.isValid() ? writeFileIn(folder.get(), name, bytes,
                                                     mode == WriteMode::Replace ? Existing::Replace : Existing::Keep,
                                                     temporaryPattern(name))
                                       : (errno ? errno : ENOENT);
    if (error == EEXIST && mode == WriteMode::Create)
        return {WriteResult::Status::NameTaken, {}};
    if (error != 0)
        return failed(error);
    return {WriteResult::Status::Written, {}};
}

bool deleteLoadout(const QString& folder, const QString& name)
{
    // One written before names were bounded for their temporaries goes too.
    if (!nameShapeProblem(name).isEmpty() || !fitsFileName(name + kLoadoutExtension))
        return false;
    return ::unlink(QFile::encodeName(loadoutPath(folder, name)).constData()) == 0;
}

} // namespace kvr
