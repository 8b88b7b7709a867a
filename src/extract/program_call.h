// The one way the program calls the extraction library: every member, flat, overwriting
// without asking, quietly, with include and exclude lists that restrict nothing.
#pragma once

#include "extract/unzip32.h"

#include <array>

namespace kvr {

class ProgramCall
{
public:
    ProgramCall(char* archive, char* targetFolder)
    {
        m_options.fQuiet = 2;
        m_options.noflag = 1;
        m_options.C_flag = 1;
        m_options.lpszZipFN = archive;
        m_options.lpszExtractDir = targetFolder;
    }
    ProgramCall(const ProgramCall&) = delete;
    ProgramCall& operator=(const ProgramCall&) = delete;

    // Both name lists: entry 0 the NUL string, the other 99 empty, passed with a count of 0.
    int call(Wiz_SingleEntryUnzipFn* entry, USERFUNCTIONS* callbacks)
    {
        return entry(0, m_include.data(), 0, m_exclude.data(), &m_options, callbacks);
    }

private:
    char m_nul[1] = {'\0'};
    std::array<char*, 100> m_include{{m_nul}};
    std::array<char*, 100> m_exclude{{m_nul}};
    DCL m_options{};
};

} // namespace kvr
