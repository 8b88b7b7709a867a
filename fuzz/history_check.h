// The checks of fuzz_history, shared with the regression test: an entry the reader takes as whole
// names only plain file names of the game folder it was read for, keeps permission bits alone,
// clears only a slot's files, and writes back to the same entry.
#pragma once

#include "history/history.h"

namespace kvrfuzz {

// Null when the bytes pass; else what is wrong.
inline const char* checkHistoryEntry(const QByteArray& bytes)
{
    const QString game = QStringLiteral("/games/Kestrava");
    const kvr::HistoryEntry entry = kvr::parseEntry(bytes, game);
    if (!entry.damage.isEmpty())
        return nullptr;
    for (const auto* files : {&entry.kept, &entry.created})
        for (const kvr::HistoryFile& f : *files)
            if (!kvr::isPlainName(f.name))
                return "a whole entry names a path";
    for (const kvr::HistoryFile& f : entry.kept)
        if (f.mode & ~0777u)
            return "a whole entry keeps more than permission bits";
    for (const QString& pattern : entry.patterns)
        if (!pattern.startsWith(QLatin1Char('P')) || pattern.size() < 6)
            return "a whole entry clears files beyond a slot's";
    if (entry.gameFolder != game)
        return "a whole entry names another game folder";
    const kvr::HistoryEntry again = kvr::parseEntry(kvr::entryBytes(entry), game);
    if (!again.damage.isEmpty() || kvr::entryBytes(again) != kvr::entryBytes(entry))
        return "an entry read back differs";
    return nullptr;
}

} // namespace kvrfuzz
