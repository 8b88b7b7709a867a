// Placeholder until the extraction engine lands.
#include "unzip32.h"

extern "C" int Wiz_SingleEntryUnzip(int, char**, int, char**, LPDCL, LPUSERFUNCTIONS)
{
    return 1;
}
