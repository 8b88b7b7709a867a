// Reading a pack, comparing it with the skins folder, and adding the packages it brings.
#include "loadouts/pack.h"

#include "app/fileio.h"
#include "app/toolkit.h"
#include "catalogue/skinpackage.h"
#include "extract/package_check.h"
#include "extract/zip_members.h"
#include "installer/importer.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

namespace kvr {

namespace {

constexpr size_t kPiece = size_t{1} << 20;
// A pack holds its loadout and, for each slot, a package with its picture and note.
constexpr qint64 kPackMembersMax = 1 + 3 * kSlotCount;
// A member that unpacks to more than this many times its packed size, beyond a megabyte, is a
// bomb: packages are stored, and pictures and notes shrink far less.
constexpr quint64 kBombRatio = 100;
constexpr quint64 kBombFloor = quint64{1} << 20;

struct ZipDiscard
{
    void operator()(zip_t* z) const { zip_discard(z); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDiscard>;
struct ZipFileClose
{
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileClose>;

ZipPtr openZip(const QString& localPath)
{
    int error = 0;
    return ZipPtr(zip_open(QFile::encodeName(localPath).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
}

bool isSideFile(const QString& name)
{
    return name.endsWith(QStringLiteral(".jpg"), Qt::CaseInsensitive) ||
           name.endsWith(QStringLiteral(".txt"), Qt::CaseInsensitive);
}

// Why a member's name has no place in a pack; "" when it has one.
QString nameProblem(const QString& name)
{
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')) ||
        (name.size() >= 2 && name[1] == QLatin1Char(':')))
        return QStringLiteral("has a member with an absolute name (%1)").arg(name);
    if (name.contains(QStringLiteral("..")))
        return QStringLiteral("has a member named with .. (%1)").arg(name);
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QStringLiteral("holds folders (%1)").arg(name);
    if (name.endsWith(kLoadoutExtension, Qt::CaseInsensitive))
        return {};
    if (name.endsWith(QStringLiteral(".zip"), Qt::CaseInsensitive)) {
        const QString code = packageSlotCode(name);
        if (code.isEmpty() || !skinNameProblem(code, skinName(name)).isEmpty())
            return QStringLiteral("holds %1, which is not named as a package, <CODE>_<skin name>.zip").arg(name);
        return {};
    }
    if (!isSideFile(name))
        return QStringLiteral("holds %1, which is no package, picture or note").arg(name);
    return {};
}

// The most a member of that name may unpack to: the import's caps.
quint64 capOf(const QString& name)
{
    if (name.endsWith(kLoadoutExtension, Qt::CaseInsensitive))
        return kLoadoutFileMax;
    return isSideFile(name) ? kImportSideFileMax : kImportUnpackedMax;
}

// Whether some member's data runs into another's: one stored member read under many names.
// Nothing when the file is no archive the unpack opens.
std::optional<bool> membersOverlap(const QString& localPath)
{
    const UniqueFd fd(::open(QFile::encodeName(localPath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.isValid())
        return std::nullopt;
    const std::atomic_bool never{false};
    const unzip32::MemberListing listing = unzip32::listMembers(fd.get(), never);
    if (listing.read == unzip32::MemberListing::Read::Unreadable)
        return std::nullopt;
    return listing.read == unzip32::MemberListing::Read::Overlapping;
}

// A member's bytes, at most `limit` of them, checked against its size and CRC; nothing when it
// cannot be read whole.
std::optional<QByteArray> readMember(zip_t* zip, const PackMember& member, qint64 limit)
{
    if (member.size > limit)
        return std::nullopt;
    const ZipFilePtr file(zip_fopen_index(zip, member.index, 0));
    if (!file)
        return std::nullopt;
    QByteArray bytes(member.size + 1, Qt::Uninitialized);
    qint64 got = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(file.get(), bytes.data() + got, static_cast<zip_uint64_t>(bytes.size() - got));
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += n;
    }
    if (got != member.size)
        return std::nullopt;
    bytes.truncate(got);
    return bytes;
}

// The pack's loadout from its one loadout member; `problem` set when it cannot be used.
Loadout packLoadout(zip_t* zip, const Pack& pack, const PackMember& member, QString& problem)
{
    const std::optional<QByteArray> bytes = readMember(zip, member, kLoadoutFileMax);
    if (!bytes) {
        problem = QStringLiteral("has a loadout that cannot be read");
        return {};
    }
    if (!looksLikeLoadout(*bytes)) {
        problem = QStringLiteral("has a loadout with no [Loadout] section");
        return {};
    }
    const QString fallback = member.name.chopped(kLoadoutExtension.size());
    Loadout loadout = parseLoadout(*bytes, fallback);
    if (!loadoutNameProblem(loadout.name).isEmpty()) {
        problem = QStringLiteral("has a loadout with no name a loadout can have");
        return loadout;
    }
    for (const Slot& s : slotTable()) {
        const LoadoutSlot& slot = loadout.entries[static_cast<size_t>(s.number - 1)];
        if (!slot.problem.isEmpty()) {
            problem =
                QStringLiteral("has a loadout whose slot %1 is not understood: %2").arg(s.SlotCode(), slot.problem);
            return loadout;
        }
        if (!slot.understood() || slot.skin == kDefaultSkin)
            continue;
        const PackMember* held = pack.member(slot.package.file);
        if (!held || held->size != slot.package.size || held->crc != slot.package.crc) {
            problem = QStringLiteral("has a loadout naming %1, which the pack does not hold").arg(slot.package.file);
            return loadout;
        }
    }
    return loadout;
}

// Reads the directory into `pack`, refusing what has no place in a pack; the loadout member, or
// null when `pack.problem` is set.
const PackMember* readDirectory(zip_t* zip, Pack& pack)
{
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    if (count > kPackMembersMax) {
        pack.problem = QStringLiteral("holds more files than a pack can (over %1)").arg(kPackMembersMax);
        return nullptr;
    }
    QStringList loadouts, sides;
    QSet<QString> skins;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        if (zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) {
            pack.problem = QStringLiteral("cannot be read as a ZIP archive");
            return nullptr;
        }
        const QString name = QString::fromUtf8(st.name);
        QString& problem = pack.problem;
        if (problem = nameProblem(name); !problem.isEmpty())
            return nullptr;
        if (st.encryption_method != ZIP_EM_NONE)
            problem = QStringLiteral("holds encrypted members (%1)").arg(name);
        else if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)
            problem = QStringLiteral("holds %1, packed in a way that cannot be read").arg(name);
        else if (st.size > capOf(name))
            problem = QStringLiteral("holds %1, larger than the import takes (%2 bytes)").arg(name).arg(st.size);
        else if (st.size > kBombFloor && st.size / kBombRatio > st.comp_size)
            problem = QStringLiteral("is a ZIP bomb: %1 unpacks to %2 bytes").arg(name).arg(st.size);
        else if (pack.members.contains(name.toCaseFolded()))
            problem = QStringLiteral("holds %1 twice").arg(name);
        if (!problem.isEmpty())
            return nullptr;
        pack.members.insert(name.toCaseFolded(), {name, static_cast<quint64>(i), static_cast<qint64>(st.size),
                                                  static_cast<quint32>(st.crc)});
        if (name.endsWith(kLoadoutExtension, Qt::CaseInsensitive))
            loadouts.append(name);
        else if (isSideFile(name))
            sides.append(name);
        else
            skins.insert(skinName(name).toCaseFolded());
    }
    for (const QString& side : sides)
        if (!skins.contains(side.chopped(4).toCaseFolded())) {
            pack.problem = QStringLiteral("holds %1, which is no package's picture or note").arg(side);
            return nullptr;
        }
    if (loadouts.size() != 1) {
        pack.problem = loadouts.isEmpty() ? QStringLiteral("holds no loadout") : QStringLiteral("holds two loadouts");
        return nullptr;
    }
    return pack.member(loadouts.first());
}

// What one Add Packages call has put in the skins folder, taken out again on a cancel.
class Placed
{
public:
    explicit Placed(int folderFd) : m_folder(folderFd) {}
    void add(const QString& name) { m_names.append(QFile::encodeName(name)); }
    void removeAll()
    {
        for (const QByteArray& name : m_names)
            ::unlinkat(m_folder, name.constData(), 0);
        m_names.clear();
    }

private:
    int m_folder;
    QList<QByteArray> m_names;
};

// Copies a package member into the skins folder as `fileName`, checked as the import checks a
// package; "" when done, else why not.
QString copyPackage(zip_t* zip, int folderFd, const PackMember& member, const QString& fileName,
                    const std::atomic<bool>& cancel, const std::function<void(qint64)>& advance)
{
    FolderFile file(folderFd, kImportTempPattern);
    const ZipFilePtr in(zip_fopen_index(zip, member.index, 0));
    if (!file.isOpen())
        return QStringLiteral("the skins folder cannot be written");
    if (!in)
        return QStringLiteral("it cannot be read from the pack");
    std::vector<char> piece(kPiece);
    qint64 got = 0;
    uLong crc = crc32(0, nullptr, 0);
    for (;;) {
        if (cancel)
            return QStringLiteral("cancelled");
        const zip_int64_t n = zip_fread(in.get(), piece.data(), piece.size());
        if (n < 0)
            return QStringLiteral("it cannot be read from the pack: ") +
                   QString::fromLocal8Bit(zip_file_strerror(in.get()));
        if (n == 0)
            break;
        got += n;
        if (got > member.size)
            return QStringLiteral("it unpacks to more than the pack says");
        crc = crc32(crc, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(n));
        if (!file.write(piece.data(), n))
            return QStringLiteral("the skins folder cannot be written (full disk?)");
        advance(n);
    }
    if (got != member.size || crc != member.crc)
        return QStringLiteral("it is damaged in the pack");
    // What the installer would refuse never gets in, as with an import.
    if (const QString refusal = packageProblem(QStringLiteral("/proc/self/fd/") + QString::number(file.fd()));
        !refusal.isEmpty())
        return QStringLiteral("refused: ") + refusal;
    if (const int error = file.commit(QFile::encodeName(fileName), Existing::Keep))
        return error == EEXIST ? QStringLiteral("a package of that name was just made in the skins folder")
                               : QStringLiteral("it cannot be put in place: ") + Error::fromErrno(error).description();
    return {};
}

// The pack's picture and note of `skin`, put beside the package added as `newSkin` unless the
// player has files of those names.
void copySideFiles(zip_t* zip, int folderFd, const Pack& pack, const QString& skinsFolder, const QString& skin,
                   const QString& newSkin, Placed& placed)
{
    for (const char* ext : {".jpg", ".txt"}) {
        const PackMember* member = pack.member(skin + QLatin1String(ext));
        const QString name = newSkin + QLatin1String(ext);
        if (!member || QFileInfo::exists(findFile(skinsFolder + QLatin1Char('/') + name)))
            continue;
        if (const std::optional<QByteArray> bytes = readMember(zip, *member, kImportSideFileMax);
            bytes && writeFileIn(folderFd, QFile::encodeName(name), *bytes, Existing::Keep, kImportTempPattern) == 0)
            placed.add(name);
    }
}
} // namespace

const PackMember* Pack::member(const QString& name) const
{
    const auto it = members.constFind(name.toCaseFolded());
    return it == members.constEnd() ? nullptr : &*it;
}

Pack readPack(const QString& localPath)
{
    Pack pack;
    pack.path = localPath;
    // Looked at first: members sharing bytes may also be what a stricter reader refuses.
    const std::optional<bool> overlap = membersOverlap(localPath);
    if (overlap && *overlap) {
        pack.problem = QStringLiteral("has members that share their bytes, the shape of a ZIP bomb");
        return pack;
    }
    const ZipPtr zip = overlap ? openZip(localPath) : nullptr;
    if (!zip) {
        pack.problem = QStringLiteral("is not a ZIP archive");
        return pack;
    }
    if (const PackMember* loadout = readDirectory(zip.get(), pack))
        pack.loadout = packLoadout(zip.get(), pack, *loadout, pack.problem);
    return pack;
}

QString packStatusText(PackStatus status)
{
    switch (status) {
    case PackStatus::Same:
        return QStringLiteral("same as now");
    case PackStatus::WillChange:
        return QStringLiteral("will change");
    case PackStatus::Added:
        return QStringLiteral("package added");
    case PackStatus::Differs:
        return QStringLiteral("package differs from yours");
    case PackStatus::NotInPack:
        break;
    }
    return QStringLiteral("not in the pack");
}

PackComparison comparePack(const Pack& pack, const std::array<QString, kSlotCount>& recorded, PackageFolder& packages,
                           const std::atomic<bool>& cancel)
{
    // The loadout's own comparison, read from the side of what the pack brings.
    const LoadoutCheck checks = checkLoadout(pack.loadout, recorded, packages, cancel);
    PackComparison comparison;
    for (size_t i = 0; i < checks.size(); ++i) {
        PackStatus status = PackStatus::NotInPack;
        switch (checks[i].status) {
        case SlotStatus::Same:
            status = PackStatus::Same;
            break;
        case SlotStatus::WillChange:
            status = PackStatus::WillChange;
            break;
        case SlotStatus::PackageMissing:
        case SlotStatus::SkinGone:
            status = PackStatus::Added;
            break;
        case SlotStatus::PackageDiffers:
            status = PackStatus::Differs;
            break;
        case SlotStatus::NotUnderstood:
        case SlotStatus::NotInLoadout:
            break;
        }
        comparison[i] = {status, checks[i].detail};
    }
    return comparison;
}

PackAdded addPackPackages(const Pack& pack, const QString& localSkinsFolder, DifferingPackage differing,
                          const std::atomic<bool>& cancel, const PackProgress& progress)
{
    PackAdded result;
    result.loadout = pack.loadout;
    const ZipPtr zip = pack.ok() ? openZip(pack.path) : nullptr;
    const UniqueFd folder = openFolder(QFileInfo(localSkinsFolder).canonicalFilePath());
    if (!zip || !folder.isValid()) {
        result.notAdded.append(zip ? QStringLiteral("the skins folder cannot be written")
                                   : QStringLiteral("the pack cannot be read"));
        return result;
    }
    // Which packages to add, and under which names, judged before the first is written.
    struct Copy
    {
        LoadoutSlot* slot;
        const PackMember* member;
        QString code;
        QString skin; // the name it is added under
    };
    QList<Copy> copies;
    qint64 total = 0;
    PackageFolder packages(localSkinsFolder);
    for (const Slot& s : slotTable()) {
        LoadoutSlot& slot = result.loadout.entries[static_cast<size_t>(s.number - 1)];
        if (!slot.understood() || slot.skin == kDefaultSkin)
            continue;
        const PackMember* member = pack.member(slot.package.file);
        QString skin = slot.skin;
        if (packages.find(slot.package.file)) {
            const std::optional<PackageId> mine = packages.identify(slot.package.file, cancel);
            if (mine && mine->size == slot.package.size && mine->crc == slot.package.crc)
                continue;
            if (differing == DifferingPackage::Skip) {
                result.notAdded.append(slot.package.file + QStringLiteral(": yours differs, and was kept"));
                continue;
            }
            skin = keepBothName(localSkinsFolder, s.SlotCode(), slot.skin);
        }
        // The names an import would refuse (too long once "(2)" is added, or not storable) stay out.
        if (const QString problem = skinNameProblem(s.SlotCode(), skin); !problem.isEmpty()) {
            result.notAdded.append(slot.package.file + QStringLiteral(": ") + problem);
            continue;
        }
        copies.append({&slot, member, s.SlotCode(), skin});
        total += member->size;
    }

    if (cancel) {
        result.cancelled = true;
        return result;
    }
    Placed placed(folder.get());
    qint64 done = 0;
    const auto advance = [&](qint64 n) {
        done += n;
        if (progress)
            progress(done, total);
    };
    advance(0);
    for (const Copy& copy : copies) {
        const QString fileName = copy.code + QLatin1Char('_') + copy.skin + QStringLiteral(".zip");
        const QString problem = copyPackage(zip.get(), folder.get(), *copy.member, fileName, cancel, advance);
        if (cancel) {
            placed.removeAll();
            result.cancelled = true;
            result.added.clear();
            return result;
        }
        if (!problem.isEmpty()) {
            result.notAdded.append(copy.member->name + QStringLiteral(": ") + problem);
            continue;
        }
        placed.add(fileName);
        copySideFiles(zip.get(), folder.get(), pack, localSkinsFolder, copy.slot->skin, copy.skin, placed);
        result.added.append(fileName);
        copy.slot->skin = copy.skin;
        copy.slot->package.file = fileName;
    }
    return result;
}

} // namespace kvr
