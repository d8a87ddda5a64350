// Internal: the log and queue helpers of the duplicate scan.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "orvexa/units/log_service.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa::duplicate_internal {

inline void logInfo(std::string text) {
  LogService::shard().log(LogService::LogLevel::Info, std::move(text));
}

// Runs `work` on the host's queue. When the queue cannot take it for any
// reason but "nothing to do" (the queue is gone), the step runs here instead,
// so a scan always finishes and `done` still comes.
inline void onQueue(const std::shared_ptr<SerialGCDService>& queue, std::function<void()> work) {
  queue->run(work, [work](JThreadSatefy::THREADRUNERROR error) {
    if (error == JThreadSatefy::THREADRUNERROR::cancelled) return;
    work();
  });
}

}  // namespace orvexa::duplicate_internal
