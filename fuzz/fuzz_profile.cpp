// libFuzzer target: arbitrary bytes as the settings file, then reads and one write.
// The checks are in profile_check.h.
#include "profile_check.h"
#include "workdir.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Every write flushes the file to disk; on a memory file system that costs nothing.
    static const QString folder = QString::fromStdString(kvrfuzz::workFolder("kvr-fuzz-profile", "/dev/shm"));
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString failure = kvrfuzz::checkProfile(bytes, folder);
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "fuzz_profile: %s\n", failure.toUtf8().constData());
        kvrfuzz::removeFolder(folder.toStdString().c_str());
        std::abort();
    }
    return 0;
}
