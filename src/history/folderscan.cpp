#include "history/folderscan.h"

#include "app/fileio.h"
#include "app/toolkit.h"
#include "history/entry.h"

#include <QFile>

#include <algorithm>
#include <fcntl.h>

namespace kvr {

namespace {

bool matchesAny(const QStringList& patterns, const QString& name)
{
    return std::any_of(patterns.begin(), patterns.end(),
                       [&name](const QString& pattern) { return wildcardMatch(pattern, name); });
}

} // namespace

QString FoldedNames::fold(const QByteArray& name)
{
    return QFile::decodeName(name).toCaseFolded();
}

void FoldedNames::append(const QByteArray& name)
{
    m_names.append(name);
    m_folded.insert(fold(name));
}

void FoldedNames::truncate(qsizetype size)
{
    m_names.resize(std::min(size, m_names.size()));
    m_folded.clear();
    for (const QByteArray& name : std::as_const(m_names))
        m_folded.insert(fold(name));
}

// The files of the game folder a change's patterns or names reach, and those its unpack replaces.
// `replacing` names a read-only file that goes too: one the caller writes over.
Scan scanGameFolder(int gameFd, const QStringList& patterns, const QSet<QString>& also, const QSet<QString>& toUnpack,
                    const QSet<QString>& replacing)
{
    Scan scan;
    // A descriptor of its own: a stream on a duplicate would go on from where the last scan ended.
    const UniqueFd folder(::openat(gameFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirStream dir(folder.get());
    while (const dirent* d = dir.next()) {
        const QByteArray name(d->d_name);
        if (name == "." || name == "..")
            continue;
        const QString decoded = QFile::decodeName(name);
        const bool folding = !toUnpack.isEmpty() || !also.isEmpty() || !replacing.isEmpty();
        const QString folded = folding ? decoded.toCaseFolded() : QString();
        const bool matching = matchesAny(patterns, decoded) || also.contains(folded);
        const bool unpackedOver = !toUnpack.isEmpty() && toUnpack.contains(folded);
        // A name no entry may hold (a control byte, a backslash) stays where it is.
        if ((!matching && !unpackedOver) || !isPlainName(name))
            continue;
        struct stat st
        {
        };
        if (::fstatat(gameFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            continue;
        bool removed = matching;
        struct stat target
        {
        };
        // As the plain delete: a link to a folder stays, a read-only file stays (but where the
        // caller writes over it: then it is kept first, as any other).
        if (S_ISLNK(st.st_mode) && ::fstatat(gameFd, d->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode))
            removed = false;
        if (isReadOnlyFile(st) && !replacing.contains(folded))
            removed = false;
        if (!removed && unpackedOver)
            scan.staying.insert(folded);
        // What the unpack replaces other than a regular file is left to it: the hook decides.
        if (!removed && !(unpackedOver && S_ISREG(st.st_mode)))
            continue;
        scan.found.append({name, S_ISREG(st.st_mode), removed, st});
        scan.bytes += S_ISREG(st.st_mode) ? st.st_size : 0;
    }
    return scan;
}

QSet<QString> foldedSet(const QList<QByteArray>& names)
{
    QSet<QString> folded;
    for (const QByteArray& name : names)
        folded.insert(FoldedNames::fold(name));
    return folded;
}

} // namespace kvr
