// ZIP records made byte by byte, for the layouts and damage no zipper writes.
#pragma once

#include <QByteArray>

#include <zlib.h>

#include <optional>

namespace kvrtest {

inline QByteArray le16(quint16 v)
{
    const char b[2] = {char(v), char(v >> 8)};
    return QByteArray(b, 2);
}
inline QByteArray le32(quint32 v)
{
    return le16(quint16(v)) + le16(quint16(v >> 16));
}
inline QByteArray le64(quint64 v)
{
    return le32(quint32(v)) + le32(quint32(v >> 32));
}
inline quint32 crc32Of(const QByteArray& data)
{
    return quint32(::crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size())));
}

// The ZIP64 field declaring `size` unpacked bytes, for a size 32 bits cannot hold; else nothing.
inline QByteArray wideSize(quint64 size)
{
    return size > 0xFFFFFFFEu ? le16(1) + le16(8) + le64(size) : QByteArray();
}

// The local header and data of a stored member declaring `size` unpacked bytes (by default its
// data's size).
inline QByteArray storedLocal(const QByteArray& name, const QByteArray& data, std::optional<quint64> size = {})
{
    const quint64 declared = size.value_or(quint64(data.size()));
    const QByteArray wide = wideSize(declared);
    return "PK\3\4" + le16(wide.isEmpty() ? 10 : 45) + le16(0) + le16(0) + le32(0) + le32(crc32Of(data)) +
           le32(quint32(data.size())) + le32(wide.isEmpty() ? quint32(declared) : 0xFFFFFFFF) +
           le16(quint16(name.size())) + le16(quint16(wide.size())) + name + wide + data;
}

// A stored member's central-directory entry, its local header at `offset`, declaring `size`
// unpacked bytes (by default its compressed size).
inline QByteArray storedCentral(const QByteArray& name, quint32 crc, qint64 compressed, quint32 offset,
                                std::optional<quint64> size = {})
{
    const quint64 declared = size.value_or(quint64(compressed));
    const QByteArray wide = wideSize(declared);
    const quint16 version = wide.isEmpty() ? 20 : 45;
    return "PK\1\2" + le16(version) + le16(version == 20 ? 10 : 45) + le16(0) + le16(0) + le32(0) + le32(crc) +
           le32(quint32(compressed)) + le32(wide.isEmpty() ? quint32(declared) : 0xFFFFFFFF) +
           le16(quint16(name.size())) + le16(quint16(wide.size())) + le16(0) + le16(0) + le16(0) + le32(0) +
           le32(offset) + name + wide;
}

inline QByteArray endRecord(int entries, qsizetype centralSize, qsizetype centralOffset)
{
    return "PK\5\6" + le16(0) + le16(0) + le16(quint16(entries)) + le16(quint16(entries)) + le32(quint32(centralSize)) +
           le32(quint32(centralOffset)) + le16(0);
}

} // namespace kvrtest
