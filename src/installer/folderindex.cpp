#include "installer/folderindex.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>

namespace kvr {

namespace {

// Game folders hold thousands of files; no more than this are looked at.
constexpr qsizetype kMaxGameFolderFiles = 1 << 20;

bool stopped(const std::atomic_bool& stop)
{
    return stop.load(std::memory_order_relaxed);
}

// A name as written on disk. Most are ASCII, which reads alike in every encoding, so those skip
// the locale's decoder.
QString diskName(const char* raw)
{
    const std::size_t length = std::strlen(raw);
    if (std::all_of(raw, raw + length, [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return QString::fromLatin1(raw, static_cast<qsizetype>(length));
    return QFile::decodeName(raw);
}

bool isAscii(QStringView name)
{
    return std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

// A name case-folded into key, reused from name to name. ASCII names (nearly all) are folded by
// hand: Unicode folds ASCII letters to their lower case and nothing else of ASCII.
template <typename Char> void foldAscii(const Char* name, std::size_t length, std::u16string& key)
{
    key.resize(length);
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<char16_t>(name[i]);
        key[i] = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 0x20) : c;
    }
}

void foldInto(const QString& name, std::u16string& key)
{
    if (isAscii(name))
        return foldAscii(name.utf16(), static_cast<std::size_t>(name.size()), key);
    const QString folded = name.toCaseFolded();
    key.assign(reinterpret_cast<const char16_t*>(folded.utf16()), static_cast<std::size_t>(folded.size()));
}

} // namespace

FolderIndex::FolderIndex(const QString& folder, qsizetype sizeHint, const std::atomic_bool& stop)
    : m_fd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    if (!m_fd.isValid())
        return;
    const auto hint = static_cast<std::size_t>(std::min(sizeHint, kMaxGameFolderFiles));
    reserve(hint);
    m_records.reserve(hint * 64);
    // Listed first, looked up after: the slots are then fetched ahead.
    std::vector<std::size_t> listed;
    listed.reserve(hint);
    std::u16string key;
    DirStream dir(m_fd.get());
    while (const dirent* e = dir.next()) {
        if (stopped(stop) || listed.size() >= static_cast<std::size_t>(kMaxGameFolderFiles))
            break;
        const std::string_view raw(e->d_name);
        if (std::all_of(raw.cbegin(), raw.cend(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            foldAscii(raw.data(), raw.size(), key);
        else
            foldInto(diskName(e->d_name), key);
        listed.push_back(addRecord(hashOf(key), key, raw));
    }
    // The folder may hold many more names than the package has members.
    reserve(listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (i + kAhead < listed.size())
            fetchSlot(head(listed[i + kAhead]).hash);
        const std::size_t record = listed[i];
        const std::size_t slot = slotOf(head(record).hash, keyOf(record));
        if (m_slots[slot] == 0) {
            place(slot, record);
            continue;
        }
        // Two spellings of one name: rare, so only they are remembered as written.
        Head& first = head(slotRecord(slot));
        const QString name = diskName(rawOf(record)), other = diskName(m_records.data() + first.raw);
        m_spelled.insert(name);
        m_spelled.insert(other);
        if (name.toUtf8() < other.toUtf8())
            first.raw = head(record).raw;
    }
}

FoldedName FolderIndex::fold(const QString& name, const std::size_t seed)
{
    FoldedName folded;
    foldInto(name, folded.key);
    folded.hash = qHash(QStringView(folded.key.data(), static_cast<qsizetype>(folded.key.size())), seed);
    return folded;
}

std::optional<QByteArray> FolderIndex::claim(const QString& name, const FoldedName& folded)
{
    std::size_t slot = slotOf(folded.hash, folded.key);
    if (m_slots[slot] == 0) {
        if ((m_count + 1) * 2 > m_slots.size()) {
            reserve(m_count + 1);
            slot = slotOf(folded.hash, folded.key);
        }
        place(slot, addRecord(folded.hash, folded.key, {}));
    }
    Head& entry = head(slotRecord(slot));
    if (entry.claimed)
        return std::nullopt;
    entry.claimed = true;
    if (m_spelled.contains(name))
        return QFile::encodeName(name);
    if (entry.raw == kNone)
        return QByteArray();
    // What the listing gave, decoded and encoded again as every name the program handles;
    // an ASCII name comes back as it was.
    const char* raw = m_records.data() + entry.raw;
    const std::size_t length = std::strlen(raw);
    if (std::all_of(raw, raw + length, [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return QByteArray(raw, static_cast<qsizetype>(length));
    return QFile::encodeName(diskName(raw));
}

std::size_t FolderIndex::addRecord(std::size_t hash, std::u16string_view key, std::optional<std::string_view> raw)
{
    const std::size_t record = m_records.size();
    const std::size_t keyBytes = key.size() * sizeof(char16_t);
    const std::size_t rawBytes = raw ? raw->size() + 1 : 0;
    // Each record starts aligned for its head.
    const std::size_t size = (sizeof(Head) + keyBytes + rawBytes + alignof(Head) - 1) / alignof(Head) * alignof(Head);
    m_records.resize(record + size);
    Head h;
    h.hash = hash;
    h.keyLength = static_cast<uint32_t>(key.size());
    h.raw = raw ? record + sizeof(Head) + keyBytes : kNone;
    std::memcpy(m_records.data() + record, &h, sizeof h);
    std::memcpy(m_records.data() + record + sizeof(Head), key.data(), keyBytes);
    if (raw)
        std::memcpy(m_records.data() + h.raw, raw->data(), raw->size() + 1);
    return record;
}

void FolderIndex::reserve(std::size_t names)
{
    std::size_t size = 16;
    while (size < names * 2)
        size *= 2;
    if (size <= m_slots.size())
        return;
    std::vector<uint64_t> old(size, 0);
    old.swap(m_slots);
    for (const uint64_t value : old) {
        if (value == 0)
            continue;
        const std::size_t record = static_cast<std::size_t>((value & 0xFFFFFFFFu) - 1) * alignof(Head);
        m_slots[slotOf(head(record).hash, {}, false)] = value;
    }
}

std::size_t FolderIndex::slotOf(std::size_t hash, std::u16string_view key, bool match) const
{
    const std::size_t mask = m_slots.size() - 1;
    const uint64_t tag = hash >> 32;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint64_t value = m_slots[slot];
        if (value == 0)
            return slot;
        if (match && value >> 32 == tag && keyOf(slotRecord(slot)) == key)
            return slot;
    }
}

} // namespace kvr
