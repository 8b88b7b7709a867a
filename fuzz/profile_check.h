// One run of the settings-file fuzz target: the given bytes as KVRSI.INI, the reads a file of
// those lines can answer, one write, and the reads again. Shared with the test that replays
// the inputs the fuzzer once broke (tests/core/test_fuzz_regressions.cpp).
//
// What must hold: nothing crashes; the write succeeds and leaves no temporary file; the key
// written reads back as written (cut to the read limit); every other section and key reads
// exactly as before.
#pragma once

#include "app/textcodec.h"
#include "settings/profile.h"
#include "settings/settings_names.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace kvrfuzz {

namespace profile_detail {

// The blanks a profile reader drops around names and values.
inline bool isBlank(QChar c)
{
    const char16_t u = c.unicode();
    return u == u' ' || u == u'\t' || u == u'\v' || u == u'\f' || u == 0x1A;
}

inline QString trimBlanks(QString s)
{
    qsizetype begin = 0, end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.sliced(begin, end - begin);
}

inline bool sameName(const QString& a, const QString& b)
{
    return trimBlanks(a).compare(trimBlanks(b), Qt::CaseInsensitive) == 0;
}

inline void addOnce(QStringList& list, const QString& name, qsizetype limit)
{
    if (list.size() < limit && !list.contains(name))
        list.append(name);
}

// A name a write can put in the file and a read find again: one line, and for a key, nothing
// that would make its line read as a section or split at another '='.
inline bool writableSection(const QString& name)
{
    return !name.contains(QLatin1Char('\r')) && !name.contains(QLatin1Char('\n')) && !name.contains(QChar(u'\0'));
}

inline bool writableKey(const QString& name)
{
    return writableSection(name) && !name.contains(QLatin1Char('=')) && !trimBlanks(name).startsWith(QLatin1Char('['));
}

// A value that reads back as written, but for the read limit: one line without a zero, no
// blanks around it, and no quote in front (a read drops a pair of matching quotes).
inline QString roundTripValue(QString value)
{
    value.remove(QChar(u'\0'));
    value.remove(QLatin1Char('\r'));
    value.remove(QLatin1Char('\n'));
    value = trimBlanks(value);
    while (!value.isEmpty() && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')))
        value = trimBlanks(value.sliced(1));
    return value;
}

inline uint64_t fnv1a(const QByteArray& bytes)
{
    uint64_t h = 14695981039346656037ull;
    for (char c : bytes)
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h;
}

struct Read
{
    QString section;
    QString key;
    QString value;
};

struct Name
{
    QString section;
    QString key;
};

inline QList<Read> readAll(const QByteArray& bytes, const QList<Name>& names)
{
    const kvr::ProfileFile file = kvr::ProfileFile::parse(bytes);
    QList<Read> reads;
    for (const Name& name : names) {
        const std::optional<QString> stored = file.value(name.section, name.key);
        reads.append({name.section, name.key, stored ? kvr::profileReadResult(*stored) : QString()});
    }
    return reads;
}

inline QString show(const QString& s)
{
    QString out;
    for (QChar c : s)
        out += (c.unicode() < 0x20 || c.unicode() >= 0x7F)
                   ? QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'))
                   : QString(c);
    return QLatin1Char('"') + out + QLatin1Char('"');
}

} // namespace profile_detail

// Runs the bytes through the checks in `folder`, an empty folder of the caller's. Returns what
// broke, or "" when everything held. Leaves the folder empty.
inline QString checkProfile(const QByteArray& bytes, const QString& folder)
{
    using namespace profile_detail;
    // Past the size limit a file reads as absent and is never rewritten, and near it a write may
    // be refused because its result would pass the limit: nothing to check there.
    if (bytes.size() > kvr::kProfileFileMax / 4)
        return {};

    const QString path = folder + QStringLiteral("/KVRSI.INI");
    {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
            return QStringLiteral("cannot prepare ") + path;
    }
    struct Cleanup
    {
        QString folder;
        ~Cleanup()
        {
            QDir dir(folder);
            for (const QString& name :
                 dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
                dir.remove(name);
        }
    } cleanup{folder};

    // What the file's lines would name as a section or a key, spelt as they stand (blanks and
    // case included), each key with the section line above it.
    struct Line
    {
        bool isSection = false;
        QString name;
        QString value;
    };
    QList<Line> lines;
    using namespace kvr::SettingsNames;
    QStringList sections{QString(), kSkinsSection, kFoldersSection};
    QStringList keys{QStringLiteral("HURR"), kSkinsFolderKey};
    QStringList values;
    const QString text = kvr::decodeText(bytes).text;
    for (qsizetype pos = 0; pos <= text.size();) {
        qsizetype end = pos;
        while (end < text.size() && text[end] != QLatin1Char('\r') && text[end] != QLatin1Char('\n'))
            ++end;
        const QString line = text.sliced(pos, end - pos);
        const QString body = trimBlanks(line);
        const qsizetype close = body.lastIndexOf(QLatin1Char(']'));
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (body.startsWith(QLatin1Char('[')) && close > 0) {
            lines.append({true, body.sliced(1, close - 1), {}});
            addOnce(sections, lines.back().name, 12);
        } else if (!body.isEmpty()) {
            lines.append({false, eq < 0 ? line : line.first(eq), eq < 0 ? QString() : line.sliced(eq + 1)});
            addOnce(keys, lines.back().name, 24);
            if (eq >= 0)
                addOnce(values, lines.back().value, 8);
        }
        pos = end + 1;
    }

    // Which section, key and value to write follows from the bytes, so a run is repeatable.
    uint64_t pick = fnv1a(bytes);
    auto take = [&pick](qsizetype count) {
        const auto n = static_cast<uint64_t>(count);
        const auto chosen = static_cast<qsizetype>(pick % n);
        pick /= n;
        return chosen;
    };
    const QStringList newSections{kSkinsSection, QStringLiteral("Fresh Section")};
    const QStringList newKeys{QStringLiteral("HURR"), QStringLiteral("NewKey")};
    QString section = take(4) == 0 ? newSections[take(2)] : sections[take(sections.size())];
    QString key = take(4) == 0 ? newKeys[take(2)] : keys[take(keys.size())];
    if (!writableSection(section))
        section = kSkinsSection;
    if (!writableKey(key))
        key = QStringLiteral("NewKey");
    // Besides values of the file itself: long ones, ones only Windows-1252 or only UTF-8 can
    // hold, and ones whose UTF-8 bytes look like Windows-1252 text.
    const QStringList extraValues{
        QStringLiteral("pmosq_blue.zip"),
        QString(300, QLatin1Char('v')),
        QString::fromUtf8("caf\xC3\xA9 \xE2\x82\xAC"),
        QString::fromUtf8("\xE4\xB8\xAD\xE6\x96\x87"),
        QString::fromUtf8("\xC3\x83\xC2\xA9"),
        QStringLiteral("a=b ; [c]"),
    };
    const QString rawValue =
        values.isEmpty() || take(3) == 0 ? extraValues[take(extraValues.size())] : values[take(values.size())];
    // Mostly a value that must read back as written; sometimes the raw text, which may be cut
    // at a line break or lose quotes, and then only the other keys are checked.
    const bool raw = take(4) == 0;
    const QString value = raw ? rawValue : roundTripValue(rawValue);

    // What to read before and after: the program's own names, each key under its own section,
    // and the first keys also under the top section and the section written. Every read scans
    // the file, so the number is bounded.
    QList<Name> names;
    for (const QString& fixedSection : sections.first(3))
        for (const QString& fixedKey : keys.first(2))
            names.append({fixedSection, fixedKey});
    QString current;
    int keyLines = 0;
    for (const Line& line : lines) {
        if (line.isSection) {
            current = line.name;
        } else if (++keyLines <= 64) {
            names.append({current, line.name});
            if (keyLines <= 16)
                names.append({{QString(), line.name}, {section, line.name}});
        }
    }
    const QList<Read> before = readAll(bytes, names);

    if (!kvr::writeProfileString(path, section, key, value))
        return QStringLiteral("the write of [%1] %2 failed").arg(show(section), show(key));

    const QStringList left =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (left != QStringList{QStringLiteral("KVRSI.INI")})
        return QStringLiteral("the folder holds %1 after the write").arg(left.join(QLatin1Char(' ')));

    QFile written(path);
    if (!written.open(QIODevice::ReadOnly))
        return QStringLiteral("the file is gone after the write");
    const QByteArray after = written.readAll();

    const QString readBack = kvr::readProfileString(path, section, key);
    if (!raw && readBack != value.left(kvr::kProfileValueMax))
        return QStringLiteral("[%1] %2 was written as %3 and reads %4")
            .arg(show(section), show(key), show(value), show(readBack));

    const QList<Read> now = readAll(after, names);
    for (qsizetype i = 0; i < before.size(); ++i) {
        const Read& was = before[i];
        if (sameName(was.section, section) && sameName(was.key, key))
            continue;
        if (now[i].value != was.value)
            return QStringLiteral("writing [%1] %2=%3 changed [%4] %5 from %6 to %7")
                .arg(show(section), show(key), show(value), show(was.section), show(was.key), show(was.value),
                     show(now[i].value));
    }
    return {};
}

} // namespace kvrfuzz
