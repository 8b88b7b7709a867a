#include "extract/zip_target.h"

#include "extract/zip_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

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

bool placeMember(NewFile& file, const std::string& name, std::time_t modified, bool replacing)
{
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    ::futimens(file.fd(), times); // a file system that keeps no times still gets the content
    // Not flushed, one member at a time: that would cost the unpack most of its speed.
    return file.place(name.c_str(), replacing ? Existing::Replace : Existing::Absent, false) == 0 && file.close();
}

} // namespace kvr::unzip32
