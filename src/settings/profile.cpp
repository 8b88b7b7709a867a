#include "settings/profile.h"

#include "app/fileio.h"
#include "app/filelock.h"
#include "app/logging.h"
#include "app/toolkit.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// The profile service's idea of a blank: the ASCII white space and the old end-of-file mark.
// A no-break space is not one, so it stays part of a name or value.
bool isProfileSpace(QChar c)
{
    const char16_t u = c.unicode();
    return u == u' ' || u == u'\t' || u == u'\v' || u == u'\f' || u == 0x1A;
}

// A line as the platform's writer makes it: no blanks around '=', a CRLF end.
QString keyLine(QStringView name, QStringView value)
{
    QString line;
    line.reserve(name.size() + value.size() + 3);
    line.append(name).append(QLatin1Char('=')).append(value).append(kCrLf);
    return line;
}

bool isLineEnd(QChar c)
{
    return c == QLatin1Char('\n') || c == QLatin1Char('\r');
}

QStringView trimmed(QStringView s)
{
    qsizetype begin = 0, end = s.size();
    while (begin < end && isProfileSpace(s[begin]))
        ++begin;
    while (end > begin && isProfileSpace(s[end - 1]))
        --end;
    return s.sliced(begin, end - begin);
}

bool sameName(QStringView a, QStringView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// One line of the text: [begin, end) without its line end, which runs to next.
// CRLF, LF and CR all end a line.
struct LineSpan
{
    qsizetype begin;
    qsizetype end;
    qsizetype next;
};

LineSpan lineAt(QStringView text, qsizetype begin)
{
    qsizetype end = begin;
    while (end < text.size() && !isLineEnd(text[end]))
        ++end;
    qsizetype next = end;
    if (next < text.size())
        next +=
            (text[next] == QLatin1Char('\r') && next + 1 < text.size() && text[next + 1] == QLatin1Char('\n')) ? 2 : 1;
    return {begin, end, next};
}

enum class LineKind { Blank, Section, Key };

struct ParsedLine
{
    LineKind kind = LineKind::Blank;
    QStringView name;
    QStringView value;
};

// How the platform's reader takes a line. A bracket line names a section up to its last ']'
// (text after it is ignored); every other line that is not blank is a key, comments included,
// with the name before the first '=' and the value after it; without '=' it has no value.
ParsedLine parseLine(QStringView line)
{
    const QStringView body = trimmed(line);
    if (body.isEmpty())
        return {};
    if (body.front() == QLatin1Char('[')) {
        const qsizetype close = body.lastIndexOf(QLatin1Char(']'));
        if (close > 0)
            return {LineKind::Section, trimmed(body.sliced(1, close - 1)), {}};
    }
    const qsizetype eq = body.indexOf(QLatin1Char('='));
    if (eq < 0)
        return {LineKind::Key, body, {}};
    return {LineKind::Key, trimmed(body.first(eq)), trimmed(body.sliced(eq + 1))};
}

} // namespace

ProfileFile ProfileFile::parse(const QByteArray& bytes)
{
    ProfileFile file;
    DecodedText decoded = decodeText(bytes);
    file.m_text = std::move(decoded.text);
    file.m_bom = decoded.hadBom;
    return file;
}

std::optional<ProfileFile::Section> ProfileFile::findSection(QStringView section) const
{
    const QStringView wanted = trimmed(section);
    // Lines before the first section line belong to a section named "", which therefore is
    // always found there first.
    bool found = wanted.isEmpty();
    Section result;
    for (qsizetype pos = 0; pos < m_text.size();) {
        const LineSpan line = lineAt(m_text, pos);
        const ParsedLine parsed = parseLine(QStringView(m_text).sliced(line.begin, line.end - line.begin));
        if (parsed.kind == LineKind::Section) {
            if (found) {
                result.end = line.begin;
                return result;
            }
            if (sameName(parsed.name, wanted)) {
                found = true;
                result.bodyBegin = result.insertAt = line.next;
            }
        } else if (found && parsed.kind == LineKind::Key) {
            result.insertAt = line.next;
        }
        pos = line.next;
    }
    if (!found)
        return std::nullopt;
    result.end = m_text.size();
    return result;
}

std::optional<ProfileFile::KeyLine> ProfileFile::findKey(const Section& section, QStringView key) const
{
    const QStringView wanted = trimmed(key);
    for (qsizetype pos = section.bodyBegin; pos < section.end;) {
        const LineSpan line = lineAt(m_text, pos);
        const ParsedLine parsed = parseLine(QStringView(m_text).sliced(line.begin, line.end - line.begin));
        if (parsed.kind == LineKind::Key && sameName(parsed.name, wanted))
            return KeyLine{line.begin, line.next, parsed.name, parsed.value};
        pos = line.next;
    }
    return std::nullopt;
}

std::optional<QString> ProfileFile::value(QStringView section, QStringView key) const
{
    const std::optional<Section> s = findSection(section);
    if (!s)
        return std::nullopt;
    const std::optional<KeyLine> k = findKey(*s, key);
    if (!k)
        return std::nullopt;
    return k->value.toString();
}

void ProfileFile::removeKey(QStringView section, QStringView key)
{
    key = trimmed(key);
    for (std::optional<Section> s = findSection(section); s; s = findSection(section)) {
        const std::optional<KeyLine> line = findKey(*s, key);
        if (!line)
            return;
        m_text.remove(line->begin, line->next - line->begin);
    }
}

void ProfileFile::setValue(QStringView section, QStringView key, QStringView value)
{
    // A value is one line: what follows a line break or a zero would not read back as part of
    // it, and a line break would add a line of its own. Blanks around it would not read back.
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (isLineEnd(value[i]) || value[i].isNull()) {
            value = value.first(i);
            break;
        }
    }
    value = trimmed(value);
    key = trimmed(key);
    const bool endsOpen = !m_text.isEmpty() && !isLineEnd(m_text.back());

    const std::optional<Section> s = findSection(section);
    if (!s) {
        if (endsOpen)
            m_text += kCrLf;
        m_text.append(QLatin1Char('[')).append(trimmed(section)).append(QLatin1Char(']')).append(kCrLf);
        m_text += keyLine(key, value);
        return;
    }
    if (const std::optional<KeyLine> line = findKey(*s, key)) {
        // The key keeps the spelling it has in the file.
        m_text.replace(line->begin, line->next - line->begin, keyLine(line->name, value));
        return;
    }
    // After the section's last key or comment, so blank lines that part it from the next
    // section stay where they are.
    const bool afterOpenLine = s->insertAt > 0 && !isLineEnd(m_text[s->insertAt - 1]);
    m_text.insert(s->insertAt, (afterOpenLine ? kCrLf : QString()) + keyLine(key, value));
}

QByteArray ProfileFile::toBytes() const
{
    // Always UTF-8: a file carried over from Windows is read as Windows-1252 only because some
    // byte of it is not UTF-8, and once a write changed that line the rest could pass for UTF-8
    // and read as other characters. Written as UTF-8 every character reads back as it was.
    QByteArray bytes = m_text.toUtf8();
    // Text that itself begins like a byte-order mark gets a real one, which the reader skips.
    if (m_bom || m_text.startsWith(QChar(0xFEFF)))
        bytes.prepend("\xEF\xBB\xBF");
    return bytes;
}

QString profileReadResult(QStringView storedValue)
{
    QStringView v = storedValue;
    // The platform hands the value out as a C string.
    const qsizetype zero = v.indexOf(QChar(u'\0'));
    if (zero >= 0)
        v = v.first(zero);
    const bool quoted =
        v.size() >= 2 && (v.front() == QLatin1Char('"') || v.front() == QLatin1Char('\'')) && v.back() == v.front();
    if (quoted)
        v = v.sliced(1);
    QStringView cut = v.first(std::min(v.size(), kProfileValueMax));
    // The platform drops the closing quote by dropping the last character it copied whenever the
    // rest of the value fits its buffer, so a quoted value of exactly 254 characters loses its
    // last character rather than the quote.
    if (quoted && v.size() <= kProfileValueMax + 1)
        cut.chop(1);
    return cut.toString();
}

namespace {

// Opening never blocks on a pipe in the file's place.
int openSettingsFile(const QByteArray& path, int flags = 0)
{
    return ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags);
}

// Reads a settings file whole. Only a regular file of at most kProfileFileMax bytes is read;
// a larger one, or a folder, a device or a pipe in its place is unusable, and opening never
// blocks on one. A missing file and an unusable one alike read as holding nothing.
bool readSettingsFile(const QString& localPath, QByteArray& bytes)
{
    FileRead read = readRegularFile(localPath, kProfileFileMax);
    if (!read.ok())
        return false;
    bytes = std::move(read.data);
    return true;
}

// The game's platform refuses to write a read-only file; here that is a file or folder
// without its owner's write bit, so that the rule holds for every user alike.
bool ownerWritable(const QString& localPath)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(localPath).constData(), &st) != 0)
        return errno == ENOENT;
    return (st.st_mode & S_IWUSR) != 0;
}

enum class Replaced { Done, Failed, NameTaken };

// Puts the bytes in a new file in the same folder, flushes it to disk and gives it the name,
// through the one door for writes into the player's folders: over the file when `old` (the file
// replaced, whose mode is kept) is given, else linked in, which never takes the place of one
// another writer made meanwhile. A crash, a full disk or a refused write leaves the previous
// content whole, and a failed write leaves no temporary file.
Replaced replaceFile(const QByteArray& path, const QByteArray& bytes, const struct stat* old)
{
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray name = path.mid(slash + 1);
    // The program folder may be reached through a link of the player's: resolved once, then
    // opened without following anything.
    const UniqueFd folder = openFolder(QFileInfo(QFile::decodeName(slash > 0    ? path.left(slash)
                                                                   : slash == 0 ? "/"
                                                                                : "."))
                                           .canonicalFilePath());
    const int error =
        writeFileIn(folder.get(), name, bytes, old ? Existing::Replace : Existing::Keep, name + ".tmpXXXXXX");
    return error == 0 ? Replaced::Done : error == EEXIST && !old ? Replaced::NameTaken : Replaced::Failed;
}

bool refused(const QString& file, const char* why)
{
    qCWarning(lcSettings, "settings not written to %s: %s", qUtf8Printable(file), why);
    return false;
}

} // namespace

QString readProfileString(const QString& file, const QString& section, const QString& key)
{
    QByteArray bytes;
    if (!readSettingsFile(toLocalPath(file), bytes))
        return {};
    const std::optional<QString> stored = ProfileFile::parse(bytes).value(section, key);
    return stored ? profileReadResult(*stored) : QString();
}

bool writeProfileString(const QString& file, const QString& section, const QString& key, const QString& value)
{
    return writeProfileStrings(file, section, {{key, value}});
}

bool writeProfileStrings(const QString& file, const QString& section, const QList<ProfileEntry>& entries,
                         const QStringList& removed)
{
    QString local = toLocalPath(file);
    if (const QFileInfo link(local); link.isSymLink()) {
        // A settings file that is a link to one kept elsewhere stays a link. A link to nothing
        // most likely names a place that is away for now (a drive not mounted): the write is
        // refused rather than put in the link's place or made where the link points.
        if (!link.exists())
            return refused(local, "it is a link to nothing");
        local = link.canonicalFilePath();
    }
    if (!ownerWritable(QFileInfo(local).absolutePath()) || !ownerWritable(local))
        return refused(local, "the file or its folder is read-only");

    const QByteArray path = QFile::encodeName(local);
    auto changed = [&](const QByteArray& before, QByteArray& out) {
        ProfileFile profile = ProfileFile::parse(before);
        for (const ProfileEntry& entry : entries)
            profile.setValue(section, entry.key, entry.value);
        for (const QString& key : removed)
            profile.removeKey(section, key);
        out = profile.toBytes();
        // A file that would grow past what is read back is not written: it would read as empty.
        return out.size() <= kProfileFileMax;
    };
    // Read, change and replace under an exclusive lock on the file itself, so that two writers
    // never lose each other's values. A writer that waited may find the name now holds the file
    // another writer put there: it starts again on that one.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const UniqueFd fd(openSettingsFile(path, O_NOFOLLOW));
        QByteArray out;
        if (!fd.isValid()) {
            if (errno != ENOENT)
                return refused(local, "it cannot be opened");
            if (!changed(QByteArray(), out))
                return refused(local, "it would grow past the size limit");
            const Replaced created = replaceFile(path, out, nullptr);
            if (created == Replaced::NameTaken)
                continue;
            return created == Replaced::Done || refused(local, "it cannot be created");
        }
        struct stat locked
        {
        };
        struct stat named
        {
        };
        if (::fstat(fd.get(), &locked) != 0 || !S_ISREG(locked.st_mode))
            return refused(local, "it is not a regular file");
        // Bounded: a lock another program keeps must not hold the window; the write then fails
        // silently, as any settings write may.
        if (!lockExclusiveWithin(fd.get(), kSettingsLockWait))
            return refused(local, "another program keeps it locked");
        if (::lstat(path.constData(), &named) != 0 || named.st_dev != locked.st_dev || named.st_ino != locked.st_ino)
            continue;
        FileRead read = readRegularFd(fd.get(), kProfileFileMax);
        const QByteArray before = std::move(read.data);
        bool ok = read.ok();
        const char* why = "it is too large or cannot be read";
        if (ok && !changed(before, out)) {
            ok = false;
            why = "it would grow past the size limit";
        }
        if (ok && replaceFile(path, out, &locked) != Replaced::Done) {
            ok = false;
            why = "the new content cannot be written (disk full?)";
        }
        // The descriptor closes, and the lock goes, only after the new file is in place.
        return ok || refused(local, why);
    }
    return refused(local, "it keeps being replaced");
}

} // namespace kvr
