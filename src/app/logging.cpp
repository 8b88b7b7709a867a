#include "app/logging.h"

namespace kvr {

// Only critical messages by default: the user never sees these lines unless asking for them.
Q_LOGGING_CATEGORY(lcSettings, "kvr.settings", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcInstall, "kvr.install", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcExtract, "kvr.extract", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcViewer, "kvr.viewer", QtCriticalMsg)

} // namespace kvr
