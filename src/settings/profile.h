// A Windows-style profile file ([section] lines, key=value lines), read and written the way the
// game's platform does it, so that files carried over from there and hand-edited ones behave the
// same here. docs/settings-file.md records how each kind of line reads and how a write lays out
// the file.
#pragma once

#include "app/textcodec.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace kvr {

class ProfileFile
{
public:
    // Parses a file's bytes. Any bytes parse: what is not understood is kept as it is.
    static ProfileFile parse(const QByteArray& bytes);

    // The value under the key in the first section of that name, names matched without regard
    // to case and to surrounding blanks, blanks around the value dropped; nothing when the
    // section or the key is absent. Lines before the first section line form a section named "".
    std::optional<QString> value(QStringView section, QStringView key) const;

    // Replaces the key's line, or adds the key at the end of its section, or the section at the
    // end of the file; the line written is key=value with a CRLF end. Every other line stays
    // byte for byte.
    void setValue(QStringView section, QStringView key, QStringView value);
    // Takes the key's lines out of its section; every other line stays byte for byte.
    void removeKey(QStringView section, QStringView key);

    QByteArray toBytes() const;

private:
    struct Section
    {
        qsizetype bodyBegin = 0; // where the section's first line after its header starts
        qsizetype insertAt = 0;  // just after its last line that is not blank
        qsizetype end = 0;       // where the next section line starts, or the end of the text
    };
    struct KeyLine
    {
        qsizetype begin = 0;
        qsizetype next = 0; // the start of the following line
        QStringView name;
        QStringView value;
    };

    std::optional<Section> findSection(QStringView section) const;
    std::optional<KeyLine> findKey(const Section& section, QStringView key) const;

    QString m_text;
    bool m_bom = false;
};

// What a read hands back from a stored value: cut at a zero character, matching quotes around it
// dropped, at most 254 characters.
inline constexpr qsizetype kProfileValueMax = 254;
QString profileReadResult(QStringView storedValue);

// A settings file larger than this is not one the program wrote or a person edited: it reads as
// absent and is never rewritten, so that a gigantic file can neither stall the program nor be lost.
inline constexpr qint64 kProfileFileMax = qint64{1024} * 1024;

// Reads one value of a profile file on disk; "" when the file, section or key is absent.
QString readProfileString(const QString& file, const QString& section, const QString& key);

// Writes one value, replacing the file atomically. Returns false, leaving the old file whole,
// when the file or its folder is read-only, the file is too large, or it cannot be written.
bool writeProfileString(const QString& file, const QString& section, const QString& key, const QString& value);

// Writes several values of one section in order, as that many single writes would, but in one
// replace of the file: all of them land or none.
struct ProfileEntry
{
    QString key;
    QString value;
};
// The keys of `removed` are taken out in the same replace.
bool writeProfileStrings(const QString& file, const QString& section, const QList<ProfileEntry>& entries,
                         const QStringList& removed = {});

} // namespace kvr
