#include "history/entry.h"

#include "catalogue/slots.h"
#include "extract/zip_names.h"
#include "history/hashing.h"

#include <QFileInfo>

#include <algorithm>
#include <sys/stat.h>

namespace kvr {

namespace {

const QByteArray kHeader = "KVRSI history 1";
const QStringList kKinds = {QStringLiteral("install"),   QStringLiteral("default"), QStringLiteral("reset"),
                            QStringLiteral("reinstall"), QStringLiteral("undo"),    QStringLiteral("restore"),
                            QStringLiteral("loadout")};

} // namespace

QByteArray entryField(const QString& text)
{
    return text.toUtf8().toPercentEncoding();
}

QByteArray entryField(const QByteArray& bytes)
{
    return bytes.toPercentEncoding();
}

bool isHash(const QByteArray& text)
{
    if (text.size() != 64)
        return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

namespace {

bool toNumber(const QByteArray& text, qint64& value, int base = 10)
{
    if (text.isEmpty() || text.size() > 20 || text.startsWith('-') || text.startsWith('+'))
        return false;
    bool ok = false;
    value = text.toLongLong(&ok, base);
    return ok && value >= 0;
}

} // namespace

QString decodedField(const QByteArray& field)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

qint64 HistoryEntry::keptBytes() const
{
    qint64 total = 0;
    for (const HistoryFile& f : kept)
        total += f.size;
    return total;
}

bool isPlainName(const QByteArray& name)
{
    const std::string_view view(name.constData(), size_t(name.size()));
    return !name.isEmpty() && unzip32::bareName(view) == view && !name.contains('\\') &&
           std::none_of(name.begin(), name.end(), [](char c) { return uchar(c) < 0x20 || uchar(c) == 0x7f; });
}

QString canonicalGameFolder(const QString& folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? folder : canonical;
}

bool sameGameFolder(const QString& recorded, const QString& folder)
{
    if (recorded == folder)
        return true;
    struct stat a
    {
    };
    struct stat b
    {
    };
    return ::stat(QFile::encodeName(recorded).constData(), &a) == 0 &&
           ::stat(QFile::encodeName(folder).constData(), &b) == 0 && S_ISDIR(a.st_mode) && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

QByteArray headerBytes(const HistoryEntry& e)
{
    QByteArray bytes = kHeader + '\n';
    bytes += "id=" + QByteArray::number(e.id) + '\n';
    bytes += "time=" + QByteArray::number(e.time) + '\n';
    bytes += "kind=" + entryField(e.kind) + '\n';
    bytes += "game=" + entryField(e.gameFolder) + '\n';
    for (const HistorySlot& s : e.slots)
        bytes += "slot=" + entryField(s.slot) + ' ' + entryField(s.before) + ' ' + entryField(s.after) + '\n';
    for (const QString& p : e.patterns)
        bytes += "pattern=" + entryField(p) + '\n';
    if (e.restores)
        bytes += "restores=" + QByteArray::number(e.restores) + '\n';
    return bytes;
}

QByteArray keptLine(const HistoryFile& f)
{
    return "kept=" + f.hash + ' ' + QByteArray::number(f.size) + ' ' + QByteArray::number(f.mode, 8) + ' ' +
           QByteArray::number(f.mtimeSec) + ' ' + QByteArray::number(f.mtimeNsec) + ' ' + entryField(f.name) +
           (f.changedBehind ? " changed" : "") + '\n';
}

QByteArray sealedEntry(const QByteArray& lines)
{
    return lines + "sum=" + sha256Hex(lines) + "\nend\n";
}

QByteArray entryBytes(const HistoryEntry& e)
{
    QByteArray bytes = headerBytes(e);
    for (const HistoryFile& f : e.kept)
        bytes += keptLine(f);
    for (const HistoryFile& f : e.created)
        bytes += "created=" + f.hash + ' ' + entryField(f.name) + '\n';
    return sealedEntry(bytes);
}

namespace {

// The patterns a change clears: one slot's files, or every slot's for a reset.
bool isSlotPattern(const QString& pattern)
{
    if (pattern == QLatin1String("P*.TPC") || pattern == QLatin1String("P*.3DZ"))
        return true;
    return pattern.size() == 8 && pattern.startsWith(QLatin1Char('P')) && pattern.endsWith(QLatin1String("*.*")) &&
           isSlotCode(QStringView(pattern).mid(1, 4));
}

// A skin name as the settings hold it: one line.
bool isSkinName(const QString& name)
{
    return std::none_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// Reads an entry's lines into `e`; each returns the reason it is damaged, or nothing.
class EntryReader
{
public:
    explicit EntryReader(HistoryEntry& e) : m_e(e) {}

    QString line(const QByteArray& key, const QByteArray& value)
    {
        const QList<QByteArray> fields = value.split(' ');
        if (key == "id")
            return once(m_id, toNumber(value, m_e.id) && m_e.id > 0);
        if (key == "time")
            return once(m_time, toNumber(value, m_e.time));
        if (key == "kind")
            return once(m_kind, kKinds.contains(m_e.kind = decodedField(value)));
        if (key == "game")
            return once(m_game, !(m_e.gameFolder = decodedField(value)).isEmpty());
        if (key == "restores")
            return once(m_restores, toNumber(value, m_e.restores) && m_e.restores > 0);
        if (key == "slot")
            return slot(fields);
        if (key == "pattern")
            return pattern(value);
        if (key == "kept")
            return kept(fields);
        if (key == "created")
            return created(fields);
        return kBad;
    }
    bool complete() const { return m_id && m_time && m_kind && m_game; }

    static inline const QString kBad = QStringLiteral("bad");

private:
    static QString once(bool& seen, bool ok)
    {
        if (seen || !ok)
            return kBad;
        seen = true;
        return {};
    }
    QString slot(const QList<QByteArray>& fields)
    {
        if (fields.size() != 3)
            return kBad;
        const HistorySlot s{decodedField(fields.at(0)), decodedField(fields.at(1)), decodedField(fields.at(2))};
        if (!isSlotCode(s.slot) || !isSkinName(s.before) || !isSkinName(s.after))
            return kBad;
        m_e.slots.append(s);
        return {};
    }
    QString pattern(const QByteArray& value)
    {
        const QString pattern = decodedField(value);
        if (!isSlotPattern(pattern))
            return QStringLiteral("it names files outside a slot: %1").arg(pattern);
        m_e.patterns.append(pattern);
        return {};
    }
    static QString name(const QByteArray& field, HistoryFile& f)
    {
        f.name = QByteArray::fromPercentEncoding(field);
        if (isPlainName(f.name))
            return {};
        return QStringLiteral("it names a path, not a file of the game folder: %1").arg(QString::fromUtf8(f.name));
    }
    QString kept(const QList<QByteArray>& fields)
    {
        HistoryFile f;
        qint64 mode = 0;
        if (fields.size() < 6 || fields.size() > 7 || !isHash(fields.at(0)) || !toNumber(fields.at(1), f.size) ||
            !toNumber(fields.at(2), mode, 8) || mode > 07777 || !toNumber(fields.at(3), f.mtimeSec) ||
            !toNumber(fields.at(4), f.mtimeNsec) || f.mtimeNsec > 999999999)
            return kBad;
        if (fields.size() == 7 && fields.at(6) != "changed")
            return kBad;
        f.hash = fields.at(0);
        // Written back with the permission bits alone: never set-uid, set-gid or sticky.
        f.mode = quint32(mode) & 0777;
        f.changedBehind = fields.size() == 7;
        if (QString why = name(fields.at(5), f); !why.isEmpty())
            return why;
        m_e.kept.append(f);
        return {};
    }
    QString created(const QList<QByteArray>& fields)
    {
        HistoryFile f;
        if (fields.size() != 2 || !isHash(fields.at(0)))
            return kBad;
        f.hash = fields.at(0);
        if (QString why = name(fields.at(1), f); !why.isEmpty())
            return why;
        m_e.created.append(f);
        return {};
    }

    HistoryEntry& m_e;
    bool m_id = false, m_time = false, m_kind = false, m_game = false, m_restores = false;
};

} // namespace

HistoryEntry parseEntry(const QByteArray& bytes, const QString& gameFolder)
{
    HistoryEntry e;
    const auto damaged = [&e](const QString& why) {
        HistoryEntry d;
        d.id = e.id;
        d.time = e.time;
        d.kind = e.kind;
        d.gameFolder = e.gameFolder;
        d.slots = e.slots;
        d.damage = why;
        return d;
    };
    if (bytes.contains('\0') || bytes.contains('\r'))
        return damaged(QStringLiteral("it holds bytes no entry holds"));
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 3 || lines.first() != kHeader || !lines.last().isEmpty() || lines.at(lines.size() - 2) != "end")
        return damaged(QStringLiteral("it is cut short or not an entry"));
    // The checksum is the last line before the end; entries from before it have none.
    qsizetype last = lines.size() - 2;
    if (lines.at(last - 1).startsWith("sum=")) {
        --last;
        const qsizetype sealed = bytes.size() - qsizetype(qstrlen("end\n")) - lines.at(last).size() - 1;
        if (lines.at(last).mid(4) != sha256Hex(bytes.left(sealed)))
            return damaged(QStringLiteral("it was edited after it was written"));
    }
    EntryReader reader(e);
    for (qsizetype i = 1; i < last; ++i) {
        const QByteArray& line = lines.at(i);
        const qsizetype eq = line.indexOf('=');
        const QString why = eq > 0 ? reader.line(line.left(eq), line.mid(eq + 1)) : EntryReader::kBad;
        if (why == EntryReader::kBad)
            return damaged(QStringLiteral("line %1 does not parse").arg(i + 1));
        if (!why.isEmpty())
            return damaged(why);
    }
    if (!reader.complete())
        return damaged(QStringLiteral("it lacks a line every entry has"));
    if (!gameFolder.isEmpty() && !sameGameFolder(e.gameFolder, gameFolder))
        return damaged(QStringLiteral("it was made in another game folder: %1").arg(e.gameFolder));
    return e;
}

} // namespace kvr
