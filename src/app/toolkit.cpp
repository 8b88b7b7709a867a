#include "app/toolkit.h"

#include "app/fileio.h"
#include "app/guarded.h"
#include "app/textcodec.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

Error Error::fromErrno(int err)
{
    switch (err) {
    case ENOENT:
        return Error(QStringLiteral("File not found"), err);
    case ENOTDIR:
        return Error(QStringLiteral("Path not found"), err);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EBUSY:
        return Error(QStringLiteral("Permission denied"), err);
    case ENOSPC:
    case EDQUOT:
        return Error(QStringLiteral("Disk full"), err);
    default:
        return Error(QString::fromLocal8Bit(std::strerror(err)), err);
    }
}

// ---- Program folder -------------------------------------------------------------------------

namespace {
Guarded<QString>& programFolderOverride()
{
    static Guarded<QString> folder;
    return folder;
}
} // namespace

QString programFolder()
{
    if (QString folder = programFolderOverride().get(); !folder.isEmpty())
        return folder;
    return QCoreApplication::applicationDirPath();
}

void setProgramFolder(const QString& folder)
{
    (void)programFolderOverride().exchange(folder);
}

// ---- Message boxes --------------------------------------------------------------------------

namespace {
Guarded<MsgBoxHandler>& msgBoxHandler()
{
    static Guarded<MsgBoxHandler> handler;
    return handler;
}
} // namespace

QString defaultMsgBoxTitle()
{
    return QStringLiteral("KVR Skin Installer v1.1");
}

int MsgBox(const QString& prompt, int style, const QString& title)
{
    const QString shownTitle = title.isEmpty() ? defaultMsgBoxTitle() : title;
    if (const MsgBoxHandler handler = msgBoxHandler().get())
        return handler(prompt, style, shownTitle);
    return vbOK;
}

MsgBoxHandler setMsgBoxHandler(MsgBoxHandler handler)
{
    return msgBoxHandler().exchange(std::move(handler));
}

void reportError(const char* routine, const Error& error)
{
    MsgBox(QString::fromLatin1(routine) + QStringLiteral(": ") + error.description(), vbExclamation);
}

// ---- Paths and files ------------------------------------------------------------------------

QString toLocalPath(const QString& path)
{
    QString local = path;
    local.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return local;
}

QString usableFolder(const QString& value)
{
    // The settings are read at most 254 characters long: a value of that length may be cut short
    // and name the parent of the folder the user chose.
    constexpr qsizetype kReadLimit = 254;
    if (value.isEmpty() || value.size() >= kReadLimit)
        return QString();
    QString path = value;
    // Drive C is "/" here.
    if (path.size() >= 2 && path[1] == QLatin1Char(':') && (path[0] == QLatin1Char('c') || path[0] == QLatin1Char('C')))
        path = path.size() == 2 ? QStringLiteral("/") : path.mid(2);
    const auto isAbsoluteFolder = [](const QString& candidate) {
        return candidate.startsWith(QLatin1Char('/')) && QFileInfo(candidate).isDir();
    };
    if (isAbsoluteFolder(path))
        return path;
    const QString local = toLocalPath(path);
    return isAbsoluteFolder(local) ? local : QString();
}

QString findFile(const QString& path)
{
    return findLocalFile(toLocalPath(path));
}

QString findLocalFile(const QString& local)
{
    if (QFileInfo::exists(local))
        return local;
    const qsizetype slash = local.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QStringLiteral(".") : (slash == 0 ? QStringLiteral("/") : local.left(slash));
    const QString name = local.mid(slash + 1);
    QString found;
    DirStream dir(folder);
    while (const dirent* entry = dir.next()) {
        const QString candidate = QFile::decodeName(entry->d_name);
        if (candidate.compare(name, Qt::CaseInsensitive) == 0 &&
            (found.isEmpty() || candidate.toUtf8() < found.toUtf8()))
            found = candidate;
    }
    return found.isEmpty() ? local : folder + QLatin1Char('/') + found;
}

namespace {

bool globMatch(QStringView pattern, QStringView name)
{
    qsizetype p = 0, n = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == QLatin1Char('?') || pattern[p].toCaseFolded() == name[n].toCaseFolded())) {
            ++p;
            ++n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

} // namespace

bool wildcardMatch(QStringView pattern, QStringView name)
{
    if (globMatch(pattern, name))
        return true;
    // "P*.*" also takes "PMOSQ": on the game's platform ".*" matches an absent extension.
    return pattern.endsWith(QLatin1String(".*")) && globMatch(pattern.chopped(2), name);
}

namespace {

// Larger files are cut here: a note or help text is for reading, and a window must stay usable.
constexpr qint64 kMaxTextFileBytes = qint64{16} * 1024 * 1024;

} // namespace

QString readTextFile(const QString& path)
{
    FileRead read = readRegularFile(findFile(path), kMaxTextFileBytes);
    if (read.status == FileRead::Status::TooLarge) {
        // Do not leave half a UTF-8 character at the cut.
        QByteArray& bytes = read.data;
        qsizetype end = bytes.size();
        while (end > 0 && (static_cast<unsigned char>(bytes[end - 1]) & 0xC0) == 0x80)
            --end;
        if (end > 0 && static_cast<unsigned char>(bytes[end - 1]) >= 0xC0)
            bytes.truncate(end - 1);
    } else if (!read.ok()) {
        throw Error(read.message());
    }
    return decodeText(read.data).text;
}

void deleteFiles(const QString& wildcardPath)
{
    const QString local = toLocalPath(wildcardPath);
    const qsizetype slash = local.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QStringLiteral(".") : (slash == 0 ? QStringLiteral("/") : local.left(slash));
    deleteFiles(folder, local.mid(slash + 1));
}

bool isReadOnlyFile(const struct stat& st)
{
    return S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR);
}

bool isProgramFileName(const QString& name)
{
    QStringList own{QStringLiteral("libunzip32.so"), QStringLiteral("KVRSI.INI"), QStringLiteral("readme.txt")};
    if (QCoreApplication::instance())
        own.append(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    for (const QString& file : std::as_const(own)) {
        if (!file.isEmpty() && name.compare(file, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

namespace {

bool isProgramFolder(int folderFd)
{
    const QString program = programFolder();
    struct stat folder
    {
    };
    struct stat own
    {
    };
    return !program.isEmpty() && ::fstat(folderFd, &folder) == 0 &&
           ::stat(QFile::encodeName(program).constData(), &own) == 0 && folder.st_dev == own.st_dev &&
           folder.st_ino == own.st_ino;
}

} // namespace

void deleteFiles(const QString& localFolder, const QString& pattern)
{
    DirStream dir(localFolder);
    if (!dir.isOpen())
        throw Error::fromErrno(ENOTDIR);
    const int dirFd = dir.fd();
    const bool programFolderItself = isProgramFolder(dirFd);

    int matched = 0;
    int firstFailure = 0;
    while (const dirent* entry = dir.next()) {
        if (entry->d_type == DT_DIR)
            continue;
        const QString name = QFile::decodeName(entry->d_name);
        if (!wildcardMatch(pattern, name))
            continue;
        struct stat st
        {
        };
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            continue;
        // A link to a folder is a folder to the user: left alone like one. A link to nothing goes.
        struct stat target
        {
        };
        if (S_ISLNK(st.st_mode) && ::fstatat(dirFd, entry->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode))
            continue;
        if (programFolderItself && isProgramFileName(name))
            continue;
        ++matched;
        if (isReadOnlyFile(st)) {
            if (!firstFailure)
                firstFailure = EACCES;
            continue;
        }
        // unlinkat removes a link itself and never what it points to.
        if (::unlinkat(dirFd, entry->d_name, 0) != 0 && !firstFailure)
            firstFailure = errno;
    }

    if (matched == 0)
        throw Error::fromErrno(ENOENT);
    if (firstFailure)
        throw Error::fromErrno(firstFailure);
}

void settleLocalTimeZone()
{
    if (!qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", ":/etc/localtime");
        ::tzset();
    }
}

} // namespace kvr
