// The program's pictures come out at their size on a high-density screen as real pictures, not
// empty or flat rectangles: a drawing that fails to parse shows here.
#include "app/art.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QSet>
#include <QTest>

using namespace Qt::StringLiterals;

class TestArt : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pictures_data();
    void pictures();
    void icons();
    void packagedFilesMatchTheProgram();
};

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
    // At scale 2 the picture keeps its layout size and is drawn with twice the pixels.
    QCOMPARE(pixmap.devicePixelRatio(), qApp->devicePixelRatio());
    QCOMPARE(pixmap.deviceIndependentSize().toSize(), size);
    QCOMPARE(pixmap.size(), size * 2);
    const QImage image = pixmap.toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            QVERIFY2(qAlpha(image.pixel(x, y)) == 255, "a picture must cover its whole rectangle");
            colours.insert(image.pixel(x, y));
        }
    QVERIFY2(colours.size() > 100, "looks like a flat fill");
}

void TestArt::icons()
{
    QList<QIcon> icons = {kvr::programIcon()};
    for (kvr::ButtonArt which :
         {kvr::ButtonArt::ResetSkins, kvr::ButtonArt::SkinViewer, kvr::ButtonArt::ControlPanel, kvr::ButtonArt::Help,
          kvr::ButtonArt::About, kvr::ButtonArt::Finger, kvr::ButtonArt::Update})
        icons.append(kvr::buttonIcon(which));
    QList<QImage> seen;
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
            QVERIFY2(drawn > image.width() * image.height() / 5, "a stray mark, not an icon");
        }
        const QImage normal = icon.pixmap(32).toImage();
        QVERIFY2(!seen.contains(normal), "two icons look the same");
        seen.append(normal);
        QVERIFY2(icon.pixmap(32, QIcon::Disabled).toImage() != normal, "disabled icon not dimmed");
    }
    // A window manager asks for the window icon at exact pixel sizes, at scale 1 too.
    QCOMPARE(kvr::programIcon().pixmap(QSize(16, 16), 1.0).size(), QSize(16, 16));
}

void TestArt::packagedFilesMatchTheProgram()
{
    const QString packaging = QStringLiteral(KVR_TEST_DATA "/../../packaging/");
    QFile packaged(packaging + u"kvrsi.svg"_s), resource(u":/art/icon.svg"_s);
    QVERIFY(packaged.open(QIODevice::ReadOnly) && resource.open(QIODevice::ReadOnly));
    QCOMPARE(packaged.readAll(), resource.readAll());

    QFile desktop(packaging + u"kvrsi.desktop"_s);
    QVERIFY(desktop.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(desktop.readAll()).split(u'\n');
    QCOMPARE(lines.value(0), u"[Desktop Entry]"_s);
    for (const QString& entry : {u"Type=Application"_s, u"Exec=kvrsi"_s, u"Icon=kvrsi"_s})
        QVERIFY2(lines.contains(entry), qPrintable(entry));
}

int main(int argc, char** argv)
{
    qputenv("QT_SCALE_FACTOR", "2"); // a high-density screen, where a picture's pixels and its size part ways
    QApplication app(argc, argv);
    TestArt test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_art.moc"
