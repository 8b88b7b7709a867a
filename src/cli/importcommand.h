// --import: archives into the skins folder as the window's Import Packages writes them, without
// its questions. An archive whose slot or skin name the window would ask for, or whose package
// is there already, is refused with the reason; nothing of it is written.
#pragma once

#include "cli/commands.h"

namespace kvr {

CommandResult importCommand(const QStringList& archives, const QString& skinsFolderValue,
                            const std::atomic<bool>& cancel);

} // namespace kvr
