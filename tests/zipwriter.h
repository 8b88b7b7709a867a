// Builds ZIP archives for tests with libzip.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <zip.h>

namespace kvrtest {

struct ZipMember
{
    QByteArray name;
    QByteArray data;
    bool stored = false;
};

inline bool makeZip(const QString& path, const QList<ZipMember>& members)
{
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        return false;
    for (const ZipMember& m : members) {
        // libzip reads the data at close time, so it gets its own copy to free.
        void* copy = std::malloc(static_cast<size_t>(std::max<qsizetype>(m.data.size(), 1)));
        std::memcpy(copy, m.data.constData(), static_cast<size_t>(m.data.size()));
        zip_source_t* source = zip_source_buffer(archive, copy, static_cast<zip_uint64_t>(m.data.size()), 1);
        const zip_int64_t index = m.name.endsWith('/') ? zip_dir_add(archive, m.name.constData(), ZIP_FL_ENC_UTF_8)
                                                       : zip_file_add(archive, m.name.constData(), source,
                                                                      ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        if (m.name.endsWith('/'))
            zip_source_free(source);
        if (index < 0) {
            zip_discard(archive);
            return false;
        }
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), m.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                 0);
    }
    return zip_close(archive) == 0;
}

} // namespace kvrtest
