#include "app/textcodec.h"

#include <QStringDecoder>

#include <optional>

namespace kvr {

namespace {

// 0x80..0x9F of Windows-1252. The five undefined bytes map to the C1 controls of the same value,
// so any byte string survives a read and a write unchanged.
constexpr char16_t kHighTable[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The decoded text, or nothing when the bytes are not valid UTF-8.
std::optional<QString> decodeUtf8(QByteArrayView bytes)
{
    // A mark was already skipped: one more is a character of the text.
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString decodeWindows1252(QByteArrayView bytes)
{
    QString out(bytes.size(), Qt::Uninitialized);
    QChar* dst = out.data();
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *dst++ = (b >= 0x80 && b < 0xA0) ? QChar(kHighTable[b - 0x80]) : QChar(char16_t(b));
    }
    return out;
}

} // namespace

DecodedText decodeText(const QByteArray& bytes)
{
    DecodedText result;
    QByteArrayView body(bytes);
    if (body.startsWith("\xEF\xBB\xBF")) {
        result.hadBom = true;
        body = body.sliced(3);
    }
    if (std::optional<QString> utf8 = decodeUtf8(body)) {
        result.text = std::move(*utf8);
    } else {
        result.text = decodeWindows1252(body);
        result.encoding = TextEncoding::Windows1252;
    }
    return result;
}

bool encodeWindows1252(const QString& text, QByteArray& out)
{
    out.resize(text.size());
    char* dst = out.data();
    for (QChar ch : text) {
        const char16_t u = ch.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            *dst++ = static_cast<char>(u);
            continue;
        }
        int found = -1;
        for (int i = 0; i < 32; ++i) {
            if (kHighTable[i] == u) {
                found = i;
                break;
            }
        }
        if (found < 0)
            return false;
        *dst++ = static_cast<char>(0x80 + found);
    }
    return true;
}

} // namespace kvr
