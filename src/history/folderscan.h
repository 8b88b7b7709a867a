// The game folder's files as a change finds them: names compared without regard to case, and the
// files a change's patterns or names reach or its unpack replaces.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

namespace kvr {

// Names of the game folder as its case-blind lookup compares them, in the order they came.
class FoldedNames
{
public:
    static QString fold(const QByteArray& name);
    bool contains(const QByteArray& name) const { return m_folded.contains(fold(name)); }
    void append(const QByteArray& name);
    // Drops the names after the first `size`.
    void truncate(qsizetype size);
    const QList<QByteArray>& names() const { return m_names; }

private:
    QList<QByteArray> m_names;
    QSet<QString> m_folded;
};

// A file of the game folder a change found: removed by the change, or replaced by its unpack.
struct Candidate
{
    QByteArray name;
    bool regular;
    bool removed; // else the unpack replaces it
    struct stat st;
};

struct Scan
{
    QList<Candidate> found;
    QSet<QString> staying; // names of the folder the unpack finds standing
    qint64 bytes = 0;
};

// The files of the game folder a change's patterns or names (`also`, folded) reach, and those
// its unpack replaces (`toUnpack`, folded). A link to a folder stays, and so does a read-only
// file (as the plain delete leaves it) but where `replacing` names it: the caller writes over it.
Scan scanGameFolder(int gameFd, const QStringList& patterns, const QSet<QString>& also, const QSet<QString>& toUnpack,
                    const QSet<QString>& replacing);

// The names folded as FoldedNames compares them.
QSet<QString> foldedSet(const QList<QByteArray>& names);

} // namespace kvr
