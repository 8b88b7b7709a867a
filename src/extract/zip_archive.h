// An opened package and the reading of its members into files.
#pragma once

#include "extract/zip_layout.h"

#include <zip.h>

#include <optional>
#include <string>
#include <vector>

struct libdeflate_decompressor;

namespace kvr::unzip32 {

class Archive
{
public:
    Archive() = default;
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Opens the regular file at `path`. When its last component does not exist, the entry spelt
    // the same but for case is opened instead (the program builds "MOSQ_x.ZIP" while the disk
    // may hold "mosq_x.zip"). False when nothing readable as an archive is found.
    bool open(const std::string& path);

    zip_t* zip() const { return m_zip; }

    // The member's bytes inside the mapped file, when libzip and the layout agree on where they
    // are and how they are packed; null otherwise, and the member is read through libzip.
    const unsigned char* packedData(zip_uint64_t index, const zip_stat_t& stat) const;

private:
    int m_fd = -1;
    void* m_map = nullptr;
    size_t m_size = 0;
    zip_t* m_zip = nullptr;
    std::optional<ArchiveLayout> m_layout;
};

// Reads members into files, checking every byte against the member's CRC. Stored and deflated
// members are copied or decoded whole from the mapped archive (libdeflate); anything else,
// or anything the fast path cannot place, streams through libzip in bounded chunks.
class MemberReader
{
public:
    explicit MemberReader(const Archive& archive);
    ~MemberReader();
    MemberReader(const MemberReader&) = delete;
    MemberReader& operator=(const MemberReader&) = delete;

    // Writes the member into `fd`, an empty file open for reading and writing. True when the
    // member arrived whole and matches its size and CRC.
    bool writeTo(zip_uint64_t index, const zip_stat_t& stat, int fd);

    // Reads the member through and checks it, writing nothing.
    bool check(zip_uint64_t index, const zip_stat_t& stat) { return stream(index, stat, -1); }

private:
    bool copyStored(const unsigned char* packed, const zip_stat_t& stat, int fd);
    bool inflateBuffered(const unsigned char* packed, const zip_stat_t& stat, int fd);
    bool inflateMapped(zip_uint64_t index, const unsigned char* packed, const zip_stat_t& stat, int fd);
    bool stream(zip_uint64_t index, const zip_stat_t& stat, int fd);

    const Archive& m_archive;
    libdeflate_decompressor* m_inflater = nullptr;
    std::vector<unsigned char> m_buffer;
};

} // namespace kvr::unzip32
