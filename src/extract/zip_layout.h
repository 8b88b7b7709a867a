// A package's central directory and where each member's data lies in the file. libzip reads the
// members; this finds the bytes so stored and deflated members can be copied or decoded straight
// from the file, tells how many bytes of a self-extractor stub precede an archive whose offsets
// do not count them, and whether members share bytes. The same reading gives the report each
// member's record, so a package's installed files are checked without libzip building its
// tables for every member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace kvr::unzip32 {

struct MemberLayout
{
    bool found = false;          // false when the member's local header is not where it should be
    uint16_t method = 0;         // compression method as the central directory gives it
    uint64_t dataOffset = 0;     // from the start of the file
    uint64_t compressedSize = 0; // bytes at dataOffset
};

// `length` bytes of the file from `offset` on, copied into or pointed to from `buffer`; null
// when they cannot be read (past the end, or the file shrank meanwhile).
using ReadBytes =
    std::function<const unsigned char*(uint64_t offset, size_t length, std::vector<unsigned char>& buffer)>;

// A member as the central directory records it, for checks that read no member data.
struct CentralRecord
{
    uint16_t madeBy = 0; // the system in the high byte
    uint16_t flags = 0;  // general-purpose bits
    uint16_t method = 0;
    uint16_t dosTime = 0;
    uint16_t dosDate = 0;
    uint32_t crc = 0;
    uint64_t size = 0; // uncompressed
    uint32_t externalAttributes = 0;
    bool zip64 = false;     // some value was stored as all ones, to be read from the ZIP64 field
    std::string_view name;  // the stored bytes, within CentralDirectory::bytes
    std::string_view extra; // the central extra field, likewise
};

struct CentralDirectory
{
    std::vector<unsigned char> bytes;
    std::vector<CentralRecord> records;
    std::vector<MemberLayout> members; // where each record's data lies, in the same order
    // Bytes before the archive that its own offsets leave out (a stub prepended without
    // adjusting the archive). 0 for ordinary archives and for adjusted self-extractors.
    uint64_t unaccountedPrefix = 0;
    // Some member's data runs into another member's local header: one stored member read
    // under many names, the shape of a package built to fill the disk. Refused whole.
    bool overlapping = false;
    // Laid out as archivers write it and read alike by every reader: one end record, no ZIP64
    // records, no bytes before the archive that its offsets leave out, the central directory
    // right before the end record and holding exactly the records counted, no disk numbers.
    bool plain = false;
};

// The central directory, when its records are found where the end record says, with where each
// member's data lies; nothing when no end record is found, the records do not fit, or the
// directory is larger than maxBytes. The one reading of a package's directory: the unpack, the
// check before a change and the report all judge a package by it.
std::optional<CentralDirectory> readCentralDirectory(uint64_t fileSize, const ReadBytes& read, uint64_t maxBytes);

} // namespace kvr::unzip32
