#include "installer/skinsreport.h"

#include "app/background.h"
#include "app/fileio.h"
#include "app/toolkit.h"
#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "extract/zip_members.h"
#include "installer/folderindex.h"

#include <QFile>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace kvr {

namespace {

bool stopped(const std::atomic_bool& stop)
{
    return stop.load(std::memory_order_relaxed);
}

struct ZipMemberInfo
{
    QString bare; // the name the member lands under in the game folder
    uint64_t size = 0;
    uint32_t crc = 0;
    std::optional<std::time_t> modified; // the time unpacking gives the file, when the member has one
    bool unreadable = false;             // encrypted or stored with a method that cannot be read
};

// How reading a package went.
struct PackageRead
{
    enum class Status { Read, Missing, Unreadable } status = Status::Unreadable;
    QString why; // for Unreadable, in the user's words
};

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

// The file members of a package, read as the unpack reads it. Only a regular file is opened: a
// pipe named like a package would wait forever.
PackageRead readPackage(const QString& path, QList<ZipMemberInfo>& members, const std::atomic_bool& stop)
{
    UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.isValid())
        return errno == ENOENT || errno == ENOTDIR
                   ? PackageRead{PackageRead::Status::Missing, {}}
                   : PackageRead{PackageRead::Status::Unreadable, Error::fromErrno(errno).description()};
    const unzip32::MemberListing listing = unzip32::listMembers(fd.get(), stop);
    if (listing.read != unzip32::MemberListing::Read::Whole)
        return {PackageRead::Status::Unreadable, QString::fromStdString(listing.why)};
    members.reserve(static_cast<qsizetype>(listing.members.size()));
    for (const unzip32::MemberEntry& entry : listing.members) {
        ZipMemberInfo m;
        if (entry.link || !startMember(entry.name.data(), entry.name.size(), m))
            continue;
        m.size = entry.size;
        m.crc = entry.crc;
        m.modified = entry.modified;
        m.unreadable = entry.encrypted || !entry.supported;
        members.append(m);
    }
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
    if (readPackage(path, members, stop).status != PackageRead::Status::Read)
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
    if (static_cast<uint64_t>(st.st_size) != m.size)
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
    const PackageRead read = readPackage(findFile(packagePath(skinsFolder, code, skin)), members, stop);
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
