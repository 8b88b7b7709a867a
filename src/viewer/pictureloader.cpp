#include "viewer/pictureloader.h"

#include "app/fileio.h"
#include "app/logging.h"
#include "app/toolkit.h"

#include <QCoreApplication>
#include <QFile>
#include <QIODevice>
#include <QImageReader>
#include <QPointer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
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

QImage decodePictureBytes(const QByteArray& bytes, QSize shownSize, const std::atomic_bool& stop)
{
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

// Runs on the window thread, where the loader may be gone: the pointer is looked at only there.
void toLoader(const QPointer<PictureLoader>& loader, std::function<void(PictureLoader&)> call)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), [loader, call = std::move(call)] {
        if (loader)
            call(*loader);
    });
}

} // namespace

QImage decodePicture(const QString& path, QSize shownSize, const std::atomic_bool& stop)
{
    return decodePictureBytes(readPictureFile(path, stop), shownSize, stop);
}

PictureLoader::PictureLoader(QObject* parent) : QObject(parent) {}

PictureLoader::~PictureLoader()
{
    for (const StopFlag& stop : std::as_const(m_running))
        stop->store(true);
}

void PictureLoader::load(const QString& path, QSize shownSize)
{
    const quint64 request = ++m_request;
    QPointer<PictureLoader> self(this);
    m_running.insert(request, background::run([self, request, path, shownSize](const std::atomic_bool& stop) {
                         QImage image;
                         QString refusal;
                         try {
                             const QByteArray bytes = readPictureFile(path, stop);
                             // A picture to load: earlier decodes are no longer wanted.
                             toLoader(self, [request](PictureLoader& loader) { loader.claim(request); });
                             image = decodePictureBytes(bytes, shownSize, stop);
                         } catch (const Error& e) {
                             refusal = e.description();
                         }
                         toLoader(self, [request, path, image, refusal](PictureLoader& loader) {
                             loader.finish(request, path, image, refusal);
                         });
                     }));
}

void PictureLoader::claim(quint64 request)
{
    m_claimed = std::max(m_claimed, request);
    for (auto it = m_running.cbegin(); it != m_running.cend() && it.key() < m_claimed; ++it)
        it.value()->store(true);
}

void PictureLoader::finish(quint64 request, const QString& path, const QImage& image, const QString& refusal)
{
    m_running.remove(request);
    // A later choice with a picture of its own took over from an earlier request.
    if (request >= m_claimed) {
        if (refusal.isEmpty())
            Q_EMIT loaded(image);
        else
            qCInfo(lcViewer) << "Picture" << path << "not shown, the previous one stays:" << refusal;
    }
    if (m_running.isEmpty())
        Q_EMIT settled();
}

} // namespace kvr
