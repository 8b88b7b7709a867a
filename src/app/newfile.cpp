#include "app/newfile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace kvr {

namespace {
std::atomic<bool> g_hiddenTemporaries{false};

// Eight hex digits of their own for each hidden name: a random stem per process mixed with a
// counter, so none repeats within the process. O_EXCL (or link's refusal to replace) settles any
// clash with another process's files.
std::string hiddenName(const std::string& pattern)
{
    static const unsigned stem = [] {
        unsigned random = 0;
        if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
            random = static_cast<unsigned>(::getpid()) * 2654435761u;
        return random;
    }();
    static std::atomic<unsigned> counter{0};
    char unique[12];
    std::snprintf(unique, sizeof unique, "%08x", stem ^ (++counter * 2654435761u));
    std::string name = pattern;
    if (const size_t at = name.find("XXXXXX"); at != std::string::npos)
        name.replace(at, 6, unique);
    else
        name += unique;
    return name;
}
} // namespace

void forceHiddenTemporaries(bool on)
{
    g_hiddenTemporaries = on;
}

bool unnamedTemporaries()
{
    static const bool usable = ::access("/proc/self/fd", F_OK) == 0;
    return usable && !g_hiddenTemporaries;
}

bool writeAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return fd >= 0;
}

NewFile::NewFile(int folderFd, const char* tempPattern) : m_folder(folderFd), m_pattern(tempPattern)
{
    if (unnamedTemporaries()) {
        m_fd = ::openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        m_unnamed = m_fd >= 0;
        if (m_unnamed || folderFd < 0)
            return;
    }
    takeHiddenName();
}

NewFile::~NewFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_placed && !m_hidden.empty())
        ::unlinkat(m_folder, m_hidden.c_str(), 0);
}

void NewFile::startFlush() const
{
    ::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool NewFile::linkUnnamed(const char* name) const
{
    // Linking by descriptor spares the kernel a walk through /proc per file. Kernels before 6.10
    // allow it to privileged processes only; /proc then serves, from then on.
    static std::atomic<bool> byDescriptor{true};
    if (byDescriptor) {
        if (::linkat(m_fd, "", m_folder, name, AT_EMPTY_PATH) == 0)
            return true;
        if (errno != ENOENT && errno != EPERM)
            return false;
        byDescriptor = false;
    }
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", m_fd);
    return ::linkat(AT_FDCWD, path, m_folder, name, AT_SYMLINK_FOLLOW) == 0;
}

bool NewFile::takeHiddenName()
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::string name = hiddenName(m_pattern);
        if (m_unnamed ? linkUnnamed(name.c_str())
                      : (m_fd = ::openat(m_folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                         0666)) >= 0) {
            m_hidden = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

int NewFile::place(const char* name, Existing existing, bool flush)
{
    if (!isOpen())
        return EBADF;
    if (m_placed)
        return EEXIST;
    if (flush && ::fsync(m_fd) != 0)
        return errno;
    const auto placed = [this, flush] {
        m_placed = true;
        m_hidden.clear();
        if (flush)
            ::fsync(m_folder);
        return 0;
    };
    // A name new to the folder: linked in whole, in one step; link never replaces what is there.
    if (m_unnamed && m_hidden.empty() && existing != Existing::Replace) {
        if (linkUnnamed(name))
            return placed();
        if (errno != EEXIST || existing == Existing::Keep)
            return errno;
    }
    if (existing == Existing::Keep) {
        if (::linkat(m_folder, m_hidden.c_str(), m_folder, name, 0) != 0)
            return errno;
        ::unlinkat(m_folder, m_hidden.c_str(), 0);
        return placed();
    }
    // rename replaces whatever stands at the name, a link by the file itself, in one step.
    if (m_hidden.empty() && !takeHiddenName())
        return errno;
    if (::renameat(m_folder, m_hidden.c_str(), m_folder, name) != 0)
        return errno;
    return placed();
}

bool NewFile::close()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd >= 0 && ::close(fd) == 0;
}

} // namespace kvr
