#include "extract/zip_archive.h"

#include "extract/zip_names.h"
#include "extract/zip_target.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace kvr::unzip32 {

namespace {

// Members up to this size are decoded in memory and written in one go; larger ones are
// decoded straight into the mapped output file, so memory stays bounded either way.
constexpr zip_uint64_t kBufferedLimit = 4u << 20;
// Chunk for streamed reads and for copying stored members.
constexpr size_t kChunk = 1u << 20;
// Archives up to this size are read into memory whole, in one call; larger ones piece by piece.
constexpr uint64_t kWholeLimit = 16u << 20;
// Packed members up to this size are read into memory and decoded in one call; larger ones
// (seldom in a skin package) stream through libzip.
constexpr uint64_t kPackedLimit = 512u << 20;
// The smallest archive: an end record alone.
constexpr size_t kSmallestArchive = 22;

constexpr zip_uint64_t kNeededStat = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD;

// Regular files only: a FIFO or device named like a package must not block or feed us.
int openRegularFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// libzip reading the file from `start` on, through a descriptor of its own; `failure` takes
// libzip's error code when it cannot.
zip_t* openZip(int fd, zip_uint64_t start, int& failure)
{
    const int streamFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    FILE* stream = streamFd >= 0 ? ::fdopen(streamFd, "rbe") : nullptr;
    if (!stream) {
        if (streamFd >= 0)
            ::close(streamFd);
        return nullptr;
    }
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_filep_create(stream, start, -1, &error);
    zip_t* zip = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    failure = zip_error_code_zip(&error);
    zip_error_fini(&error);
    if (!source)
        std::fclose(stream);
    else if (!zip)
        zip_source_free(source);
    return zip;
}

} // namespace

Archive::~Archive()
{
    if (m_zip)
        zip_discard(m_zip);
    if (m_fd >= 0)
        ::close(m_fd);
}

Archive::Opened Archive::open(const std::string& path)
{
    m_fd = openRegularFile(path);
    if (m_fd < 0 && errno == ENOENT) {
        const size_t cut = path.rfind('/');
        const std::string folder = cut == std::string::npos ? "." : path.substr(0, std::max<size_t>(cut, 1));
        const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
        const std::string match = name.empty() ? std::string() : findIgnoringCase(folder, name);
        if (!match.empty())
            m_fd = openRegularFile(folder + "/" + match);
    }
    if (m_fd < 0)
        return Opened::Unreadable;

    struct stat info;
    if (::fstat(m_fd, &info) != 0 || info.st_size < static_cast<off_t>(kSmallestArchive))
        return Opened::Unreadable;
    m_size = static_cast<uint64_t>(info.st_size);
    if (m_size <= kWholeLimit) {
        std::vector<unsigned char> whole;
        if (read(0, static_cast<size_t>(m_size), whole))
            m_whole = std::move(whole);
    }
    m_layout = readCentralDirectory(
        m_size,
        [this](uint64_t offset, size_t length, std::vector<unsigned char>& buffer) {
            return read(offset, length, buffer);
        },
        UINT64_MAX);
    if (m_layout && m_layout->overlapping)
        return Opened::Overlapping;

    // libzip does not allow for a stub prepended without adjusting the archive's offsets;
    // let it see the archive from where those offsets count.
    const zip_uint64_t start = m_layout ? m_layout->unaccountedPrefix : 0;
    m_zip = openZip(m_fd, start, m_zipError);
    if (!m_zip && start != 0) {
        m_layout.reset(); // the layout misread the archive; libzip alone decides
        m_zip = openZip(m_fd, 0, m_zipError);
    }
    if (!m_zip)
        return Opened::Unreadable;
    if (m_layout && m_layout->members.size() != static_cast<zip_uint64_t>(zip_get_num_entries(m_zip, 0)))
        m_layout.reset();
    return Opened::Yes;
}

std::string Archive::problem() const
{
    zip_error_t error;
    zip_error_init_with_code(&error, m_zipError);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

ReadBuffer::~ReadBuffer()
{
    if (m_map)
        ::munmap(m_map, m_mapSize);
}

unsigned char* ReadBuffer::reserve(size_t size)
{
    if (size <= kChunk) {
        if (m_small.size() < size)
            m_small.resize(size);
        return m_small.data();
    }
    if (m_mapSize < size) {
        if (m_map)
            ::munmap(m_map, m_mapSize);
        m_map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        m_mapSize = m_map == MAP_FAILED ? 0 : size;
        if (m_map == MAP_FAILED)
            m_map = nullptr;
    }
    return static_cast<unsigned char*>(m_map);
}

bool Archive::readInto(uint64_t offset, size_t length, unsigned char* out) const
{
    if (!out || offset > m_size || length > m_size - offset)
        return false;
    for (size_t done = 0; done < length;) {
        const ssize_t got = ::pread(m_fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false; // the file shrank or cannot be read
        done += static_cast<size_t>(got);
    }
    return true;
}

const unsigned char* Archive::read(uint64_t offset, size_t length, std::vector<unsigned char>& buffer) const
{
    if (offset > m_size || length > m_size - offset)
        return nullptr;
    if (!m_whole.empty())
        return m_whole.data() + offset;
    if (buffer.size() < length)
        buffer.resize(length);
    return readInto(offset, length, buffer.data()) ? buffer.data() : nullptr;
}

bool Archive::hasPackedData(zip_uint64_t index, const zip_stat_t& stat) const
{
    if (!m_layout || index >= m_layout->members.size() || m_whole.empty())
        return false;
    const MemberLayout& member = m_layout->members[index];
    return member.found && member.method == stat.comp_method && member.compressedSize == stat.comp_size;
}

const unsigned char* Archive::packedData(zip_uint64_t index, const zip_stat_t& stat, ReadBuffer& buffer) const
{
    if (!m_layout || index >= m_layout->members.size())
        return nullptr;
    const MemberLayout& member = m_layout->members[index];
    if (!member.found || member.method != stat.comp_method || member.compressedSize != stat.comp_size ||
        member.compressedSize > kPackedLimit)
        return nullptr;
    static const unsigned char nothing = 0;
    if (member.compressedSize == 0)
        return &nothing;
    if (!m_whole.empty())
        return m_whole.data() + member.dataOffset;
    const auto size = static_cast<size_t>(member.compressedSize);
    unsigned char* out = buffer.reserve(size);
    return readInto(member.dataOffset, size, out) ? out : nullptr;
}

MemberReader::MemberReader(const Archive& archive) : m_archive(archive), m_inflater(libdeflate_alloc_decompressor()) {}

MemberReader::~MemberReader()
{
    if (m_inflater)
        libdeflate_free_decompressor(m_inflater);
}

bool MemberReader::writeTo(zip_uint64_t index, const zip_stat_t& stat, int fd)
{
    m_failure = "";
    if ((stat.valid & kNeededStat) != kNeededStat)
        return fail("sizes unknown");
    if (stat.size > kMaxMemberSize)
        return fail("too large");
    const bool fast = stat.comp_method == ZIP_CM_STORE || (stat.comp_method == ZIP_CM_DEFLATE && m_inflater);
    const unsigned char* packed = fast ? m_archive.packedData(index, stat, m_packed) : nullptr;
    if (packed && stat.comp_method == ZIP_CM_STORE)
        return copyStored(packed, stat, fd);
    if (packed && stat.comp_method == ZIP_CM_DEFLATE) {
        if (stat.size <= kBufferedLimit)
            return inflateBuffered(packed, stat, fd);
        return inflateMapped(index, packed, stat, fd);
    }
    return stream(index, stat, fd);
}

bool MemberReader::canReadAlone(zip_uint64_t index, const zip_stat_t& stat) const
{
    // The fast path falls back to libzip only when its reads fail or a large member cannot be
    // mapped; libzip is then taken under the caller's lock, so a fast member is decided here.
    return (stat.valid & kNeededStat) == kNeededStat && stat.size <= kBufferedLimit &&
           (stat.comp_method == ZIP_CM_STORE || (stat.comp_method == ZIP_CM_DEFLATE && m_inflater)) &&
           m_archive.hasPackedData(index, stat);
}

bool MemberReader::written(int fd, const void* data, size_t size)
{
    return writeAll(fd, data, size) || fail("write failed");
}

bool MemberReader::copyStored(const unsigned char* packed, const zip_stat_t& stat, int fd)
{
    if (stat.comp_size != stat.size)
        return fail("corrupt: stored sizes differ");
    uint32_t crc = 0;
    for (zip_uint64_t done = 0; done < stat.size;) {
        const size_t chunk = static_cast<size_t>(std::min<zip_uint64_t>(kChunk, stat.size - done));
        crc = libdeflate_crc32(crc, packed + done, chunk);
        if (!written(fd, packed + done, chunk))
            return false;
        done += chunk;
    }
    return crc == stat.crc || fail("corrupt: CRC mismatch");
}

// libdeflate is given exactly the declared size and fails when the data decodes to more or less.
bool MemberReader::inflateBuffered(const unsigned char* packed, const zip_stat_t& stat, int fd)
{
    const auto size = static_cast<size_t>(stat.size);
    if (m_buffer.size() < size)
        m_buffer.resize(size);
    if (libdeflate_deflate_decompress(m_inflater, packed, stat.comp_size, m_buffer.data(), size, nullptr) !=
        LIBDEFLATE_SUCCESS)
        return fail("corrupt: cannot be decoded to its declared size");
    if (libdeflate_crc32(0, m_buffer.data(), size) != stat.crc)
        return fail("corrupt: CRC mismatch");
    return written(fd, m_buffer.data(), size);
}

bool MemberReader::inflateMapped(zip_uint64_t index, const unsigned char* packed, const zip_stat_t& stat, int fd)
{
    const auto size = static_cast<size_t>(stat.size);
    // Reserve the blocks first: writing through a mapping into a full disk would fault
    // instead of failing cleanly.
    if (::fallocate(fd, 0, 0, static_cast<off_t>(size)) != 0)
        return errno == EOPNOTSUPP ? stream(index, stat, fd) : fail("write failed: no room");
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED)
        return stream(index, stat, fd);
    auto* out = static_cast<unsigned char*>(mapped);
    const bool decoded =
        libdeflate_deflate_decompress(m_inflater, packed, stat.comp_size, out, size, nullptr) == LIBDEFLATE_SUCCESS;
    const bool matches = decoded && libdeflate_crc32(0, out, size) == stat.crc;
    ::munmap(mapped, size);
    if (!decoded)
        return fail("corrupt: cannot be decoded to its declared size");
    return matches || fail("corrupt: CRC mismatch");
}

bool MemberReader::stream(zip_uint64_t index, const zip_stat_t& stat, int fd)
{
    if ((stat.valid & kNeededStat) != kNeededStat)
        return fail("sizes unknown");
    zip_file_t* file = zip_fopen_index(m_archive.zip(), index, 0);
    if (!file)
        return fail("cannot be read");
    if (m_buffer.size() < kChunk)
        m_buffer.resize(kChunk);
    uint32_t crc = 0;
    zip_uint64_t total = 0;
    zip_int64_t got = 0;
    bool ok = true;
    // Asks for one byte more than the declared size still allows, so a member that decodes to
    // more is caught at its first surplus byte, before that byte is written.
    while (ok) {
        const zip_uint64_t want = std::min<zip_uint64_t>(kChunk, stat.size - total + 1);
        got = zip_fread(file, m_buffer.data(), want);
        if (got <= 0)
            break;
        total += static_cast<zip_uint64_t>(got);
        if (total > stat.size) {
            ok = fail("corrupt: more data than its declared size");
            break;
        }
        crc = libdeflate_crc32(crc, m_buffer.data(), static_cast<size_t>(got));
        ok = fd < 0 || written(fd, m_buffer.data(), static_cast<size_t>(got));
    }
    const bool badCrc = zip_error_code_zip(zip_file_get_error(file)) == ZIP_ER_CRC;
    const bool closed = zip_fclose(file) == 0;
    if (!ok)
        return false;
    if (badCrc)
        return fail("corrupt: CRC mismatch");
    if (got < 0 || !closed)
        return fail("corrupt or cut short: cannot be read through");
    if (total != stat.size)
        return fail("corrupt: less data than its declared size");
    return crc == stat.crc || fail("corrupt: CRC mismatch");
}

} // namespace kvr::unzip32
