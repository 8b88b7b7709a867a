// The target folder of an extraction and the hidden files members are written to before they
// take their real name. Every file operation is relative to the folder's descriptor and every
// name is a bare name, so nothing can be written anywhere else.
#pragma once

#include "app/newfile.h"

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

// Each member is written into a NewFile of the target folder under the hidden names the game
// folder's lock clears, and takes its name once whole.
bool placeMember(NewFile& file, const std::string& name, std::time_t modified, bool replacing);

} // namespace kvr::unzip32
