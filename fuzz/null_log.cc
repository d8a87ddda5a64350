// The log stand-in of the fuzz targets: the real log (with its queues and
// paths) is not part of them, and what a reader logs goes into nothing.
#include "orvexa/units/log_service.h"

namespace orvexa {
struct LogService::Impl {};
LogService::LogService() = default;
LogService::~LogService() = default;
LogService& LogService::shard() {
  static LogService service;
  return service;
}
void LogService::log(LogLevel, std::string) {}
}  // namespace orvexa
