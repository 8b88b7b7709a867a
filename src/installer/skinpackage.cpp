#include "installer/skinpackage.h"

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

} // namespace kvr
