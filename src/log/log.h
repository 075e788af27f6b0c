// The library's own access to the process-wide logger.
#pragma once

#include "orukiv/QUserLog.h"

namespace orukiv {
inline QUserLog& Log() {
    return QUserLog::GetInstance();
}
}  // namespace orukiv
