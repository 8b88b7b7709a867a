// A private working folder for a fuzz target, removed when the run ends normally or a check
// fails (a crash leaves it; fuzz/run.sh runs the targets inside a folder it removes).
#pragma once

#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kvrfuzz {

inline void removeFolder(const char* path)
{
    ::nftw(
        path, [](const char* entry, const struct stat*, int, FTW*) { return ::remove(entry); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

// Under $KVR_FUZZ_WORK when set, else under `preferred` when it can be written, else under
// $TMPDIR or /tmp.
inline const std::string& workFolder(const char* name, const char* preferred = nullptr)
{
    // Never destroyed, so the clean-up at exit still has the path.
    static const std::string* folder = [name, preferred] {
        std::string base;
        if (const char* set = std::getenv("KVR_FUZZ_WORK"); set && *set)
            base = set;
        else if (preferred && ::access(preferred, W_OK) == 0)
            base = preferred;
        else if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp)
            base = tmp;
        else
            base = "/tmp";
        std::string pattern = base + "/" + name + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror(pattern.c_str());
            std::abort();
        }
        std::atexit([] { removeFolder(folder->c_str()); });
        return new std::string(pattern);
    }();
    return *folder;
}

} // namespace kvrfuzz
