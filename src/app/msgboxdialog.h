// The real message box behind MsgBox.
#pragma once

namespace kvr {

// Makes MsgBox show a modal dialog with the style's icon and buttons.
void installMsgBoxDialog();

} // namespace kvr
