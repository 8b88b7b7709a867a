// unzip32-cli ARCHIVE TARGET: unpacks ARCHIVE into TARGET with the options the program uses,
// and exits with the library's status. For comparison and timing runs, not for users.
#include "extract/program_call.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE TARGET\n", argv[0]);
        return 2;
    }
    kvr::ProgramCall call(argv[1], argv[2]);
    USERFUNCTIONS callbacks{};
    return call.call(&Wiz_SingleEntryUnzip, &callbacks);
}
