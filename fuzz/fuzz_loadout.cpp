// libFuzzer target: arbitrary bytes as a loadout file, through the checks of loadout_check.h.
#include "loadout_check.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString failure = kvrfuzz::checkLoadout(bytes);
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "fuzz_loadout: %s\n", failure.toUtf8().constData());
        std::abort();
    }
    return 0;
}
