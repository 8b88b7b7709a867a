#include "installer/skinsreport.h"

#include "app/background.h"
#include "app/fileio.h"
#include "app/toolkit.h"
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
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
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
bool isLinkMember(zip_t* zip, zip_uint64_t index)
{
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(zip, index, 0, &system, &attributes) != 0)
        return false;
    return system == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

// The time unpacking gives the member's file: the Unix time of its extended-timestamp field when
// it has one, else its DOS time read as local time (libzip has read it so when opening).
std::optional<std::time_t> unpackedTime(zip_t* zip, zip_uint64_t index, const zip_stat_t& zs)
{
    constexpr zip_uint16_t kExtendedTimestamp = 0x5455;
    zip_uint16_t length = 0;
    const zip_uint8_t* field =
        zip_file_extra_field_get_by_id(zip, index, kExtendedTimestamp, 0, &length, ZIP_FL_CENTRAL);
    if (field && length >= 5 && (field[0] & 1)) {
        const uint32_t raw = field[1] | (field[2] << 8) | (field[3] << 16) | (static_cast<uint32_t>(field[4]) << 24);
        return static_cast<int32_t>(raw);
    }
    if (zs.valid & ZIP_STAT_MTIME)
        return zs.mtime;
    return std::nullopt;
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
        m.bare = memberBareName(QString::fromUtf8(zs.name));
        if (m.bare.isEmpty() || m.bare == QLatin1String(".") || m.bare == QLatin1String(".."))
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

// toCaseFolded, with ASCII names (nearly all) folded by hand: Unicode folds ASCII letters to
// their lower case and nothing else of ASCII.
QString caseFolded(const QString& name)
{
    const auto ascii = [](QChar c) { return c.unicode() < 0x80; };
    if (!std::all_of(name.cbegin(), name.cend(), ascii))
        return name.toCaseFolded();
    const auto upper = [](QChar c) { return c >= QLatin1Char('A') && c <= QLatin1Char('Z'); };
    auto first = std::find_if(name.cbegin(), name.cend(), upper);
    if (first == name.cend())
        return name;
    QString lower = name;
    for (auto c = lower.begin() + (first - name.cbegin()); c != lower.end(); ++c)
        if (upper(*c))
            *c = QChar(c->unicode() + 0x20);
    return lower;
}

// The game folder's file names, listed once: each member then costs a look-up. A name is found
// as written, or else in another letter case (the first such name in byte order), as findFile
// finds it. The folder stays open, so each file is opened without walking its path again.
class FolderIndex
{
public:
    // sizeHint: about how many names the folder holds, so the index is sized once.
    FolderIndex(const QString& folder, qsizetype sizeHint, const std::atomic_bool& stop)
        : m_fd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (!m_fd.isValid())
            return;
        m_folded.reserve(static_cast<std::size_t>(std::min(sizeHint, kMaxGameFolderFiles)));
        DirStream dir(m_fd.get());
        while (const dirent* e = dir.next()) {
            if (stopped(stop) || m_folded.size() >= static_cast<std::size_t>(kMaxGameFolderFiles))
                break;
            const QString name = diskName(e->d_name);
            QString& other = m_folded[caseFolded(name)].name;
            if (other.isEmpty()) {
                other = name;
                continue;
            }
            // Two spellings of one name: rare, so only they are remembered as written.
            m_spelled.insert(name);
            m_spelled.insert(other);
            if (name.toUtf8() < other.toUtf8())
                other = name;
        }
    }
    // The name on disk for a member's name, "" when there is none; nothing when a member of that
    // name came before, so each name is checked once, in one look-up.
    std::optional<QString> claim(const QString& name, const QString& folded)
    {
        Entry& entry = m_folded[folded];
        if (entry.claimed)
            return std::nullopt;
        entry.claimed = true;
        return m_spelled.contains(name) ? name : entry.name;
    }
    int fd() const { return m_fd.get(); }

private:
    struct Entry
    {
        QString name;
        bool claimed = false;
    };
    UniqueFd m_fd;
    // Looked up once per member and per file: a table that keeps each key's hash compares few names.
    std::unordered_map<QString, Entry> m_folded;
    QSet<QString> m_spelled;
};

enum class FileCheck { Same, Differs, Missing };

// Whether the file holds the member: only a regular file can hold what the package installed.
// Looked at before it is read: a file of another size differs, and one of the member's size that
// still carries the whole-second time unpacking gave it is taken as installed unread, the same
// trust every sync tool puts in size and time. Any other file is read and compared by its CRC.
FileCheck checkFile(const FolderIndex& folder, const QString& name, const ZipMemberInfo& m,
                    const std::atomic_bool& stop)
{
    const QByteArray encoded = QFile::encodeName(name);
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
        struct stat st;
        if (::fstatat(dir.fd(), e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
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
    int missing = 0, differ = 0;
    for (auto m = members.crbegin(); m != members.crend(); ++m) {
        if (stopped(stop)) {
            state.state = QStringLiteral("check stopped");
            return state;
        }
        // A member that cannot be unpacked leaves the file it would replace as it was.
        if (m->unreadable)
            continue;
        const std::optional<QString> name = onDisk.claim(m->bare, caseFolded(m->bare));
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
