// File access that closes what it opens on every path: an owned descriptor, a folder stream, and
// a bounded whole-file read that never blocks on a pipe or device standing where a file should be.
#pragma once

#include "app/newfile.h"

#include <QByteArray>
#include <QString>

#include <dirent.h>
#include <utility>

namespace kvr {

// Owns a file descriptor and closes it when it goes.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return m_fd; }
    bool isValid() const noexcept { return m_fd >= 0; }
    int release() noexcept { return std::exchange(m_fd, -1); }
    void reset(int fd = -1) noexcept;

private:
    int m_fd = -1;
};

// An open folder, read entry by entry, closed when it goes.
class DirStream
{
public:
    explicit DirStream(const QString& localPath);
    // Reads a folder already open, through a descriptor of its own: folderFd stays open.
    explicit DirStream(int folderFd);
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;
    ~DirStream();

    bool isOpen() const noexcept { return m_dir != nullptr; }
    // The errno of a failed open, 0 when open.
    int error() const noexcept { return m_error; }
    // The descriptor of the open folder, for the *at() calls on its entries.
    int fd() const noexcept;
    // The next entry ("." and ".." included), or null at the end and when not open.
    const dirent* next() noexcept;

private:
    DIR* m_dir = nullptr;
    int m_error = 0;
};

// A link in the last part of a path is followed (a settings file linked to one kept elsewhere is
// read through the link), or refused.
enum class Links { Follow, Refuse };

struct FileRead
{
    enum class Status {
        Read,           // data holds the whole file
        TooLarge,       // the file holds more than the limit; data holds its first `limit` bytes
        NotRegularFile, // a folder, device, pipe or socket stands at the path
        Failed,         // opening or reading failed with `error` (ELOOP: a refused link)
    };
    Status status = Status::Failed;
    int error = 0;
    QByteArray data;

    bool ok() const noexcept { return status == Status::Read; }
    // The failure worded for the user, as the platform's file services word it.
    QString message() const;
};

// Reads a regular file of at most `limit` bytes. Opening never blocks, not even on a pipe.
FileRead readRegularFile(const QString& localPath, qint64 limit, Links links = Links::Follow);

// Writes the bytes whole and flushes them to disk. False when any step failed: a write cut short
// by a full disk is never taken for a whole one.
bool writeWhole(int fd, const QByteArray& bytes);

// The same, then closes the file, whose closing must succeed too.
bool writeDurably(UniqueFd fd, const QByteArray& bytes);

// The same read of a file already open, from its current offset; the descriptor stays open.
FileRead readRegularFd(int fd, qint64 limit);

// Every write into a folder the user named (skins folder, program folder, game folder) goes
// through FolderFile, the Qt face of NewFile: the folder is opened once, a link standing at its own
// name refused, and the new file is written, flushed, and only then given its name (see NewFile).

// Opens a folder for FolderFile: never follows a link at its last part (callers resolve a link
// the player made to the folder itself first). Invalid, with errno set, when it cannot be opened.
UniqueFd openFolder(const QString& localPath);

class FolderFile
{
public:
    // A new, empty file for the open folder. `tempPattern` ("XXXXXX" standing for hex digits of its
    // own) names the hidden temporary where no unnamed file can be made. Its mode is 0666 less the
    // umask.
    FolderFile(int folderFd, const QByteArray& tempPattern)
        : m_folder(folderFd), m_file(folderFd, tempPattern.constData())
    {
    }

    bool isOpen() const noexcept { return m_file.isOpen(); }
    // The descriptor to write (or stream) into.
    int fd() const noexcept { return m_file.fd(); }
    // Appends the bytes whole; false on any failure (a full disk).
    bool write(const char* data, qsizetype size) { return m_file.write(data, static_cast<size_t>(size)); }
    // Flushes the file and gives it `name` in the folder; a regular file it replaces leaves it
    // its mode. 0 when done, else the errno (EEXIST for Existing::Keep and a taken name); a failed
    // commit may be tried again with another name.
    int commit(const QByteArray& name, Existing existing);

private:
    int m_folder;
    NewFile m_file;
};

// A whole file written in one call through FolderFile: 0 when done, else the errno.
int writeFileIn(int folderFd, const QByteArray& name, const QByteArray& bytes, Existing existing,
                const QByteArray& tempPattern);

} // namespace kvr
