#include "settings/modulo_ini.h"

#include "app/toolkit.h"
#include "settings/profile.h"

namespace kvr::Modulo {

// Each read hands back a value of its own: an undo's thread reads the file while the window's does.
QString LEEINI(const QString& file, const QString& section, const QString& key)
{
    return readProfileString(file, section, key);
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
