// Diagnostics for what the program otherwise does silently (refused writes, failed deletes,
// skipped members). Off by default; QT_LOGGING_RULES="kvr.*=true" turns them on.
#pragma once

#include <QLoggingCategory>

namespace kvr {

Q_DECLARE_LOGGING_CATEGORY(lcSettings) // kvr.settings
Q_DECLARE_LOGGING_CATEGORY(lcInstall)  // kvr.install
Q_DECLARE_LOGGING_CATEGORY(lcExtract)  // kvr.extract
Q_DECLARE_LOGGING_CATEGORY(lcViewer)   // kvr.viewer

} // namespace kvr
