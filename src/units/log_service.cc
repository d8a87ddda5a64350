#include "orvexa/units/log_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/serial_queue.h"
#include "platform/unique_fd.h"

namespace orvexa {
namespace {

// Appends to an existing file only: a log file removed from outside stays
// removed, and the line is dropped.
void appendLine(const std::string& path, const std::string& line) {
  detail::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (!fd) return;
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

struct LogService::Impl {
  std::string logPath;
  // The position-2 quality of service, like every queue the library makes.
  SerialGCDService serialQueue{SerialGCDService::GCDQOS::default_};

  void submit(LogLevel level, std::string text) {
    serialQueue.runDeferred(
        [path = logPath, level, text = std::move(text)] {
          // The date is the moment the line is written, not submitted.
          // Appended piece by piece: GCC 12 reports a false -Wrestrict on
          // `"<" + std::string` at -O3.
          std::string line(1, '<');
          line += dateToString();
          line += ':';
          line += rawValue(level);
          line += ">:";
          line += text;
          line += "\n";
          appendLine(path, line);
        },
        [](JThreadSatefy::THREADRUNERROR) {});
  }
};

std::optional<LogService::LogLevel> LogService::logLevelFrom(std::string_view text) {
  if (text == "Debug") return LogLevel::Debug;
  if (text == "Info") return LogLevel::Info;
  return std::nullopt;
}

std::string_view LogService::rawValue(LogLevel level) {
  return level == LogLevel::Debug ? "Debug" : "Info";
}

LogService& LogService::shard() {
  // Kept for the life of the process: late lines from pool threads may still
  // arrive while static destructors run.
  static LogService* instance = new LogService;
  return *instance;
}

LogService::LogService() : impl_(std::make_unique<Impl>()) {
  namespace fs = std::filesystem;
  const std::string bundleId = Identity::shared().bundleIdentifier();
  const std::string support = Paths::shared().ownLogFolder();
  // Without a bundle identifier the folder is the log folder itself and the
  // file name has no prefix.
  const std::string folder = bundleId.empty() ? support : support + "/" + bundleId;
  impl_->logPath = folder + "/" + bundleId + "FrameworkLog.txt";

  std::error_code ec;
  if (!fs::exists(fs::symlink_status(folder, ec))) fs::create_directories(folder, ec);
  if (!fs::exists(fs::symlink_status(impl_->logPath, ec))) {
    detail::UniqueFd created(
        ::open(impl_->logPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  }
}

LogService::~LogService() {
  // Lines already submitted are written before the service goes away.
  flush();
}

void LogService::log(LogLevel level, std::string txt) { impl_->submit(level, std::move(txt)); }

void LogService::logDict(LogLevel level, std::vector<std::pair<std::string, std::string>> dict) {
  std::string text;
  for (const auto& [key, value] : dict) {
    text += "\n";
    text += key;
    text += ":";
    text += value;
  }
  impl_->submit(level, std::move(text));
}

std::string LogService::dateToString() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return {};
  char text[64];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, length);
}

const std::string& LogService::logPath() const { return impl_->logPath; }

void LogService::flush() { impl_->serialQueue.waitUntilIdle(); }

}  // namespace orvexa
