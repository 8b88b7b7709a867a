// The places where Linux game launchers keep Windows games: Wine prefixes, Steam libraries and
// their Proton prefixes, Lutris, Heroic and Bottles. Each becomes one entry of the drive list.
#pragma once

#include "settings/drives.h"

#include <atomic>

namespace kvr {

// Every launcher folder found under the home folder, in the order Wine, Steam libraries, Proton,
// Lutris, Heroic, Bottles. Only folders that exist are listed, each once; a prefix that cannot be
// read or lacks its drive_c is left out without a word. Reads only small files, a bounded number
// of them, and gives up with what it found once stop is set: safe to run on a worker thread.
QList<Drive> listPrefixDrives(const QString& homeFolder, const std::atomic_bool& stop);
QList<Drive> listPrefixDrives(const QString& homeFolder);

} // namespace kvr
