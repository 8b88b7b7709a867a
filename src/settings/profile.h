// A Windows-style profile file ([section] lines, key=value lines), read and written the way the
// game's platform does it, so that files carried over from there and hand-edited ones behave the
// same here.
#pragma once

#include "app/textcodec.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

namespace kvr {

class ProfileFile
{
public:
    // Parses a file's bytes. Any bytes parse: what is not understood is kept as it is.
    static ProfileFile parse(const QByteArray& bytes);

    // The value under the key in the first section of that name, names matched without regard
    // to case and to surrounding blanks; nothing when the section or the key is absent.
    std::optional<QString> value(QStringView section, QStringView key) const;

    // Replaces the key's value, or adds the key at the end of its section, or the section at
    // the end of the file. Every other line stays byte for byte.
    void setValue(const QString& section, const QString& key, const QString& value);

    QByteArray toBytes() const;

private:
    enum class Kind { Other, Section, Key };
    struct Line
    {
        QString text;       // without its line end
        QString ending;     // "\r\n", "\n", "\r" or "" for a last line without one
        Kind kind = Kind::Other;
        QString name;       // section or key name
        std::optional<QString> value;
    };

    static Line classify(QString text, QString ending);
    qsizetype findSection(QStringView section) const;
    qsizetype findKey(qsizetype sectionLine, QStringView key) const;
    QString newLineEnding() const;

    std::vector<Line> m_lines;
    TextEncoding m_encoding = TextEncoding::Utf8;
    bool m_bom = false;
};

// What a read hands back: quotes around a value are dropped and at most 254 characters remain.
inline constexpr qsizetype kProfileValueMax = 254;
QString profileReadResult(const QString& storedValue);

// Reads one value of a profile file on disk; "" when the file, section or key is absent.
QString readProfileString(const QString& file, const QString& section, const QString& key);

// Writes one value, replacing the file atomically. Returns false, leaving the old file whole,
// when the file or its folder is read-only or cannot be written.
bool writeProfileString(const QString& file, const QString& section, const QString& key, const QString& value);

} // namespace kvr
