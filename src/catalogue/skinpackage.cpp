#include "catalogue/skinpackage.h"

#include "catalogue/slots.h"

namespace kvr {

bool packageBelongsTo(QStringView fileName, QStringView slotCode)
{
    if (fileName.size() < 4)
        return false;
    const QStringView head = fileName.first(4);
    for (qsizetype i = 0; i < 4; ++i) {
        if (head[i].toUpper() != slotCode[i])
            return false;
    }
    return true;
}

bool hasSkinName(QStringView fileName)
{
    return fileName.size() >= kShortestPackageName;
}

QString skinName(QStringView fileName)
{
    if (!hasSkinName(fileName))
        return {};
    return fileName.sliced(5, fileName.size() - kShortestPackageName).toString();
}

QStringList skinNames(const QStringList& fileNames, QStringView slotCode)
{
    QStringList names;
    for (const QString& file : fileNames) {
        if (!hasSkinName(file))
            continue;
        if (!slotCode.isEmpty() && !packageBelongsTo(file, slotCode))
            continue;
        names.append(skinName(file));
    }
    return names;
}

QString packagePath(const QString& skinsFolder, const QString& slotCode, const QString& skinName)
{
    return skinsFolder + QLatin1Char('\\') + slotCode + QLatin1Char('_') + skinName + QStringLiteral(".ZIP");
}

QString localPackagePath(const QString& localSkinsFolder, const QString& slotCode, const QString& skinName)
{
    return localSkinsFolder + QLatin1Char('/') + slotCode + QLatin1Char('_') + skinName + QStringLiteral(".ZIP");
}

QString memberBareName(const QString& member)
{
    qsizetype cut = -1;
    for (qsizetype i = 0; i < member.size(); ++i)
        if (member[i] == QLatin1Char('/') || member[i] == QLatin1Char('\\'))
            cut = i;
    return member.mid(cut + 1);
}

QString skinFileSlotCode(QStringView fileName)
{
    if (fileName.size() < 5 || fileName[0].toUpper() != QLatin1Char('P'))
        return {};
    const QString code = fileName.mid(1, 4).toString().toUpper();
    return isSlotCode(code) ? code : QString();
}

QString packageSlotCode(QStringView fileName)
{
    if (fileName.size() < 5 || fileName[4] != QLatin1Char('_'))
        return {};
    const QString code = fileName.first(4).toString().toUpper();
    return isSlotCode(code) ? code : QString();
}

} // namespace kvr
