#include "history/resume.h"

#include "app/fileio.h"
#include "app/toolkit.h"
#include "history/hashing.h"
#include "history/recorder.h"

#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {

bool isTemporaryName(const QByteArray& name)
{
    if (!name.startsWith(".in-") || name.size() < 5 || name.size() > 20)
        return false;
    return std::all_of(name.begin() + 4, name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

QByteArray settleMovedLines(int blobsFd, const QByteArray& bytes, QList<QByteArray>& creating,
                            QSet<QPair<quint64, quint64>>* keptFiles)
{
    QByteArray result;
    const QList<QByteArray> lines = bytes.split('\n');
    // A kill between a moved file's kept line and its blob's rename leaves both lines: the file is
    // kept once. Hash and name of each kept line:
    QSet<QByteArray> kept;
    for (const QByteArray& line : lines)
        if (const QList<QByteArray> fields = line.mid(5).split(' '); line.startsWith("kept=") && fields.size() >= 6)
            kept.insert(fields.at(0) + ' ' + fields.at(5));
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        if (line.startsWith("creating=")) {
            creating.append(QByteArray::fromPercentEncoding(line.mid(9)));
            continue;
        }
        if (!line.startsWith("moved=")) {
            result += line + '\n';
            continue;
        }
        // One name of blobs/ as the recorder makes them, never a path, never followed.
        const QList<QByteArray> fields = line.mid(6).split(' ');
        if (fields.size() != 6 || !isTemporaryName(fields.at(0)))
            continue;
        const UniqueFd fd(::openat(blobsFd, fields.at(0).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        QByteArray hash;
        qint64 size = 0;
        struct stat st
        {
        };
        if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !hashFd(fd.get(), hash, size) ||
            !settleBlob(blobsFd, fields.at(0), hash, size))
            continue;
        if (keptFiles)
            keptFiles->insert({quint64(st.st_dev), quint64(st.st_ino)});
        if (kept.contains(hash + ' ' + fields.at(5)))
            continue;
        result += "kept=" + hash + ' ' + QByteArray::number(size) + ' ' + fields.at(2) + ' ' + fields.at(3) + ' ' +
                  fields.at(4) + ' ' + fields.at(5) + '\n';
    }
    return result;
}

HistoryRecorder::HistoryRecorder(const QString& settingsFile, const QString& localGameFolder, qint64 pendingId)
    : m_store(settingsFile)
{
    const QString folder = m_store.folder();
    m_gameFd.reset(::open(QFile::encodeName(localGameFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    m_blobsFd.reset(
        ::open(QFile::encodeName(folder + QStringLiteral("/blobs")).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto refuse = [pendingId](const QString& why) {
        return Error(
            QStringLiteral("The change cut short (entry %1) cannot be carried on: %2.").arg(pendingId).arg(why));
    };
    if (!m_gameFd.isValid() || !m_blobsFd.isValid())
        throw refuse(describeErrno(errno));
    const UniqueFd lock = lockFolder(folder);
    if (!lock.isValid())
        throw historyInUse(folder);
    const QString entries = folder + QStringLiteral("/entries");
    m_pendingPath = entries + QStringLiteral("/%1.pending").arg(pendingId);
    const UniqueFd cut(::open(QFile::encodeName(m_pendingPath).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!cut.isValid() || ::flock(cut.get(), LOCK_EX | LOCK_NB) != 0)
        throw refuse(QStringLiteral("its pending entry is gone or in use"));
    const FileRead read = readRegularFd(cut.get(), kEntryLimit);
    QList<QByteArray> creating;
    // A line cut by the kill was never relied on: its file was still in the game folder.
    const QByteArray settled =
        settleMovedLines(m_blobsFd.get(), read.data.left(read.data.lastIndexOf('\n') + 1), creating, nullptr);
    m_entry = parseEntry(settled + "end\n", localGameFolder);
    if (!read.ok() || !m_entry.damage.isEmpty() || m_entry.id != pendingId)
        throw refuse(m_entry.damage.isEmpty() ? QStringLiteral("its pending entry cannot be read") : m_entry.damage);
    m_entry.created.clear();
    QByteArray bytes = headerBytes(m_entry);
    for (const HistoryFile& f : std::as_const(m_entry.kept)) {
        bytes += keptLine(f);
        m_carried.insert(FoldedNames::fold(f.name));
    }
    for (const QByteArray& name : std::as_const(creating)) {
        if (!isPlainName(name) || m_creating.contains(name))
            continue;
        bytes += "creating=" + entryField(name) + '\n';
        m_creating.append(name);
        m_carried.insert(FoldedNames::fold(name));
    }
    // The pending entry again, whole and flushed, then carried on; an entry the cut change made
    // already goes, the pending entry making it again.
    if (!writeEntryFile(m_pendingPath, bytes))
        throw refuse(describeErrno(errno));
    ::unlink(QFile::encodeName(entries + QStringLiteral("/%1.entry").arg(pendingId)).constData());
    m_pendingFd.reset(
        ::open(QFile::encodeName(m_pendingPath).constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (!m_pendingFd.isValid() || ::flock(m_pendingFd.get(), LOCK_EX | LOCK_NB) != 0)
        throw refuse(QStringLiteral("its pending entry cannot be written"));
    m_resumed = true;
    activate();
}

} // namespace kvr
