// Cutting entries out of JSON text and XML property lists.
#include "clean/privacy_store_edits.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace orvexa::privacy {
namespace {

// One element of XML text: its name, the whole element, and what lies
// between its tags (empty for <name/>).
struct XmlElement {
  std::string_view name;
  Span whole;
  Span content;
};

// The elements directly inside text[from, to), past text, comments,
// processing instructions, declarations and character data. Nothing when the
// markup is broken there.
std::optional<std::vector<XmlElement>> xmlChildren(std::string_view text, Span range) {
  std::vector<XmlElement> children;
  XmlElement open;
  size_t depth = 0;
  auto skipTo = [&](size_t from, std::string_view end) {
    const size_t found = text.find(end, from);
    return found == std::string_view::npos || found + end.size() > range.second
               ? std::string_view::npos
               : found + end.size();
  };
  for (size_t i = range.first; i < range.second;) {
    const size_t lt = text.find('<', i);
    if (lt == std::string_view::npos || lt >= range.second) break;
    const std::string_view rest = text.substr(lt, range.second - lt);
    if (rest.starts_with("<!--") || rest.starts_with("<![CDATA[") || rest.starts_with("<?")) {
      i = skipTo(lt + 2, rest.starts_with("<!--") ? "-->" : rest[1] == '?' ? "?>" : "]]>");
      if (i == std::string_view::npos) return std::nullopt;
      continue;
    }
    // A tag or a declaration: it ends at the first ">" outside quotes (and,
    // for a declaration, outside its "[...]" part).
    size_t end = lt + 1;
    char quote = 0;
    int brackets = 0;
    for (; end < range.second; ++end) {
      const char c = text[end];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[' || c == ']') {
        brackets += c == '[' ? 1 : -1;
      } else if (c == '>' && brackets == 0) {
        break;
      }
    }
    if (end >= range.second) return std::nullopt;
    i = end + 1;
    if (rest.starts_with("<!")) continue;
    const bool closing = text[lt + 1] == '/';
    const bool empty = text[end - 1] == '/';
    if (closing) {
      if (depth == 0) return std::nullopt;
      if (--depth == 0) {
        open.whole.second = i;
        open.content.second = lt;
        children.push_back(open);
      }
    } else if (depth == 0) {
      const size_t nameEnd = text.find_first_of(" \t\r\n/>", lt + 1);
      open = {text.substr(lt + 1, nameEnd - lt - 1), {lt, i}, {i, i}};
      if (empty) {
        children.push_back(open);
      } else {
        depth = 1;
      }
    } else if (!empty) {
      ++depth;
    }
  }
  if (depth != 0) return std::nullopt;
  return children;
}

// The spans of the entries of the array under `key` in the top-level
// dictionary of an XML property list; nothing when the key is missing,
// given twice, or holds no array.
std::optional<std::vector<Span>> xmlArrayUnder(std::string_view text, std::string_view key) {
  auto only = [](const std::optional<std::vector<XmlElement>>& elements,
                 std::string_view name) -> std::optional<XmlElement> {
    if (!elements || elements->size() != 1 || elements->front().name != name) return std::nullopt;
    return elements->front();
  };
  std::optional<std::vector<XmlElement>> top = xmlChildren(text, {0, text.size()});
  if (!top) return std::nullopt;
  std::erase_if(*top, [](const XmlElement& e) { return e.name != "plist"; });
  std::optional<XmlElement> plist = only(top, "plist");
  std::optional<XmlElement> dict =
      plist ? only(xmlChildren(text, plist->content), "dict") : std::nullopt;
  std::optional<std::vector<XmlElement>> members =
      dict ? xmlChildren(text, dict->content) : std::nullopt;
  if (!members || members->size() % 2 != 0) return std::nullopt;
  std::optional<XmlElement> array;
  for (size_t i = 0; i < members->size(); i += 2) {
    const XmlElement& name = (*members)[i];
    if (name.name != "key") return std::nullopt;
    const Span content = name.content;
    if (text.substr(content.first, content.second - content.first) != key) continue;
    if (array || (*members)[i + 1].name != "array") return std::nullopt;
    array = (*members)[i + 1];
  }
  std::optional<std::vector<XmlElement>> entries =
      array ? xmlChildren(text, array->content) : std::nullopt;
  if (!entries) return std::nullopt;
  std::vector<Span> spans;
  for (const XmlElement& entry : *entries) spans.push_back(entry.whole);
  return spans;
}

}  // namespace

std::string JsonSpans::decoded(std::string_view quoted) {
  if (quoted.find('\\') == std::string_view::npos) {
    return std::string(quoted.substr(1, quoted.size() - 2));
  }
  nlohmann::json value = nlohmann::json::parse(quoted, nullptr, false);
  return value.is_string() ? value.get<std::string>() : std::string();
}

std::string withoutJsonElements(std::string_view text, const std::vector<Span>& elements,
                                const std::vector<bool>& removed) {
  std::vector<Span> cuts;
  std::optional<size_t> lastKept;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (!removed[i]) {
      lastKept = i;
    } else if (i + 1 < elements.size()) {
      cuts.emplace_back(elements[i].first, elements[i + 1].first);
    } else {
      cuts.emplace_back(lastKept ? elements[*lastKept].second : elements[i].first,
                        elements[i].second);
    }
  }
  // The last element's cut reaches back over any removed run before it.
  std::sort(cuts.begin(), cuts.end());
  std::string result;
  size_t from = 0;
  for (const auto& [start, end] : cuts) {
    if (start > from) result.append(text.substr(from, start - from));
    from = std::max(from, end);
  }
  result.append(text.substr(from));
  return result;
}

std::string withoutPlistEntries(const std::string& bytes, PlistValue list, std::string_view key,
                                const std::vector<bool>& removed) {
  const bool binary = bytes.rfind("bplist", 0) == 0;
  if (!binary) {
    std::optional<std::vector<Span>> entries = xmlArrayUnder(bytes, key);
    if (entries && entries->size() == removed.size()) {
      std::string result;
      size_t from = 0;
      for (size_t i = 0; i < entries->size(); ++i) {
        if (!removed[i]) continue;
        size_t start = (*entries)[i].first;
        while (start > from &&
               std::string_view(" \t\r\n").find(bytes[start - 1]) != std::string_view::npos) {
          --start;
        }
        result.append(bytes, from, start - from);
        from = (*entries)[i].second;
      }
      return result.append(bytes, from);
    }
  }
  PlistValue* entry = list.find(key);
  PlistValue::Array* array = entry != nullptr ? entry->asArray() : nullptr;
  if (array == nullptr || array->size() != removed.size()) return {};
  PlistValue::Array kept;
  for (size_t i = 0; i < array->size(); ++i) {
    if (!removed[i]) kept.push_back(std::move((*array)[i]));
  }
  *array = std::move(kept);
  return writePlist(list, binary ? PlistFormat::Binary : PlistFormat::Xml);
}

}  // namespace orvexa::privacy
