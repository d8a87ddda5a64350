#include "orvexa/scan/privacy/xbel.h"

#include <cstdint>

#include "orvexa/platform/xml_entities.h"

namespace orvexa::privacy {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads the attributes of the tag whose name ends before `at`, up to its
// '>'. The position after the '>' (nothing when the tag is unterminated);
// `selfClosing` tells whether it ended in "/>".
std::optional<size_t> readAttributes(std::string_view text, size_t at,
                                     std::vector<std::pair<std::string, std::string>>& attributes,
                                     bool& selfClosing) {
  while (at < text.size()) {
    while (at < text.size() && isBlank(text[at])) ++at;
    if (at >= text.size()) break;
    if (text[at] == '>') {
      selfClosing = false;
      return at + 1;
    }
    if (text.substr(at, 2) == "/>") {
      selfClosing = true;
      return at + 2;
    }
    const size_t nameStart = at;
    while (at < text.size() && !isBlank(text[at]) && text[at] != '=' && text[at] != '>' &&
           text[at] != '/')
      ++at;
    std::string name(text.substr(nameStart, at - nameStart));
    while (at < text.size() && isBlank(text[at])) ++at;
    if (at >= text.size() || text[at] != '=') {
      if (name.empty()) ++at;  // a stray '/': step over it
      continue;
    }
    ++at;
    while (at < text.size() && isBlank(text[at])) ++at;
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return std::nullopt;
    const size_t close = text.find(text[at], at + 1);
    if (close == std::string_view::npos) return std::nullopt;
    attributes.emplace_back(std::move(name),
                            decodedXmlEntities(text.substr(at + 1, close - at - 1)));
    at = close + 1;
  }
  return std::nullopt;
}

// The position after the "</bookmark>" closing the element whose content
// starts at `at`, skipping comments and CDATA sections; nothing when none.
std::optional<size_t> closingOf(std::string_view text, size_t at) {
  while ((at = text.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = text.substr(at);
    if (rest.starts_with("<!--")) {
      const size_t end = text.find("-->", at + 4);
      if (end == std::string_view::npos) return std::nullopt;
      at = end + 3;
    } else if (rest.starts_with("<![CDATA[")) {
      const size_t end = text.find("]]>", at + 9);
      if (end == std::string_view::npos) return std::nullopt;
      at = end + 3;
    } else if (rest.starts_with("</bookmark")) {
      size_t end = at + 10;
      while (end < text.size() && isBlank(text[end])) ++end;
      if (end < text.size() && text[end] == '>') return end + 1;
      at += 1;
    } else if (rest.starts_with("<bookmark") && rest.size() > 9 &&
               (isBlank(rest[9]) || rest[9] == '>' || rest[9] == '/')) {
      return std::nullopt;  // bookmarks do not nest
    } else {
      at += 1;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<XbelBookmark>> readXbel(std::string_view text) {
  std::vector<XbelBookmark> bookmarks;
  bool root = false;
  size_t at = 0;
  while ((at = text.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = text.substr(at);
    if (rest.starts_with("<!--") || rest.starts_with("<![CDATA[")) {
      const bool comment = rest[1] == '!' && rest[2] == '-';
      const size_t end = text.find(comment ? "-->" : "]]>", at + (comment ? 4 : 9));
      if (end == std::string_view::npos) return std::nullopt;
      at = end + 3;
      continue;
    }
    if (rest.starts_with("<xbel") && rest.size() > 5 && (isBlank(rest[5]) || rest[5] == '>')) {
      root = true;
    }
    if (!(rest.starts_with("<bookmark") && rest.size() > 9 &&
          (isBlank(rest[9]) || rest[9] == '>' || rest[9] == '/'))) {
      at += 1;
      continue;
    }
    if (!root || bookmarks.size() >= kMaxXbelBookmarks) return std::nullopt;
    std::vector<std::pair<std::string, std::string>> attributes;
    bool selfClosing = false;
    std::optional<size_t> tagEnd = readAttributes(text, at + 9, attributes, selfClosing);
    if (!tagEnd) return std::nullopt;
    std::optional<size_t> end = selfClosing ? tagEnd : closingOf(text, *tagEnd);
    if (!end) return std::nullopt;
    XbelBookmark bookmark;
    for (const char* key : {"added", "visited", "modified"}) {
      for (const auto& [name, value] : attributes) {
        if (name == key && !value.empty()) bookmark.modified = value;
      }
    }
    for (const auto& [name, value] : attributes) {
      if (name == "href") bookmark.href = value;
    }
    size_t begin = at;
    while (begin > 0 && (text[begin - 1] == ' ' || text[begin - 1] == '\t')) --begin;
    size_t after = *end;
    while (after < text.size() &&
           (text[after] == ' ' || text[after] == '\t' || text[after] == '\r'))
      ++after;
    const bool ownLine =
        (begin == 0 || text[begin - 1] == '\n') && after < text.size() && text[after] == '\n';
    bookmark.begin = ownLine ? begin : at;
    bookmark.end = ownLine ? after + 1 : *end;
    bookmarks.push_back(std::move(bookmark));
    at = *end;
  }
  if (!root) return std::nullopt;
  return bookmarks;
}

std::string withoutXbelBookmarks(std::string_view text, const std::vector<XbelBookmark>& bookmarks,
                                 const std::vector<bool>& removed) {
  std::string out;
  size_t from = 0;
  for (size_t i = 0; i < bookmarks.size(); ++i) {
    if (i >= removed.size() || !removed[i] || bookmarks[i].begin < from ||
        bookmarks[i].end > text.size())
      continue;
    out.append(text.substr(from, bookmarks[i].begin - from));
    from = bookmarks[i].end;
  }
  out.append(text.substr(from));
  return out;
}

}  // namespace orvexa::privacy
