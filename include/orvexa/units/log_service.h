// The library's diagnostic log: one text file, lines written in submission
// order by the service's own serial queue.
//
// The file is <Application Support>/<bundle id>/<bundle id>FrameworkLog.txt
// under the user's home from the paths table; a host without bundle
// identifier writes "FrameworkLog.txt" in the Application Support folder
// itself. Lines look like "<2021-03-04 05:06:07:Info>:Scan Start".
//
// Thread-safety: log and logDict may be called from any thread and return at
// once. No error ever reaches the caller: a line that cannot be written is
// dropped.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvexa {

class LogService {
 public:
  enum class LogLevel { Debug, Info };
  // "Debug" or "Info"; nothing for any other text.
  static std::optional<LogLevel> logLevelFrom(std::string_view text);
  static std::string_view rawValue(LogLevel level);

  // The shared instance, created on first use (its path is fixed then);
  // "shard" is the historical spelling of shared(), as in Paths::shared().
  static LogService& shard();

  // Builds a service whose path comes from the paths table and identity now.
  LogService();
  ~LogService();
  LogService(const LogService&) = delete;
  LogService& operator=(const LogService&) = delete;

  void log(LogLevel level, std::string txt);
  void logDict(LogLevel level, std::vector<std::pair<std::string, std::string>> dict);

  // The current local date and time as "yyyy-MM-dd HH:mm:ss" (2021-03-04
  // 05:06:07). The format is fixed, a deliberate departure from a format
  // argument: the log is its one user, and a date-pattern language of our
  // own was a second parser to keep right.
  static std::string dateToString();

  const std::string& logPath() const;

  // Blocks until every line submitted so far has been written (or dropped).
  void flush();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvexa
