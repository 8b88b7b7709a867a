// Steam's text key-value files (libraryfolders.vdf, appmanifest_<appid>.acf): quoted or bare keys,
// each followed by a quoted value or by a braced block of further keys.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace kvr {

struct VdfNode
{
    QString key;
    QString value;           // empty for a block
    QList<VdfNode> children; // the keys of a block, in file order
    bool isBlock = false;

    // The first child whose key matches without regard to case, or nullptr.
    const VdfNode* child(QStringView name) const;
    // The value of that child, "" when absent or a block.
    QString childValue(QStringView name) const;
};

// The top-level keys of a file. Whatever cannot be read (an unclosed block, a stray brace, nesting
// deeper than any real file) ends the reading there; what was read before it is kept.
QList<VdfNode> parseVdf(const QByteArray& text);

// The library folders that Steam's libraryfolders.vdf names, in file order. Reads both the current
// layout ("0" { "path" "..." }) and the older one ("1" "...").
QStringList steamLibraryPaths(const QByteArray& libraryFoldersVdf);

// The game's name from appmanifest_<appid>.acf, "" when it gives none.
QString steamAppName(const QByteArray& appManifestAcf);

} // namespace kvr
