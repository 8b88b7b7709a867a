#include "extract/zip_layout.h"

#include <algorithm>

namespace kvr::unzip32 {

namespace {

constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr uint32_t kCentralHeader = 0x02014b50;
constexpr uint32_t kEndRecord = 0x06054b50;
constexpr uint32_t kZip64EndRecord = 0x06064b50;
constexpr uint32_t kZip64Locator = 0x07064b50;
constexpr uint16_t kZip64Extra = 0x0001;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndRecordSize = 56;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kMaxCommentSize = 0xFFFF;

// Bounds-checked little-endian reads over a stretch of the file read into memory, addressed
// by offsets in the file.
class Bytes
{
public:
    Bytes(const unsigned char* data, uint64_t base, size_t size) : m_data(data), m_base(base), m_size(data ? size : 0)
    {
    }

    bool has(uint64_t offset, uint64_t length) const
    {
        return offset >= m_base && offset - m_base <= m_size && length <= m_size - (offset - m_base);
    }
    uint16_t u16(uint64_t at) const
    {
        const unsigned char* p = m_data + (at - m_base);
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    uint32_t u32(uint64_t at) const { return u16(at) | (static_cast<uint32_t>(u16(at + 2)) << 16); }
    uint64_t u64(uint64_t at) const { return u32(at) | (static_cast<uint64_t>(u32(at + 4)) << 32); }
    bool signatureAt(uint64_t at, uint32_t signature) const { return has(at, 4) && u32(at) == signature; }
    // length bytes from at on, which has() has vouched for.
    std::string_view view(uint64_t at, uint64_t length) const
    {
        return {reinterpret_cast<const char*>(m_data + (at - m_base)), static_cast<size_t>(length)};
    }
    uint64_t base() const { return m_base; }
    size_t size() const { return m_size; }

private:
    const unsigned char* m_data;
    uint64_t m_base;
    size_t m_size;
};

struct Directory
{
    uint64_t entries = 0;
    uint64_t size = 0;
    uint64_t offset = 0; // as the archive states it
    uint64_t end = 0;    // where the central directory really ends in the file
    // The only end record in the file's tail, no ZIP64 records, no disk numbers, the comment
    // running to the end of the file, and the central directory right before the end record.
    bool plain = false;
};

// The end record last in the file, and the central directory it describes. `bytes` is the
// file's tail as read.
std::optional<Directory> findDirectory(uint64_t fileSize, const ReadBytes& read, const Bytes& bytes)
{
    if (fileSize < kEndRecordSize)
        return std::nullopt;
    const uint64_t tailSize = bytes.size();
    std::vector<unsigned char> recordBuffer;
    const uint64_t last = fileSize - kEndRecordSize;
    const uint64_t first = last > kMaxCommentSize ? last - kMaxCommentSize : 0;
    for (uint64_t at = last + 1; at-- > first;) {
        if (!bytes.signatureAt(at, kEndRecord))
            continue;
        Directory dir;
        dir.entries = bytes.u16(at + 10);
        dir.size = bytes.u32(at + 12);
        dir.offset = bytes.u32(at + 16);
        dir.end = at;
        if (at >= kZip64LocatorSize && bytes.signatureAt(at - kZip64LocatorSize, kZip64Locator)) {
            const uint64_t locator = at - kZip64LocatorSize;
            // The record normally sits right before its locator; its stated offset misses
            // any unaccounted prefix.
            uint64_t record = bytes.u64(locator + 8);
            const auto recordAt = [&](uint64_t offset) {
                if (bytes.has(offset, kZip64EndRecordSize))
                    return bytes;
                if (offset > fileSize || fileSize - offset < kZip64EndRecordSize)
                    return Bytes(nullptr, 0, 0);
                return Bytes(read(offset, kZip64EndRecordSize, recordBuffer), offset, kZip64EndRecordSize);
            };
            Bytes found = recordAt(record);
            if (!found.signatureAt(record, kZip64EndRecord) && locator >= kZip64EndRecordSize) {
                record = locator - kZip64EndRecordSize;
                found = recordAt(record);
            }
            if (!found.has(record, kZip64EndRecordSize) || !found.signatureAt(record, kZip64EndRecord))
                continue;
            dir.entries = found.u64(record + 32);
            dir.size = found.u64(record + 40);
            dir.offset = found.u64(record + 48);
            dir.end = record;
        }
        if (dir.size > dir.end || dir.offset > dir.end - dir.size)
            continue;
        const bool zip64 = dir.end != at;
        dir.plain = !zip64 && bytes.u16(at + 4) == 0 && bytes.u16(at + 6) == 0 &&
                    bytes.u16(at + 8) == bytes.u16(at + 10) && bytes.u16(at + 20) == fileSize - at - kEndRecordSize &&
                    dir.offset + dir.size == at;
        // Another end record in the tail might be the one another reader takes.
        for (uint64_t other = fileSize - tailSize; dir.plain && other + 4 <= fileSize; ++other)
            dir.plain = other == at || !bytes.signatureAt(other, kEndRecord);
        return dir;
    }
    return std::nullopt;
}

// Values a ZIP64 extra field replaces are those stored as all ones, in this order.
void applyZip64Extra(const Bytes& bytes, uint64_t extra, uint64_t extraEnd, bool sizeMarked, bool compressedMarked,
                     bool offsetMarked, uint64_t& size, uint64_t& compressedSize, uint64_t& offset)
{
    while (extra + 4 <= extraEnd) {
        const uint16_t id = bytes.u16(extra);
        const uint16_t length = bytes.u16(extra + 2);
        const uint64_t data = extra + 4;
        if (data + length > extraEnd)
            return;
        if (id == kZip64Extra) {
            uint64_t at = data;
            const uint64_t end = data + length;
            if (sizeMarked && at + 8 <= end) {
                size = bytes.u64(at);
                at += 8;
            }
            if (compressedMarked && at + 8 <= end) {
                compressedSize = bytes.u64(at);
                at += 8;
            }
            if (offsetMarked && at + 8 <= end)
                offset = bytes.u64(at);
            return;
        }
        extra = data + length;
    }
}

// One central-directory record at `at`, which with its name, extra field and comment must end
// by `end`, within the bytes read.
struct ParsedRecord
{
    CentralRecord record;
    uint64_t compressedSize = 0;
    uint64_t localOffset = 0;
    uint16_t disk = 0;
    uint64_t next = 0; // where the next record starts
};

std::optional<ParsedRecord> parseRecord(const Bytes& bytes, uint64_t at, uint64_t end)
{
    if (!bytes.has(at, kCentralHeaderSize) || at + kCentralHeaderSize > end || bytes.u32(at) != kCentralHeader)
        return std::nullopt;
    ParsedRecord parsed;
    CentralRecord& r = parsed.record;
    r.madeBy = bytes.u16(at + 4);
    r.flags = bytes.u16(at + 8);
    r.method = bytes.u16(at + 10);
    r.dosTime = bytes.u16(at + 12);
    r.dosDate = bytes.u16(at + 14);
    r.crc = bytes.u32(at + 16);
    parsed.compressedSize = bytes.u32(at + 20);
    r.size = bytes.u32(at + 24);
    const uint16_t nameLength = bytes.u16(at + 28);
    const uint16_t extraLength = bytes.u16(at + 30);
    const uint16_t commentLength = bytes.u16(at + 32);
    parsed.disk = bytes.u16(at + 34);
    r.externalAttributes = bytes.u32(at + 38);
    parsed.localOffset = bytes.u32(at + 42);
    const uint64_t extra = at + kCentralHeaderSize + nameLength;
    parsed.next = extra + extraLength + commentLength;
    if (parsed.next > end || !bytes.has(at, parsed.next - at))
        return std::nullopt;
    r.name = bytes.view(at + kCentralHeaderSize, nameLength);
    r.extra = bytes.view(extra, extraLength);
    constexpr uint32_t kMarked = 0xFFFFFFFF;
    r.zip64 =
        r.size == kMarked || parsed.compressedSize == kMarked || parsed.localOffset == kMarked || parsed.disk == 0xFFFF;
    applyZip64Extra(bytes, extra, extra + extraLength, r.size == kMarked, parsed.compressedSize == kMarked,
                    parsed.localOffset == kMarked, r.size, parsed.compressedSize, parsed.localOffset);
    return parsed;
}

// The central directory read where the end record says it is, or else where it lies when its
// offsets leave out a prefix; that prefix is given back.
Bytes readCentral(const Directory& dir, const ReadBytes& read, std::vector<unsigned char>& buffer, uint64_t& prefix)
{
    const auto central = [&](uint64_t start) {
        return Bytes(read(start, static_cast<size_t>(dir.size), buffer), start, static_cast<size_t>(dir.size));
    };
    prefix = dir.end - (dir.offset + dir.size);
    // Trust the stated offsets when the central directory is found there, whatever lies
    // between it and the end record.
    Bytes bytes = central(dir.offset);
    if (dir.entries == 0 || bytes.signatureAt(dir.offset, kCentralHeader))
        prefix = 0;
    if (prefix != 0)
        bytes = central(prefix + dir.offset);
    return bytes;
}

// Where a record says its member lies: its local header, and the bytes its data takes.
struct MemberExtent
{
    uint64_t local = 0;
    uint64_t compressedSize = 0;
    uint16_t method = 0;
};

// Where each member's data starts, from its local header, and whether any member's data runs
// into another's header. The headers are read in the order they lie in the file, a window at a
// time: tens of thousands of small members cost a few reads, and the order the directory lists
// them in changes nothing.
std::vector<MemberLayout> placeMembers(const std::vector<MemberExtent>& extents, uint64_t fileSize,
                                       const ReadBytes& read, bool& overlapping)
{
    constexpr size_t kWindow = size_t{64} << 10;
    std::vector<MemberLayout> members(extents.size());
    std::vector<size_t> order(extents.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return extents[a].local < extents[b].local; });
    std::vector<unsigned char> buffer;
    Bytes window(nullptr, 0, 0);
    // Where each member's local header starts and where its data ends, in the file's order.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    spans.reserve(extents.size());
    for (const size_t i : order) {
        const MemberExtent& e = extents[i];
        members[i].method = e.method;
        if (e.local >= fileSize || fileSize - e.local < kLocalHeaderSize)
            continue;
        if (!window.has(e.local, kLocalHeaderSize)) {
            const auto size = static_cast<size_t>(std::min<uint64_t>(kWindow, fileSize - e.local));
            window = Bytes(read(e.local, size, buffer), e.local, size);
        }
        if (!window.signatureAt(e.local, kLocalHeader))
            continue;
        const uint64_t data = e.local + kLocalHeaderSize + window.u16(e.local + 26) + window.u16(e.local + 28);
        if (data <= fileSize && e.compressedSize <= fileSize - data) {
            members[i] = {true, e.method, data, e.compressedSize};
            spans.emplace_back(e.local, data + e.compressedSize);
        }
    }
    // In the file's order, a member that runs into any later one runs into the next.
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i - 1].second > spans[i].first)
            overlapping = true;
    return members;
}

} // namespace

std::optional<CentralDirectory> readCentralDirectory(uint64_t fileSize, const ReadBytes& readFile, uint64_t maxBytes)
{
    // The end record, its comment, and the ZIP64 records that normally sit right before it. All
    // of a small package lies in it: nothing of it is read twice.
    const auto tailSize = static_cast<size_t>(
        std::min<uint64_t>(fileSize, kMaxCommentSize + kEndRecordSize + kZip64LocatorSize + kZip64EndRecordSize));
    std::vector<unsigned char> tailBuffer;
    const Bytes tail(readFile(fileSize - tailSize, tailSize, tailBuffer), fileSize - tailSize, tailSize);
    const ReadBytes read = [&](uint64_t offset, size_t length, std::vector<unsigned char>& buffer) {
        return tail.has(offset, length) ? reinterpret_cast<const unsigned char*>(tail.view(offset, length).data())
                                        : readFile(offset, length, buffer);
    };
    const auto dir = findDirectory(fileSize, read, tail);
    if (!dir || dir->size > maxBytes)
        return std::nullopt;
    CentralDirectory result;
    uint64_t& prefix = result.unaccountedPrefix;
    Bytes bytes = readCentral(*dir, read, result.bytes, prefix);
    if (bytes.size() != 0 && bytes.view(bytes.base(), 0).data() != reinterpret_cast<const char*>(result.bytes.data())) {
        // Read from elsewhere than the buffer: kept in it, as the records point into it.
        const std::string_view all = bytes.view(bytes.base(), bytes.size());
        result.bytes.assign(all.begin(), all.end());
        bytes = Bytes(result.bytes.data(), bytes.base(), result.bytes.size());
    }
    uint64_t at = prefix + dir->offset;
    const uint64_t end = prefix + dir->offset + dir->size;
    bool disks = false;
    // A count larger than the directory holds is found out at the first record that does not fit.
    const auto expected = static_cast<size_t>(std::min<uint64_t>(dir->entries, dir->size / kCentralHeaderSize));
    result.records.reserve(expected);
    std::vector<MemberExtent> extents;
    extents.reserve(expected);
    for (uint64_t i = 0; i < dir->entries; ++i) {
        const auto parsed = parseRecord(bytes, at, end);
        if (!parsed)
            return std::nullopt;
        result.records.push_back(parsed->record);
        extents.push_back({prefix + parsed->localOffset, parsed->compressedSize, parsed->record.method});
        disks = disks || parsed->disk != 0;
        at = parsed->next;
    }
    result.members = placeMembers(extents, fileSize, read, result.overlapping);
    result.plain = dir->plain && prefix == 0 && !disks && at == end;
    return result;
}

} // namespace kvr::unzip32
