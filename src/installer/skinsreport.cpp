#include "installer/skinsreport.h"

#include "app/fileio.h"
#include "app/toolkit.h"
#include "installer/skinpackage.h"
#include "installer/slots.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

namespace kvr {

namespace {

struct ZipMemberInfo
{
    QString bare; // the name the member lands under in the game folder
    zip_uint64_t size = 0;
    zip_uint32_t crc = 0;
    bool unreadable = false; // encrypted or stored with a method that cannot be read
};

// The file members of a ZIP archive from its central directory, or false when it cannot be read.
bool readCentralDirectory(const QString& path, QList<ZipMemberInfo>& members)
{
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &error);
    if (!zip)
        return false;
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        if (zip_stat_index(zip, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS, &st) != 0 || !st.name)
            continue;
        ZipMemberInfo m;
        m.bare = memberBareName(QString::fromUtf8(st.name));
        if (m.bare.isEmpty() || m.bare == QLatin1String(".") || m.bare == QLatin1String(".."))
            continue;
        m.size = st.size;
        m.crc = st.crc;
        m.unreadable = st.encryption_method != ZIP_EM_NONE || !zip_compression_method_supported(st.comp_method, 0);
        members.append(m);
    }
    zip_discard(zip);
    return true;
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

// Why a package the lists show would not do what the player expects; "" when it would.
QString packageSuspicion(const QString& path, const QString& code)
{
    QList<ZipMemberInfo> members;
    if (!readCentralDirectory(path, members))
        return QStringLiteral("Not readable as a ZIP archive: installing it unpacks nothing.");
    const QString prefix = QLatin1Char('P') + code;
    bool hasSlotFile = false;
    QStringList leftovers, otherSlots, unreadable;
    for (const ZipMemberInfo& m : members) {
        const bool slotFile = m.bare.startsWith(prefix, Qt::CaseInsensitive);
        hasSlotFile = hasSlotFile || slotFile;
        if (!slotFile) {
            // Another slot's file is removed only by that slot's change; anything else stays for good.
            const bool other = !skinFileSlotCode(m.bare).isEmpty();
            QStringList& list = other ? otherSlots : leftovers;
            if (!list.contains(m.bare))
                list.append(m.bare);
        }
        if (m.unreadable)
            unreadable.append(m.bare);
    }
    QStringList reasons;
    if (!hasSlotFile)
        reasons << QStringLiteral("Holds no ") + prefix +
                       QStringLiteral(" file: installing it only deletes the slot's skin.");
    if (!leftovers.isEmpty())
        reasons << QStringLiteral("Holds files that no slot change removes again from the game folder: ") +
                       joinNames(leftovers) + QLatin1Char('.');
    if (!otherSlots.isEmpty())
        reasons << QStringLiteral("Holds another slot's files, which installing it overwrites in that slot: ") +
                       joinNames(otherSlots) + QLatin1Char('.');
    if (!unreadable.isEmpty())
        reasons << QStringLiteral("Holds encrypted or damaged members, which installing skips: ") +
                       joinNames(unreadable) + QLatin1Char('.');
    return reasons.join(QLatin1Char(' '));
}

bool validEncoding(const QByteArray& name)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder.decode(name);
    return !decoder.hasError() && !decoded.isEmpty();
}

} // namespace

QList<ReportProblem> skinsFolderProblems(const QString& skinsFolder)
{
    QList<ReportProblem> problems;
    const QByteArray folder = QFile::encodeName(skinsFolder);
    DirStream dir(skinsFolder);
    if (!dir.isOpen())
        return problems;
    struct Entry
    {
        QByteArray raw;
        QString name;
    };
    QList<Entry> files;
    while (const dirent* e = dir.next()) {
        const QByteArray raw(e->d_name);
        if (raw == "." || raw == "..")
            continue;
        struct stat st;
        const QByteArray full = folder + '/' + raw;
        if (::stat(full.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        files.append({raw, QFile::decodeName(raw)});
    }
    std::sort(files.begin(), files.end(), [](const Entry& a, const Entry& b) {
        const int c = a.name.compare(b.name, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.raw < b.raw;
    });

    // The skin names that have a package, for the pictures and notes.
    QSet<QString> packaged;
    for (const Entry& f : files)
        if (f.name.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive) && hasSkinName(f.name))
            packaged.insert(skinName(f.name).toLower());

    for (const Entry& f : files) {
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
        const QString code = packageSlotCode(name);
        if (code.isEmpty()) {
            add(QStringLiteral("Listed nowhere: the name does not start with one of the 30 slot codes and \"_\"."));
            continue;
        }
        const QString suspicion = packageSuspicion(skinsFolder + QLatin1Char('/') + name, code);
        if (!suspicion.isEmpty())
            add(suspicion);
    }
    return problems;
}

SlotState installedState(const QString& skinsFolder, const QString& gameFolder, const QString& code,
                         const QString& skin)
{
    SlotState state{code, skin, {}, false};
    const QString package = findFile(packagePath(skinsFolder, code, skin));
    QList<ZipMemberInfo> members;
    if (skinsFolder.isEmpty() || !QFileInfo(package).isFile() || !readCentralDirectory(package, members)) {
        state.state = QStringLiteral("package not found");
        return state;
    }
    // A later member of the same bare name wins, as when unpacking.
    QHash<QString, ZipMemberInfo> expected;
    QStringList order;
    for (const ZipMemberInfo& m : members) {
        if (m.unreadable)
            continue;
        const QString key = m.bare.toLower();
        if (!expected.contains(key))
            order.append(key);
        expected.insert(key, m);
    }
    int missing = 0, differ = 0;
    for (const QString& key : order) {
        const ZipMemberInfo& m = expected[key];
        const QString onDisk = findFile(gameFolder + QLatin1Char('/') + m.bare);
        // Only a regular file can hold what the package installed; opening a pipe would wait forever.
        QFile file(onDisk);
        if (!QFileInfo(onDisk).isFile() || !file.open(QIODevice::ReadOnly)) {
            ++missing;
            continue;
        }
        if (static_cast<zip_uint64_t>(file.size()) != m.size) {
            ++differ;
            continue;
        }
        uLong crc = crc32(0, nullptr, 0);
        while (!file.atEnd()) {
            const QByteArray chunk = file.read(qint64{1024} * 1024);
            if (chunk.isEmpty())
                break;
            crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.constData()), static_cast<uInt>(chunk.size()));
        }
        if (crc != m.crc)
            ++differ;
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
