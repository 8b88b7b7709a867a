// Lutris keeps one YAML file per game (~/.local/share/lutris/games/<slug>-<id>.yml); the Wine
// prefix it runs the game in is the "prefix" key of its "game" section.
#pragma once

#include <QByteArray>
#include <QString>

namespace kvr {

// The game's prefix folder, "" when the text is not YAML or names none.
QString lutrisGamePrefix(const QByteArray& yaml);

// A player-readable name from the file name: "kestrava-1687000000.yml" gives "kestrava".
QString lutrisGameName(const QString& fileName);

} // namespace kvr
