#include "installer/importer.h"

#include "app/fileio.h"
#include "app/filelist.h"
#include "app/toolkit.h"
#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "extract/package_check.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kvr {

namespace {

// Longest file name most Linux file systems store, in bytes.
constexpr qsizetype kNameMax = 255;

const QStringList& archiveSuffixes()
{
    // Longest first, so ".tar.gz" wins over ".gz".
    static const QStringList suffixes = {
        QStringLiteral(".tar.gz"), QStringLiteral(".tar.bz2"),  QStringLiteral(".tar.xz"), QStringLiteral(".tar.zst"),
        QStringLiteral(".tar.lz"), QStringLiteral(".tar.lzma"), QStringLiteral(".tar.z"),  QStringLiteral(".tgz"),
        QStringLiteral(".tbz2"),   QStringLiteral(".txz"),      QStringLiteral(".tar"),    QStringLiteral(".zip"),
        QStringLiteral(".7z"),     QStringLiteral(".rar"),
    };
    return suffixes;
}

QString archiveSuffix(const QString& fileName)
{
    for (const QString& suffix : archiveSuffixes())
        if (fileName.endsWith(suffix, Qt::CaseInsensitive) && fileName.size() > suffix.size())
            return suffix;
    return {};
}

struct ArchiveCloser
{
    void operator()(archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveCloser>;

ArchivePtr openArchive(const QString& path)
{
    ArchivePtr a(archive_read_new());
    archive_read_support_filter_all(a.get());
    archive_read_support_format_7zip(a.get());
    archive_read_support_format_rar(a.get());
    archive_read_support_format_rar5(a.get());
    archive_read_support_format_tar(a.get());
    archive_read_support_format_gnutar(a.get());
    archive_read_support_format_zip(a.get());
    if (archive_read_open_filename(a.get(), QFile::encodeName(path).constData(), size_t{64} * 1024) != ARCHIVE_OK)
        return nullptr;
    return a;
}

QString entryName(archive_entry* entry)
{
    if (const char* utf8 = archive_entry_pathname_utf8(entry))
        return QString::fromUtf8(utf8);
    if (const char* raw = archive_entry_pathname(entry))
        return QFile::decodeName(raw);
    return {};
}

QString archiveProblem(archive* a)
{
    const char* text = a ? archive_error_string(a) : nullptr;
    return text ? QStringLiteral("cannot be read (") + QString::fromLocal8Bit(text) + QLatin1Char(')')
                : QStringLiteral("cannot be read as an archive");
}

bool isPicture(const QString& name)
{
    for (const char* ext : {".jpg", ".jpeg", ".png", ".bmp"})
        if (name.endsWith(QLatin1String(ext), Qt::CaseInsensitive))
            return true;
    return false;
}

bool isNote(const QString& name)
{
    return name.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive);
}

// An archive that unpacks to more than this (a skin is a few megabytes) is a bomb or not a skin.
// Each member counts its header and name as well as its bytes, and the members are counted, so a
// million empty members is refused as surely as one huge one.
constexpr qint64 kMaxUnpacked = kImportUnpackedMax;
constexpr qint64 kMemberCost = 4096;
constexpr qint64 kMaxMembers = 65535;
constexpr qint64 kMaxSideFile = kImportSideFileMax;
constexpr size_t kBlock = size_t{64} * 1024;

struct ArchiveWalk
{
    const std::atomic<bool>& cancel;
    std::function<void(double)> progress;
    // Called for each file member before its data; false stops the walk.
    std::function<bool(archive_entry*, const QString&)> member;
    // Called for each block of a member's data; false stops the walk.
    std::function<bool(const char*, size_t)> data;
    QString problem;
};

// Reads every file member, block by block, so memory stays small and a cancel is seen between
// blocks, even inside one huge member. False, with `problem` set unless cancelled or stopped by a
// callback that set it, when the archive cannot be read whole, is over its caps or holds no file.
bool walkArchive(const QString& path, ArchiveWalk& walk)
{
    ArchivePtr a = openArchive(path);
    if (!a) {
        walk.problem = QStringLiteral("cannot be read as an archive");
        return false;
    }
    const auto total = static_cast<double>(std::max<qint64>(1, QFileInfo(path).size()));
    qint64 charged = 0, count = 0;
    auto charge = [&](qint64 bytes) {
        charged += bytes;
        if (charged <= kMaxUnpacked)
            return true;
        walk.problem = QStringLiteral("is too large to import (over 1 GiB unpacked)");
        return false;
    };
    auto report = [&] {
        if (walk.progress)
            walk.progress(std::min(1.0, static_cast<double>(archive_filter_bytes(a.get(), -1)) / total));
    };
    std::vector<char> buffer(kBlock);
    archive_entry* entry = nullptr;
    for (;;) {
        if (walk.cancel)
            return false;
        const int status = archive_read_next_header(a.get(), &entry);
        if (status == ARCHIVE_EOF && count == 0)
            walk.problem = QStringLiteral("is empty: it holds no files");
        if (status == ARCHIVE_EOF)
            return count > 0;
        if (status < ARCHIVE_WARN) {
            walk.problem = archiveProblem(a.get());
            return false;
        }
        if (archive_entry_filetype(entry) != AE_IFREG)
            continue;
        if (archive_entry_is_encrypted(entry)) {
            walk.problem = QStringLiteral("holds encrypted members, which cannot be read without their password");
            return false;
        }
        if (++count > kMaxMembers) {
            walk.problem = QStringLiteral("holds too many files to import (over %1)").arg(kMaxMembers);
            return false;
        }
        // A member that declares more than is left is refused before any of it is read.
        if (!charge(kMemberCost) || !charge(archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0))
            return false;
        charged -= archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
        if (walk.member && !walk.member(entry, entryName(entry)))
            return false;
        for (;;) {
            if (walk.cancel)
                return false;
            const la_ssize_t n = archive_read_data(a.get(), buffer.data(), buffer.size());
            if (n == 0)
                break;
            if (n < 0) {
                walk.problem = archiveProblem(a.get());
                return false;
            }
            if (!charge(n) || (walk.data && !walk.data(buffer.data(), static_cast<size_t>(n))))
                return false;
            // Block by block, so that a huge member shows progress too.
            report();
        }
        report();
    }
}

struct WriterCloser
{
    void operator()(archive* a) const { archive_write_free(a); }
};

// A ZIP written as the members stream in, into a file already open: no member is ever whole in
// memory.
class ZipStream
{
public:
    explicit ZipStream(int fd) : m_zip(archive_write_new())
    {
        // Names are stored as UTF-8 (flagged so), whatever the locale: one the locale cannot
        // spell must never reach the writer unconverted.
        m_ok = archive_write_set_format_zip(m_zip.get()) == ARCHIVE_OK &&
               archive_write_set_format_option(m_zip.get(), "zip", "hdrcharset", "UTF-8") == ARCHIVE_OK &&
               archive_write_zip_set_compression_deflate(m_zip.get()) == ARCHIVE_OK &&
               archive_write_set_bytes_in_last_block(m_zip.get(), 1) == ARCHIVE_OK &&
               archive_write_open_fd(m_zip.get(), fd) == ARCHIVE_OK;
    }
    // Starts the next member; the writer finishes the one before.
    bool begin(archive_entry* from, const QString& name)
    {
        std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname_utf8(entry.get(), name.toUtf8().constData());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        if (archive_entry_mtime_is_set(from))
            archive_entry_set_mtime(entry.get(), archive_entry_mtime(from), 0);
        m_ok = m_ok && archive_write_header(m_zip.get(), entry.get()) == ARCHIVE_OK;
        return m_ok;
    }
    bool data(const char* bytes, size_t size)
    {
        m_ok = m_ok && archive_write_data(m_zip.get(), bytes, size) >= 0;
        return m_ok;
    }
    bool close() { return m_ok && archive_write_close(m_zip.get()) == ARCHIVE_OK; }
    QString problem() const
    {
        const char* text = archive_error_string(m_zip.get());
        return QStringLiteral("the package cannot be written: ") +
               (text ? QString::fromLocal8Bit(text) : QStringLiteral("disk full?"));
    }

private:
    std::unique_ptr<archive, WriterCloser> m_zip;
    bool m_ok = false;
};

// Copies the archive as it is into the new package, a block at a time.
bool copyFile(const QString& from, FolderFile& to, const std::atomic<bool>& cancel, const ImportProgress& progress,
              QString& problem)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot be read");
        return false;
    }
    const auto total = static_cast<double>(std::max<qint64>(1, in.size()));
    qint64 done = 0;
    std::vector<char> buffer(kBlock);
    for (;;) {
        if (cancel)
            return false;
        const qint64 n = in.read(buffer.data(), static_cast<qint64>(buffer.size()));
        if (n < 0) {
            problem = QStringLiteral("cannot be read");
            return false;
        }
        if (n == 0)
            return true;
        if (!to.write(buffer.data(), n)) {
            problem = QStringLiteral("the skins folder cannot be written (full disk?)");
            return false;
        }
        done += n;
        if (progress)
            progress(0.5 + std::min(1.0, static_cast<double>(done) / total) / 2);
    }
}

// A file the player owns already, looked up as the viewer finds it: without regard to case. A
// link standing at the name is not the player's file: the new one takes its place.
bool playerFileExists(const QString& folder, const QString& name)
{
    const QFileInfo file(findFile(folder + QLatin1Char('/') + name));
    return file.exists() && !file.isSymLink();
}

// A picture or note put beside the package. A file made meanwhile stays; a link is replaced.
bool writeSideFile(int folderFd, const QString& name, const QByteArray& data)
{
    FolderFile file(folderFd, kImportTempPattern);
    if (!file.write(data.constData(), data.size()))
        return false;
    const QByteArray local = QFile::encodeName(name);
    int error = file.commit(local, Existing::Keep);
    struct stat st
    {
    };
    if (error == EEXIST && ::fstatat(folderFd, local.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        error = file.commit(local, Existing::Replace);
    return error == 0;
}

} // namespace

bool isImportableArchive(const QString& fileName)
{
    return !archiveSuffix(fileName).isEmpty();
}

ArchiveListing listArchive(const QString& path)
{
    const std::atomic<bool> never{false};
    return listArchive(path, never);
}

ArchiveListing listArchive(const QString& path, const std::atomic<bool>& cancel, const ImportProgress& progress)
{
    ArchiveListing listing;
    ArchiveWalk walk{cancel,
                     progress,
                     [&](archive_entry*, const QString& name) {
                         listing.members.append(name);
                         return true;
                     },
                     {},
                     {}};
    listing.readable = walkArchive(path, walk);
    listing.problem = cancel ? QStringLiteral("cancelled") : walk.problem;
    if (!listing.readable)
        listing.members.clear();
    return listing;
}

SlotGuess inferSlot(const QString& fileName, const QStringList& members)
{
    SlotGuess guess;
    guess.code = packageSlotCode(fileName);
    if (!guess.code.isEmpty())
        return guess;
    QMap<QString, int> counts;
    for (const QString& member : members) {
        if (const QString code = skinFileSlotCode(memberBareName(member)); !code.isEmpty())
            ++counts[code];
    }
    for (const Slot& s : slotTable())
        if (counts.contains(s.SlotCode()))
            guess.candidates.append(s.SlotCode());
    std::stable_sort(guess.candidates.begin(), guess.candidates.end(),
                     [&](const QString& a, const QString& b) { return counts[a] > counts[b]; });
    if (guess.candidates.size() == 1)
        guess.code = guess.candidates.first();
    return guess;
}

QString defaultSkinName(const QString& fileName)
{
    QString name = fileName;
    name.chop(archiveSuffix(fileName).size());
    if (!packageSlotCode(name).isEmpty())
        name.remove(0, 5);
    return name;
}

QString skinNameProblem(const QString& code, const QString& skin)
{
    if (skin.trimmed().isEmpty())
        return QStringLiteral("The skin name is empty.");
    if (skin == kDefaultSkin)
        return QStringLiteral("\"(Default)\" stands for the game's own skin; choose another name.");
    if (skin.contains(QLatin1Char('/')) || skin.contains(QLatin1Char('\\')))
        return QStringLiteral("The skin name cannot hold / or \\.");
    for (QChar c : skin)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.isSurrogate() || c.unicode() == 0xFFFD)
            return QStringLiteral("The skin name holds a character the file system cannot store.");
    const QString package = code + QLatin1Char('_') + skin + QStringLiteral(".zip");
    // The lists show names of at least nine characters; the code, "_" and ".zip" make nine.
    if (package.size() < kShortestPackageName)
        return QStringLiteral("The skin name is too short.");
    if (QFile::decodeName(QFile::encodeName(package)) != package)
        return QStringLiteral("The skin name holds a character the file system cannot store.");
    if (QFile::encodeName(package).size() > kNameMax)
        return QStringLiteral("The skin name is too long for a file name.");
    return {};
}

QString existingPackage(const QString& skinsFolder, const QString& code, const QString& skin)
{
    const QString wanted = code + QLatin1Char('_') + skin + QStringLiteral(".zip");
    const QDir dir(skinsFolder);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System))
        if (name.compare(wanted, Qt::CaseInsensitive) == 0)
            return name;
    return {};
}

QString keepBothName(const QString& skinsFolder, const QString& code, const QString& skin)
{
    for (int n = 2;; ++n) {
        QString candidate = skin + QStringLiteral(" (") + QString::number(n) + QLatin1Char(')');
        if (existingPackage(skinsFolder, code, candidate).isEmpty())
            return candidate;
    }
}

ImportResult importPackage(const ImportJob& job, const QString& skinsFolder, const std::atomic<bool>& cancel,
                           const ImportProgress& progress)
{
    ImportResult result;
    auto finish = [&](const QString& problem) {
        result.cancelled = cancel;
        result.problem = cancel ? QStringLiteral("cancelled") : problem;
        return result;
    };

    // The folder as the player named it, a link they made to it resolved once; then opened
    // without following anything.
    const UniqueFd folder = openFolder(QFileInfo(toLocalPath(skinsFolder)).canonicalFilePath());
    FolderFile package(folder.get(), kImportTempPattern);
    if (!package.isOpen())
        return finish(QStringLiteral("the skins folder cannot be written"));

    // The first picture and note are kept for their files beside the package.
    QByteArray picture, note;
    QByteArray* keeping = nullptr;
    bool pictureSeen = false, noteSeen = false;
    auto keepSideFiles = [&](const QString& name) {
        keeping = nullptr;
        if (!pictureSeen && isPicture(name))
            pictureSeen = true, keeping = &picture;
        else if (!noteSeen && isNote(name))
            noteSeen = true, keeping = &note;
    };
    auto keepData = [&](const char* bytes, size_t size) {
        if (keeping && keeping->size() + static_cast<qint64>(size) > kMaxSideFile)
            keeping->clear(), keeping = nullptr;
        if (keeping)
            keeping->append(bytes, static_cast<qsizetype>(size));
    };

    // A ZIP is copied as it is; the rest are repacked as ZIP, each member streamed from the
    // archive into the package. Either way every member is read and checked before the package
    // takes a name, so nothing is left from an archive that turns out damaged halfway.
    const bool isZip = job.source.endsWith(QStringLiteral(".zip"), Qt::CaseInsensitive);
    std::optional<ZipStream> zip;
    if (!isZip)
        zip.emplace(package.fd());
    ArchiveWalk walk{cancel, {}, {}, {}, {}};
    walk.progress = [&](double f) {
        if (progress)
            progress(isZip ? f / 2 : f);
    };
    walk.member = [&](archive_entry* entry, const QString& name) {
        keepSideFiles(name);
        if (zip && !zip->begin(entry, name))
            walk.problem = zip->problem();
        return walk.problem.isEmpty();
    };
    walk.data = [&](const char* bytes, size_t size) {
        keepData(bytes, size);
        if (zip && !zip->data(bytes, size))
            walk.problem = zip->problem();
        return walk.problem.isEmpty();
    };
    if (!walkArchive(job.source, walk) || cancel)
        return finish(walk.problem);
    QString problem;
    if (zip ? !zip->close() : !copyFile(job.source, package, cancel, progress, problem))
        return finish(zip ? zip->problem() : problem);
    if (cancel)
        return finish({});
    // What the installer would refuse never gets in: the package is judged as the extraction
    // library reads it, after any repack, before it takes a name.
    if (const QString refusal = packageProblem(QStringLiteral("/proc/self/fd/") + QString::number(package.fd()));
        !refusal.isEmpty())
        return finish(QStringLiteral("refused: ") + refusal);

    const QString existing = job.replace ? existingPackage(skinsFolder, job.code, job.skin) : QString();
    const QString packageName =
        existing.isEmpty() ? job.code + QLatin1Char('_') + job.skin + QStringLiteral(".zip") : existing;
    // Flushed before it takes its name: a crash never leaves a cut file where the player's
    // package was. A Replace keeps the mode of the package replaced; a new package, the umask's.
    if (const int error =
            package.commit(QFile::encodeName(packageName), job.replace ? Existing::Replace : Existing::Keep))
        return finish(QStringLiteral("the package cannot be put in place: ") + Error::fromErrno(error).description());
    result.imported = true;
    result.package = packageName;

    const QString pictureName = job.skin + QStringLiteral(".jpg");
    const QString noteName = job.skin + QStringLiteral(".txt");
    if (!picture.isEmpty() && !playerFileExists(skinsFolder, pictureName))
        result.preview = writeSideFile(folder.get(), pictureName, picture);
    if (!note.isEmpty() && !playerFileExists(skinsFolder, noteName))
        result.note = writeSideFile(folder.get(), noteName, note);
    return result;
}

namespace {
const time_t processStart = ::time(nullptr);
} // namespace

void removeImportLeftovers(const QString& skinsFolder)
{
    const QString folder = usableFolder(skinsFolder);
    if (folder.isEmpty())
        return;
    DirStream dir(toLocalPath(folder));
    while (const dirent* entry = dir.next()) {
        struct stat st
        {
        };
        // Only what an import of an earlier run left: a running one's temporaries are newer.
        if (isImportTemporary(QFile::decodeName(entry->d_name)) &&
            ::fstatat(dir.fd(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
            st.st_mtime < processStart)
            ::unlinkat(dir.fd(), entry->d_name, 0);
    }
}

} // namespace kvr
