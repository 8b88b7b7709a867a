#include "profile.h"

#include "app/toolkit.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

namespace kvr {

namespace {

// The profile service's idea of a blank: white space and the old end-of-file mark.
bool isProfileSpace(QChar c)
{
    return c.isSpace() || c == QChar(0x1A);
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

} // namespace

ProfileFile::Line ProfileFile::classify(QString text, QString ending)
{
    Line line{std::move(text), std::move(ending), Kind::Other, {}, {}};
    const QStringView body = trimmed(line.text);
    if (body.isEmpty())
        return line;

    if (body.front() == QLatin1Char('[')) {
        const qsizetype close = body.lastIndexOf(QLatin1Char(']'));
        if (close > 0) {
            line.kind = Kind::Section;
            line.name = body.sliced(1, close - 1).toString();
            return line;
        }
    }

    // Anything else is a key: the name before the first '=', the value after it, both trimmed.
    // A line without '=' is a key without a value, as the platform reads it.
    line.kind = Kind::Key;
    const qsizetype eq = body.indexOf(QLatin1Char('='));
    if (eq < 0) {
        line.name = body.toString();
    } else {
        line.name = trimmed(body.first(eq)).toString();
        line.value = trimmed(body.sliced(eq + 1)).toString();
    }
    return line;
}

ProfileFile ProfileFile::parse(const QByteArray& bytes)
{
    ProfileFile file;
    const DecodedText decoded = decodeText(bytes);
    file.m_encoding = decoded.encoding;
    file.m_bom = decoded.hadBom;

    const QString& text = decoded.text;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && text[end] != QLatin1Char('\n') && text[end] != QLatin1Char('\r'))
            ++end;
        qsizetype next = end;
        if (next < text.size()) {
            next += (text[next] == QLatin1Char('\r') && next + 1 < text.size() && text[next + 1] == QLatin1Char('\n'))
                        ? 2
                        : 1;
        }
        file.m_lines.push_back(classify(text.sliced(start, end - start), text.sliced(end, next - end)));
        start = next;
    }
    return file;
}

qsizetype ProfileFile::findSection(QStringView section) const
{
    const QStringView wanted = trimmed(section);
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].kind == Kind::Section && sameName(m_lines[i].name, wanted))
            return static_cast<qsizetype>(i);
    }
    return -1;
}

qsizetype ProfileFile::findKey(qsizetype sectionLine, QStringView key) const
{
    const QStringView wanted = trimmed(key);
    for (size_t i = static_cast<size_t>(sectionLine) + 1; i < m_lines.size(); ++i) {
        if (m_lines[i].kind == Kind::Section)
            break;
        if (m_lines[i].kind == Kind::Key && sameName(m_lines[i].name, wanted))
            return static_cast<qsizetype>(i);
    }
    return -1;
}

std::optional<QString> ProfileFile::value(QStringView section, QStringView key) const
{
    const qsizetype s = findSection(section);
    if (s < 0)
        return std::nullopt;
    const qsizetype k = findKey(s, key);
    if (k < 0)
        return std::nullopt;
    return m_lines[static_cast<size_t>(k)].value.value_or(QString());
}

QString ProfileFile::newLineEnding() const
{
    for (const Line& line : m_lines) {
        if (!line.ending.isEmpty())
            return line.ending;
    }
    return QStringLiteral("\r\n");
}

void ProfileFile::setValue(const QString& section, const QString& key, const QString& value)
{
    // A line break inside a value would break the file's structure.
    QString flat = value;
    flat.replace(QLatin1Char('\r'), QLatin1Char(' '));
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));

    const QString eol = newLineEnding();
    const qsizetype s = findSection(section);
    if (s < 0) {
        if (!m_lines.empty() && m_lines.back().ending.isEmpty())
            m_lines.back().ending = eol;
        m_lines.push_back(classify(QLatin1Char('[') + section + QLatin1Char(']'), eol));
        m_lines.push_back(classify(key + QLatin1Char('=') + flat, eol));
        return;
    }

    const qsizetype k = findKey(s, key);
    if (k >= 0) {
        Line& line = m_lines[static_cast<size_t>(k)];
        line = classify(line.name + QLatin1Char('=') + flat, line.ending);
        return;
    }

    // A new key goes after the section's last non-blank line.
    qsizetype last = s;
    for (size_t i = static_cast<size_t>(s) + 1; i < m_lines.size() && m_lines[i].kind != Kind::Section; ++i) {
        if (m_lines[i].kind != Kind::Other || !trimmed(m_lines[i].text).isEmpty())
            last = static_cast<qsizetype>(i);
    }
    Line& before = m_lines[static_cast<size_t>(last)];
    if (before.ending.isEmpty())
        before.ending = eol;
    m_lines.insert(m_lines.begin() + last + 1, classify(key + QLatin1Char('=') + flat, eol));
}

QByteArray ProfileFile::toBytes() const
{
    QString text;
    for (const Line& line : m_lines) {
        text += line.text;
        text += line.ending;
    }
    QByteArray bytes;
    if (m_encoding == TextEncoding::Windows1252 && encodeWindows1252(text, bytes))
        return bytes;
    bytes = text.toUtf8();
    if (m_bom)
        bytes.prepend("\xEF\xBB\xBF");
    return bytes;
}

QString profileReadResult(const QString& storedValue)
{
    QStringView v(storedValue);
    bool quoted = false;
    // Matching quotes around a value are dropped, as the platform's reader does.
    if (v.size() >= 2 && (v.front() == QLatin1Char('"') || v.front() == QLatin1Char('\'')) && v.back() == v.front()) {
        v = v.sliced(1);
        quoted = true;
    }
    QStringView cut = v.first(std::min(v.size(), kProfileValueMax));
    if (quoted && cut.size() == v.size())
        cut.chop(1);
    return cut.toString();
}

namespace {

bool readFile(const QString& localPath, QByteArray& bytes)
{
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bytes = file.readAll();
    return true;
}

// The game's platform refuses to write a read-only file; here that is a file or folder
// without its owner's write bit, so that the rule holds for every user alike.
bool ownerWritable(const QString& localPath)
{
    struct stat st{};
    if (::stat(QFile::encodeName(localPath).constData(), &st) != 0)
        return errno == ENOENT;
    return (st.st_mode & S_IWUSR) != 0;
}

} // namespace

QString readProfileString(const QString& file, const QString& section, const QString& key)
{
    QByteArray bytes;
    if (!readFile(toLocalPath(file), bytes))
        return {};
    const std::optional<QString> stored = ProfileFile::parse(bytes).value(section, key);
    return stored ? profileReadResult(*stored) : QString();
}

bool writeProfileString(const QString& file, const QString& section, const QString& key, const QString& value)
{
    const QString local = toLocalPath(file);
    const QFileInfo info(local);
    const QString folder = info.absolutePath();
    if (!ownerWritable(folder) || !ownerWritable(local))
        return false;

    QByteArray bytes;
    if (info.exists() && !readFile(local, bytes))
        return false;
    ProfileFile profile = ProfileFile::parse(bytes);
    profile.setValue(section, key, value);
    const QByteArray out = profile.toBytes();

    // A temporary file in the same folder, flushed, then renamed over the old one: a crash or a
    // full disk leaves the previous content whole.
    QSaveFile save(local);
    if (!save.open(QIODevice::WriteOnly))
        return false;
    if (save.write(out) != out.size()) {
        save.cancelWriting();
        return false;
    }
    return save.commit();
}

} // namespace kvr
