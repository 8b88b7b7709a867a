#include "installer/importer.h"

#include "app/fileio.h"
#include "app/toolkit.h"
#include "installer/skinpackage.h"
#include "installer/slots.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QTemporaryFile>

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>
#include <zip.h>

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

struct Member
{
    QByteArray name; // as stored
    QByteArray data;
    time_t mtime = 0;
};

// Repacking holds the members in memory until the ZIP is written; an archive that unpacks to more
// (a skin is a few megabytes; this is a bomb or not a skin) is refused rather than exhausting it.
constexpr qint64 kMaxUnpacked = qint64(1) << 30;

// Reads every file member, checking each as it goes; stops early on a cancel. With keepAll false
// only the first picture's and the first note's data are kept (a ZIP is copied, not rebuilt).
bool readMembers(const QString& path, std::vector<Member>& members, QString& problem, const std::atomic<bool>& cancel,
                 const std::function<void(double)>& progress, bool keepAll)
{
    qint64 kept = 0;
    bool pictureKept = false, noteKept = false;
    ArchivePtr a = openArchive(path);
    if (!a) {
        problem = QStringLiteral("cannot be read as an archive");
        return false;
    }
    const auto total = static_cast<double>(std::max<qint64>(1, QFileInfo(path).size()));
    archive_entry* entry = nullptr;
    for (;;) {
        if (cancel)
            return false;
        const int status = archive_read_next_header(a.get(), &entry);
        if (status == ARCHIVE_EOF)
            return true;
        if (status < ARCHIVE_WARN) {
            problem = archiveProblem(a.get());
            return false;
        }
        if (archive_entry_filetype(entry) != AE_IFREG)
            continue;
        if (archive_entry_is_encrypted(entry)) {
            problem = QStringLiteral("holds encrypted members, which cannot be read without their password");
            return false;
        }
        Member m;
        const QString name = entryName(entry);
        m.name = name.toUtf8();
        m.mtime = archive_entry_mtime(entry);
        bool keep = keepAll;
        if (!pictureKept && isPicture(name))
            keep = pictureKept = true;
        if (!noteKept && name.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
            keep = noteKept = true;
        char buffer[64 * 1024];
        for (;;) {
            const la_ssize_t n = archive_read_data(a.get(), buffer, sizeof buffer);
            if (n == 0)
                break;
            if (n < 0) {
                problem = archiveProblem(a.get());
                return false;
            }
            if (keep) {
                kept += n;
                if (kept > kMaxUnpacked) {
                    problem = QStringLiteral("is too large to import (over 1 GiB unpacked)");
                    return false;
                }
                m.data.append(buffer, static_cast<qsizetype>(n));
            }
            if (cancel)
                return false;
        }
        members.push_back(std::move(m));
        if (progress)
            progress(static_cast<double>(archive_filter_bytes(a.get(), -1)) / total);
    }
}

struct ZipCallbacks
{
    const std::atomic<bool>* cancel;
    const ImportProgress* progress;
};

// Writes the members as a ZIP archive at path. False, with nothing left at path's temporary
// name by libzip, when the writing fails or is cancelled.
bool writeZipArchive(const QString& path, const std::vector<Member>& members, const std::atomic<bool>& cancel,
                     const ImportProgress& progress, QString& problem)
{
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!zip) {
        problem = QStringLiteral("the skins folder cannot be written");
        return false;
    }
    for (const Member& m : members) {
        zip_source_t* source = zip_source_buffer(zip, m.data.constData(), static_cast<zip_uint64_t>(m.data.size()), 0);
        const zip_int64_t index =
            source ? zip_file_add(zip, m.name.constData(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) : -1;
        if (index < 0) {
            if (source)
                zip_source_free(source);
            problem = QStringLiteral("a member cannot be written: ") + QString::fromUtf8(m.name);
            zip_discard(zip);
            return false;
        }
        if (m.mtime > 0)
            zip_file_set_mtime(zip, static_cast<zip_uint64_t>(index), m.mtime, 0);
    }
    ZipCallbacks callbacks{&cancel, &progress};
    zip_register_cancel_callback_with_state(
        zip, [](zip_t*, void* state) { return static_cast<ZipCallbacks*>(state)->cancel->load() ? 1 : 0; }, nullptr,
        &callbacks);
    zip_register_progress_callback_with_state(
        zip, 0.02,
        [](zip_t*, double done, void* state) {
            auto* c = static_cast<ZipCallbacks*>(state);
            if (*c->progress)
                (*c->progress)(0.5 + done / 2);
        },
        nullptr, &callbacks);
    if (zip_close(zip) != 0) {
        if (!cancel)
            problem = QStringLiteral("the package cannot be written: ") + QString::fromUtf8(zip_strerror(zip));
        zip_discard(zip);
        return false;
    }
    return true;
}

bool copyFile(const QString& from, QFile& to, const std::atomic<bool>& cancel, const ImportProgress& progress,
              QString& problem)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot be read");
        return false;
    }
    const auto total = static_cast<double>(std::max<qint64>(1, in.size()));
    qint64 done = 0;
    while (!in.atEnd()) {
        if (cancel)
            return false;
        const QByteArray chunk = in.read(qint64{1024} * 1024);
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError) {
            problem = QStringLiteral("cannot be read");
            return false;
        }
        if (to.write(chunk) != chunk.size()) {
            problem = QStringLiteral("the skins folder cannot be written (full disk?)");
            return false;
        }
        done += chunk.size();
        if (progress)
            progress(0.5 + static_cast<double>(done) / total / 2);
    }
    if (!to.flush()) {
        problem = QStringLiteral("the skins folder cannot be written (full disk?)");
        return false;
    }
    return true;
}

// A file the player may own already, looked up as the viewer finds it: without regard to case.
bool fileExistsAnyCase(const QString& folder, const QString& name)
{
    return QFileInfo::exists(findFile(folder + QLatin1Char('/') + name));
}

bool writeSideFile(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit();
}

} // namespace

bool isImportableArchive(const QString& fileName)
{
    return !archiveSuffix(fileName).isEmpty();
}

ArchiveListing listArchive(const QString& path)
{
    ArchiveListing listing;
    ArchivePtr a = openArchive(path);
    if (!a) {
        listing.problem = QStringLiteral("cannot be read as an archive");
        return listing;
    }
    archive_entry* entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(a.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status < ARCHIVE_WARN) {
            listing.problem = archiveProblem(a.get());
            return listing;
        }
        if (archive_entry_filetype(entry) == AE_IFREG)
            listing.members.append(entryName(entry));
    }
    listing.readable = true;
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

    // Reading the archive whole first checks every member, so nothing is written from an archive
    // that turns out to be damaged halfway.
    const bool isZip = job.source.endsWith(QStringLiteral(".zip"), Qt::CaseInsensitive);
    std::vector<Member> members;
    QString problem;
    if (!readMembers(
            job.source, members, problem, cancel,
            [&](double f) {
                if (progress)
                    progress(f / 2);
            },
            !isZip))
        return finish(problem);

    const QString existing = job.replace ? existingPackage(skinsFolder, job.code, job.skin) : QString();
    const QString packageName =
        existing.isEmpty() ? job.code + QLatin1Char('_') + job.skin + QStringLiteral(".zip") : existing;
    const QString destination = skinsFolder + QLatin1Char('/') + packageName;

    QTemporaryFile temp(skinsFolder + QStringLiteral("/.kvrsi-import-XXXXXX.zip"));
    if (!temp.open())
        return finish(QStringLiteral("the skins folder cannot be written"));
    const bool written = isZip ? copyFile(job.source, temp, cancel, progress, problem)
                               : writeZipArchive(temp.fileName(), members, cancel, progress, problem);
    if (!written || cancel)
        return finish(problem);
    temp.close();

    const QByteArray from = QFile::encodeName(temp.fileName());
    const QByteArray to = QFile::encodeName(destination);
    // The new package reaches the disk before its name does: a crash never leaves a cut file
    // where the player's package was.
    if (!writeDurably(UniqueFd(::open(from.constData(), O_WRONLY | O_CLOEXEC)), {}))
        return finish(QStringLiteral("the skins folder cannot be written"));
    if (job.replace) {
        if (::rename(from.constData(), to.constData()) != 0)
            return finish(QStringLiteral("the package cannot be put in place: ") +
                          Error::fromErrno(errno).description());
    } else {
        // A link never replaces a file that appeared in the meantime.
        if (::link(from.constData(), to.constData()) != 0)
            return finish(QStringLiteral("the package cannot be put in place: ") +
                          Error::fromErrno(errno).description());
    }
    result.imported = true;
    result.package = packageName;

    auto firstMember = [&](auto accept) -> const Member* {
        for (const Member& m : members)
            if (accept(QString::fromUtf8(m.name)))
                return &m;
        return nullptr;
    };
    const QString picture = job.skin + QStringLiteral(".jpg");
    const QString note = job.skin + QStringLiteral(".txt");
    if (const Member* m = firstMember(isPicture); m && !fileExistsAnyCase(skinsFolder, picture))
        result.preview = writeSideFile(skinsFolder + QLatin1Char('/') + picture, m->data);
    if (const Member* m =
            firstMember([](const QString& n) { return n.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive); });
        m && !fileExistsAnyCase(skinsFolder, note))
        result.note = writeSideFile(skinsFolder + QLatin1Char('/') + note, m->data);
    return result;
}

} // namespace kvr
