// Taking records out of a disk analysis tree: after a clean (sortCategory)
// and when the tree is dropped (releaseTree). Both use explicit stacks.
#include <algorithm>

#include "orvexa/platform/file_manager.h"
#include "orvexa/scan/disk_analysis/disk_analysis_service.h"

namespace orvexa {
namespace {

bool isTicked(const FileInformation& f) { return f.state == 1; }
bool isMixed(const FileInformation& f) { return f.state == -1; }
bool deleted(const FileInformation& f) {
  return f.deleteStatus == raw(DeleteStatus::DeleteSuccess);
}

// What remains of a ticked record after a clean: a record without children
// remains unless it was deleted; one with children, each child not deleted.
size_t remainderOf(const FileInformation& f) {
  if (f.childrens.empty()) return deleted(f) ? 0 : 1;
  return static_cast<size_t>(std::count_if(f.childrens.begin(), f.childrens.end(),
                                           [](const FilePtr& c) { return !c || !deleted(*c); }));
}

struct Tidy {
  int64_t removedTotal = 0;
  std::vector<FilePtr> removed;
  std::string errors;

  // A record that is gone: its folder (if still there) is removed from disk
  // when the user may, and it counts as removed.
  void takeOut(const FilePtr& record) {
    bool isFolder = false;
    const std::string path = record->fileUrl().path();
    if (record->canDelete && !path.empty() && fileExists(path, &isFolder) && isFolder) {
      FileStatus status = removeItem(path);
      if (!status.ok()) errors += status.message() + ",";
    }
    removedTotal += record->size;
    removed.push_back(record);
  }
};

// One record whose childrens are being tidied.
struct Frame {
  FileInformation* record;
  size_t next = 0;
  std::vector<size_t> gone;    // positions of children that leave the tree
  int64_t removedBelow = 0;    // bytes taken out below this record
  int64_t allocatedBelow = 0;  // and the blocks they took on disk
  bool wasTicked = false;      // ticked before; gone once nothing is left in it
};

// The tidy-up of one root, depth-first without recursion.
void tidy(const FilePtr& root, Tidy& out) {
  std::vector<Frame> stack;
  stack.push_back(Frame{root.get(), 0, {}, 0, 0, false});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    std::vector<FilePtr>& children = frame.record->childrens;
    if (frame.next < children.size()) {
      const size_t position = frame.next++;
      const FilePtr& child = children[position];
      if (!child) continue;
      if (isTicked(*child)) {
        if (remainderOf(*child) == 0) {
          out.takeOut(child);
          frame.removedBelow += child->size;
          frame.allocatedBelow += child->allocatedSize();
          frame.gone.push_back(position);
        } else {
          child->state = 0;
          if (!child->childrens.empty()) stack.push_back(Frame{child.get(), 0, {}, 0, 0, true});
        }
      } else if (isMixed(*child)) {
        stack.push_back(Frame{child.get(), 0, {}, 0, 0, false});
      }
      continue;
    }
    // Every child handled: take the gone ones out (positions ascending), in
    // one pass, so that a folder of a million gone files costs a million
    // steps, not a million erases.
    if (!frame.gone.empty()) {
      size_t kept = 0;
      size_t nextGone = 0;
      for (size_t i = 0; i < children.size(); ++i) {
        if (nextGone < frame.gone.size() && frame.gone[nextGone] == i) {
          ++nextGone;
          continue;
        }
        if (kept != i) children[kept] = std::move(children[i]);
        ++kept;
      }
      children.resize(kept);
    }
    frame.record->setAllocatedSize(frame.record->allocatedSize() - frame.allocatedBelow);
    frame.record->size -= frame.removedBelow;
    const int64_t removedBelow = frame.removedBelow;
    const int64_t allocatedBelow = frame.allocatedBelow;
    const bool emptied = frame.wasTicked && children.empty() && !frame.gone.empty();
    FileInformation* record = frame.record;
    stack.pop_back();
    if (stack.empty()) break;
    Frame& parent = stack.back();
    parent.removedBelow += removedBelow;
    parent.allocatedBelow += allocatedBelow;
    if (emptied) {
      // Ticked, and everything in it went: it goes as well.
      const size_t position = parent.next - 1;
      const FilePtr& self = parent.record->childrens[position];
      if (self.get() == record) {
        out.takeOut(self);
        parent.removedBelow += self->size;
        parent.allocatedBelow += self->allocatedSize();
        parent.gone.push_back(position);
      }
    }
  }
}

// Takes apart the subtree of a record that is leaving the tree, keeping the
// record itself.
void releaseChildren(FileInformation& record) {
  std::vector<FilePtr> children = std::move(record.childrens);
  record.childrens = {};
  for (FilePtr& child : children) DiskAnalysisService::releaseTree(std::move(child));
}

}  // namespace

void DiskAnalysisService::releaseTree(FilePtr record) {
  std::vector<FilePtr> pending;
  pending.push_back(std::move(record));
  while (!pending.empty()) {
    FilePtr node = std::move(pending.back());
    pending.pop_back();
    // Someone else holds it: its subtree is theirs.
    if (!node || node.use_count() > 1) continue;
    for (FilePtr& child : node->childrens) pending.push_back(std::move(child));
    node->childrens.clear();
    // `node` now dies without children.
  }
}

void DiskAnalysisService::releaseCategory(const CategoryPtr& category) {
  if (!category) return;
  std::vector<FilePtr> roots = std::move(category->childrens);
  category->childrens = {};
  for (FilePtr& root : roots) releaseTree(std::move(root));
}

DiskAnalysisService::SortResult DiskAnalysisService::sortCategory(const CategoryPtr& category) {
  Tidy out;
  if (!category) return {0, {}, ""};
  int64_t size = 0;
  for (const FilePtr& root : category->childrens) {
    if (!root) continue;
    tidy(root, out);
    size += root->size;
  }
  category->size = size;
  // The removed records leave the tree: each keeps its own path (its
  // parents are still held, by the tree or by this list).
  for (const FilePtr& record : out.removed) {
    releaseChildren(*record);
    FileInformation::settleUrls(record);
  }
  return {out.removedTotal, std::move(out.removed), std::move(out.errors)};
}

}  // namespace orvexa
