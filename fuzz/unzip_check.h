// One run of the extraction fuzz target: the given bytes as a package, unpacked with the
// program's options into an empty folder that is alone in its parent. Shared with the test that
// replays the inputs the fuzzer once broke (tests/core/test_fuzz_regressions.cpp).
//
// What must hold: nothing crashes; nothing lands outside the folder (not beside it, not in the
// working folder, not in the package's folder, and the package keeps its bytes); the folder
// holds only regular files, no links and no subfolders; no temporary file is left in it.
#pragma once

#include "extract/program_call.h"
#include "extract/zip_layout.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kvrfuzz {

namespace unzip_detail {

inline std::vector<std::string> entriesOf(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const std::string& name : names)
        out += (out.empty() ? "" : " ") + name;
    return out;
}

// Empties a folder, subfolders included, without following links.
inline void removeContents(const std::string& folder)
{
    for (const std::string& name : entriesOf(folder)) {
        const std::string path = folder + "/" + name;
        struct stat info;
        if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            removeContents(path);
            ::rmdir(path.c_str());
        } else {
            ::unlink(path.c_str());
        }
    }
}

// The library's hidden temporary files: ".unzip32-<8 hex digits>-<counter>.tmp".
inline bool isTemporaryName(const std::string& name)
{
    const std::string head = ".unzip32-";
    const std::string tail = ".tmp";
    if (name.size() < head.size() + 10 + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string middle = name.substr(head.size(), name.size() - head.size() - tail.size());
    if (middle.size() < 10 || middle[8] != '-')
        return false;
    return std::all_of(middle.begin(), middle.begin() + 8,
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }) &&
           std::all_of(middle.begin() + 9, middle.end(), [](char c) { return c >= '0' && c <= '9'; });
}

inline bool writeWhole(const std::string& path, const uint8_t* data, size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    for (size_t done = 0; ok && done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    return ::close(fd) == 0 && ok;
}

inline bool sameBytes(const std::string& path, const uint8_t* data, size_t size)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<uint8_t> got(size + 1);
    size_t total = 0;
    for (ssize_t n; (n = ::read(fd, got.data() + total, got.size() - total)) > 0;)
        total += static_cast<size_t>(n);
    ::close(fd);
    return total == size && (size == 0 || std::memcmp(got.data(), data, size) == 0);
}

// Restores the working folder on the way out, whatever happened.
class WorkingFolder
{
public:
    explicit WorkingFolder(const std::string& path) : m_previous(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        m_entered = ::chdir(path.c_str()) == 0;
    }
    ~WorkingFolder()
    {
        if (m_previous >= 0) {
            // Going on in the wrong folder would spread files anywhere.
            if (::fchdir(m_previous) != 0)
                std::abort();
            ::close(m_previous);
        }
    }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;
    bool entered() const { return m_entered; }

private:
    int m_previous;
    bool m_entered = false;
};

} // namespace unzip_detail

// Runs the bytes through the checks in `work`, an empty folder of the caller's, with `unzip`
// the library's entry point. Returns what broke, or "" when everything held. Leaves `work`
// ready for the next run.
// The report reads the central directory of the same bytes without libzip: every record it
// gives must lie within the bytes it keeps.
inline std::string checkCentralDirectory(const uint8_t* data, size_t size)
{
    const auto dir = kvr::unzip32::readCentralDirectory(
        size,
        [&](uint64_t offset, size_t length, std::vector<unsigned char>&) -> const unsigned char* {
            return offset <= size && length <= size - offset ? data + offset : nullptr;
        },
        uint64_t{64} << 20);
    if (!dir)
        return {};
    const auto* begin = reinterpret_cast<const char*>(dir->bytes.data());
    const auto within = [&](std::string_view part) {
        return part.empty() || (part.data() >= begin && part.data() + part.size() <= begin + dir->bytes.size());
    };
    for (const kvr::unzip32::CentralRecord& record : dir->records)
        if (!within(record.name) || !within(record.extra))
            return "a central record points outside the directory's bytes";
    return {};
}

inline std::string checkUnzip(const uint8_t* data, size_t size, const std::string& work, Wiz_SingleEntryUnzipFn* unzip)
{
    using namespace unzip_detail;
    const std::string packageFolder = work + "/package";
    const std::string package = packageFolder + "/pkg.zip";
    const std::string parent = work + "/parent";
    const std::string target = parent + "/target";
    struct stat folder;
    if (::stat(target.c_str(), &folder) != 0) {
        ::mkdir(packageFolder.c_str(), 0755);
        ::mkdir(parent.c_str(), 0755);
        ::mkdir(target.c_str(), 0755);
    }
    if (std::string failure = checkCentralDirectory(data, size); !failure.empty())
        return failure;
    if (!entriesOf(target).empty() || !writeWhole(package, data, size))
        return "cannot prepare " + work;

    {
        // Anything written relative to the working folder would land in `work`.
        const WorkingFolder here(work);
        if (!here.entered())
            return "cannot enter " + work;
        kvr::ProgramCall call(const_cast<char*>(package.c_str()), const_cast<char*>(target.c_str()));
        USERFUNCTIONS callbacks{};
        call.call(unzip, &callbacks);
    }

    std::string failure;
    const std::vector<std::string> expectedWork{"package", "parent"};
    if (entriesOf(work) != expectedWork)
        failure = "the working folder holds " + joined(entriesOf(work));
    else if (entriesOf(packageFolder) != std::vector<std::string>{"pkg.zip"})
        failure = "the package's folder holds " + joined(entriesOf(packageFolder));
    else if (!sameBytes(package, data, size))
        failure = "the package was changed";
    else if (entriesOf(parent) != std::vector<std::string>{"target"})
        failure = "the target's parent holds " + joined(entriesOf(parent));
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const std::string& name : entriesOf(target)) {
        if (!failure.empty())
            break;
        struct stat info;
        if (::lstat((target + "/" + name).c_str(), &info) != 0)
            failure = "cannot inspect " + name;
        else if (!S_ISREG(info.st_mode))
            failure = "the target holds " + name + ", which is not a regular file";
        else if (info.st_nlink != 1)
            failure = "the target holds " + name + ", a file with another link";
        // A member may carry such a name itself; a leftover's random name is not in the package.
        else if (isTemporaryName(name) && bytes.find(name) == std::string::npos)
            failure = "a temporary file was left: " + name;
    }

    removeContents(target);
    if (!failure.empty()) {
        // Put the folders back as they were for the next run.
        for (const std::string& name : entriesOf(work)) {
            const std::string path = work + "/" + name;
            removeContents(path);
            ::rmdir(path.c_str());
            ::unlink(path.c_str());
        }
    }
    return failure;
}

} // namespace kvrfuzz
