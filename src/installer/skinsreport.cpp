#include "installer/skinsreport.h"

#include "app/background.h"
#include "app/fileio.h"
#include "app/toolkit.h"
#include "extract/zip_layout.h"
#include "installer/skinpackage.h"
#include "installer/slots.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>
#include <zip.h>
#include <zlib.h>

namespace kvr {

namespace {

// No package holds more; the 16-bit ZIP format ends at 65,535.
constexpr zip_int64_t kMaxPackageMembers = 1 << 20;
// Game folders hold thousands of files; no more than this are looked at.
constexpr qsizetype kMaxGameFolderFiles = 1 << 20;

bool stopped(const std::atomic_bool& stop)
{
    return stop.load(std::memory_order_relaxed);
}

struct ZipMemberInfo
{
    QString bare; // the name the member lands under in the game folder
    zip_uint64_t size = 0;
    zip_uint32_t crc = 0;
    std::optional<std::time_t> modified; // the time unpacking gives the file, when the member has one
    bool unreadable = false;             // encrypted or stored with a method that cannot be read
};

// How reading a package's central directory went.
struct PackageRead
{
    enum class Status { Read, Missing, Unreadable } status = Status::Unreadable;
    QString why; // for Unreadable, in the user's words
};

// Symbolic-link members are never created by the installation, so nothing of them is expected.
bool isLink(zip_uint8_t system, zip_uint32_t attributes)
{
    return system == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

bool isLinkMember(zip_t* zip, zip_uint64_t index)
{
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    return zip_file_get_external_attributes(zip, index, 0, &system, &attributes) == 0 && isLink(system, attributes);
}

constexpr zip_uint16_t kExtendedTimestamp = 0x5455;

// The Unix time of an extended-timestamp field, when it has one.
std::optional<std::time_t> extendedTime(const zip_uint8_t* field, std::size_t length)
{
    if (!field || length < 5 || !(field[0] & 1))
        return std::nullopt;
    const uint32_t raw = field[1] | (field[2] << 8) | (field[3] << 16) | (static_cast<uint32_t>(field[4]) << 24);
    return static_cast<int32_t>(raw);
}

// The time unpacking gives the member's file: the Unix time of its extended-timestamp field when
// it has one, else its DOS time read as local time (libzip has read it so when opening).
std::optional<std::time_t> unpackedTime(zip_t* zip, zip_uint64_t index, const zip_stat_t& zs)
{
    zip_uint16_t length = 0;
    const zip_uint8_t* field =
        zip_file_extra_field_get_by_id(zip, index, kExtendedTimestamp, 0, &length, ZIP_FL_CENTRAL);
    if (const auto time = extendedTime(field, length))
        return time;
    if (zs.valid & ZIP_STAT_MTIME)
        return zs.mtime;
    return std::nullopt;
}

// The member of that stored name, unless unpacking writes nothing under it. Only the part after
// the last separator is decoded: in UTF-8 no other character holds the bytes of `/` or `\`, so
// the cut falls where it would in the decoded name.
bool startMember(const char* name, std::size_t length, ZipMemberInfo& m)
{
    const char* bare = name;
    for (const char* c = name; c != name + length; ++c)
        if (*c == '/' || *c == '\\')
            bare = c + 1;
    m.bare = QString::fromUtf8(bare, name + length - bare);
    return !m.bare.isEmpty() && m.bare != QLatin1String(".") && m.bare != QLatin1String("..");
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
bool readsAlike(const unzip32::CentralRecord& r, const zip_uint8_t*& timestamp, std::size_t& timestampLength)
{
    constexpr uint16_t kEncrypted = 0x0001, kStrongEncryption = 0x0040, kUtf8 = 0x0800;
    constexpr uint16_t kAes = 99;
    if (r.zip64 || (r.flags & (kEncrypted | kStrongEncryption | kUtf8)) || r.method == kAes)
        return false;
    if (!std::all_of(r.name.cbegin(), r.name.cend(), [](char c) { return c > 0 && c < 0x7F; }))
        return false;
    const auto* extra = reinterpret_cast<const zip_uint8_t*>(r.extra.data());
    std::size_t at = 0;
    while (at < r.extra.size()) {
        if (r.extra.size() - at < 4)
            return false;
        const uint16_t id = extra[at] | (extra[at + 1] << 8);
        const std::size_t length = extra[at + 2] | (extra[at + 3] << 8);
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

// The members of a package read straight from its central directory, when it is laid out as
// archivers write it and every record reads alike this way and through libzip, which builds
// tables of its own for every member. Nothing when libzip is to read it.
std::optional<QList<ZipMemberInfo>> readPlainly(int fd, uint64_t fileSize, const std::atomic_bool& stop)
{
    // Tens of thousands of members take a few MiB; larger directories are left to libzip.
    constexpr uint64_t kMaxDirectoryBytes = uint64_t{64} << 20;
    const auto read = [fd](uint64_t offset, std::size_t length,
                           std::vector<unsigned char>& buffer) -> const unsigned char* {
        buffer.resize(length);
        for (std::size_t done = 0; done < length;) {
            const ssize_t got = ::pread(fd, buffer.data() + done, length - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return nullptr;
            done += static_cast<std::size_t>(got);
        }
        return buffer.data();
    };
    const auto dir = unzip32::readCentralDirectory(fileSize, read, kMaxDirectoryBytes);
    if (!dir || !dir->plain)
        return std::nullopt;
    QList<ZipMemberInfo> members;
    members.reserve(static_cast<qsizetype>(dir->records.size()));
    DosTimes dosTimes;
    for (const unzip32::CentralRecord& r : dir->records) {
        if (stopped(stop))
            break;
        const zip_uint8_t* timestamp = nullptr;
        std::size_t timestampLength = 0;
        if (!readsAlike(r, timestamp, timestampLength))
            return std::nullopt;
        ZipMemberInfo m;
        if (isLink(static_cast<zip_uint8_t>(r.madeBy >> 8), r.externalAttributes) ||
            !startMember(r.name.data(), r.name.size(), m))
            continue;
        m.size = r.size;
        m.crc = r.crc;
        const auto extended = extendedTime(timestamp, timestampLength);
        m.modified = extended ? extended : dosTimes(r.dosDate, r.dosTime);
        m.unreadable = !zip_compression_method_supported(r.method, 0);
        members.append(m);
    }
    return members;
}

// The file members of a ZIP archive from its central directory. Only a regular file is opened:
// a pipe named like a package would wait forever.
PackageRead readCentralDirectory(const QString& path, QList<ZipMemberInfo>& members, const std::atomic_bool& stop)
{
    UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.isValid())
        return errno == ENOENT || errno == ENOTDIR
                   ? PackageRead{PackageRead::Status::Missing, {}}
                   : PackageRead{PackageRead::Status::Unreadable, Error::fromErrno(errno).description()};
    struct stat st
    {
    };
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {PackageRead::Status::Unreadable, QStringLiteral("not a file")};
    if (auto plain = readPlainly(fd.get(), static_cast<uint64_t>(st.st_size), stop)) {
        members.append(std::move(*plain));
        return {PackageRead::Status::Read, {}};
    }
    // Opened again through the descriptor, so it is the regular file just looked at.
    int error = 0;
    zip_t* zip = zip_open(QByteArray("/proc/self/fd/" + QByteArray::number(fd.get())).constData(), ZIP_RDONLY, &error);
    if (!zip) {
        zip_error_t e;
        zip_error_init_with_code(&e, error);
        const QString why = QString::fromUtf8(zip_error_strerror(&e));
        zip_error_fini(&e);
        return {PackageRead::Status::Unreadable, why};
    }
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    if (count > kMaxPackageMembers) {
        zip_discard(zip);
        return {PackageRead::Status::Unreadable, QStringLiteral("more than %1 members").arg(kMaxPackageMembers)};
    }
    members.reserve(members.size() + count);
    for (zip_int64_t i = 0; i < count && !stopped(stop); ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t zs;
        if (zip_stat_index(zip, index, ZIP_FL_ENC_GUESS, &zs) != 0 || !zs.name || isLinkMember(zip, index))
            continue;
        ZipMemberInfo m;
        if (!startMember(zs.name, std::strlen(zs.name), m))
            continue;
        m.size = zs.size;
        m.crc = zs.crc;
        m.modified = unpackedTime(zip, index, zs);
        m.unreadable = zs.encryption_method != ZIP_EM_NONE || !zip_compression_method_supported(zs.comp_method, 0);
        members.append(m);
    }
    zip_discard(zip);
    return {PackageRead::Status::Read, {}};
}

QString joinNames(const QStringList& names)
{
    constexpr int kShown = 3;
    QString text = names.mid(0, kShown).join(QStringLiteral(", "));
    if (names.size() > kShown)
        text += QStringLiteral(" and ") + QString::number(names.size() - kShown) + QStringLiteral(" more");
    return text;
}

QString countText(qsizetype n, const char* one, const char* many)
{
    return QString::number(n) + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
}

// Names in first-seen order, each once: a package of thousands of members costs one look-up each.
class NameList
{
public:
    void add(const QString& name)
    {
        if (!m_seen.contains(name)) {
            m_seen.insert(name);
            m_names.append(name);
        }
    }
    const QStringList& names() const { return m_names; }

private:
    QSet<QString> m_seen;
    QStringList m_names;
};

// Why a package the lists show would not do what the player expects; "" when it would.
QString packageSuspicion(const QString& path, const QString& code, const std::atomic_bool& stop)
{
    QList<ZipMemberInfo> members;
    if (readCentralDirectory(path, members, stop).status != PackageRead::Status::Read)
        return QStringLiteral("Not readable as a ZIP archive: installing it unpacks nothing.");
    const QString prefix = QLatin1Char('P') + code;
    bool hasSlotFile = false;
    NameList leftovers, otherSlots, unreadable;
    for (const ZipMemberInfo& m : members) {
        const bool slotFile = m.bare.startsWith(prefix, Qt::CaseInsensitive);
        hasSlotFile = hasSlotFile || slotFile;
        if (!slotFile) {
            // Another slot's file is removed only by that slot's change; anything else stays for good.
            (skinFileSlotCode(m.bare).isEmpty() ? leftovers : otherSlots).add(m.bare);
        }
        if (m.unreadable)
            unreadable.add(m.bare);
    }
    QStringList reasons;
    if (!hasSlotFile)
        reasons << QStringLiteral("Holds no ") + prefix +
                       QStringLiteral(" file: installing it only deletes the slot's skin.");
    if (!leftovers.names().isEmpty())
        reasons << QStringLiteral("Holds files that no slot change removes again from the game folder: ") +
                       joinNames(leftovers.names()) + QLatin1Char('.');
    if (!otherSlots.names().isEmpty())
        reasons << QStringLiteral("Holds another slot's files, which installing it overwrites in that slot: ") +
                       joinNames(otherSlots.names()) + QLatin1Char('.');
    if (!unreadable.names().isEmpty())
        reasons << QStringLiteral("Holds encrypted or damaged members, which installing skips: ") +
                       joinNames(unreadable.names()) + QLatin1Char('.');
    return reasons.join(QLatin1Char(' '));
}

bool validEncoding(const QByteArray& name)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder.decode(name);
    return !decoder.hasError() && !decoded.isEmpty();
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
    FolderIndex(const QString& folder, qsizetype sizeHint, const std::atomic_bool& stop)
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

    static FoldedName fold(const QString& name, const std::size_t seed)
    {
        FoldedName folded;
        foldInto(name, folded.key);
        folded.hash = qHash(QStringView(folded.key.data(), static_cast<qsizetype>(folded.key.size())), seed);
        return folded;
    }
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
    std::optional<QByteArray> claim(const QString& name, const FoldedName& folded)
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

    std::size_t addRecord(std::size_t hash, std::u16string_view key, std::optional<std::string_view> raw)
    {
        const std::size_t record = m_records.size();
        const std::size_t keyBytes = key.size() * sizeof(char16_t);
        const std::size_t rawBytes = raw ? raw->size() + 1 : 0;
        // Each record starts aligned for its head.
        const std::size_t size =
            (sizeof(Head) + keyBytes + rawBytes + alignof(Head) - 1) / alignof(Head) * alignof(Head);
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
    void reserve(std::size_t names)
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
    // The slot of the record of that hash and key, else the free slot it would take.
    std::size_t slotOf(std::size_t hash, std::u16string_view key, bool match = true) const
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

    UniqueFd m_fd;
    const std::size_t m_seed = QHashSeed::globalSeed();
    std::vector<uint64_t> m_slots = std::vector<uint64_t>(16, 0); // a folder not read finds no name
    std::size_t m_count = 0;
    std::vector<char> m_records;
    QSet<QString> m_spelled;
};

enum class FileCheck { Same, Differs, Missing };

// Whether the file holds the member: only a regular file can hold what the package installed.
// Looked at before it is read: a file of another size differs, and one of the member's size that
// still carries the whole-second time unpacking gave it is taken as installed unread, the same
// trust every sync tool puts in size and time. Any other file is read and compared by its CRC.
FileCheck checkFile(const FolderIndex& folder, const QByteArray& encoded, const ZipMemberInfo& m,
                    const std::atomic_bool& stop)
{
    struct stat st
    {
    };
    if (::fstatat(folder.fd(), encoded.constData(), &st, 0) != 0 || !S_ISREG(st.st_mode))
        return FileCheck::Missing;
    if (static_cast<zip_uint64_t>(st.st_size) != m.size)
        return FileCheck::Differs;
    // Unpacking sets whole seconds; a file written since almost always carries a fraction too.
    if (m.modified && st.st_mtim.tv_sec == *m.modified && st.st_mtim.tv_nsec == 0)
        return FileCheck::Same;
    const UniqueFd fd(::openat(folder.fd(), encoded.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return FileCheck::Missing;
    uLong crc = crc32(0, nullptr, 0);
    static thread_local QByteArray buffer(qsizetype{1024} * 1024, Qt::Uninitialized);
    // Read to the size measured: a file that grew since differs anyway, by its CRC.
    for (off_t left = st.st_size; left > 0;) {
        if (stopped(stop))
            return FileCheck::Differs;
        const ssize_t got = ::read(fd.get(), buffer.data(), static_cast<size_t>(std::min<off_t>(left, buffer.size())));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return FileCheck::Differs;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.constData()), static_cast<uInt>(got));
        left -= got;
    }
    return crc == m.crc ? FileCheck::Same : FileCheck::Differs;
}

} // namespace

QList<ReportProblem> skinsFolderProblems(const QString& skinsFolder)
{
    return skinsFolderProblems(skinsFolder, neverStopped());
}

QList<ReportProblem> skinsFolderProblems(const QString& skinsFolder, const std::atomic_bool& stop)
{
    QList<ReportProblem> problems;
    DirStream dir(skinsFolder);
    if (!dir.isOpen())
        return problems;
    struct Entry
    {
        QByteArray raw;
        QString name;
        QString key; // the name case-folded, for ordering
    };
    QList<Entry> files;
    files.reserve(1024);
    while (const dirent* e = dir.next()) {
        if (stopped(stop))
            return {};
        if (files.size() >= kMaxReportFiles)
            break;
        const QByteArray raw(e->d_name);
        if (raw == "." || raw == "..")
            continue;
        // The listing tells most kinds itself; only links and file systems that do not say cost a stat.
        if (e->d_type != DT_REG) {
            struct stat st;
            const bool maybeFile = e->d_type == DT_LNK || e->d_type == DT_UNKNOWN;
            if (!maybeFile || ::fstatat(dir.fd(), e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
                continue;
        }
        QString name = QFile::decodeName(raw);
        QString key = name.toCaseFolded();
        files.append({raw, std::move(name), std::move(key)});
    }
    std::sort(files.begin(), files.end(),
              [](const Entry& a, const Entry& b) { return a.key != b.key ? a.key < b.key : a.raw < b.raw; });

    // The skin names that have a package, for the pictures and notes.
    QSet<QString> packaged;
    for (const Entry& f : files)
        if (f.name.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive) && hasSkinName(f.name))
            packaged.insert(skinName(f.name).toLower());

    for (const Entry& f : files) {
        if (stopped(stop))
            return {};
        auto add = [&](const QString& reason) { problems.append({f.name, reason}); };
        const QString& name = f.name;
        if (!validEncoding(f.raw)) {
            add(QStringLiteral("Listed nowhere: the name is not valid in the file system's encoding (UTF-8)."));
            continue;
        }
        const bool picture = name.endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive);
        const bool note = name.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive);
        if (picture || note) {
            if (!packaged.contains(name.left(name.size() - 4).toLower()))
                add(picture ? QStringLiteral("A preview picture with no package of that skin name.")
                            : QStringLiteral("A note with no package of that skin name."));
            continue;
        }
        if (!name.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive)) {
            add(QStringLiteral("Listed nowhere: not a ZIP archive (only .zip files are packages)."));
            continue;
        }
        if (!hasSkinName(name)) {
            add(QStringLiteral("Listed nowhere: the name is shorter than nine characters."));
            continue;
        }
        // A slot lists every name that starts with its code, separator or not.
        const QString code = name.first(4).toUpper();
        if (!isSlotCode(code)) {
            add(QStringLiteral("Listed nowhere: the name does not start with one of the 30 slot codes."));
            continue;
        }
        if (packageSlotCode(name).isEmpty()) {
            // Choosing it installs <code>_<skin name>.ZIP, which this file is not.
            const QString skin = skinName(name);
            QString caption = code;
            for (const Slot& slot : slotTable())
                if (slot.SlotCode() == code)
                    caption = slot.Caption();
            add(QStringLiteral("Listed in the %1 slot as \"%2\", but choosing it installs %3_%2.zip, not this file: "
                               "the fifth character is not \"_\".")
                    .arg(caption, skin, code));
            continue;
        }
        const QString suspicion = packageSuspicion(skinsFolder + QLatin1Char('/') + name, code, stop);
        if (!suspicion.isEmpty())
            add(suspicion);
    }
    return problems;
}

SlotState installedState(const QString& skinsFolder, const QString& gameFolder, const QString& code,
                         const QString& skin)
{
    return installedState(skinsFolder, gameFolder, code, skin, neverStopped());
}

SlotState installedState(const QString& skinsFolder, const QString& gameFolder, const QString& code,
                         const QString& skin, const std::atomic_bool& stop)
{
    SlotState state{code, skin, {}, false, false};
    if (gameFolder.isEmpty()) {
        state.state = QStringLiteral("game folder not set");
        return state;
    }
    if (skinsFolder.isEmpty()) {
        state.state = QStringLiteral("skins folder not set");
        return state;
    }
    QList<ZipMemberInfo> members;
    const PackageRead read = readCentralDirectory(findFile(packagePath(skinsFolder, code, skin)), members, stop);
    if (read.status == PackageRead::Status::Missing) {
        state.state = QStringLiteral("package not found");
        return state;
    }
    if (read.status == PackageRead::Status::Unreadable) {
        state.state = QStringLiteral("package not readable: ") + read.why;
        return state;
    }
    state.reinstallable = true;
    FolderIndex onDisk(gameFolder, members.size(), stop);
    if (stopped(stop)) {
        state.state = QStringLiteral("check stopped");
        return state;
    }
    // A later member of the same bare name wins, as when unpacking: walked from the end, the first
    // member of each name is the one the game folder holds.
    // A member that cannot be unpacked leaves the file it would replace as it was.
    std::vector<std::pair<const ZipMemberInfo*, FoldedName>> looked;
    looked.reserve(static_cast<std::size_t>(members.size()));
    for (auto m = members.crbegin(); m != members.crend(); ++m)
        if (!m->unreadable)
            looked.emplace_back(&*m, FolderIndex::fold(m->bare, onDisk.seed()));
    int missing = 0, differ = 0;
    for (std::size_t i = 0; i < looked.size(); ++i) {
        if (stopped(stop)) {
            state.state = QStringLiteral("check stopped");
            return state;
        }
        // The slot of a name further on, and the record of a nearer one, are fetched meanwhile.
        if (i + 16 < looked.size())
            onDisk.fetchSlot(looked[i + 16].second.hash);
        if (i + 8 < looked.size())
            onDisk.fetchRecord(looked[i + 8].second.hash);
        const ZipMemberInfo* m = looked[i].first;
        const std::optional<QByteArray> name = onDisk.claim(m->bare, looked[i].second);
        if (!name)
            continue;
        const FileCheck check = name->isEmpty() ? FileCheck::Missing : checkFile(onDisk, *name, *m, stop);
        missing += check == FileCheck::Missing;
        differ += check == FileCheck::Differs;
    }
    QStringList parts;
    if (differ)
        parts << countText(differ, "file differs", "files differ");
    if (missing)
        parts << countText(missing, "file missing", "files missing");
    state.asInstalled = parts.isEmpty();
    state.state = state.asInstalled ? QStringLiteral("as installed") : parts.join(QStringLiteral(", "));
    return state;
}

} // namespace kvr
