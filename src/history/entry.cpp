#include "history/entry.h"

#include <algorithm>

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
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\0');
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


QByteArray entryBytes(const HistoryEntry& e)
{
    QByteArray bytes = headerBytes(e);
    for (const HistoryFile& f : e.kept)
        bytes += keptLine(f);
    for (const HistoryFile& f : e.created)
        bytes += "created=" + f.hash + ' ' + entryField(f.name) + '\n';
    return bytes + "end\n";
}

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
    QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 3 || lines.first() != kHeader || !lines.last().isEmpty() || lines.at(lines.size() - 2) != "end")
        return damaged(QStringLiteral("it is cut short or not an entry"));
    bool haveId = false, haveTime = false, haveKind = false, haveGame = false;
    for (qsizetype i = 1; i + 2 < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            return damaged(QStringLiteral("line %1 does not parse").arg(i + 1));
        const QByteArray key = line.left(eq);
        const QByteArray value = line.mid(eq + 1);
        const QList<QByteArray> fields = value.split(' ');
        const auto bad = [&] { return damaged(QStringLiteral("line %1 does not parse").arg(i + 1)); };
        if (key == "id") {
            if (haveId || !toNumber(value, e.id) || e.id == 0)
                return bad();
            haveId = true;
        } else if (key == "time") {
            if (haveTime || !toNumber(value, e.time))
                return bad();
            haveTime = true;
        } else if (key == "kind") {
            e.kind = decodedField(value);
            if (haveKind || !kKinds.contains(e.kind))
                return bad();
            haveKind = true;
        } else if (key == "game") {
            e.gameFolder = decodedField(value);
            if (haveGame || e.gameFolder.isEmpty())
                return bad();
            haveGame = true;
        } else if (key == "restores") {
            if (e.restores || !toNumber(value, e.restores) || e.restores == 0)
                return bad();
        } else if (key == "slot") {
            if (fields.size() != 3 || fields.at(0).isEmpty())
                return bad();
            e.slots.append({decodedField(fields.at(0)), decodedField(fields.at(1)), decodedField(fields.at(2))});
        } else if (key == "pattern") {
            const QByteArray pattern = QByteArray::fromPercentEncoding(value);
            if (!isPlainName(pattern) || (!pattern.startsWith('P') && !pattern.startsWith('p')))
                return damaged(QStringLiteral("it names files outside a slot: %1").arg(QString::fromUtf8(pattern)));
            e.patterns.append(QString::fromUtf8(pattern));
        } else if (key == "kept" || key == "created") {
            HistoryFile f;
            const bool kept = key == "kept";
            const qsizetype nameField = kept ? 5 : 1;
            if (fields.size() < nameField + 1 || fields.size() > nameField + 2 || !isHash(fields.at(0)))
                return bad();
            f.hash = fields.at(0);
            f.name = QByteArray::fromPercentEncoding(fields.at(nameField));
            if (!isPlainName(f.name))
                return damaged(QStringLiteral("it names a path, not a file of the game folder: %1")
                                   .arg(QString::fromUtf8(f.name)));
            if (kept) {
                qint64 mode = 0;
                if (!toNumber(fields.at(1), f.size) || !toNumber(fields.at(2), mode, 8) || mode > 07777 ||
                    !toNumber(fields.at(3), f.mtimeSec) || !toNumber(fields.at(4), f.mtimeNsec) ||
                    f.mtimeNsec > 999999999)
                    return bad();
                f.mode = static_cast<quint32>(mode);
                if (fields.size() == 7) {
                    if (fields.at(6) != "changed")
                        return bad();
                    f.changedBehind = true;
                }
                e.kept.append(f);
            } else {
                if (fields.size() != 2)
                    return bad();
                e.created.append(f);
            }
        } else {
            return bad();
        }
    }
    if (!haveId || !haveTime || !haveKind || !haveGame)
        return damaged(QStringLiteral("it lacks a line every entry has"));
    if (!gameFolder.isEmpty() && e.gameFolder != gameFolder)
        return damaged(QStringLiteral("it was made in another game folder: %1").arg(e.gameFolder));
    return e;
}
} // namespace kvr
