#include "extract/zip_target.h"

#include "extract/zip_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kvr::unzip32 {

TargetFolder::~TargetFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TargetFolder::open(const std::string& path)
{
    // The folder itself may be reached through links (a Wine prefix's drive links, say).
    m_fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    const int listFd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return false;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            remember(name);
    }
    ::closedir(dir);
    return true;
}

std::string TargetFolder::destinationFor(const std::string& bare) const
{
    if (m_names.count(bare))
        return bare;
    const auto found = m_byFoldedName.find(foldCase(bare));
    return found != m_byFoldedName.end() ? found->second : bare;
}

void TargetFolder::remember(const std::string& name)
{
    m_names.insert(name);
    auto [slot, added] = m_byFoldedName.emplace(foldCase(name), name);
    if (!added && name < slot->second)
        slot->second = name;
}

TargetFolder::Existing TargetFolder::inspect(const std::string& name, struct stat& info) const
{
    if (!m_names.count(name))
        return Existing::None;
    if (::fstatat(m_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return Existing::None;
    if (S_ISLNK(info.st_mode))
        return Existing::Replaceable;
    return S_ISDIR(info.st_mode) ? Existing::NotAFile : Existing::Replaceable;
}

namespace {
std::atomic<bool> g_hiddenTemporaries{false};
} // namespace

void forceHiddenTemporaries(bool on)
{
    g_hiddenTemporaries = on;
}

bool unnamedTemporaries()
{
    // Linking an unnamed file in may need its /proc path, so unnamed files are used only where /proc is.
    static const bool usable = ::access("/proc/self/fd", F_OK) == 0;
    return usable && !g_hiddenTemporaries;
}

PendingFile::PendingFile(int folderFd) : m_folderFd(folderFd)
{
    if (unnamedTemporaries()) {
        // Files get 0666 less the umask, as any file the user creates.
        m_fd = ::openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            m_unnamed = true;
            return;
        }
    }
    takeHiddenName(false);
}

bool PendingFile::linkUnnamed(const char* name) const
{
    // Linking by descriptor spares the kernel a walk through /proc per member. Kernels before
    // 6.10 allow it to privileged processes only; /proc then serves, from then on.
    static std::atomic<bool> byDescriptor{true};
    if (byDescriptor) {
        if (::linkat(m_fd, "", m_folderFd, name, AT_EMPTY_PATH) == 0)
            return true;
        if (errno != ENOENT && errno != EPERM)
            return false;
        byDescriptor = false;
    }
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", m_fd);
    return ::linkat(AT_FDCWD, path, m_folderFd, name, AT_SYMLINK_FOLLOW) == 0;
}

bool PendingFile::takeHiddenName(bool unnamed)
{
    // One random stem per load of the library, then a counter; O_EXCL (or link's refusal to
    // replace) settles any clash with another process's files.
    static const unsigned stem = [] {
        unsigned random = 0;
        if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
            random = static_cast<unsigned>(::getpid()) * 2654435761u;
        return random;
    }();
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 64; ++attempt) {
        char name[40];
        std::snprintf(name, sizeof name, ".unzip32-%08x-%u.tmp", stem, ++counter);
        if (unnamed) {
            if (linkUnnamed(name)) {
                m_name = name;
                return true;
            }
        } else {
            // Created, never opened through an existing entry.
            m_fd = ::openat(m_folderFd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (m_fd >= 0) {
                m_name = name;
                return true;
            }
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

PendingFile::~PendingFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_name.empty())
        ::unlinkat(m_folderFd, m_name.c_str(), 0);
}

bool PendingFile::commit(const std::string& name, std::time_t modified, bool replacing)
{
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    ::futimens(m_fd, times); // a file system that keeps no times still gets the content

    if (m_unnamed) {
        // A name new to the folder: linked in whole, in one step.
        if (!replacing && linkUnnamed(name.c_str())) {
            const int closed = ::close(m_fd);
            m_fd = -1;
            return closed == 0;
        }
        // Replacing a file (or the name appeared meanwhile): a hidden name to rename from.
        if (!takeHiddenName(true))
            return false;
    }
    const int closed = ::close(m_fd);
    m_fd = -1;
    if (closed != 0)
        return false;
    // rename replaces a link at the destination by the file itself: the link is never followed.
    if (::renameat(m_folderFd, m_name.c_str(), m_folderFd, name.c_str()) != 0)
        return false;
    m_name.clear();
    return true;
}

bool writeAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace kvr::unzip32
