#include "history/blobcopy.h"

#include "app/fileio.h"
#include "app/newfile.h"
#include "history/hashing.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {

constexpr size_t kChunk = size_t{1} << 20;

bool copyBytes(int from, int to)
{
    QByteArray buffer(qsizetype(kChunk), Qt::Uninitialized);
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(from, buffer.data(), kChunk, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!writeAll(to, buffer.constData(), static_cast<size_t>(got)))
            return false;
        offset += got;
    }
}

} // namespace

bool copyIntoBlobs(int from, int blobsFd, const QByteArray& temporary)
{
    const UniqueFd copy(
        ::openat(blobsFd, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!copy.isValid())
        return false;
    if ((::ioctl(copy.get(), FICLONE, from) == 0 || copyBytes(from, copy.get())) && ::fsync(copy.get()) == 0)
        return true;
    const int err = errno;
    ::unlinkat(blobsFd, temporary.constData(), 0);
    errno = err;
    return false;
}

BlobCopy writeBackFromBlob(int blobsFd, int folderFd, const HistoryFile& file, std::unique_ptr<NewFile>& staged)
{
    const UniqueFd blob(::openat(blobsFd, file.hash.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st
    {
    };
    if (!blob.isValid() || ::fstat(blob.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != file.size)
        return BlobCopy::Damaged;
    staged = std::make_unique<NewFile>(folderFd, kGameFolderTempPattern);
    if (!staged->isOpen())
        return BlobCopy::Failed;
    Sha256 sha;
    QByteArray buffer(qsizetype(kChunk), Qt::Uninitialized);
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(blob.get(), buffer.data(), kChunk, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return BlobCopy::Damaged;
        if (got == 0)
            break;
        sha.add(buffer.constData(), size_t(got));
        if (!staged->write(buffer.constData(), size_t(got)))
            return BlobCopy::Failed;
        offset += got;
    }
    if (sha.hex() != file.hash)
        return BlobCopy::Damaged;
    const timespec times[2] = {{file.mtimeSec, file.mtimeNsec}, {file.mtimeSec, file.mtimeNsec}};
    if (::fchmod(staged->fd(), file.mode & 07777) != 0 || ::futimens(staged->fd(), times) != 0)
        return BlobCopy::Failed;
    staged->startFlush();
    return BlobCopy::Written;
}

} // namespace kvr
