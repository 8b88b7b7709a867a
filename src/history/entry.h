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

// The longest line a file of a change can take, with the longest name (255 bytes, each encoded
// as three): kept (hash, size, mode, time, name, "changed"), moved (a temporary for the hash),
// creating and created (hash and name).
inline constexpr qint64 kLongestEncodedName = qint64{255} * 3;
inline constexpr qint64 kLongestFileLines = (5 + 64 + 5 * 21 + kLongestEncodedName + 9) +
                                            (6 + 24 + 5 * 21 + kLongestEncodedName + 1) +
                                            (9 + kLongestEncodedName + 1) + (8 + 64 + 1 + kLongestEncodedName + 1);
// The largest entry or pending entry the program writes: a package of the most members a ZIP
// holds, each replacing a file, plus the header; a hand-made file beyond it is not read.
inline constexpr qint64 kEntryLimit = 65535 * kLongestFileLines + (qint64{1} << 20);

// The entry's text, sealed with a checksum over its lines, and its strict reading: anything that
// does not parse, a checksum that does not match, a name or pattern the program never writes, or
// another game folder than `gameFolder` gives an entry with `damage` set. Entries written before
// the checksum are read without it, bounded by the same rules.
QByteArray entryBytes(const HistoryEntry& entry);
HistoryEntry parseEntry(const QByteArray& bytes, const QString& gameFolder);
// An entry's lines from the header to the last file, sealed and ended.
QByteArray sealedEntry(const QByteArray& lines);

// Whether a name from an entry is one the unpack could write: one component, no control bytes.
bool isPlainName(const QByteArray& name);
// The game folder as the history records and compares it: the folder itself, however spelled
// (a trailing slash, a link, `..`).
QString canonicalGameFolder(const QString& folder);
bool sameGameFolder(const QString& recorded, const QString& folder);
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
