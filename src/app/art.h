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
    Finger, // the pointing finger that copies a folder into a box
    Update, // "Update KVRSI.INI"
};

// Picture sizes are in device-independent pixels; on a high-density screen the pixmaps carry
// more pixels and a matching device pixel ratio.
QPixmap splashPicture(); // 468 x 315: the game's name above an air-combat scene
QPixmap bannerPicture(); // 387 x 49: the title banner of the child windows
QPixmap mainPicture();   // 180 x 64: the main window's picture beside its buttons
QIcon programIcon();     // every window's icon; scalable, with its own drawing for 16 x 16
QIcon buttonIcon(ButtonArt which);

} // namespace kvr
