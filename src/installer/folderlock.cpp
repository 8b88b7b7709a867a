#include "installer/folderlock.h"

#include "app/filelock.h"
#include "app/logging.h"

#include <QFile>
#include <QRegularExpression>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

FolderLock::FolderLock(const QString& localFolder)
{
    m_fd.reset(::open(QFile::encodeName(localFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool FolderLock::tryLock()
{
    if (!m_fd.isValid())
        return true;
    if (!tryLockExclusive(m_fd.get()))
        return false;
    static const QRegularExpression leftovers(QStringLiteral("^\\.unzip32-[0-9a-f]{8}-[0-9]+\\.tmp$"));
    removeRegularFiles(m_fd.get(), leftovers);
    return true;
}

void removeRegularFiles(int folderFd, const QRegularExpression& names)
{
    DirStream dir(folderFd);
    while (const dirent* entry = dir.next()) {
        if (!names.match(QFile::decodeName(entry->d_name)).hasMatch())
            continue;
        struct stat st
        {
        };
        if (::fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            ::unlinkat(folderFd, entry->d_name, 0) == 0)
            qCInfo(lcInstall, "removed the leftover %s", entry->d_name);
    }
}

} // namespace kvr
