// Writes ZIP archives with libzip: the demo's packages, the benchmark's data and the tests'
// archives all come from here.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <zip.h>

namespace kvr {

struct ZipMember
{
    ZipMember(QByteArray memberName, QByteArray memberData, zip_int32_t compression = ZIP_CM_DEFLATE,
              std::time_t modified = 0, quint32 mode = 0)
        : name(std::move(memberName)), data(std::move(memberData)), method(compression), mtime(modified), unixMode(mode)
    {
    }

    QByteArray name; // a name ending in '/' is a folder entry
    QByteArray data;
    zip_int32_t method = ZIP_CM_DEFLATE;
    std::time_t mtime = 0; // 0: when the archive is written
    quint32 unixMode = 0;  // 0: none stored
    zip_uint16_t encryption = ZIP_EM_NONE;
    QByteArray extendedTime; // body of an extended-timestamp field, if any
};

// False when the archive cannot be written whole.
inline bool writeZip(const QString& path, const QList<ZipMember>& members, const QByteArray& comment = {})
{
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!zip)
        return false;
    bool ok = true;
    for (const ZipMember& m : members) {
        zip_int64_t added;
        if (m.name.endsWith('/')) {
            added = zip_dir_add(zip, m.name.constData(), 0);
        } else {
            // libzip reads the data when the archive is closed, and frees its own copy.
            void* copy = m.data.isEmpty() ? nullptr : std::malloc(static_cast<size_t>(m.data.size()));
            if (copy)
                std::memcpy(copy, m.data.constData(), static_cast<size_t>(m.data.size()));
            zip_source_t* source = zip_source_buffer(zip, copy, static_cast<zip_uint64_t>(m.data.size()), 1);
            added = source ? zip_file_add(zip, m.name.constData(), source, 0) : -1;
            if (added < 0)
                zip_source_free(source);
        }
        if (added < 0) {
            ok = false;
            break;
        }
        const auto i = static_cast<zip_uint64_t>(added);
        ok = zip_set_file_compression(zip, i, m.method, 0) == 0 &&
             (!m.mtime || zip_file_set_mtime(zip, i, m.mtime, 0) == 0) &&
             (!m.unixMode || zip_file_set_external_attributes(zip, i, 0, ZIP_OPSYS_UNIX, m.unixMode << 16) == 0) &&
             (m.encryption == ZIP_EM_NONE || zip_file_set_encryption(zip, i, m.encryption, "secret") == 0) &&
             (m.extendedTime.isEmpty() ||
              zip_file_extra_field_set(
                  zip, i, 0x5455, ZIP_EXTRA_FIELD_NEW, reinterpret_cast<const zip_uint8_t*>(m.extendedTime.constData()),
                  static_cast<zip_uint16_t>(m.extendedTime.size()), ZIP_FL_CENTRAL | ZIP_FL_LOCAL) == 0);
        if (!ok)
            break;
    }
    if (ok && !comment.isEmpty())
        ok = zip_set_archive_comment(zip, comment.constData(), static_cast<zip_uint16_t>(comment.size())) == 0;
    if (!ok) {
        zip_discard(zip);
        return false;
    }
    return zip_close(zip) == 0;
}

} // namespace kvr
