// The one way a file is written into a folder the user named (skins folder, game folder, program
// folder), by the program and by the extraction library alike: the file is made inside the
// folder, unnamed where the file system allows (else under a hidden name made with O_EXCL, so
// never through a link), and given its name only once whole, relative to the folder's descriptor.
// A link standing at that name is replaced, never written through; nothing is ever made outside
// the folder; a kill never leaves a half-written file under the name. No Qt here: the extraction
// library is built on it too.
#pragma once

#include <cstddef>
#include <string>

namespace kvr {

// What stands at the name when the file is put in place.
enum class Existing {
    Replace, // replaced whole, a link as well
    Keep,    // placing fails with EEXIST: never takes the place of a file made meanwhile
    Absent,  // most likely nothing: linked straight in where it can be, else replaced as Replace
};

// The hidden names the game folder's lock clears after a kill: eight hex digits, a dash, a number.
inline constexpr const char* kGameFolderTempPattern = ".unzip32-XXXXXX-0.tmp";

// Unnamed files need /proc to be linked in on older kernels; without it, or when forced (to try
// the path of file systems that lack them), every new file takes a hidden name.
void forceHiddenTemporaries(bool on);
bool unnamedTemporaries();

// Writes all of `size` bytes, retrying short writes; false on any failure (a full disk).
bool writeAll(int fd, const void* data, std::size_t size);

class NewFile
{
public:
    // A new, empty file in the open folder, of mode 0666 less the umask. `tempPattern` names the
    // hidden file where one is needed, "XXXXXX" standing for eight hex digits of its own. Not open, with
    // errno set, when no file can be made.
    NewFile(int folderFd, const char* tempPattern);
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    // A file never placed goes, unnamed or hidden alike.
    ~NewFile();

    bool isOpen() const noexcept { return m_fd >= 0; }
    int fd() const noexcept { return m_fd; }
    bool write(const void* data, std::size_t size) const { return writeAll(m_fd, data, size); }
    // Sets the bytes going to disk without waiting for them, so the flushes of several files overlap.
    void startFlush() const;

    // Gives the file `name` in the folder: 0 when done, else the errno (EEXIST for Keep and a
    // taken name); a failed placing may be tried again with another name. `flush` has the bytes,
    // then the name, reach the disk; without it the caller flushes (or does without).
    int place(const char* name, Existing existing, bool flush);
    // Closes the file once placed; false when the closing failed (a write lost on its way).
    bool close();

private:
    // Gives the file a fresh hidden name: made new (no unnamed file) or linked (unnamed file).
    bool takeHiddenName();
    bool linkUnnamed(const char* name) const;

    int m_folder;
    int m_fd = -1;
    bool m_unnamed = false;
    bool m_placed = false;
    std::string m_pattern;
    std::string m_hidden; // the hidden name the file has; empty for an unnamed file
};

} // namespace kvr
