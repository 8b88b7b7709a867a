#include "demo.h"
#include "settings/settings_names.h"

#include "catalogue/skinpackage.h"
#include "settings/modulo_ini.h"
#include "zipwriter.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace kvr::demo {

namespace {

struct DemoSkin
{
    const char* code;
    const char* name;
    QRgb upper;  // upper surfaces
    QRgb lower;  // under surfaces
    QRgb accent; // spinner, bands and codes
    const char* note;
};

constexpr DemoSkin kSkins[] = {
    {"HURR", "Battle of Britain", 0x5B5A3C, 0xB9C2A6, 0xC8A040,
     "No. 85 Squadron, summer. Dark earth and dark green over sky, with the squadron's hexagon "
     "on the fin."},
    {"HURR", "Desert", 0xB98C55, 0x7FA6C9, 0xB03030,
     "Tropical filter and mid-stone over azure blue: a Western Desert scheme."},
    {"SP2A", "Sqn 19", 0x4E5B3A, 0xC9C2A0, 0xD8D8D8,
     "No. 19 Squadron's early-war Spitfire, black and white undersides."},
    {"MOSQ", "Sqn105", 0x55604A, 0x9AA3A8, 0xD0B040, "No. 105 Squadron, low-level day raider in ocean grey and green."},
    {"MOSQ", "Night Intruder", 0x1E2126, 0x15171A, 0xA02020,
     "Overall black for night intruder sorties over the continent."},
    {"P51D", "Big Beautiful Doll", 0xC4C8CC, 0xC4C8CC, 0x2050B0,
     "Natural metal with a blue nose and rudder, kill markings under the canopy."},
    {"109E", "JG 26", 0x4C5840, 0x8FB0C8, 0xE0D040, "Yellow nose and rudder, splinter greens over light blue."},
    {"190A", "Winter", 0xE4E6E2, 0xB8C4CC, 0xA03030, "Temporary white-wash over the standard greys, eastern front."},
};

QString skinFile(const DemoSkin& skin)
{
    return QString::fromLatin1(skin.code) + QLatin1Char('_') + QString::fromLatin1(skin.name) + QStringLiteral(".zip");
}

// A fighter seen from above, nose up, fitted into a 200 x 160 box.
QPainterPath fighterPlan()
{
    QPainterPath path;
    path.moveTo(100, 8);
    path.cubicTo(108, 10, 110, 30, 110, 50);
    path.lineTo(192, 66);
    path.cubicTo(198, 70, 196, 80, 190, 82);
    path.lineTo(110, 86);
    path.lineTo(106, 126);
    path.lineTo(134, 132);
    path.cubicTo(138, 136, 136, 144, 132, 144);
    path.lineTo(102, 146);
    path.lineTo(100, 152);
    path.lineTo(98, 146);
    path.lineTo(68, 144);
    path.cubicTo(64, 144, 62, 136, 66, 132);
    path.lineTo(94, 126);
    path.lineTo(90, 86);
    path.lineTo(10, 82);
    path.cubicTo(4, 80, 2, 70, 8, 66);
    path.lineTo(90, 50);
    path.cubicTo(90, 30, 92, 10, 100, 8);
    return path;
}

QImage previewPicture(const DemoSkin& skin)
{
    QImage image(320, 240, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 240);
    sky.setColorAt(0, QColor(0x1B2A4A));
    sky.setColorAt(0.6, QColor(0x8A6A8C));
    sky.setColorAt(1, QColor(0xE8A560));
    p.fillRect(image.rect(), sky);

    p.translate(60, 40);
    const QPainterPath plan = fighterPlan();
    p.setPen(QPen(QColor(0x101418), 2));
    QLinearGradient finish(0, 0, 200, 160);
    finish.setColorAt(0, QColor(skin.upper).lighter(115));
    finish.setColorAt(1, QColor(skin.upper).darker(110));
    p.setBrush(finish);
    p.drawPath(plan);
    // Camouflage patches of the under-surface colour along the wings.
    p.setClipPath(plan);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(skin.lower));
    p.drawEllipse(QRectF(20, 60, 50, 22));
    p.drawEllipse(QRectF(130, 64, 56, 20));
    p.drawEllipse(QRectF(92, 96, 18, 40));
    p.setBrush(QColor(skin.accent));
    p.drawRect(QRectF(80, 0, 40, 24));  // nose
    p.drawRect(QRectF(60, 116, 80, 8)); // fuselage band
    p.setClipping(false);
    // Roundels on the wings.
    for (const QPointF centre : {QPointF(45, 72), QPointF(155, 74)}) {
        p.setBrush(QColor(0xF0F0F0));
        p.drawEllipse(centre, 9, 9);
        p.setBrush(QColor(skin.accent).darker(130));
        p.drawEllipse(centre, 5, 5);
    }
    p.resetTransform();
    p.setPen(QColor(0xF5E6C8));
    QFont font = p.font();
    font.setPixelSize(16);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(10, 206, 300, 26), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromLatin1(skin.code) + QStringLiteral(" - ") + QString::fromLatin1(skin.name));
    return image;
}

// Stand-ins for the game's texture and model files: recognisable, and different per skin.
QByteArray skinFileBytes(const DemoSkin& skin, const char* part, int size)
{
    QByteArray bytes = QByteArrayLiteral("KESTRAVA DEMO SKIN ") + skin.code + ' ' + skin.name + ' ' + part + '\n';
    while (bytes.size() < size)
        bytes += bytes;
    bytes.truncate(size);
    return bytes;
}

bool writePackage(const QString& path, const DemoSkin& skin)
{
    const QByteArray code(skin.code);
    return writeZip(path, {
                              {"P" + code + ".TPC", skinFileBytes(skin, "body", 48 * 1024)},
                              {"P" + code + "_WING.TPC", skinFileBytes(skin, "wings", 32 * 1024)},
                              {"textures/P" + code + ".3DZ", skinFileBytes(skin, "model", 16 * 1024)},
                          });
}

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

} // namespace

Result createWorkspace(const QString& root, const QString& programFolder)
{
    Result result;
    const QDir base(root);
    const QString game = base.absoluteFilePath(QStringLiteral("game"));
    const QString skins = base.absoluteFilePath(QStringLiteral("skins"));
    if (!QDir().mkpath(game) || !QDir().mkpath(skins))
        return {};
    writeText(game + QStringLiteral("/DEMO-GAME-FOLDER.txt"),
              "This folder stands in for the game's installation folder.\n"
              "Choose a skin in the Skin Installer and its files appear here.\n");

    for (const DemoSkin& skin : kSkins) {
        const QString package = skinFile(skin);
        const QString name = skinName(package);
        if (!writePackage(skins + QLatin1Char('/') + package, skin) ||
            !previewPicture(skin).save(skins + QLatin1Char('/') + name + QStringLiteral(".jpg"), "JPG", 88) ||
            !writeText(skins + QLatin1Char('/') + name + QStringLiteral(".txt"), QByteArray(skin.note) + '\n'))
            return {};
        result.packages << package;
    }

    const QString ini = programFolder + QStringLiteral("\\KVRSI.INI");
    Modulo::GRABAINI(ini, SettingsNames::kFoldersSection, SettingsNames::kGameFolderKey, game);
    Modulo::GRABAINI(ini, SettingsNames::kFoldersSection, SettingsNames::kSkinsFolderKey, skins);
    result.gameFolder = game;
    result.skinsFolder = skins;
    return result;
}

} // namespace kvr::demo
