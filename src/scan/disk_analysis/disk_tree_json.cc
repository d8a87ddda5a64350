#include <algorithm>
#include <array>
#include <ctime>

#include "orvexa/scan/disk_analysis/disk_tree_report.h"
#include "orvexa/units/json_text.h"

namespace orvexa {

namespace {

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
  appendJsonFilePath(out, path, isDirectory);
  out += ',';
  appendKey(out, "date");
  appendJsonString(out, isoDate(f.date));
  out += ',';
  appendNumber(out, "fileKind", f.fileKind);
  appendNumber(out, "state", f.state);
  appendKey(out, "canDelete");
  out += f.canDelete ? "true," : "false,";
  appendNumber(out, "deleteStatus", f.deleteStatus);
  appendKey(out, "deleteErrorDesc");
  appendJsonString(out, f.deleteErrorDesc.str());
  out += ',';
  if (!f.scanErrorDesc.empty()) {
    appendKey(out, "scanErrorDesc");
    appendJsonString(out, f.scanErrorDesc.str());
    out += ',';
  }
  if (s.omittedCount > 0) {
    appendNumber(out, "omittedChildren", static_cast<int64_t>(s.omittedCount));
    appendNumber(out, "omittedSize", s.omittedSize);
  }
  appendKey(out, "childrens");
  out += '[';
}

// One tree of records, depth-first with an explicit stack.
void writeTree(ChunkedOutput& output, const FileInformation& root,
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
  ChunkedOutput output(sink);
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
      appendJsonFileUrl(text, category->urls[i]);
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
