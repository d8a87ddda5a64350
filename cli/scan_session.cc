#include "scan_session.h"

#include <fmt/core.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "orvexa/scan/engine/super_scan_service.h"

namespace orvexa::cli {
namespace {

volatile sig_atomic_t gInterrupt = 0;

void onInterrupt(int) { gInterrupt = 1; }

}  // namespace

struct ScanSession::Bar {
  std::mutex mu;
  bool enabled = false;
  bool finished = false;
  int lastDrawn = -1;
  std::string title;

  void draw(float fraction) {
    std::lock_guard lock(mu);
    if (!enabled || finished) return;
    float clamped = fraction < 0 ? 0 : (fraction > 1 ? 1 : fraction);
    int percent = static_cast<int>(clamped * 100.0f);
    if (percent == lastDrawn) return;
    lastDrawn = percent;
    constexpr int kWidth = 40;
    int filled = percent * kWidth / 100;
    fmt::print(stderr, "\r{} [{:#<{}}{:.<{}}] {:3}%", title, "", filled, "", kWidth - filled,
               percent);
    std::fflush(stderr);
  }

  // Ends the bar: clears its line; later ticks draw nothing.
  void finish() {
    std::lock_guard lock(mu);
    if (enabled && lastDrawn >= 0 && !finished) {
      fmt::print(stderr, "\r\033[K");
      std::fflush(stderr);
    }
    finished = true;
  }
};

ScanSession::ScanSession(const CommonOptions& options, FeaturePtr feature)
    : feature_(std::move(feature)),
      bar_(std::make_shared<Bar>()),
      queue_(std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_)) {
  bar_->enabled = !options.quiet && isatty(STDERR_FILENO) == 1;
  bar_->title = feature_ ? feature_->title : "";
  gInterrupt = 0;
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

ScanSession::~ScanSession() {
  queue_->waitUntilIdle();
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

std::function<void(float)> ScanSession::showPercent() {
  return [bar = bar_](float fraction) { bar->draw(fraction); };
}

void ScanSession::finish() {
  std::lock_guard lock(mu_);
  finished_ = true;
  cv_.notify_all();
}

bool ScanSession::wait(const std::function<void()>& stop) {
  std::unique_lock lock(mu_);
  bool stopRequested = false;
  while (!finished_) {
    cv_.wait_for(lock, std::chrono::milliseconds(50));
    if (gInterrupt && !stopRequested) {
      stopRequested = true;
      interrupted_ = true;
      lock.unlock();
      if (bar_->enabled) {
        fmt::print(stderr, "\rinterrupted: stopping, showing what was found so far\n");
      }
      if (stop) {
        stop();
      } else {
        SuperScanService::stop(feature_);
      }
      lock.lock();
    }
  }
  bar_->finish();
  return interrupted_;
}

}  // namespace orvexa::cli
