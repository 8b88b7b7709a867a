#include "app/folderlock.h"

#include "app/filelock.h"
#include "app/guarded.h"
#include "app/logging.h"

#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {

Guarded<LockWait>& installedWait()
{
    static Guarded<LockWait> wait;
    return wait;
}

} // namespace

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

LockWait setLockWait(LockWait wait)
{
    return installedWait().exchange(std::move(wait));
}

LockWait installedLockWait()
{
    return installedWait().get();
}

LockWait lockWaitFor(std::chrono::milliseconds limit)
{
    return [limit](const QString& /*waitingFor*/, const std::function<bool()>& tryLock) {
        return lockedWithin(limit, tryLock);
    };
}

LockWait lockWaitUntilCancelled(const std::atomic<bool>& cancel, std::function<void(const QString& waitingFor)> waiting)
{
    return [&cancel, waiting = std::move(waiting)](const QString& waitingFor, const std::function<bool()>& tryLock) {
        if (waiting)
            waiting(waitingFor);
        while (!cancel) {
            if (tryLock()) {
                if (waiting)
                    waiting(QString());
                return true;
            }
            QThread::msleep(50);
        }
        return false;
    };
}

std::unique_ptr<FolderLock> lockGameFolder(const QString& localFolder, const LockWait& wait)
{
    auto lock = std::make_unique<FolderLock>(localFolder);
    if (lock->tryLock())
        return lock;
    const QString waitingFor =
        QStringLiteral("Another program is using the game folder \"%1\".\nWaiting for it to let go of it...")
            .arg(localFolder);
    if (!(wait ? wait : lockWaitFor(std::chrono::seconds(10)))(waitingFor, [&lock] { return lock->tryLock(); }))
        return nullptr;
    return lock;
}

} // namespace kvr
