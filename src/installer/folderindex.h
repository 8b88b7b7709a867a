// The game folder's file names, listed once and looked up by members' names without regard to
// case, for the report's check of what a package installed.
#pragma once

#include "app/fileio.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvr {

// A name case-folded, with the hash it is looked up by.
struct FoldedName
{
    std::size_t hash = 0;
    std::u16string key;
};

// The game folder's file names, listed once: each member then costs a look-up. A name is found
// as written, or else in another letter case (the first such name in byte order), as findFile
// finds it. The folder stays open, so each file is opened without walking its path again.
// Tens of thousands of names are looked up in no useful order, so each costs what it reads from
// memory: a slot holds part of its name's hash, and each name's key and spelling on disk lie
// together in one buffer, so a look-up reads one slot and one record, both fetched ahead.
class FolderIndex
{
public:
    // sizeHint: about how many names the folder holds, so the index is sized once.
    FolderIndex(const QString& folder, qsizetype sizeHint, const std::atomic_bool& stop);

    // A member's name as claim() takes it, hashed with seed().
    static FoldedName fold(const QString& name, std::size_t seed);
    std::size_t seed() const { return m_seed; }
    // A name about to be claimed, fetched into the cache meanwhile.
    void fetchSlot(std::size_t hash) const { __builtin_prefetch(&m_slots[hash & (m_slots.size() - 1)]); }
    void fetchRecord(std::size_t hash) const
    {
        if (const std::size_t record = slotRecord(hash & (m_slots.size() - 1)); record != kNone)
            __builtin_prefetch(m_records.data() + record);
    }

    // The name on disk for a member's name, encoded for the file system, "" when there is none;
    // nothing when a member of that name came before, so each name is checked once, in one look-up.
    std::optional<QByteArray> claim(const QString& name, const FoldedName& folded);
    int fd() const { return m_fd.get(); }

private:
    static constexpr std::size_t kNone = SIZE_MAX;
    static constexpr std::size_t kAhead = 8;
    // Starts each record; the key follows, then the name as listed, ended by a zero byte.
    struct Head
    {
        std::size_t hash = 0;
        std::size_t raw = kNone; // where the spelling on disk starts in m_records
        uint32_t keyLength = 0;
        bool claimed = false;
    };

    static std::size_t hashOf(const std::u16string& key, std::size_t seed)
    {
        return qHash(QStringView(key.data(), static_cast<qsizetype>(key.size())), seed);
    }
    std::size_t hashOf(const std::u16string& key) const { return hashOf(key, m_seed); }
    Head& head(std::size_t record) { return *reinterpret_cast<Head*>(m_records.data() + record); }
    const Head& head(std::size_t record) const { return *reinterpret_cast<const Head*>(m_records.data() + record); }
    std::u16string_view keyOf(std::size_t record) const
    {
        return {reinterpret_cast<const char16_t*>(m_records.data() + record + sizeof(Head)), head(record).keyLength};
    }
    const char* rawOf(std::size_t record) const { return m_records.data() + head(record).raw; }

    std::size_t addRecord(std::size_t hash, std::u16string_view key, std::optional<std::string_view> raw);

    // A slot: the high half of the name's hash, and its record's place + 1 (0 for a free slot).
    std::size_t slotRecord(std::size_t slot) const
    {
        const uint64_t value = m_slots[slot];
        return value == 0 ? kNone : static_cast<std::size_t>((value & 0xFFFFFFFFu) - 1) * alignof(Head);
    }
    void place(std::size_t slot, std::size_t record)
    {
        m_slots[slot] = (static_cast<uint64_t>(head(record).hash >> 32) << 32) | (record / alignof(Head) + 1);
        ++m_count;
    }
    void reserve(std::size_t names);
    // The slot of the record of that hash and key, else the free slot it would take.
    std::size_t slotOf(std::size_t hash, std::u16string_view key, bool match = true) const;

    UniqueFd m_fd;
    const std::size_t m_seed = QHashSeed::globalSeed();
    std::vector<uint64_t> m_slots = std::vector<uint64_t>(16, 0); // a folder not read finds no name
    std::size_t m_count = 0;
    std::vector<char> m_records;
    QSet<QString> m_spelled;
};

} // namespace kvr
