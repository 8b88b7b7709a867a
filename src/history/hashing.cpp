#include "history/hashing.h"

#include "app/background.h"
#include "app/fileio.h"
#include "app/toolkit.h"

#include <openssl/evp.h>

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace kvr {

Sha256::Sha256() : m_ctx(EVP_MD_CTX_new())
{
    if (!m_ctx || EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) != 1)
        throw Error(QStringLiteral("SHA-256 is not available"));
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_ctx);
}

void Sha256::add(const char* data, size_t size)
{
    EVP_DigestUpdate(m_ctx, data, size);
}

QByteArray Sha256::hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_ctx, digest, &length);
    return QByteArray(reinterpret_cast<const char*>(digest), length).toHex();
}

bool hashFd(int fd, QByteArray& hash, qint64& size)
{
    Sha256 sha;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    size = 0;
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, buffer.data(), static_cast<size_t>(buffer.size()), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        sha.add(buffer.constData(), static_cast<size_t>(got));
        offset += got;
        size += got;
    }
    hash = sha.hex();
    return true;
}

QByteArray sha256Hex(const QByteArray& bytes)
{
    Sha256 sha;
    sha.add(bytes.constData(), static_cast<size_t>(bytes.size()));
    return sha.hex();
}

struct FileHasher::Queue
{
    struct File
    {
        int folderFd;
        QByteArray name;
        QByteArray hash = {};
        qint64 size = 0;
        bool done = false;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<File> files;
    size_t begun = 0;      // files handed to a thread so far, in order
    int hashing = 0;       // of those, the ones not done yet
    bool draining = false; // a pool thread takes the files as they come
    bool stopping = false;

    // Hashes the next file with the lock let go meanwhile.
    void hashNext(std::unique_lock<std::mutex>& lock)
    {
        const size_t i = begun++;
        const File file = files[i]; // the list may grow meanwhile
        ++hashing;
        lock.unlock();
        QByteArray hash;
        qint64 size = 0;
        const UniqueFd fd(
            ::openat(file.folderFd, file.name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        try {
            if (!fd.isValid() || !hashFd(fd.get(), hash, size))
                hash.clear();
        } catch (...) {
            hash.clear(); // no SHA-256 or no memory: the file counts as unreadable
        }
        lock.lock();
        files[i].hash = hash;
        files[i].size = size;
        files[i].done = true;
        --hashing;
        changed.notify_all();
    }

    void drain()
    {
        std::unique_lock lock(mutex);
        while (!stopping && begun < files.size())
            hashNext(lock);
        draining = false;
    }
};

FileHasher::FileHasher() : m_queue(std::make_shared<Queue>()) {}

FileHasher::~FileHasher()
{
    // The folders' descriptors go with the change: nothing opens a file through them after this.
    std::unique_lock lock(m_queue->mutex);
    m_queue->stopping = true;
    m_queue->changed.wait(lock, [this] { return m_queue->hashing == 0; });
}

qsizetype FileHasher::add(int folderFd, const QByteArray& name)
{
    Queue& q = *m_queue;
    const std::lock_guard lock(q.mutex);
    q.files.push_back({folderFd, name});
    if (!q.draining) {
        // A pool thread taking the files begins at once or not at all: nothing waits for a thread.
        q.draining = background::tryStart([queue = m_queue] { queue->drain(); });
    }
    return qsizetype(q.files.size()) - 1;
}

std::pair<QByteArray, qint64> FileHasher::result(qsizetype ticket)
{
    Queue& q = *m_queue;
    const auto i = size_t(ticket);
    std::unique_lock lock(q.mutex);
    while (!q.files[i].done) {
        // Files up to this one that no thread has begun are hashed here; one begun is waited for.
        if (q.begun <= i)
            q.hashNext(lock);
        else
            q.changed.wait(lock);
    }
    const Queue::File& f = q.files[i];
    return {f.hash, f.size};
}

} // namespace kvr
