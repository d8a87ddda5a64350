// Internal: the log helper of the duplicate scan (and, through the include,
// the queue hand-over every step uses).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "orvexa/units/log_service.h"
#include "orvexa/units/queue_or_here.h"

namespace orvexa::duplicate_internal {

inline void logInfo(std::string text) {
  LogService::shard().log(LogService::LogLevel::Info, std::move(text));
}

}  // namespace orvexa::duplicate_internal
