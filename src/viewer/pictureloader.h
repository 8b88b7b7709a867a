// Decodes the viewer's preview pictures on the program's pool, away from the window's thread, so
// a huge or hostile file never freezes the window. The latest request that has a picture to load
// wins: once its file is read, every earlier decode is told to stop and whatever it yields is
// dropped. A later request without a picture stops nothing, so the earlier picture still shows
// when it is ready, as it would had the requests come slowly.
#pragma once

#include "app/background.h"

#include <QImage>
#include <QMap>
#include <QObject>
#include <QSize>
#include <QString>

#include <atomic>

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
    // Stops every running decode; what they yield goes nowhere.
    ~PictureLoader() override;
    PictureLoader(const PictureLoader&) = delete;
    PictureLoader& operator=(const PictureLoader&) = delete;

    // Starts reading and decoding; returns at once.
    void load(const QString& path, QSize shownSize);
    // Whether any request is still being read or decoded.
    bool busy() const { return !m_running.isEmpty(); }

Q_SIGNALS:
    // A requested picture is ready and no later request with a picture came before it.
    void loaded(const QImage& image);
    // Every request is over: loaded, or refused (the previous picture stays).
    void settled();

private:
    // The request's file was read: it supersedes every earlier request.
    void claim(quint64 request);
    void finish(quint64 request, const QString& path, const QImage& image, const QString& refusal);

    QMap<quint64, StopFlag> m_running;
    quint64 m_request = 0;
    quint64 m_claimed = 0; // the latest request that had a picture to load
};

} // namespace kvr
