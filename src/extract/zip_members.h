// A package's members as they are listed, without their data: the one reading the check made
// before a change and the report share, so both judge a package as the unpack reads it.
#pragma once

#include "extract/zip_archive.h"

#include <atomic>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace kvr::unzip32 {

struct MemberEntry
{
    std::string name; // as stored, in UTF-8 when libzip decodes it
    uint64_t size = 0;
    uint32_t crc = 0;
    bool encrypted = false;
    bool supported = true;               // packed in a way the unpack can read
    bool link = false;                   // a symbolic link, which the unpack never creates
    std::optional<std::time_t> modified; // the time the unpack gives the file, when the member has one
};

// The member of that index as libzip reads it; nothing when libzip cannot.
std::optional<MemberEntry> memberEntry(zip_t* zip, zip_uint64_t index);

struct MemberListing
{
    enum class Read {
        Whole,
        Unreadable,  // not an archive the unpack opens; `why` in libzip's words
        Overlapping, // members share bytes: the unpack refuses it whole
    };
    Read read = Read::Unreadable;
    std::string why;
    std::vector<MemberEntry> members; // in the directory's order; a member libzip cannot read is left out
};

// The members of the regular file open as `fd`, read straight from its central directory when
// that is laid out plainly and every record reads alike so and through libzip; otherwise
// through libzip over the archive opened as the unpack opens it. A stop ends the list early.
MemberListing listMembers(int fd, const std::atomic_bool& stop);

} // namespace kvr::unzip32
