#include "app/fileio.h"

#include "app/toolkit.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

void UniqueFd::reset(int fd) noexcept
{
    // Linux releases the descriptor even when close() is interrupted, so it is never retried.
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

DirStream::DirStream(const QString& localPath) : m_dir(::opendir(QFile::encodeName(localPath).constData()))
{
    if (!m_dir)
        m_error = errno;
}

DirStream::DirStream(int folderFd)
{
    const int own = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    m_dir = own >= 0 ? ::fdopendir(own) : nullptr;
    if (!m_dir) {
        m_error = errno;
        if (own >= 0)
            ::close(own);
    }
}

DirStream::~DirStream()
{
    if (m_dir)
        ::closedir(m_dir);
}

int DirStream::fd() const noexcept
{
    return m_dir ? ::dirfd(m_dir) : -1;
}

const dirent* DirStream::next() noexcept
{
    return m_dir ? ::readdir(m_dir) : nullptr;
}

bool writeWhole(int fd, const QByteArray& bytes)
{
    return writeAll(fd, bytes.constData(), static_cast<size_t>(bytes.size())) && ::fsync(fd) == 0;
}

bool writeDurably(UniqueFd fd, const QByteArray& bytes)
{
    const bool ok = writeWhole(fd.get(), bytes);
    return fd.isValid() && ::close(fd.release()) == 0 && ok;
}

QString FileRead::message() const
{
    switch (status) {
    case Status::Read:
        return {};
    case Status::TooLarge:
        return QStringLiteral("File too large");
    case Status::NotRegularFile:
        // What the game's platform says when a folder or device stands where a file is asked for.
        return QStringLiteral("File not found");
    case Status::Failed:
        break;
    }
    return Error::fromErrno(error).description();
}

FileRead readRegularFile(const QString& localPath, qint64 limit, Links links)
{
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (links == Links::Refuse ? O_NOFOLLOW : 0);
    const UniqueFd fd(::open(QFile::encodeName(localPath).constData(), flags));
    if (!fd.isValid()) {
        FileRead result;
        result.error = errno;
        return result;
    }
    return readRegularFd(fd.get(), limit);
}

FileRead readRegularFd(int fd, qint64 limit)
{
    FileRead result;
    // Nothing read whole here comes near a gigabyte; the bound keeps limit + 1 in range.
    limit = std::clamp<qint64>(limit, 0, qint64{1} << 30);
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0) {
        result.error = errno;
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.status = FileRead::Status::NotRegularFile;
        return result;
    }

    // Room for one byte past the limit, to tell a file that is too large (or grew since the
    // stat) without reading more of it. Some files (under /proc) report no size at all.
    const qint64 wanted = std::min<qint64>(std::max<qint64>(st.st_size, 4095), limit) + 1;
    QByteArray& bytes = result.data;
    bytes.resize(static_cast<qsizetype>(wanted));
    qsizetype size = 0;
    for (;;) {
        if (size == bytes.size()) {
            if (size > limit)
                break;
            bytes.resize(static_cast<qsizetype>(std::min<qint64>(2 * static_cast<qint64>(size), limit + 1)));
        }
        const ssize_t n = ::read(fd, bytes.data() + size, static_cast<size_t>(bytes.size() - size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.error = errno;
            bytes.clear();
            return result;
        }
        if (n == 0)
            break;
        size += n;
    }
    if (size > limit) {
        bytes.truncate(static_cast<qsizetype>(limit));
        result.status = FileRead::Status::TooLarge;
        return result;
    }
    bytes.truncate(size);
    result.status = FileRead::Status::Read;
    return result;
}

UniqueFd openFolder(const QString& localPath)
{
    return UniqueFd(::open(QFile::encodeName(localPath).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

int FolderFile::commit(const QByteArray& name, Existing existing)
{
    struct stat old
    {
    };
    if (isOpen() && existing == Existing::Replace &&
        ::fstatat(m_folder, name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode) &&
        ::fchmod(fd(), old.st_mode & 07777) != 0)
        return errno;
    return m_file.place(name.constData(), existing, true);
}

int writeFileIn(int folderFd, const QByteArray& name, const QByteArray& bytes, Existing existing,
                const QByteArray& tempPattern)
{
    FolderFile file(folderFd, tempPattern);
    if (!file.isOpen())
        return errno ? errno : EBADF;
    if (!file.write(bytes.constData(), bytes.size()))
        return errno ? errno : EIO;
    return file.commit(name, existing);
}

} // namespace kvr
