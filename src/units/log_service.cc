#include "orvexa/units/log_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

void appendNumber(std::string& out, long value, size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out += digits;
}

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

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
  const std::string support = Paths::shared().userApplicationSupport();
  // Without a bundle identifier the folder is Application Support itself and
  // the file name has no prefix.
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

std::string LogService::dateToString(std::string_view format) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
      1000000;
  std::tm local{};
  localtime_r(&seconds, &local);

  std::string out;
  size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c == '\'') {
      // Quoted literal text; two quotes stand for one quote.
      size_t j = i + 1;
      if (j < format.size() && format[j] == '\'') {
        out += '\'';
        i = j + 1;
        continue;
      }
      while (j < format.size()) {
        if (format[j] == '\'') {
          if (j + 1 < format.size() && format[j + 1] == '\'') {
            out += '\'';
            j += 2;
            continue;
          }
          break;
        }
        out += format[j++];
      }
      i = j + 1;
      continue;
    }
    if (!isAsciiLetter(c)) {
      out += c;
      ++i;
      continue;
    }
    size_t run = 1;
    while (i + run < format.size() && format[i + run] == c) ++run;
    switch (c) {
      case 'y':
        if (run == 2) {
          appendNumber(out, (local.tm_year + 1900) % 100, 2);
        } else {
          appendNumber(out, local.tm_year + 1900, run);
        }
        break;
      case 'M':
        appendNumber(out, local.tm_mon + 1, run >= 2 ? 2 : 1);
        break;
      case 'd':
        appendNumber(out, local.tm_mday, run >= 2 ? 2 : 1);
        break;
      case 'H':
        appendNumber(out, local.tm_hour, run >= 2 ? 2 : 1);
        break;
      case 'm':
        appendNumber(out, local.tm_min, run >= 2 ? 2 : 1);
        break;
      case 's':
        appendNumber(out, local.tm_sec, run >= 2 ? 2 : 1);
        break;
      case 'S': {
        // Fractional seconds, truncated to `run` digits.
        std::string fraction;
        appendNumber(fraction, static_cast<long>(micros), 6);
        if (run <= fraction.size()) {
          out += fraction.substr(0, run);
        } else {
          out += fraction;
          out.append(run - fraction.size(), '0');
        }
        break;
      }
      default:
        // Letters without a meaning here are copied as they are.
        out.append(run, c);
        break;
    }
    i += run;
  }
  return out;
}

const std::string& LogService::logPath() const { return impl_->logPath; }

void LogService::flush() { impl_->serialQueue.waitUntilIdle(); }

}  // namespace orvexa
