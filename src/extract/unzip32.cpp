// The unzip32 extraction library: unpacks one skin package flat into the game folder.
//
// The program asks for every member, flat, overwriting, quietly, with empty include and exclude
// lists. Each member that holds a file is written to a temporary file in the target folder
// (unnamed where the file system allows, else hidden), checked against its CRC and only then
// given its name, so a member either lands whole or leaves the folder as it was.
//
// Where the result differs on purpose from Info-ZIP's `unzip -j -o -qq ARCHIVE -d TARGET`
// (tests/core/test_extract.cpp and test_extract_refusals.cpp cover each point):
//   - A member that fails its CRC check, is truncated or cannot be decoded is not written, and
//     a file of its name already in the folder keeps its content; unzip writes what it decoded
//     over the old file. The same holds when the disk fills or a write fails.
//   - An existing file whose name differs from the member's only in case is replaced and keeps
//     the spelling already on disk; unzip writes a second file beside it.
//   - Symbolic-link members are not created; unzip creates the links.
//   - Encrypted members are skipped without asking for a password; unzip prompts for one.
//   - Stored permissions are not restored: files get 0666 less the umask. unzip restores them.
//   - Names are cut at `\` as well as `/`, whatever system made the archive; unzip does so
//     only for archives made on DOS-like systems.
//   - A name whose last part is "." or ".." is skipped; unzip writes it as "__".
//   - Names stored in the DOS code page are written in UTF-8, like names marked as UTF-8;
//     Debian's unzip turns DOS-made names into Latin-1 bytes, even those marked as UTF-8.
//   - When the archive's last path component does not exist, the entry spelt the same but for
//     case is opened (the program builds "MOSQ_x.ZIP"); unzip matches names exactly.
//   - The target folder must exist; unzip creates it.
//   - In the folder the program runs from, members named like the program's own files (the
//     executable, this library, the settings file, the readme) are skipped, whatever their case.
// Like unzip, a link in the folder named like a member is replaced by the member, never
// followed, a read-only file is replaced (the new file gets the default mode), a later member
// whose name flattens to an earlier one's wins, no member yields more than its declared size,
// and an archive whose members' data overlap is refused whole before anything is written.
//
// Other options of the record are honoured where they fit a flat extraction (include and
// exclude lists, freshen, newer only, no overwrite, blanks to underscores, test only); those
// asking for output we never produce (listings, standard output, folder trees, line-end
// translation) are refused before anything is touched. No message is ever printed and no
// callback is called; why a member was skipped goes to the diagnostics hook, when one is set.
#include "extract/unzip32.h"

#include "extract/zip_archive.h"
#include "extract/zip_names.h"
#include "extract/zip_target.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvr::unzip32 {

namespace {

// Results handed back to the caller (which ignores them).
enum Status : int {
    kOk = 0,
    kMembersNotWritten = 1, // the archive was read but some member was skipped or failed
    kArchiveUnreadable = 2,
    kTargetUnusable = 3,
    kRefused = 10, // options asking for something this library does not do
};

constexpr zip_uint16_t kExtendedTimestamp = 0x5455;

WizLogHook* g_logHook = nullptr;
void* g_logContext = nullptr;
WizReplaceHook* g_replaceHook = nullptr;
void* g_replaceContext = nullptr;

void report(const std::string& line)
{
    if (g_logHook)
        g_logHook(line.c_str(), g_logContext);
}

void report(const std::string& name, const char* what)
{
    if (g_logHook)
        report(name + ": " + what);
}

// A file-size limit (ulimit -f) must fail the write, not end the program the library runs in.
void ignoreFileSizeSignal()
{
    struct sigaction current;
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGXFSZ, SIG_IGN);
}

std::string fileNameOf(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

bool sameFolder(const struct stat& folder, const std::string& fileInIt)
{
    const size_t cut = fileInIt.rfind('/');
    if (cut == std::string::npos)
        return false;
    struct stat info;
    const std::string path = cut == 0 ? "/" : fileInIt.substr(0, cut);
    return ::stat(path.c_str(), &info) == 0 && info.st_dev == folder.st_dev && info.st_ino == folder.st_ino;
}

// The case-folded names a package may not write into `folderFd`: the program's own files, when
// the folder is the one the program runs from (this library's folder or the executable's).
// Otherwise none.
std::vector<std::string> ownFilesIn(int folderFd)
{
    struct stat folder;
    if (::fstat(folderFd, &folder) != 0)
        return {};
    static const char anchor = 0;
    Dl_info library{};
    const std::string libraryPath = ::dladdr(&anchor, &library) && library.dli_fname ? library.dli_fname : "";
    char exe[4096];
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string exePath = length > 0 ? std::string(exe, static_cast<size_t>(length)) : std::string();
    if (!sameFolder(folder, libraryPath) && !sameFolder(folder, exePath))
        return {};
    std::vector<std::string> names{"kvrsi", "libunzip32.so", "kvrsi.ini", "readme.txt"};
    for (const std::string& path : {libraryPath, exePath})
        if (!path.empty())
            names.push_back(foldCase(fileNameOf(path)));
    return names;
}

struct Options
{
    bool onlyNewer = false;
    bool spaceToUnderscore = false;
    bool freshen = false;
    bool overwrite = true;
    bool testOnly = false;
    bool ignoreCase = false;
    std::vector<std::string> include;
    std::vector<std::string> exclude;

    // Whether a member of this stored name is asked for.
    bool selects(const std::string& storedName) const
    {
        const std::string name = toPosixPath(storedName);
        auto matches = [&](const std::string& pattern) {
            return wildcardMatch(toPosixPath(pattern), name, ignoreCase);
        };
        if (!include.empty() && std::none_of(include.begin(), include.end(), matches))
            return false;
        return std::none_of(exclude.begin(), exclude.end(), matches);
    }
};

std::vector<std::string> nameList(int count, char** names)
{
    std::vector<std::string> list;
    for (int i = 0; names && i < count; ++i)
        if (names[i])
            list.emplace_back(names[i]);
    return list;
}

// What happened to one member.
enum class Outcome {
    Written,
    Passed,     // not asked for, a folder entry, or kept by an option: nothing to do
    NotWritten, // holds a file that could not or must not be written
};

bool isFolderEntry(const std::string& storedName)
{
    return !storedName.empty() && (storedName.back() == '/' || storedName.back() == '\\');
}

bool isSymbolicLink(zip_t* zip, zip_uint64_t index)
{
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(zip, index, 0, &system, &attributes) != 0)
        return false;
    // The upper half holds a Unix mode; DOS-made archives leave it zero.
    return ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

// The member's modification time: the Unix time of its extended-timestamp field when it has
// one (exact, and free of time zones), else its DOS time, read as local time.
std::time_t modificationTime(zip_t* zip, zip_uint64_t index, const zip_stat_t& stat)
{
    zip_uint16_t length = 0;
    const zip_uint8_t* field =
        zip_file_extra_field_get_by_id(zip, index, kExtendedTimestamp, 0, &length, ZIP_FL_CENTRAL);
    if (field && length >= 5 && (field[0] & 1)) {
        const uint32_t raw = field[1] | (field[2] << 8) | (field[3] << 16) | (static_cast<uint32_t>(field[4]) << 24);
        return static_cast<int32_t>(raw);
    }
    return (stat.valid & ZIP_STAT_MTIME) ? stat.mtime : std::time(nullptr);
}

// One member to be written: decided in archive order, written by any thread, and given its
// name in archive order again, so a later member still wins a name.
struct Job
{
    zip_uint64_t index = 0;
    zip_stat_t stat{};
    std::time_t modified = 0;
    std::string storedName;
    std::string destination;
    bool replacing = false;
    std::unique_ptr<NewFile> file;
    const char* failure = nullptr; // null: written whole into `file`
    bool ready = false;
};

class Extraction
{
public:
    Extraction(const Options& options, Archive& archive, TargetFolder* target)
        : m_options(options), m_archive(archive), m_target(target), m_reader(archive)
    {
        if (target)
            m_ownFiles = ownFilesIn(target->fd());
    }

    Status run()
    {
        const zip_int64_t count = zip_get_num_entries(m_archive.zip(), 0);
        for (zip_int64_t i = 0; i < count; ++i)
            if (decide(static_cast<zip_uint64_t>(i)) == Outcome::NotWritten)
                m_status = kMembersNotWritten;
        writeAll();
        return m_status;
    }

private:
    // Files decoded ahead of the one next to be named, at most: bounds the open descriptors.
    static constexpr size_t kAhead = 64;

    Outcome skipped(const std::string& name, const char* why)
    {
        if (g_logHook)
            report(name, (std::string("skipped, ") + why).c_str());
        return Outcome::NotWritten;
    }

    // Everything about a member that depends on the members before it, in archive order.
    Outcome decide(zip_uint64_t index)
    {
        zip_t* zip = m_archive.zip();
        const char* stored = zip_get_name(zip, index, ZIP_FL_ENC_GUESS);
        if (!stored)
            return skipped(std::to_string(index).insert(0, "entry "), "its name cannot be read");
        const std::string storedName = stored;
        if (!m_options.selects(storedName))
            return Outcome::Passed;
        if (isFolderEntry(storedName))
            return Outcome::Passed;
        std::string bare = bareName(storedName);
        if (bare.empty())
            return skipped(storedName, "no file name");
        if (m_options.spaceToUnderscore)
            std::replace(bare.begin(), bare.end(), ' ', '_');

        zip_stat_t stat;
        if (zip_stat_index(zip, index, 0, &stat) != 0)
            return skipped(storedName, "its entry cannot be read");
        if (isSymbolicLink(zip, index))
            return skipped(storedName, "a link");
        if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE)
            return skipped(storedName, "needs a password");
        if (!(stat.valid & ZIP_STAT_COMP_METHOD) || !zip_compression_method_supported(stat.comp_method, 0))
            return skipped(storedName, "unknown compression method");
        if (m_options.testOnly)
            return m_reader.check(index, stat) ? Outcome::Written : skipped(storedName, m_reader.failure());
        if (!m_ownFiles.empty() && std::find(m_ownFiles.begin(), m_ownFiles.end(), foldCase(bare)) != m_ownFiles.end())
            return skipped(storedName, "one of the program's own files");

        Job job;
        job.destination = m_target->destinationFor(bare);
        job.modified = modificationTime(zip, index, stat);
        struct stat existing;
        const TargetFolder::Existing found = m_target->inspect(job.destination, existing);
        switch (found) {
        case TargetFolder::Existing::NotAFile:
            return skipped(storedName, "a folder has its name");
        case TargetFolder::Existing::Replaceable:
            if (!m_options.overwrite || (m_options.onlyNewer && existing.st_mtime >= job.modified))
                return Outcome::Passed;
            break;
        case TargetFolder::Existing::None:
            if (m_options.freshen)
                return Outcome::Passed;
            break;
        }
        job.index = index;
        job.stat = stat;
        job.storedName = storedName;
        // A later member of the same name replaces this one's file.
        job.replacing = found != TargetFolder::Existing::None;
        m_target->remember(job.destination);
        m_jobs.push_back(std::move(job));
        return Outcome::Written;
    }

    // Decodes a member into a fresh file. libzip serves one thread at a time.
    void produce(Job& job, MemberReader& reader)
    {
        std::unique_ptr<NewFile> file;
        const char* failure = nullptr;
        try {
            file = std::make_unique<NewFile>(m_target->fd(), kGameFolderTempPattern);
            if (!file->isOpen()) {
                failure = "write failed: no temporary file";
            } else {
                std::unique_lock<std::mutex> libzip(m_libzip, std::defer_lock);
                if (!reader.canReadAlone(job.index, job.stat))
                    libzip.lock();
                if (!reader.writeTo(job.index, job.stat, file->fd()))
                    failure = reader.failure();
            }
        } catch (...) {
            failure = "out of memory";
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        job.file = std::move(file);
        job.failure = failure;
        job.ready = true;
        m_changed.notify_all();
    }

    // The next job nobody has taken, within reach of the one next to be named; null when none.
    Job* claim()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_next >= m_jobs.size() || m_next >= m_committing + kAhead)
            return nullptr;
        return &m_jobs[m_next++];
    }

    void helper()
    {
        MemberReader reader(m_archive);
        for (;;) {
            if (Job* job = claim()) {
                produce(*job, reader);
                continue;
            }
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_next >= m_jobs.size())
                return;
            m_changed.wait(lock, [&] { return m_next >= m_jobs.size() || m_next < m_committing + kAhead; });
        }
    }

    void commit(Job& job)
    {
        if (job.failure) {
            m_status = kMembersNotWritten;
            skipped(job.storedName, job.failure);
        } else if (g_replaceHook &&
                   g_replaceHook(job.destination.c_str(), job.replacing ? 1 : 0, g_replaceContext) != 0) {
            m_status = kMembersNotWritten;
            skipped(job.storedName, "the file it replaces could not be kept");
        } else if (!placeMember(*job.file, job.destination, job.modified, job.replacing)) {
            m_status = kMembersNotWritten;
            skipped(job.storedName, "write failed: cannot take its name");
        } else {
            if (g_replaceHook)
                (void)g_replaceHook(job.destination.c_str(), 2, g_replaceContext);
            if (g_logHook)
                report(job.storedName, ("written as " + job.destination).c_str());
        }
        job.file.reset();
    }

    // Decodes and writes on this thread and, for packages of many members, a second one;
    // names are given in archive order.
    void writeAll()
    {
        // Only with unnamed temporary files: a process killed midway then leaves none behind,
        // however many were being written.
        const bool pooled =
            m_jobs.size() >= 2 * kAhead && std::thread::hardware_concurrency() > 1 && unnamedTemporaries();
        std::thread second;
        if (pooled)
            second = std::thread([this] { helper(); });
        for (size_t i = 0; i < m_jobs.size(); ++i) {
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_committing = i;
                m_changed.notify_all();
            }
            for (;;) {
                {
                    const std::lock_guard<std::mutex> lock(m_mutex);
                    if (m_jobs[i].ready)
                        break;
                }
                if (Job* job = claim()) {
                    produce(*job, m_reader);
                    continue;
                }
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] { return m_jobs[i].ready; });
                break;
            }
            commit(m_jobs[i]);
        }
        if (second.joinable())
            second.join();
    }

    const Options& m_options;
    Archive& m_archive;
    TargetFolder* m_target;
    MemberReader m_reader;
    std::vector<std::string> m_ownFiles;
    Status m_status = kOk;
    std::vector<Job> m_jobs;
    std::mutex m_mutex;
    std::mutex m_libzip;
    std::condition_variable m_changed;
    size_t m_next = 0;       // the first job nobody has taken
    size_t m_committing = 0; // the job next to be named
};

Status extract(int includeCount, char** include, int excludeCount, char** exclude, const DCL* dcl)
{
    if (!dcl || !dcl->lpszZipFN || !dcl->lpszExtractDir)
        return kRefused;
    if (dcl->ncflag || dcl->nvflag || dcl->nZIflag || dcl->ndflag || dcl->naflag)
        return kRefused;

    Options options;
    options.onlyNewer = dcl->ExtractOnlyNewer != 0;
    options.spaceToUnderscore = dcl->SpaceToUnderscore != 0;
    options.freshen = dcl->nfflag != 0;
    options.overwrite = dcl->noflag != 0; // never a prompt: without it existing files stay
    options.testOnly = dcl->ntflag != 0;
    options.ignoreCase = dcl->C_flag != 0;
    options.include = nameList(includeCount, include);
    options.exclude = nameList(excludeCount, exclude);

    ignoreFileSizeSignal();
    TargetFolder target;
    if (!options.testOnly && !target.open(toPosixPath(dcl->lpszExtractDir))) {
        report(std::string(dcl->lpszExtractDir), "target folder cannot be opened");
        return kTargetUnusable;
    }
    Archive archive;
    switch (archive.open(toPosixPath(dcl->lpszZipFN))) {
    case Archive::Opened::Yes:
        break;
    case Archive::Opened::Unreadable:
        report(std::string(dcl->lpszZipFN), "not readable as an archive");
        return kArchiveUnreadable;
    case Archive::Opened::Overlapping:
        report(std::string(dcl->lpszZipFN), "refused whole: members' data overlap");
        return kArchiveUnreadable;
    }
    return Extraction(options, archive, options.testOnly ? nullptr : &target).run();
}

} // namespace

} // namespace kvr::unzip32

extern "C" int Wiz_SingleEntryUnzip(int ifnc, char** ifnv, int xfnc, char** xfnv, LPDCL lpDCL,
                                    LPUSERFUNCTIONS /*lpUserFunc: nothing is printed or asked*/)
{
    // Nothing may unwind into the caller's C frame.
    try {
        return kvr::unzip32::extract(ifnc, ifnv, xfnc, xfnv, lpDCL);
    } catch (...) {
        return kvr::unzip32::kArchiveUnreadable;
    }
}

extern "C" void Wiz_ForceHiddenTemporaries(int on)
{
    kvr::forceHiddenTemporaries(on != 0);
}

extern "C" void Wiz_SetLogHook(WizLogHook* hook, void* context)
{
    kvr::unzip32::g_logHook = hook;
    kvr::unzip32::g_logContext = context;
}

extern "C" void Wiz_SetReplaceHook(WizReplaceHook* hook, void* context)
{
    kvr::unzip32::g_replaceHook = hook;
    kvr::unzip32::g_replaceContext = context;
}
