// SHA-256 of the files the history keeps and of those a change creates, and the thread that
// hashes them while the change goes on.
#pragma once

#include <QByteArray>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kvr {

// SHA-256 of bytes, lower-case hex.
QByteArray sha256Hex(const QByteArray& bytes);

// Hashes an open file from its start; false when a read fails.
bool hashFd(int fd, QByteArray& hash, qint64& size);

// Hashes files on a thread of its own, in the order they are handed to it: what a change linked
// into the history and what its unpack created, while the unpack goes on.
class FileHasher
{
public:
    FileHasher() = default;
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;
    ~FileHasher();

    // The file of this name in the folder, opened when its turn comes; the ticket for result().
    qsizetype add(int folderFd, const QByteArray& name);
    // Waits for the file's hash and size; an empty hash when it could not be read.
    std::pair<QByteArray, qint64> result(qsizetype ticket);

private:
    struct File
    {
        int folderFd;
        QByteArray name;
        QByteArray hash = {};
        qint64 size = 0;
    };

    void run();
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<File> m_files;
    size_t m_done = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace kvr
