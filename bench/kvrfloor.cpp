// kvrfloor MANIFEST TARGET: the floor of unpacking on this machine. Creates, writes, time-stamps
// and closes one file per manifest line ("SIZE MTIME NAME") in TARGET, as plainly as a program
// can: no archive, no decoding, no temporary files. The benchmark times it beside the extraction.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MANIFEST TARGET\n", argv[0]);
        return 2;
    }
    FILE* manifest = std::fopen(argv[1], "r");
    if (!manifest)
        return 1;
    struct File
    {
        size_t size;
        std::time_t modified;
        std::string name;
    };
    std::vector<File> files;
    size_t largest = 0;
    unsigned long long size = 0;
    long long modified = 0;
    char name[4096];
    while (std::fscanf(manifest, "%llu %lld %4095[^\n]\n", &size, &modified, name) == 3) {
        files.push_back({static_cast<size_t>(size), static_cast<std::time_t>(modified), name});
        largest = std::max(largest, files.back().size);
    }
    std::fclose(manifest);

    const int folder = ::open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return 1;
    std::vector<char> bytes(largest, 'x');
    int status = 0;
    for (const File& file : files) {
        const int fd = ::openat(folder, file.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            status = 1;
            continue;
        }
        if (::write(fd, bytes.data(), file.size) != static_cast<ssize_t>(file.size))
            status = 1;
        const timespec times[2] = {{file.modified, 0}, {file.modified, 0}};
        ::futimens(fd, times);
        ::close(fd);
    }
    ::close(folder);
    return status;
}
