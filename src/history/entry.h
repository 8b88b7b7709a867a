// One change as the history writes it down: the entry's fields and its text. The text is a few
// lines per file, percent-encoded where a field may hold blanks, and read back strictly.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace kvr {

// A file the change took out of the game folder (`kept`) or put in (`created`: name and hash).
struct HistoryFile
{
    QByteArray name; // as spelled on disk
    QByteArray hash; // SHA-256, lower-case hex
    qint64 size = 0;
    quint32 mode = 0;
    qint64 mtimeSec = 0;
    qint64 mtimeNsec = 0;
    bool changedBehind = false; // it differed from what the program had written there
};

struct HistorySlot
{
    QString slot;
    QString before;
    QString after;
};

struct HistoryEntry
{
    qint64 id = 0;
    qint64 time = 0; // milliseconds since the epoch
    QString kind;    // install, default, reset, reinstall, undo, restore, loadout
    QString gameFolder;
    QList<HistorySlot> slots;
    QStringList patterns; // the slot files the change cleared (P<CODE>*.*, P*.TPC, ...)
    QList<HistoryFile> kept;
    QList<HistoryFile> created;
    qint64 restores = 0; // an undo or restore: the entry whose "before" it puts back
    QString damage;      // why it is not acted on; empty when whole

    qint64 keptBytes() const;
};

// An entry is a few lines per file: this bounds what a hand-made one can make the reader take in.
constexpr qint64 kEntryLimit = qint64{16} << 20;

// The entry's text, and its strict reading: anything that does not parse, a name that could lead
// out of the folder, or another game folder than `gameFolder` gives an entry with `damage` set.
QByteArray entryBytes(const HistoryEntry& entry);
HistoryEntry parseEntry(const QByteArray& bytes, const QString& gameFolder);

// Whether a name from an entry is a plain file name of one folder.
bool isPlainName(const QByteArray& name);
// Whether the text is a SHA-256 as the history names blobs: 64 lower-case hex digits.
bool isHash(const QByteArray& text);

// The lines of an entry as a change appends them to its pending entry.
QByteArray headerBytes(const HistoryEntry& entry);
QByteArray keptLine(const HistoryFile& file);
// A field as the entry spells it: percent-encoded, so blanks and line ends cannot split it.
QByteArray entryField(const QString& text);
QByteArray entryField(const QByteArray& bytes);
QString decodedField(const QByteArray& field);

} // namespace kvr
