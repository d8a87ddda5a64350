#include <algorithm>
#include <array>
#include <ctime>

#include "orvexa/scan/disk_analysis/disk_tree_report.h"
#include "scan/disk_analysis/json_text.h"

namespace orvexa {
namespace disk_analysis {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

void appendEscape(std::string& out, unsigned code) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
}

// Printable ASCII that a JSON string (also inside an HTML script element)
// takes as it is.
bool plainJsonByte(unsigned char c) {
  return c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&';
}

// The bytes a file URL's path keeps as they are (RFC 3986 pchar and the
// separator), as Url::absoluteString writes it.
constexpr std::array<bool, 256> kPlainPathBytes = [] {
  std::array<bool, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[static_cast<size_t>(c)] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<size_t>(c)] = true;
  for (int c = '0'; c <= '9'; ++c) table[static_cast<size_t>(c)] = true;
  for (char c : std::string_view("-._~!$&'()*+,;=:@/")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    size_t run = i;
    while (run < n && plainJsonByte(p[run])) ++run;
    if (run > i) {
      out.append(text.substr(i, run - i));
      i = run;
      if (i == n) break;
    }
    const unsigned char c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\r':
          out += "\\r";
          break;
        default:
          appendEscape(out, c);
      }
      ++i;
      continue;
    }
    // A multi-byte sequence: its length, its smallest allowed value and its
    // value; anything malformed (overlong, surrogate, beyond U+10FFFF,
    // truncated) is one replacement character per bad byte.
    size_t length = 0;
    unsigned code = 0;
    unsigned minimum = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code = c & 0x1Fu;
      minimum = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code = c & 0x0Fu;
      minimum = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code = c & 0x07u;
      minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= n;
    for (size_t k = 1; valid && k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) {
        valid = false;
      } else {
        code = (code << 6) | (p[i + k] & 0x3Fu);
      }
    }
    if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (code == 0x2028 || code == 0x2029) {
      appendEscape(out, code);
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  out += '"';
}

void appendJsonFileUrl(std::string& out, const Url& url) {
  appendJsonFilePath(out, url.path(), url.isDirectory());
}

void appendJsonFilePath(std::string& out, const std::string& path, bool isDirectory) {
  out += "\"file://";
  const char* p = path.data();
  const size_t n = path.size();
  size_t i = 0;
  while (i < n) {
    size_t run = i;
    // '&' is a path character, but escaped here for HTML's sake.
    while (run < n && kPlainPathBytes[static_cast<unsigned char>(p[run])] && p[run] != '&') ++run;
    out.append(p + i, run - i);
    if (run == n) break;
    const auto c = static_cast<unsigned char>(p[run]);
    if (c == '&') {
      appendEscape(out, c);
    } else {
      const char escaped[3] = {'%', kUpperHex[c >> 4], kUpperHex[c & 0x0F]};
      out.append(escaped, 3);
    }
    i = run + 1;
  }
  if (n > 0 && isDirectory && path != "/") out += '/';
  out += '"';
}

std::string isoDate(Timestamp date) {
  std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(buffer, length);
}

}  // namespace disk_analysis

namespace {

using disk_analysis::appendJsonString;

void appendKey(std::string& out, const char* key) {
  out += '"';
  out += key;
  out += "\":";
}

void appendNumber(std::string& out, const char* key, int64_t value) {
  appendKey(out, key);
  out += std::to_string(value);
  out += ',';
}

// The children a record shows under the limits, largest first.
struct Selection {
  std::vector<const FileInformation*> shown;
  size_t omittedCount = 0;
  int64_t omittedSize = 0;
};

Selection select(const FileInformation& record, size_t depth, const DiskTreeJsonLimits& limits) {
  Selection s;
  const std::vector<FilePtr>& children = record.childrens;
  const bool depthReached = limits.maxDepth != 0 && depth >= limits.maxDepth;
  if (!depthReached) {
    s.shown.reserve(children.size());
    for (const FilePtr& c : children) {
      if (c) s.shown.push_back(c.get());
    }
    auto larger = [](const FileInformation* a, const FileInformation* b) {
      if (a->size != b->size) return a->size > b->size;
      return a->finderID() < b->finderID();
    };
    if (limits.maxChildren != 0 && s.shown.size() > limits.maxChildren) {
      std::partial_sort(s.shown.begin(),
                        s.shown.begin() + static_cast<std::ptrdiff_t>(limits.maxChildren),
                        s.shown.end(), larger);
      for (size_t i = limits.maxChildren; i < s.shown.size(); ++i) {
        s.omittedSize += s.shown[i]->size;
        ++s.omittedCount;
      }
      s.shown.resize(limits.maxChildren);
    } else {
      std::sort(s.shown.begin(), s.shown.end(), larger);
    }
  } else {
    for (const FilePtr& c : children) {
      if (!c) continue;
      s.omittedSize += c->size;
      ++s.omittedCount;
    }
  }
  return s;
}

// The path of the record being written, in one string for the whole walk:
// a record located by its parent appends its name to its parent's path
// (cut back to the parent's length first); any other sets its own. Returns
// whether it names a folder.
bool enterPath(std::string& path, size_t parentLength, const FileInformation& f, bool hasParent) {
  if (!f.locatedByParent() || !hasParent) {
    const Url url = f.fileUrl();
    path = url.path();
    return url.isDirectory();
  }
  path.resize(parentLength);
  if (path.empty() || path.back() != '/') path += '/';
  path += f.title;
  return f.fileKind == raw(FilesKind::Folder) || f.fileKind == raw(FilesKind::Package);
}

// Writes the record's fields and opens its "childrens" array.
void openRecord(std::string& out, const FileInformation& f, const std::string& path,
                bool isDirectory, const Selection& s) {
  out += '{';
  appendNumber(out, "finderID", f.finderID());
  appendNumber(out, "parentFinderID", f.parentFinderID);
  appendKey(out, "title");
  appendJsonString(out, f.title);
  out += ',';
  appendNumber(out, "size", f.size);
  appendNumber(out, "allocatedSize", f.allocatedSize());
  appendKey(out, "url");
  disk_analysis::appendJsonFilePath(out, path, isDirectory);
  out += ',';
  appendKey(out, "date");
  appendJsonString(out, disk_analysis::isoDate(f.date));
  out += ',';
  appendNumber(out, "fileKind", f.fileKind);
  appendNumber(out, "state", f.state);
  appendKey(out, "canDelete");
  out += f.canDelete ? "true," : "false,";
  appendNumber(out, "deleteStatus", f.deleteStatus);
  appendKey(out, "deleteErrorDesc");
  appendJsonString(out, f.deleteErrorDesc.str());
  out += ',';
  if (s.omittedCount > 0) {
    appendNumber(out, "omittedChildren", static_cast<int64_t>(s.omittedCount));
    appendNumber(out, "omittedSize", s.omittedSize);
  }
  appendKey(out, "childrens");
  out += '[';
}

// One tree of records, depth-first with an explicit stack.
void writeTree(disk_analysis::ChunkedOutput& output, const FileInformation& root,
               const DiskTreeJsonLimits& limits) {
  struct Frame {
    Selection selection;
    size_t next = 0;
    size_t depth = 0;
    size_t pathLength = 0;
    const FileInformation* record = nullptr;
    bool ownPath = false;  // set `path` from its own url, below a parent
  };
  std::vector<Frame> stack;
  std::string path;
  const bool rootIsFolder = enterPath(path, 0, root, false);
  Frame first{select(root, 0, limits), 0, 0, path.size(), &root, false};
  openRecord(output.text(), root, path, rootIsFolder, first.selection);
  stack.push_back(std::move(first));
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next < frame.selection.shown.size()) {
      const FileInformation& child = *frame.selection.shown[frame.next];
      if (frame.next > 0) output.text() += ',';
      ++frame.next;
      const bool isFolder = enterPath(path, frame.pathLength, child, true);
      Frame inner{select(child, frame.depth + 1, limits),
                  0,
                  frame.depth + 1,
                  path.size(),
                  &child,
                  !child.locatedByParent()};
      openRecord(output.text(), child, path, isFolder, inner.selection);
      stack.push_back(std::move(inner));  // `frame` is not used after this
    } else {
      output.text() += "]}";
      const bool restore = frame.ownPath;
      stack.pop_back();
      // A record with a url of its own replaced its parent's path.
      if (restore && !stack.empty()) path = stack.back().record->fileUrl().path();
    }
    output.maybeFlush();
  }
}

}  // namespace

void writeDiskTreeJson(const FeatureInformation& feature, int64_t total,
                       const DiskTreeJsonLimits& limits, const TextSink& sink) {
  disk_analysis::ChunkedOutput output(sink);
  std::string& out = output.text();
  out += "{\"feature\":{";
  appendNumber(out, "finderID", feature.finderID);
  appendKey(out, "title");
  appendJsonString(out, feature.title);
  out += ',';
  appendNumber(out, "state", feature.state);
  appendKey(out, "categoryInfo");
  out += '[';
  bool firstCategory = true;
  for (const CategoryPtr& category : feature.categoryInfo) {
    if (!category) continue;
    if (!firstCategory) output.text() += ',';
    firstCategory = false;
    std::string& text = output.text();
    text += '{';
    appendNumber(text, "finderID", category->finderID());
    appendKey(text, "title");
    appendJsonString(text, category->title);
    text += ',';
    appendNumber(text, "kind", category->kind);
    appendNumber(text, "state", category->state);
    appendNumber(text, "size", category->size);
    appendKey(text, "urls");
    text += '[';
    for (size_t i = 0; i < category->urls.size(); ++i) {
      if (i > 0) text += ',';
      disk_analysis::appendJsonFileUrl(text, category->urls[i]);
    }
    text += "],";
    appendKey(text, "childrens");
    text += '[';
    bool firstRoot = true;
    for (const FilePtr& root : category->childrens) {
      if (!root) continue;
      if (!firstRoot) output.text() += ',';
      firstRoot = false;
      writeTree(output, *root, limits);
    }
    output.text() += "]}";
    output.maybeFlush();
  }
  output.text() += "]},";
  appendNumber(output.text(), "total", total);
  output.text().back() = '}';
  output.text() += '\n';
}

}  // namespace orvexa
