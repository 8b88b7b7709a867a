// Decodes the viewer's preview pictures away from the window's thread, so a huge or hostile file
// never freezes the window. The latest request wins: a decode still running when another is asked
// for is told to stop, and whatever it yields is dropped.
#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <memory>

namespace kvr {

// Limits on what a preview may cost. No preview needs more: it is shown at a few hundred pixels.
inline constexpr qint64 kMaxPictureFileBytes = qint64{32} * 1024 * 1024;
inline constexpr qint64 kMaxPicturePixels = qint64{6000} * 4000;
inline constexpr int kMaxPictureMegabytes = 128;

// Reads and decodes a picture file already stretched to the size it is shown at, whatever its
// name says it holds. Throws Error when the file is missing, larger than the limits, not a
// picture, or when stop was set meanwhile. Safe on any thread.
QImage decodePicture(const QString& path, QSize shownSize, const std::atomic_bool& stop);

class PictureLoader : public QObject
{
    Q_OBJECT
public:
    explicit PictureLoader(QObject* parent = nullptr);
    // Stops the running decode and waits for it to notice, so nothing outlives the window.
    ~PictureLoader() override;
    PictureLoader(const PictureLoader&) = delete;
    PictureLoader& operator=(const PictureLoader&) = delete;

    // Starts decoding; returns at once. Supersedes any earlier request.
    void load(const QString& path, QSize shownSize);
    // Whether the latest request is still being decoded.
    bool busy() const { return m_busy; }

Q_SIGNALS:
    // The latest requested picture is ready.
    void loaded(const QImage& image);
    // The latest request is over: loaded, or refused (the previous picture stays).
    void settled();

private:
    void finish(quint64 request, const QString& path, const QImage& image, const QString& refusal);

    QThreadPool m_pool;
    std::shared_ptr<std::atomic_bool> m_stop;
    quint64 m_request = 0;
    bool m_busy = false;
};

} // namespace kvr
