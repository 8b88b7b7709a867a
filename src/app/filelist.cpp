#include "app/filelist.h"

#include "app/fileio.h"
#include "app/toolkit.h"

#include <QFile>

#include <algorithm>
#include <sys/stat.h>
#include <vector>

namespace kvr {

void FileList::setPattern(const QString& pattern)
{
    m_pattern = pattern;
    refresh();
}

void FileList::setPath(const QString& path)
{
    m_path = path;
    refresh();
}

void FileList::refresh()
{
    m_names = listFiles(m_path, m_pattern);
}

bool isImportTemporary(const QString& fileName)
{
    return fileName.startsWith(QStringLiteral(".kvrsi-import-")) && fileName.contains(QStringLiteral(".zip"));
}

QStringList listFiles(const QString& folder, const QString& pattern)
{
    if (folder.isEmpty())
        return {};
    DirStream dir(toLocalPath(folder));
    if (!dir.isOpen())
        return {};

    struct Entry
    {
        QString folded;
        QString name;
    };
    std::vector<Entry> entries;
    while (const dirent* entry = dir.next()) {
        if (entry->d_type == DT_DIR)
            continue;
        if (entry->d_type != DT_REG) {
            // Links and unknown types: list what is a file once the link is followed.
            struct stat st
            {
            };
            if (::fstatat(dir.fd(), entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
                continue;
        }
        QString name = QFile::decodeName(entry->d_name);
        if (!wildcardMatch(pattern, name) || isImportTemporary(name))
            continue;
        // A name that does not decode cleanly would be shown, and then sought, under another
        // name: a package is either reachable from its list entry or not listed at all.
        if (QFile::encodeName(name) != entry->d_name)
            continue;
        entries.push_back({name.toCaseFolded(), std::move(name)});
    }

    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (const int c = a.folded.compare(b.folded))
            return c < 0;
        return a.name.toUtf8() < b.name.toUtf8();
    });

    QStringList names;
    names.reserve(static_cast<qsizetype>(entries.size()));
    for (Entry& e : entries)
        names.append(std::move(e.name));
    return names;
}

} // namespace kvr
