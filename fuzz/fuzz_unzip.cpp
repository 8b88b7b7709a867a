// libFuzzer target: arbitrary bytes as a skin package, unpacked into an empty folder.
// The checks are in unzip_check.h.
#include "unzip_check.h"
#include "workdir.h"

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// The work happens in memory for speed. A package may claim members of gigabytes, and the
// library reserves a member's room before decoding it; with files capped far above what the
// longest input can inflate to, such a claim fails at once, as on a full disk. Set on the first
// input, after libFuzzer has put up its own signal handlers.
bool capFileSize()
{
    const rlimit cap{128u << 20, 128u << 20};
    ::setrlimit(RLIMIT_FSIZE, &cap);
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool capped = capFileSize();
    (void)capped;
    static const std::string work = kvrfuzz::workFolder("kvr-fuzz-unzip", "/dev/shm");
    const std::string failure = kvrfuzz::checkUnzip(data, size, work, &Wiz_SingleEntryUnzip);
    if (!failure.empty()) {
        std::fprintf(stderr, "fuzz_unzip: %s\n", failure.c_str());
        kvrfuzz::removeFolder(work.c_str());
        std::abort();
    }
    return 0;
}
