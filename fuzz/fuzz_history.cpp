// libFuzzer target: arbitrary bytes as a history entry. The checks are in history_check.h.
#include "history_check.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const char* failure = kvrfuzz::checkHistoryEntry(bytes)) {
        std::fprintf(stderr, "fuzz_history: %s\n", failure);
        std::abort();
    }
    return 0;
}
