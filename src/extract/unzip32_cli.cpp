// unzip32-cli ARCHIVE TARGET: unpacks ARCHIVE into TARGET with the options the program uses,
// and exits with the library's status. For comparison and timing runs, not for users.
#include "unzip32.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE TARGET\n", argv[0]);
        return 2;
    }
    char empty[1] = {'\0'};
    char* include[100] = {empty};
    char* exclude[100] = {empty};
    DCL options{};
    options.fQuiet = 2;
    options.noflag = 1;
    options.C_flag = 1;
    options.lpszZipFN = argv[1];
    options.lpszExtractDir = argv[2];
    USERFUNCTIONS callbacks{};
    return Wiz_SingleEntryUnzip(0, include, 0, exclude, &options, &callbacks);
}
