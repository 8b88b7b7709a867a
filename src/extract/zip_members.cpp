#include "extract/zip_members.h"

#include "extract/zip_layout.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

namespace kvr::unzip32 {

namespace {

constexpr uint16_t kExtendedTimestamp = 0x5455;

// Symbolic-link members are never created by the unpack, so nothing of them is expected.
bool isLink(uint8_t system, uint32_t attributes)
{
    return system == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

// The Unix time of an extended-timestamp field, when it has one.
std::optional<std::time_t> extendedTime(const uint8_t* field, size_t length)
{
    if (!field || length < 5 || !(field[0] & 1))
        return std::nullopt;
    const uint32_t raw = field[1] | (field[2] << 8) | (field[3] << 16) | (static_cast<uint32_t>(field[4]) << 24);
    return static_cast<int32_t>(raw);
}

// DOS times read as local time, as libzip reads them: each distinct one converted once.
class DosTimes
{
public:
    std::time_t operator()(uint16_t date, uint16_t time)
    {
        const auto [at, added] = m_seen.try_emplace((static_cast<uint32_t>(date) << 16) | time, 0);
        if (added) {
            std::tm tm{};
            tm.tm_isdst = -1; // the zone's rules decide
            tm.tm_year = ((date >> 9) & 127) + 1980 - 1900;
            tm.tm_mon = ((date >> 5) & 15) - 1;
            tm.tm_mday = date & 31;
            tm.tm_hour = (time >> 11) & 31;
            tm.tm_min = (time >> 5) & 63;
            tm.tm_sec = (time << 1) & 62;
            at->second = std::mktime(&tm);
        }
        return at->second;
    }

private:
    std::unordered_map<uint32_t, std::time_t> m_seen;
};

// Whether the record reads alike through libzip and as it stands: an ASCII name, nothing
// encrypted, no ZIP64 values, no field that libzip reads in place of the record's own values,
// extra fields that add up. Gives the first extended-timestamp field, as libzip finds it.
bool readsAlike(const CentralRecord& r, const uint8_t*& timestamp, size_t& timestampLength)
{
    constexpr uint16_t kEncrypted = 0x0001, kStrongEncryption = 0x0040, kUtf8 = 0x0800;
    constexpr uint16_t kAes = 99;
    if (r.zip64 || (r.flags & (kEncrypted | kStrongEncryption | kUtf8)) || r.method == kAes)
        return false;
    if (!std::all_of(r.name.cbegin(), r.name.cend(), [](char c) { return c > 0 && c < 0x7F; }))
        return false;
    const auto* extra = reinterpret_cast<const uint8_t*>(r.extra.data());
    size_t at = 0;
    while (at < r.extra.size()) {
        if (r.extra.size() - at < 4)
            return false;
        const uint16_t id = extra[at] | (extra[at + 1] << 8);
        const size_t length = extra[at + 2] | (extra[at + 3] << 8);
        if (r.extra.size() - at - 4 < length)
            return false;
        constexpr uint16_t kZip64 = 0x0001, kUnicodePath = 0x7075, kUnicodeComment = 0x6375, kAesField = 0x9901;
        if (id == kZip64 || id == kUnicodePath || id == kUnicodeComment || id == kAesField)
            return false;
        if (id == kExtendedTimestamp && !timestamp) {
            timestamp = extra + at + 4;
            timestampLength = length;
        }
        at += 4 + length;
    }
    return true;
}

// The members straight from a central directory laid out plainly, when every record reads
// alike so and through libzip, which builds tables of its own for every member. Nothing when
// libzip is to read it.
std::optional<MemberListing> readPlainly(const CentralDirectory& dir, const std::atomic_bool& stop)
{
    MemberListing listing;
    listing.read = MemberListing::Read::Whole;
    listing.members.reserve(dir.records.size());
    DosTimes dosTimes;
    for (const CentralRecord& r : dir.records) {
        if (stop.load(std::memory_order_relaxed))
            break;
        const uint8_t* timestamp = nullptr;
        size_t timestampLength = 0;
        if (!readsAlike(r, timestamp, timestampLength))
            return std::nullopt;
        MemberEntry& m = listing.members.emplace_back();
        m.name.assign(r.name);
        m.size = r.size;
        m.crc = r.crc;
        m.supported = zip_compression_method_supported(r.method, 0);
        m.link = isLink(static_cast<uint8_t>(r.madeBy >> 8), r.externalAttributes);
        const auto extended = extendedTime(timestamp, timestampLength);
        m.modified = extended ? extended : dosTimes(r.dosDate, r.dosTime);
    }
    return listing;
}

} // namespace

std::optional<MemberEntry> memberEntry(zip_t* zip, zip_uint64_t index)
{
    zip_stat_t stat;
    if (zip_stat_index(zip, index, ZIP_FL_ENC_GUESS, &stat) != 0 || !(stat.valid & ZIP_STAT_NAME) || !stat.name)
        return std::nullopt;
    MemberEntry m;
    m.name = stat.name;
    m.size = stat.valid & ZIP_STAT_SIZE ? stat.size : 0;
    m.crc = stat.valid & ZIP_STAT_CRC ? stat.crc : 0;
    m.encrypted = (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE;
    m.supported = (stat.valid & ZIP_STAT_COMP_METHOD) && zip_compression_method_supported(stat.comp_method, 0);
    uint8_t system = 0;
    uint32_t attributes = 0;
    m.link = zip_file_get_external_attributes(zip, index, 0, &system, &attributes) == 0 && isLink(system, attributes);
    // The Unix time of its extended-timestamp field when it has one, else its DOS time read as
    // local time (libzip has read it so when opening).
    zip_uint16_t length = 0;
    const zip_uint8_t* field =
        zip_file_extra_field_get_by_id(zip, index, kExtendedTimestamp, 0, &length, ZIP_FL_CENTRAL);
    m.modified = extendedTime(field, length);
    if (!m.modified && (stat.valid & ZIP_STAT_MTIME))
        m.modified = stat.mtime;
    return m;
}

MemberListing listMembers(int fd, const std::atomic_bool& stop)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {MemberListing::Read::Unreadable, "not a file", {}};
    // Tens of thousands of members take a few MiB; larger directories are left to libzip.
    constexpr uint64_t kMaxDirectoryBytes = uint64_t{64} << 20;
    const auto read = [fd](uint64_t offset, size_t length, std::vector<unsigned char>& buffer) -> const unsigned char* {
        buffer.resize(length);
        for (size_t done = 0; done < length;) {
            const ssize_t got = ::pread(fd, buffer.data() + done, length - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return nullptr;
            done += static_cast<size_t>(got);
        }
        return buffer.data();
    };
    const auto dir = readCentralDirectory(static_cast<uint64_t>(st.st_size), read, kMaxDirectoryBytes);
    if (dir && dir->overlapping)
        return {MemberListing::Read::Overlapping, "members share their data", {}};
    if (dir && dir->plain)
        if (auto plain = readPlainly(*dir, stop))
            return std::move(*plain);

    // Opened again through the descriptor, so it is the regular file just looked at.
    Archive archive;
    switch (archive.open("/proc/self/fd/" + std::to_string(fd))) {
    case Archive::Opened::Yes:
        break;
    case Archive::Opened::Unreadable:
        return {MemberListing::Read::Unreadable, archive.problem(), {}};
    case Archive::Opened::Overlapping:
        return {MemberListing::Read::Overlapping, "members share their data", {}};
    }
    // No package holds more; the 16-bit ZIP format ends at 65,535.
    constexpr zip_int64_t kMaxMembers = 1 << 20;
    const zip_int64_t count = zip_get_num_entries(archive.zip(), 0);
    if (count > kMaxMembers)
        return {MemberListing::Read::Unreadable, "more than " + std::to_string(kMaxMembers) + " members", {}};
    MemberListing listing;
    listing.read = MemberListing::Read::Whole;
    listing.members.reserve(static_cast<size_t>(std::max<zip_int64_t>(count, 0)));
    for (zip_int64_t i = 0; i < count && !stop.load(std::memory_order_relaxed); ++i)
        if (auto m = memberEntry(archive.zip(), static_cast<zip_uint64_t>(i)))
            listing.members.push_back(std::move(*m));
    return listing;
}

} // namespace kvr::unzip32
