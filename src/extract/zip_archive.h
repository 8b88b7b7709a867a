// An opened package and the reading of its members into files.
#pragma once

#include "extract/zip_layout.h"

#include <zip.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct libdeflate_decompressor;

namespace kvr::unzip32 {

// The largest size a member may declare: one beyond it is never written.
constexpr zip_uint64_t kMaxMemberSize = SIZE_MAX / 2;

// Memory for bytes read from the file. Large stretches are mapped fresh and populated in one
// call, not zero-filled and then faulted in page by page: a 50 MB packed member costs a copy.
class ReadBuffer
{
public:
    ReadBuffer() = default;
    ~ReadBuffer();
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    // Room for `size` bytes, their content undefined; null when there is no memory.
    unsigned char* reserve(size_t size);

private:
    std::vector<unsigned char> m_small;
    void* m_map = nullptr;
    size_t m_mapSize = 0;
};

class Archive
{
public:
    Archive() = default;
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    enum class Opened {
        Yes,
        Unreadable,  // nothing readable as an archive
        Overlapping, // members share bytes: refused whole
    };

    // Opens the regular file at `path`. When its last component does not exist, the entry spelt
    // the same but for case is opened instead (the program builds "MOSQ_x.ZIP" while the disk
    // may hold "mosq_x.zip").
    Opened open(const std::string& path);

    zip_t* zip() const { return m_zip; }
    // Why a package was Unreadable, in libzip's words.
    std::string problem() const;

    // The member's packed bytes, when libzip and the layout agree on where they are and how they
    // are packed: in the copy of a small file, else read into `buffer`. Null otherwise (the
    // member is then read through libzip) or when they can no longer be read.
    const unsigned char* packedData(zip_uint64_t index, const zip_stat_t& stat, ReadBuffer& buffer) const;

    // Whether packedData gives the member's bytes from memory, without reading the file again.
    bool hasPackedData(zip_uint64_t index, const zip_stat_t& stat) const;

private:
    // The file is read with pread, never mapped: a package cut short while it is read yields
    // short reads, which skip members, instead of a fault that ends the program.
    const unsigned char* read(uint64_t offset, size_t length, std::vector<unsigned char>& buffer) const;
    bool readInto(uint64_t offset, size_t length, unsigned char* out) const;

    int m_fd = -1;
    uint64_t m_size = 0;
    std::vector<unsigned char> m_whole; // the whole file, when it is small
    zip_t* m_zip = nullptr;
    int m_zipError = ZIP_ER_NOZIP; // what libzip said when it could not open the file
    std::optional<CentralDirectory> m_layout;
};

// Reads members into files, checking every byte against the member's CRC. Stored and deflated
// members are copied or decoded whole from the archive's bytes (libdeflate); anything else,
// or anything the fast path cannot place, streams through libzip in bounded chunks. No member
// ever yields more than its declared size.
class MemberReader
{
public:
    explicit MemberReader(const Archive& archive);
    ~MemberReader();
    MemberReader(const MemberReader&) = delete;
    MemberReader& operator=(const MemberReader&) = delete;

    // Writes the member into `fd`, an empty file open for reading and writing. True when the
    // member arrived whole and matches its size and CRC; otherwise failure() says why.
    bool writeTo(zip_uint64_t index, const zip_stat_t& stat, int fd);

    // Reads the member through and checks it, writing nothing.
    bool check(zip_uint64_t index, const zip_stat_t& stat) { return stream(index, stat, -1); }

    // Whether writeTo reads the member without libzip (which serves one thread at a time).
    bool canReadAlone(zip_uint64_t index, const zip_stat_t& stat) const;

    // Why the last member failed, in a few words.
    const char* failure() const { return m_failure; }

private:
    bool copyStored(const unsigned char* packed, const zip_stat_t& stat, int fd);
    bool inflateBuffered(const unsigned char* packed, const zip_stat_t& stat, int fd);
    bool inflateMapped(zip_uint64_t index, const unsigned char* packed, const zip_stat_t& stat, int fd);
    bool stream(zip_uint64_t index, const zip_stat_t& stat, int fd);
    bool fail(const char* why)
    {
        m_failure = why;
        return false;
    }
    bool written(int fd, const void* data, size_t size);

    const Archive& m_archive;
    libdeflate_decompressor* m_inflater = nullptr;
    std::vector<unsigned char> m_buffer;
    ReadBuffer m_packed;
    const char* m_failure = "";
};

} // namespace kvr::unzip32
