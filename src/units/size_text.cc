#include "orvexa/units/size_text.h"

#include <cstdint>
#include <cstdio>

namespace orvexa {

std::string humanSize(int64_t bytes) {
  if (bytes < 0) return "-" + humanSize(bytes == INT64_MIN ? INT64_MAX : -bytes);
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1000 && unit < 5) {
    value /= 1000;
    ++unit;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
  return buffer;
}

}  // namespace orvexa
