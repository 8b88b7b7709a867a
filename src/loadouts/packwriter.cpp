// Writing a pack: a ZIP of stored members, streamed a piece at a time into a file the write door
// names only once it is whole.
#include "loadouts/pack.h"

#include "app/fileio.h"
#include "app/toolkit.h"
#include "catalogue/skinpackage.h"
#include "catalogue/slots.h"
#include "installer/importer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace kvr {

namespace {

constexpr size_t kPiece = size_t{1} << 20;
// Written without ZIP64 records, so every offset and size fits 32 bits.
constexpr qint64 kPackMax = qint64{0xFFFFFFFF} - (qint64{1} << 20);
const QByteArray kPackTempPattern = ".kvrpack-XXXXXX.tmp";

void put16(QByteArray& out, quint32 v)
{
    out.append(static_cast<char>(v & 0xFF)).append(static_cast<char>((v >> 8) & 0xFF));
}
void put32(QByteArray& out, quint32 v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A ZIP whose members are stored, never compressed: each member's header goes first with the
// size known from the file, its CRC put in once the data has been copied.
class StoredZip
{
public:
    explicit StoredZip(FolderFile& file) : m_file(file)
    {
        const QDateTime now = QDateTime::currentDateTime();
        const QDate d = now.date();
        const QTime t = now.time();
        m_dosDate = static_cast<quint16>(((std::max(d.year(), 1980) - 1980) << 9) | (d.month() << 5) | d.day());
        m_dosTime = static_cast<quint16>((t.hour() << 11) | (t.minute() << 5) | (t.second() / 2));
    }

    bool begin(const QByteArray& name, quint32 size)
    {
        m_entries.append({name, 0, size, static_cast<quint32>(m_offset)});
        m_crc = crc32(0, nullptr, 0);
        m_written = 0;
        QByteArray header;
        put32(header, 0x04034b50);
        putCommon(header, m_entries.last());
        header.append(name);
        return write(header.constData(), header.size());
    }
    bool data(const char* bytes, qsizetype size)
    {
        m_crc = crc32(m_crc, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(size));
        m_written += size;
        return write(bytes, size);
    }
    // The member's CRC into its header; false when the data was not the size the header says.
    bool end()
    {
        Entry& entry = m_entries.last();
        if (m_written != entry.size)
            return false;
        entry.crc = static_cast<quint32>(m_crc);
        QByteArray crc;
        put32(crc, entry.crc);
        return ::pwrite(m_file.fd(), crc.constData(), 4, entry.offset + 14) == 4;
    }
    quint32 crc() const { return m_entries.last().crc; }
    quint32 size() const { return m_entries.last().size; }

    bool finish()
    {
        QByteArray directory;
        for (const Entry& e : m_entries) {
            put32(directory, 0x02014b50);
            put16(directory, 0x031E); // made on Unix, version 3.0
            putCommon(directory, e);
            put16(directory, 0); // comment
            put16(directory, 0); // disk
            put16(directory, 0); // internal attributes
            put32(directory, quint32{0100644} << 16);
            put32(directory, e.offset);
            directory.append(e.name);
        }
        const auto directorySize = static_cast<quint32>(directory.size());
        put32(directory, 0x06054b50);
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, static_cast<quint32>(m_entries.size()));
        put16(directory, static_cast<quint32>(m_entries.size()));
        put32(directory, directorySize);
        put32(directory, static_cast<quint32>(m_offset));
        put16(directory, 0);
        return write(directory.constData(), directory.size());
    }

private:
    struct Entry
    {
        QByteArray name;
        quint32 crc;
        quint32 size;
        quint32 offset;
    };
    // From "version needed" to "extra field length", alike in both headers.
    void putCommon(QByteArray& out, const Entry& e) const
    {
        put16(out, 10);     // version needed: stored
        put16(out, 0x0800); // names in UTF-8
        put16(out, 0);      // stored
        put16(out, m_dosTime);
        put16(out, m_dosDate);
        put32(out, e.crc);
        put32(out, e.size);
        put32(out, e.size);
        put16(out, static_cast<quint32>(e.name.size()));
        put16(out, 0);
    }
    bool write(const char* bytes, qsizetype size)
    {
        m_offset += size;
        return m_offset <= kPackMax && m_file.write(bytes, size);
    }

    FolderFile& m_file;
    QList<Entry> m_entries;
    qint64 m_offset = 0;
    qint64 m_written = 0;
    uLong m_crc = 0;
    quint16 m_dosDate = 0;
    quint16 m_dosTime = 0;
};

struct Item
{
    QString member;
    QString path;
    int slotIndex = -1; // the loadout slot a package describes; -1 for a picture or note
};

// The packages the loadout names, as the skins folder holds them, and their pictures and notes;
// the slots whose package is missing are taken out of `packed`.
QList<Item> packItems(Loadout& packed, const QString& localSkinsFolder, QStringList& leftOut)
{
    const PackageFolder packages(localSkinsFolder);
    QList<Item> items;
    QSet<QString> taken;
    for (const Slot& s : slotTable()) {
        const auto i = static_cast<size_t>(s.number - 1);
        LoadoutSlot& slot = packed.entries[i];
        if (!slot.understood()) {
            slot = {};
            continue;
        }
        if (slot.skin == kDefaultSkin)
            continue;
        const std::optional<PackageId> found = packages.find(slot.package.file);
        if (!found) {
            leftOut.append(slotTitle(s) + QStringLiteral(": ") + slot.skin);
            slot = {};
            continue;
        }
        items.append({found->file, localSkinsFolder + QLatin1Char('/') + found->file, static_cast<int>(i)});
        for (const QString& name :
             QStringList{slot.skin + QStringLiteral(".jpg"), slot.skin + QStringLiteral(".txt")}) {
            const QFileInfo side(findFile(localSkinsFolder + QLatin1Char('/') + name));
            if (side.isFile() && side.size() <= kImportSideFileMax && !taken.contains(name.toCaseFolded())) {
                taken.insert(name.toCaseFolded());
                items.append({name, side.filePath(), -1});
            }
        }
    }
    return items;
}

// Copies one file into the pack as a member; "" when done, else why not.
QString copyMember(StoredZip& zip, const Item& item, const std::atomic<bool>& cancel, qint64& done, qint64 total,
                   const PackProgress& progress)
{
    const UniqueFd in(::open(QFile::encodeName(item.path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st
    {
    };
    if (!in.isValid() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return item.member + QStringLiteral(" cannot be read");
    if (st.st_size > kPackMax || !zip.begin(item.member.toUtf8(), static_cast<quint32>(st.st_size)))
        return QStringLiteral("the pack cannot be written (full disk, or over 4 GiB?)");
    std::vector<char> piece(kPiece);
    for (;;) {
        if (cancel)
            return QStringLiteral("cancelled");
        const ssize_t n = ::read(in.get(), piece.data(), piece.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return item.member + QStringLiteral(" cannot be read");
        if (n == 0)
            break;
        if (!zip.data(piece.data(), n))
            return QStringLiteral("the pack cannot be written (full disk, or over 4 GiB?)");
        done += n;
        if (progress)
            progress(done, total);
    }
    return zip.end() ? QString() : item.member + QStringLiteral(" changed while it was being packed");
}

} // namespace

QStringList packDoubts(const Loadout& loadout, const LoadoutCheck& checks)
{
    QStringList doubts;
    for (const Slot& s : slotTable()) {
        const SlotCheck& check = checks[static_cast<size_t>(s.number - 1)];
        if (check.status == SlotStatus::PackageMissing || check.status == SlotStatus::PackageDiffers ||
            check.status == SlotStatus::SkinGone)
            doubts.append(slotTitle(s) + QStringLiteral(" ") + loadout.entries[static_cast<size_t>(s.number - 1)].skin +
                          QStringLiteral(": ") + statusText(check.status));
    }
    return doubts;
}

PackWritten writePack(const Loadout& loadout, const QString& localSkinsFolder, const QString& localTarget,
                      const std::atomic<bool>& cancel, const PackProgress& progress)
{
    PackWritten result;
    auto fail = [&](const QString& problem) {
        result.cancelled = cancel;
        result.problem = cancel ? QStringLiteral("cancelled") : problem;
        return result;
    };
    Loadout packed = loadout;
    packed.notUnderstood.clear();
    const QList<Item> items = packItems(packed, localSkinsFolder, result.leftOut);
    qint64 total = 0;
    for (const Item& item : items)
        total += QFileInfo(item.path).size();

    // Through the write door: the folder the player chose, resolved once, the file named last.
    const QFileInfo target(localTarget);
    const UniqueFd folder = openFolder(target.absoluteDir().canonicalPath());
    FolderFile file(folder.get(), kPackTempPattern);
    if (!file.isOpen())
        return fail(QStringLiteral("the folder cannot be written: ") + Error::fromErrno(errno).description());
    StoredZip zip(file);
    qint64 done = 0;
    if (progress)
        progress(0, total);
    for (const Item& item : items) {
        if (const QString problem = copyMember(zip, item, cancel, done, total, progress); !problem.isEmpty())
            return fail(problem);
        if (item.slotIndex >= 0) {
            PackageId& id = packed.entries[static_cast<size_t>(item.slotIndex)].package;
            id = {item.member, zip.size(), zip.crc()};
        }
    }
    const QByteArray bytes = loadoutBytes(packed);
    if (!zip.begin((packed.name + kLoadoutExtension).toUtf8(), static_cast<quint32>(bytes.size())) ||
        !zip.data(bytes.constData(), bytes.size()) || !zip.end() || !zip.finish())
        return fail(QStringLiteral("the pack cannot be written (full disk?)"));
    if (cancel)
        return fail({});
    if (const int error = file.commit(QFile::encodeName(target.fileName()), Existing::Replace))
        return fail(QStringLiteral("the pack cannot be put in place: ") + Error::fromErrno(error).description());
    result.written = true;
    return result;
}

} // namespace kvr
