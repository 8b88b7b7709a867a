// Text files of this program come from Linux editors (UTF-8) or were carried over from
// Windows (Windows-1252). Both read back as the same characters.
#pragma once

#include <QByteArray>
#include <QString>

namespace kvr {

enum class TextEncoding { Utf8, Windows1252 };

struct DecodedText
{
    QString text;
    TextEncoding encoding = TextEncoding::Utf8;
    bool hadBom = false;
};

// A UTF-8 byte-order mark is skipped; bytes that are not valid UTF-8 are read as Windows-1252.
DecodedText decodeText(const QByteArray& bytes);

// Encodes as Windows-1252 when every character has a byte there; returns false otherwise.
bool encodeWindows1252(const QString& text, QByteArray& out);

} // namespace kvr
