#include "viewer/pictureloader.h"

#include "app/fileio.h"
#include "app/logging.h"
#include "app/toolkit.h"

#include <QFile>
#include <QIODevice>
#include <QImageReader>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr {

namespace {

// The bytes of a picture file, read whole up to the size limit. Only a regular file is read: a
// pipe or a device named like a picture would block or never end.
QByteArray readPictureFile(const QString& path, const std::atomic_bool& stop)
{
    const QByteArray local = QFile::encodeName(findFile(path));
    const UniqueFd file(::open(local.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.isValid())
        throw Error::fromErrno(errno);
    const int fd = file.get();
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw Error(QStringLiteral("File not found"));
    if (st.st_size > kMaxPictureFileBytes)
        throw Error(QStringLiteral("Out of memory (a file of %1 bytes)").arg(st.st_size));
    QByteArray bytes;
    char buffer[65536];
    while (!stop.load(std::memory_order_relaxed)) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Error::fromErrno(errno);
        if (got == 0)
            break;
        // The file may have grown since it was measured.
        if (bytes.size() + got > kMaxPictureFileBytes)
            throw Error(QStringLiteral("Out of memory (a file that grows past %1 bytes)").arg(kMaxPictureFileBytes));
        bytes.append(buffer, got);
    }
    return bytes;
}

// The picture's bytes as the decoder reads them, a little at a time. Once stop is set every
// read fails, so even a picture of thousands of passes ends within one buffer's worth.
class StoppableReader final : public QIODevice
{
public:
    StoppableReader(const QByteArray& bytes, const std::atomic_bool& stop) : m_bytes(bytes), m_stop(stop)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    qint64 size() const override { return m_bytes.size(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (m_stop.load(std::memory_order_relaxed))
            return -1;
        const qint64 count = qMin(maxSize, m_bytes.size() - pos());
        if (count <= 0)
            return 0;
        std::memcpy(data, m_bytes.constData() + pos(), static_cast<size_t>(count));
        return count;
    }
    qint64 writeData(const char* /*data*/, qint64 /*size*/) override { return -1; }

private:
    const QByteArray& m_bytes;
    const std::atomic_bool& m_stop;
};

} // namespace

QImage decodePicture(const QString& path, QSize shownSize, const std::atomic_bool& stop)
{
    const QByteArray bytes = readPictureFile(path, stop);
    StoppableReader device(bytes, stop);
    QImageReader reader(&device);
    reader.setAllocationLimit(kMaxPictureMegabytes);
    const QSize size = reader.size();
    if (qint64(size.width()) * size.height() > kMaxPicturePixels)
        throw Error(QStringLiteral("Out of memory (%1 x %2 pixels)").arg(size.width()).arg(size.height()));
    // JPEG decodes straight at a reduced size; other formats are scaled after reading.
    if (size.isValid() && reader.supportsOption(QImageIOHandler::ScaledSize))
        reader.setScaledSize(shownSize);
    QImage image = reader.read();
    if (stop.load(std::memory_order_relaxed))
        throw Error(QStringLiteral("Stopped"));
    if (image.isNull())
        throw Error(QStringLiteral("Invalid picture (%1)").arg(reader.errorString()));
    if (image.size() != shownSize)
        image = image.scaled(shownSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

PictureLoader::PictureLoader(QObject* parent) : QObject(parent)
{
    // One decode at a time: a superseded one is stopped, never left to compete for the machine.
    m_pool.setMaxThreadCount(1);
}

PictureLoader::~PictureLoader()
{
    if (m_stop)
        m_stop->store(true);
    m_pool.clear();
    m_pool.waitForDone();
}

void PictureLoader::load(const QString& path, QSize shownSize)
{
    if (m_stop)
        m_stop->store(true);
    m_pool.clear();
    m_stop = std::make_shared<std::atomic_bool>(false);
    m_busy = true;
    const quint64 request = ++m_request;
    // The job holds its own copies; the loader outlives it (the destructor waits for it).
    m_pool.start([this, request, path, shownSize, stop = m_stop] {
        QImage image;
        QString refusal;
        try {
            image = decodePicture(path, shownSize, *stop);
        } catch (const Error& e) {
            refusal = e.description();
        }
        QMetaObject::invokeMethod(
            this, [this, request, path, image, refusal] { finish(request, path, image, refusal); },
            Qt::QueuedConnection);
    });
}

void PictureLoader::finish(quint64 request, const QString& path, const QImage& image, const QString& refusal)
{
    if (request != m_request)
        return; // a later choice took over
    m_busy = false;
    if (refusal.isEmpty())
        Q_EMIT loaded(image);
    else
        qCInfo(lcViewer) << "Picture" << path << "not shown, the previous one stays:" << refusal;
    Q_EMIT settled();
}

} // namespace kvr
