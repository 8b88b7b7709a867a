#include "settings/modulo_ini.h"

#include "app/toolkit.h"
#include "settings/profile.h"

namespace kvr::Modulo {

namespace {
// The module's read buffer: holds the last value read until the next read.
QString readBuffer;
} // namespace

QString LEEINI(const QString& file, const QString& section, const QString& key)
{
    readBuffer = readProfileString(file, section, key);
    return readBuffer;
}

void GRABAINI(const QString& file, const QString& section, const QString& key, const QString& value)
{
    (void)writeProfileString(file, section, key, value);
}

void GRABAINI(const QString& file, const QString& section, const QList<ProfileEntry>& values)
{
    (void)writeProfileStrings(file, section, values);
}

QString settingsPath()
{
    return programFolder() + QStringLiteral("\\KVRSI.INI");
}

} // namespace kvr::Modulo
