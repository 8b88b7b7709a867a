// The program's two ways in and out of KVRSI.INI.
//
// settings/ holds the settings file, where the game is installed (drives, Wine prefixes, Steam,
// Lutris), and the Control Panel that sets them. It includes app/ and nothing above it.
#pragma once

#include "settings/profile.h"

#include <QString>

namespace kvr::Modulo {

// The value under the key, "" when the file, section or key is absent; at most 254 characters.
QString LEEINI(const QString& file, const QString& section, const QString& key);

// Writes the value; a refused write goes unnoticed and leaves the file as it was.
void GRABAINI(const QString& file, const QString& section, const QString& key, const QString& value);

// Writes several values of one section in order, in one replace of the file, so that a change
// of many values is recorded whole or not at all.
void GRABAINI(const QString& file, const QString& section, const QList<ProfileEntry>& values);

// The settings file's path: the program folder followed by "\KVRSI.INI".
QString settingsPath();

} // namespace kvr::Modulo
