// What every scan command does around its scan: a progress bar on standard
// error (while it is a terminal and --quiet is not given), Ctrl-C turned into
// a stop request, and waiting for the scan's completion. The --clean step
// that follows a scan (cleanFeature) comes with this header too.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "clean_feature.h"
#include "context.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa::cli {

class ScanSession {
 public:
  ScanSession(const CommonOptions& options, FeaturePtr feature);
  ~ScanSession();
  ScanSession(const ScanSession&) = delete;
  ScanSession& operator=(const ScanSession&) = delete;

  // The queue the scan merges on.
  const std::shared_ptr<SerialGCDService>& queue() const { return queue_; }
  // Feeds the progress bar; safe from any thread.
  std::function<void(float)> showPercent();
  // The scan's completion calls this (from any thread).
  void finish();
  // Blocks until finish(); the first Ctrl-C meanwhile asks the scan to stop
  // (`stop`, by default the engine's stop of the feature). True when the scan
  // was interrupted.
  bool wait(const std::function<void()>& stop = nullptr);

 private:
  // The bar outlives the session: a progress timer may still tick after the
  // scan has finished.
  struct Bar;

  FeaturePtr feature_;
  std::shared_ptr<Bar> bar_;
  std::shared_ptr<SerialGCDService> queue_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool finished_ = false;
  std::atomic<bool> interrupted_{false};
};

}  // namespace orvexa::cli
