// The program's pictures: every drawing parses, comes out at its size on a high-density
// screen, and is a picture rather than an empty or flat rectangle.
#include "app/art.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSet>
#include <QSvgRenderer>
#include <QTest>

namespace {

const QString kSourceRoot = QStringLiteral(KVR_TEST_DATA "/../..");

const QList<kvr::ButtonArt> kButtons = {
    kvr::ButtonArt::ResetSkins, kvr::ButtonArt::SkinViewer, kvr::ButtonArt::ControlPanel,
    kvr::ButtonArt::Help,       kvr::ButtonArt::About,      kvr::ButtonArt::Finger,
    kvr::ButtonArt::Update,
};

int distinctColours(const QImage& image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3)
            colours.insert(image.pixel(x, y));
    return colours.size();
}

bool opaque(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 255)
                return false;
    return true;
}

} // namespace

class TestArt : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void everyDrawingParses();
    void pictures_data();
    void pictures();
    void splashHasLightLetteringOnDarkSky();
    void iconsAtSmallSizes();
    void buttonIconsAreAllDifferent();
    void disabledIconIsDimmed();
    void desktopFilesMatchTheProgram();
};

void TestArt::everyDrawingParses()
{
    // The pictures are drawn from SVG at run time: a broken edit must show here, not as an
    // empty window. Asking for one picture registers the resources.
    kvr::bannerPicture();
    const QStringList all = QDir(QStringLiteral(":/art")).entryList(QDir::Files);
    QVERIFY2(all.size() >= 12, qPrintable(all.join(u',')));
    for (const QString& name : all) {
        QSvgRenderer renderer(QStringLiteral(":/art/") + name);
        QVERIFY2(renderer.isValid(), qPrintable(name));
        QVERIFY2(!renderer.viewBoxF().isEmpty(), qPrintable(name));
    }
}

void TestArt::pictures_data()
{
    QTest::addColumn<QPixmap>("pixmap");
    QTest::addColumn<QSize>("size");
    QTest::newRow("splash") << kvr::splashPicture() << QSize(468, 315);
    QTest::newRow("banner") << kvr::bannerPicture() << QSize(387, 49);
    QTest::newRow("main") << kvr::mainPicture() << QSize(180, 64);
}

void TestArt::pictures()
{
    QFETCH(QPixmap, pixmap);
    QFETCH(QSize, size);
    QVERIFY(!pixmap.isNull());
    // This test runs at a scale factor of 2: the picture keeps its layout size and is drawn
    // with twice the pixels.
    QCOMPARE(pixmap.devicePixelRatio(), qApp->devicePixelRatio());
    QCOMPARE(pixmap.deviceIndependentSize().toSize(), size);
    QCOMPARE(pixmap.size(), size * 2);
    const QImage image = pixmap.toImage();
    QVERIFY2(opaque(image), "a picture must cover its whole rectangle");
    QVERIFY2(distinctColours(image) > 100, "looks like a flat fill");
}

void TestArt::splashHasLightLetteringOnDarkSky()
{
    // The name sits in the top band, the subtitle in the bottom band; both must stand out
    // from the sky behind them.
    const QImage image = kvr::splashPicture().toImage().scaled(468, 315, Qt::IgnoreAspectRatio,
                                                               Qt::SmoothTransformation);
    auto contrastIn = [&](const QRect& band) {
        int darkest = 255, lightest = 0;
        for (int y = band.top(); y <= band.bottom(); ++y)
            for (int x = band.left(); x <= band.right(); ++x) {
                const int grey = qGray(image.pixel(x, y));
                darkest = qMin(darkest, grey);
                lightest = qMax(lightest, grey);
            }
        return lightest - darkest;
    };
    QVERIFY(contrastIn(QRect(60, 20, 348, 65)) > 150);
    QVERIFY(contrastIn(QRect(120, 282, 228, 24)) > 150);
}

void TestArt::iconsAtSmallSizes()
{
    QList<QIcon> icons = {kvr::programIcon()};
    for (kvr::ButtonArt which : kButtons)
        icons.append(kvr::buttonIcon(which));
    for (const QIcon& icon : icons) {
        QVERIFY(!icon.isNull());
        for (int side : {16, 32}) {
            const QPixmap pixmap = icon.pixmap(side);
            QCOMPARE(pixmap.deviceIndependentSize().toSize(), QSize(side, side));
            const QImage image = pixmap.toImage();
            int drawn = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    drawn += qAlpha(image.pixel(x, y)) > 128;
            // Something real is drawn, not a stray mark.
            QVERIFY2(drawn > image.width() * image.height() / 5, qPrintable(QString::number(side)));
        }
    }
    // A window manager asks for the window icon at exact pixel sizes, at scale 1 too.
    const QPixmap exact = kvr::programIcon().pixmap(QSize(16, 16), 1.0);
    QCOMPARE(exact.size(), QSize(16, 16));
}

void TestArt::buttonIconsAreAllDifferent()
{
    QList<QImage> seen;
    for (kvr::ButtonArt which : kButtons) {
        const QImage image = kvr::buttonIcon(which).pixmap(32).toImage();
        for (const QImage& other : seen)
            QVERIFY2(image != other, "two buttons show the same icon");
        seen.append(image);
    }
    QVERIFY(kvr::programIcon().pixmap(32).toImage() != seen.first());
}

void TestArt::disabledIconIsDimmed()
{
    const QIcon icon = kvr::buttonIcon(kvr::ButtonArt::Update);
    const QImage normal = icon.pixmap(32, QIcon::Normal).toImage();
    const QImage disabled = icon.pixmap(32, QIcon::Disabled).toImage();
    QCOMPARE(disabled.size(), normal.size());
    QVERIFY(disabled != normal);
}

void TestArt::desktopFilesMatchTheProgram()
{
    // The menu icon is the program icon, kept as its own copy for installing.
    QFile packaged(kSourceRoot + QStringLiteral("/packaging/kvrsi.svg"));
    QFile resource(QStringLiteral(":/art/icon.svg"));
    QVERIFY(packaged.open(QIODevice::ReadOnly));
    QVERIFY(resource.open(QIODevice::ReadOnly));
    QCOMPARE(packaged.readAll(), resource.readAll());

    QFile desktop(kSourceRoot + QStringLiteral("/packaging/kvrsi.desktop"));
    QVERIFY(desktop.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(desktop.readAll()).split(u'\n');
    QCOMPARE(lines.value(0), QStringLiteral("[Desktop Entry]"));
    for (const char* entry : {"Type=Application", "Name=Kestrava Skin Installer", "Exec=kvrsi",
                              "Icon=kvrsi", "Categories=Game;"})
        QVERIFY2(lines.contains(QLatin1String(entry)), entry);
}

int main(int argc, char** argv)
{
    // Draw as on a high-density screen, where a picture's pixels and its size part ways.
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    TestArt test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_art.moc"
