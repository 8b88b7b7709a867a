// Where each member's data lies in an archive file, read from its central directory.
// libzip reads the members; this only finds the bytes so stored and deflated members can be
// copied or decoded straight from the file, tells how many bytes of a self-extractor stub
// precede an archive whose offsets do not count them, and whether members share bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace kvr::unzip32 {

struct MemberLayout
{
    bool found = false;          // false when the member's local header is not where it should be
    uint16_t method = 0;         // compression method as the central directory gives it
    uint64_t dataOffset = 0;     // from the start of the file
    uint64_t compressedSize = 0; // bytes at dataOffset
};

struct ArchiveLayout
{
    // Bytes before the archive that its own offsets leave out (a stub prepended without
    // adjusting the archive). 0 for ordinary archives and for adjusted self-extractors.
    uint64_t unaccountedPrefix = 0;
    std::vector<MemberLayout> members; // in central-directory order, as libzip numbers them
    // Some member's data runs into another member's local header: one stored member read
    // under many names, the shape of a package built to fill the disk. Refused whole.
    bool overlapping = false;
};

// `length` bytes of the file from `offset` on, copied into or pointed to from `buffer`; null
// when they cannot be read (past the end, or the file shrank meanwhile).
using ReadBytes =
    std::function<const unsigned char*(uint64_t offset, size_t length, std::vector<unsigned char>& buffer)>;

// Nothing when no consistent end record and central directory are found.
std::optional<ArchiveLayout> readLayout(uint64_t fileSize, const ReadBytes& read);

} // namespace kvr::unzip32
