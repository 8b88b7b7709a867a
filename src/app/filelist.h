// The hidden file list: the names of the files in one folder that match a pattern.
#pragma once

#include <QString>
#include <QStringList>

namespace kvr {

class FileList
{
public:
    // Setting either property lists the folder again; nothing else refreshes it.
    void setPattern(const QString& pattern);
    void setPath(const QString& path);
    const QString& Pattern() const { return m_pattern; }
    const QString& Path() const { return m_path; }

    int ListCount() const { return static_cast<int>(m_names.size()); }
    const QString& List(int i) const { return m_names.at(i); }
    const QStringList& names() const { return m_names; }

private:
    void refresh();

    QString m_pattern = QStringLiteral("*.*");
    QString m_path;
    QStringList m_names;
};

// Files (never folders) of a folder matching a wildcard, without folder, ordered without regard
// to case with ties broken by byte order. A missing, unreadable or empty folder value gives none.
// An import's temporaries are never listed.
QStringList listFiles(const QString& folder, const QString& pattern);

// The hidden name an import's temporary takes in the skins folder (".kvrsi-import-*.zip*").
bool isImportTemporary(const QString& fileName);

} // namespace kvr
