#include "history/hashing.h"

#include "app/fileio.h"
#include "app/toolkit.h"

#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kvr {

namespace {

class Sha256
{
public:
    Sha256() : m_ctx(EVP_MD_CTX_new())
    {
        if (!m_ctx || EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) != 1)
            throw Error(QStringLiteral("SHA-256 is not available"));
    }
    ~Sha256() { EVP_MD_CTX_free(m_ctx); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void add(const char* data, size_t size) { EVP_DigestUpdate(m_ctx, data, size); }
    QByteArray hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_ctx, digest, &length);
        return QByteArray(reinterpret_cast<const char*>(digest), length).toHex();
    }

private:
    EVP_MD_CTX* m_ctx;
};

} // namespace

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

FileHasher::~FileHasher()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

qsizetype FileHasher::add(int folderFd, const QByteArray& name)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_files.push_back({folderFd, name});
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
    m_changed.notify_all();
    return qsizetype(m_files.size()) - 1;
}

std::pair<QByteArray, qint64> FileHasher::result(qsizetype ticket)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return qsizetype(m_done) > ticket; });
    const File& f = m_files[size_t(ticket)];
    return {f.hash, f.size};
}

void FileHasher::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || m_done < m_files.size(); });
        if (m_stopping)
            return;
        const File file = m_files[m_done]; // the list may grow meanwhile
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
        m_files[m_done].hash = hash;
        m_files[m_done].size = size;
        ++m_done;
        m_changed.notify_all();
    }
}

} // namespace kvr
