// SHA-256 of the files the history keeps and of those a change creates, and the hashing of them
// beside the change.
#pragma once

#include <QByteArray>

#include <cstddef>
#include <memory>
#include <utility>

struct evp_md_ctx_st; // OpenSSL's EVP_MD_CTX

namespace kvr {

// SHA-256 taken in as the bytes stream by.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void add(const char* data, size_t size);
    // Lower-case hex; ends the digest.
    QByteArray hex();

private:
    ::evp_md_ctx_st* m_ctx;
};

// SHA-256 of bytes, lower-case hex.
QByteArray sha256Hex(const QByteArray& bytes);

// Hashes an open file from its start; false when a read fails.
bool hashFd(int fd, QByteArray& hash, qint64& size);

// Hashes files on the program's pool, in the order they are handed to it: what a change linked
// into the history and what its unpack created, while the unpack goes on. When the pool has no
// thread free, the one waiting for a hash hashes the files up to it itself.
class FileHasher
{
public:
    FileHasher();
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;
    // Waits for the files being hashed; those not begun are left.
    ~FileHasher();

    // The file of this name in the folder, opened when its turn comes; the ticket for result().
    qsizetype add(int folderFd, const QByteArray& name);
    // Waits for the file's hash and size; an empty hash when it could not be read.
    std::pair<QByteArray, qint64> result(qsizetype ticket);

private:
    struct Queue;
    std::shared_ptr<Queue> m_queue;
};

} // namespace kvr
