// The target folder of an extraction and the hidden files members are written to before they
// take their real name. Every file operation is relative to the folder's descriptor and every
// name is a bare name, so nothing can be written anywhere else.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace kvr::unzip32 {

class TargetFolder
{
public:
    TargetFolder() = default;
    ~TargetFolder();
    TargetFolder(const TargetFolder&) = delete;
    TargetFolder& operator=(const TargetFolder&) = delete;

    // False when the path names no folder; a missing folder is never created.
    bool open(const std::string& path);
    int fd() const { return m_fd; }

    // The entry a member of this bare name replaces: the entry of that exact name, else the
    // first entry in byte order spelt the same but for case, else the bare name itself.
    // So the folder never ends up holding two spellings of one file.
    std::string destinationFor(const std::string& bare) const;
    void remember(const std::string& name);

    enum class Existing {
        None,
        Replaceable, // a file, read-only or not, or a link, which is replaced and never followed
        NotAFile,    // a folder
    };
    // Names the folder has not held since it was read are known to be new without a look.
    Existing inspect(const std::string& name, struct stat& info) const;

private:
    int m_fd = -1;
    std::unordered_set<std::string> m_names;
    std::unordered_map<std::string, std::string> m_byFoldedName;
};

// A freshly created file in the target folder that takes its real name only once it is whole,
// so a member that fails leaves neither a half-written file nor a stray temporary behind.
// Where the file system offers it the file is unnamed (O_TMPFILE): a name new to the folder is
// then linked in at once, one directory operation, and a process killed midway leaves nothing.
// Otherwise, and when it replaces a file, it goes through a hidden name renamed over the old one.
// forceHiddenTemporaries(true) makes it always take the hidden name, as on file systems without
// unnamed files, so that path can be tried anywhere.
void forceHiddenTemporaries(bool on);

class PendingFile
{
public:
    explicit PendingFile(int folderFd);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Stamps the modification time and gives the file its name, replacing what is there.
    bool commit(const std::string& name, std::time_t modified, bool replacing);

private:
    // Gives the file a fresh hidden name: created (named file) or linked (unnamed file).
    bool takeHiddenName(bool unnamed);
    // Links the unnamed file in under `name`, which must not exist.
    bool linkUnnamed(const char* name) const;

    int m_folderFd;
    int m_fd = -1;
    bool m_unnamed = false;
    std::string m_name;
};

// Whether pending files start unnamed (where the file system allows them: they may still fall
// back to hidden names there).
bool unnamedTemporaries();

// Writes all of `size` bytes, retrying short writes.
bool writeAll(int fd, const void* data, size_t size);

} // namespace kvr::unzip32
