// The desktop-entry reader shared by the autostart settings and the
// application listing of the Linux layout.
#include "orvexa/platform/desktop_entry.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace orvexa {
namespace {

constexpr std::string_view kGroup = "[Desktop Entry]";

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// Calls `line(begin, end)` for each line of the [Desktop Entry] group (the
// positions of its text, without the line end); returns the position just
// after the group's header line, or npos when there is no such group.
template <typename LineFn>
size_t forEachGroupLine(std::string_view text, LineFn line) {
  size_t header = std::string_view::npos;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view content = trimmed(text.substr(at, end - at));
    if (content.starts_with("[")) {
      if (header != std::string_view::npos) break;  // the next group
      if (content == kGroup) header = std::min(end + 1, text.size());
    } else if (header != std::string_view::npos) {
      line(at, end);
    }
    at = end + 1;
  }
  return header;
}

// The key of a "Key=value" line (locale suffix kept), and its value.
std::optional<std::pair<std::string_view, std::string_view>> keyValue(std::string_view line) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return std::make_pair(trimmed(line.substr(0, eq)), trimmed(line.substr(eq + 1)));
}

}  // namespace

bool isDesktopEntry(std::string_view text) {
  return forEachGroupLine(text, [](size_t, size_t) {}) != std::string_view::npos;
}

std::string desktopValue(std::string_view text, std::string_view key) {
  std::string value;
  forEachGroupLine(text, [&](size_t begin, size_t end) {
    auto kv = keyValue(text.substr(begin, end - begin));
    if (kv && kv->first == key) value = std::string(kv->second);
  });
  return value;
}

std::string withDesktopKey(std::string_view text, std::string_view key, std::string_view value) {
  const std::string line = std::string(key) + "=" + std::string(value);
  std::optional<std::pair<size_t, size_t>> found;
  const size_t header = forEachGroupLine(text, [&](size_t begin, size_t end) {
    auto kv = keyValue(text.substr(begin, end - begin));
    if (kv && kv->first == key) found = {begin, end};
  });
  std::string out(text);
  if (found) {
    size_t end = found->second;
    if (end > found->first && text[end - 1] == '\r') --end;  // keep a CRLF line end
    return out.replace(found->first, end - found->first, line);
  }
  if (header == std::string_view::npos) {
    return std::string(kGroup) + "\n" + line + "\n" + out;
  }
  if (header == text.size() && !text.ends_with("\n")) return out + "\n" + line + "\n";
  return out.insert(header, line + "\n");
}

}  // namespace orvexa
