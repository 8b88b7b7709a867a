// How a skin package is named: <SlotCode>_<skin name>.ZIP, matched without regard to case.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

namespace kvr {

inline const QString kDefaultSkin = QStringLiteral("(Default)");
inline const QString kPackagePattern = QStringLiteral("*.zip");

// The shortest name with a skin name: four code characters, one separator, ".zip".
inline constexpr qsizetype kShortestPackageName = 9;

// True when the name's first four characters, upper-cased, are exactly the slot code.
bool packageBelongsTo(QStringView fileName, QStringView slotCode);

// The file name without its first five and last four characters, in the file name's case.
// A name shorter than nine characters has no skin name: such a file is not a package and is
// left out of every list.
QString skinName(QStringView fileName);
bool hasSkinName(QStringView fileName);

// The skin names of a listing, in its order. An empty filter code takes every name.
QStringList skinNames(const QStringList& fileNames, QStringView slotCode = {});

// The name a package member lands under in the game folder: what follows its last '/' or '\\'.
QString memberBareName(const QString& member);

// The slot code of a skin file in the game folder ("P", a slot code, anything), upper-cased;
// "" when the name is no slot's.
QString skinFileSlotCode(QStringView fileName);

// The slot code a package name starts with, followed by "_", upper-cased; "" when none.
QString packageSlotCode(QStringView fileName);

// Where a slot's package of a skin name lies: folder\CODE_name.ZIP.
QString packagePath(const QString& skinsFolder, const QString& slotCode, const QString& skinName);

// The same in a usable (local) skins folder, used as written: folder/CODE_name.ZIP. The path
// every change unpacks and journals.
QString localPackagePath(const QString& localSkinsFolder, const QString& slotCode, const QString& skinName);

} // namespace kvr
