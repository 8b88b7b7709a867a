// The program's own pictures, compiled in as resources.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace kvr {

enum class ButtonArt {
    ResetSkins,
    SkinViewer,
    ControlPanel,
    Help,
    About,
    Finger,  // the pointing finger that copies a folder into a box
    Update,  // "Update KVRSI.INI"
};

QPixmap splashPicture();   // 468 x 315: the game's name above an air-combat scene
QPixmap bannerPicture();   // 387 x 49: the title banner of the child windows
QPixmap mainPicture();     // the main window's picture beside its buttons
QIcon programIcon();       // every window's icon; 32 x 32 and scalable
QIcon buttonIcon(ButtonArt which);

} // namespace kvr
