// libFuzzer target: arbitrary bytes as Steam's libraryfolders.vdf and as an app manifest.
// Every library path read must be one the file spelt out, and reading must end.
#include "settings/vdf.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList paths = kvr::steamLibraryPaths(bytes);
    for (const QString& path : paths) {
        if (path.isEmpty() || paths.count(path) != 1) {
            std::fprintf(stderr, "fuzz_vdf: empty or repeated library path\n");
            std::abort();
        }
    }
    (void)kvr::steamAppName(bytes);
    return 0;
}
