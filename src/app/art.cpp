#include "app/art.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPixmapCache>
#include <QStyle>
#include <QStyleOption>
#include <QSvgRenderer>

// The pictures live in a static library; referencing the resource's initialiser keeps the
// linker from dropping it.
static void initArtResources()
{
    Q_INIT_RESOURCE(art);
}

namespace kvr {

namespace {

void ensureResources()
{
    static const bool done = (initArtResources(), true);
    Q_UNUSED(done);
}

// Draws an SVG resource at exactly `pixels` device pixels.
QPixmap renderSvg(const QString& path, const QSize& pixels)
{
    ensureResources();
    QPixmap pixmap(pixels);
    if (pixmap.isNull())
        return pixmap;
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(path);
    if (!renderer.isValid())
        return QPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
    return pixmap;
}

// A picture of `size` device-independent pixels, sharp on the screen's pixel density.
QPixmap picture(const QString& path, const QSize& size)
{
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap pixmap = renderSvg(path, (QSizeF(size) * ratio).toSize());
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

// Scalable icon drawn straight from SVG, so it needs no image plugin. An icon may carry a
// second drawing made on the pixel grid for tiny sizes, where the scalable one goes soft.
class SvgIconEngine final : public QIconEngine
{
public:
    explicit SvgIconEngine(QString path, QString smallPath = QString())
        : m_path(std::move(path)), m_smallPath(std::move(smallPath))
    {
    }

    QIconEngine* clone() const override { return new SvgIconEngine(m_path, m_smallPath); }

    QString key() const override { return QStringLiteral("kvr-svg"); }

    bool isNull() override { return false; }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override
    {
        if (size.isEmpty())
            return QPixmap();
        const QString& source =
            (!m_smallPath.isEmpty() && qMax(size.width(), size.height()) <= kSmallLimit) ? m_smallPath : m_path;
        const QString cacheKey =
            QStringLiteral("kvr-art|%1|%2x%3|%4").arg(source).arg(size.width()).arg(size.height()).arg(int(mode));
        QPixmap result;
        if (QPixmapCache::find(cacheKey, &result))
            return result;

        // Keep the drawing square and centred in whatever box is asked for.
        const int side = qMin(size.width(), size.height());
        QPixmap square = renderSvg(source, QSize(side, side));
        result = QPixmap(size);
        result.fill(Qt::transparent);
        {
            QPainter painter(&result);
            painter.drawPixmap((size.width() - side) / 2, (size.height() - side) / 2, square);
        }
        if (mode == QIcon::Disabled || mode == QIcon::Selected) {
            if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) {
                QStyleOption option;
                option.palette = QApplication::palette();
                result = app->style()->generatedIconPixmap(mode, result, &option);
            }
        }
        QPixmapCache::insert(cacheKey, result);
        return result;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap pm = pixmap((QSizeF(rect.size()) * ratio).toSize(), mode, state);
        pm.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect.topLeft(), pm);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        return {QSize(16, 16), QSize(24, 24),   QSize(32, 32),  QSize(48, 48),
                QSize(64, 64), QSize(128, 128), QSize(256, 256)};
    }

private:
    static constexpr int kSmallLimit = 20; // device pixels; up to here the small drawing is used
    QString m_path;
    QString m_smallPath;
};

QString buttonSource(ButtonArt which)
{
    switch (which) {
    case ButtonArt::ResetSkins:
        return QStringLiteral(":/art/reset.svg");
    case ButtonArt::SkinViewer:
        return QStringLiteral(":/art/viewer.svg");
    case ButtonArt::ControlPanel:
        return QStringLiteral(":/art/controlpanel.svg");
    case ButtonArt::Help:
        return QStringLiteral(":/art/help.svg");
    case ButtonArt::About:
        return QStringLiteral(":/art/about.svg");
    case ButtonArt::Finger:
        return QStringLiteral(":/art/finger.svg");
    case ButtonArt::Update:
        return QStringLiteral(":/art/update.svg");
    }
    return QString();
}

} // namespace

QPixmap splashPicture()
{
    return picture(QStringLiteral(":/art/splash.svg"), QSize(468, 315));
}

QPixmap bannerPicture()
{
    return picture(QStringLiteral(":/art/banner.svg"), QSize(387, 49));
}

QPixmap mainPicture()
{
    return picture(QStringLiteral(":/art/main.svg"), QSize(180, 64));
}

QIcon programIcon()
{
    ensureResources();
    return QIcon(new SvgIconEngine(QStringLiteral(":/art/icon.svg"), QStringLiteral(":/art/icon-16.svg")));
}

QIcon buttonIcon(ButtonArt which)
{
    ensureResources();
    return QIcon(new SvgIconEngine(buttonSource(which)));
}

} // namespace kvr
