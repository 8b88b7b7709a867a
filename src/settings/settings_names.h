// The section and key names of KVRSI.INI, named once so a typo cannot silently read "".
#pragma once

#include <QString>

namespace kvr::SettingsNames {

// The two folders the program works on.
inline const QString kFoldersSection = QStringLiteral("Folders");
inline const QString kGameFolderKey = QStringLiteral("KVRInstallationFolder");
inline const QString kSkinsFolderKey = QStringLiteral("SkinsFolder");

// The skin recorded for each slot, one key per slot code.
inline const QString kSkinsSection = QStringLiteral("Skins");
// The main window reads the recorded skins under this spelling at load, as it always has; section
// names compare without regard to case, so it reads what kSkinsSection wrote.
inline const QString kSkinsSectionAtLoad = QStringLiteral("SKINS");

} // namespace kvr::SettingsNames
