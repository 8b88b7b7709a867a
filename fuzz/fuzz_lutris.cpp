// libFuzzer target: arbitrary bytes as a Lutris game file. The reader must end, never crash, and
// give a prefix only as trimmed text.
#include "settings/lutris.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString prefix = kvr::lutrisGamePrefix(bytes);
    if (prefix != prefix.trimmed()) {
        std::fprintf(stderr, "fuzz_lutris: prefix not trimmed\n");
        std::abort();
    }
    return 0;
}
