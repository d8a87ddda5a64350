#include <algorithm>
#include <string>

#include "orvexa/platform/content_type.h"
#include "orvexa/scan/disk_analysis/disk_tree_report.h"

namespace orvexa {
namespace {

bool isFolderRecord(const FileInformation& f) {
  return f.fileKind == raw(FilesKind::Folder) || f.fileKind == raw(FilesKind::Package);
}

// A record offered, with its path once a comparison needed it (records of
// the tree keep their names, not their paths).
struct Candidate {
  FilePtr record;
  mutable std::string path;
  mutable bool pathKnown = false;

  const std::string& pathText() const {
    if (!pathKnown) {
      path = record->fileUrl().path();
      pathKnown = true;
    }
    return path;
  }
};

// Larger first; equal sizes by path.
bool larger(const Candidate& a, const Candidate& b) {
  if (a.record->size != b.record->size) return a.record->size > b.record->size;
  return a.pathText() < b.pathText();
}

// Keeps the `top` largest records offered (all for 0).
class Largest {
 public:
  explicit Largest(size_t top) : top_(top) {}

  void offer(const FilePtr& record) {
    Candidate candidate{record, {}, false};
    if (top_ == 0) {
      kept_.push_back(std::move(candidate));
      return;
    }
    if (kept_.size() < top_) {
      kept_.push_back(std::move(candidate));
      std::push_heap(kept_.begin(), kept_.end(), larger);
      return;
    }
    // The heap's front is the smallest kept record.
    if (!larger(candidate, kept_.front())) return;
    std::pop_heap(kept_.begin(), kept_.end(), larger);
    kept_.back() = std::move(candidate);
    std::push_heap(kept_.begin(), kept_.end(), larger);
  }

  std::vector<FilePtr> take() {
    std::sort(kept_.begin(), kept_.end(), larger);
    std::vector<FilePtr> out;
    out.reserve(kept_.size());
    for (Candidate& c : kept_) out.push_back(std::move(c.record));
    kept_ = {};
    return out;
  }

 private:
  size_t top_;
  std::vector<Candidate> kept_;
};

}  // namespace

DiskTreeSummary summarizeDiskTree(const FilePtr& root, size_t top) {
  DiskTreeSummary summary;
  if (!root) return summary;
  summary.size = root->size;
  Largest folders(top);
  Largest files(top);
  std::vector<const FileInformation*> pending{root.get()};
  while (!pending.empty()) {
    const FileInformation* record = pending.back();
    pending.pop_back();
    for (const FilePtr& child : record->childrens) {
      if (!child) continue;
      if (isFolderRecord(*child)) {
        ++summary.folderCount;
        folders.offer(child);
        if (!child->scanErrorDesc.empty()) summary.unreadFolders.push_back(child);
        pending.push_back(child.get());
      } else {
        ++summary.fileCount;
        files.offer(child);
      }
    }
  }
  summary.largestFolders = folders.take();
  summary.largestFiles = files.take();
  return summary;
}

DiskItemKind diskItemKindOf(const FileInformation& record) {
  if (isFolderRecord(record)) return DiskItemKind::folder;
  const std::vector<std::string> tree =
      contentTypeTree(contentTypeForName(record.title, false, false));
  auto conforms = [&tree](std::string_view type) {
    return std::find(tree.begin(), tree.end(), type) != tree.end();
  };
  if (conforms("public.image")) return DiskItemKind::image;
  if (conforms("public.movie")) return DiskItemKind::video;
  if (conforms("public.audio")) return DiskItemKind::audio;
  // Office files are zip archives too: what they hold is a document.
  if (conforms("public.composite-content") || conforms("public.text")) {
    return DiskItemKind::document;
  }
  if (conforms("public.archive")) return DiskItemKind::archive;
  return DiskItemKind::other;
}

const char* diskItemKindName(DiskItemKind kind) {
  switch (kind) {
    case DiskItemKind::folder:
      return "folder";
    case DiskItemKind::image:
      return "image";
    case DiskItemKind::video:
      return "video";
    case DiskItemKind::audio:
      return "audio";
    case DiskItemKind::archive:
      return "archive";
    case DiskItemKind::document:
      return "document";
    case DiskItemKind::other:
      return "other";
  }
  return "other";
}

}  // namespace orvexa
