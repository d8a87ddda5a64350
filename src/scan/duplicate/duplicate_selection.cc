#include "orvexa/scan/duplicate/duplicate_selection.h"

#include <algorithm>
#include <set>
#include <string>
#include <string_view>

#include "scan/duplicate/folder_entries.h"

namespace orvexa {
namespace {

bool isFolder(const FileInformation& member) {
  return member.fileKind == raw(FilesKind::Folder) || member.fileKind == raw(FilesKind::Package);
}

// Component-wise order: "/a/f" before "/a'/f", as "/a" is before "/a'", so
// a kept folder and the files kept inside it agree.
bool pathBefore(const std::string& x, const std::string& y) {
  size_t i = 0, j = 0;
  for (;;) {
    size_t xe = x.find('/', i), ye = y.find('/', j);
    std::string_view xc(x.data() + i, (xe == std::string::npos ? x.size() : xe) - i);
    std::string_view yc(y.data() + j, (ye == std::string::npos ? y.size() : ye) - j);
    if (xc != yc) return xc < yc;
    if (xe == std::string::npos || ye == std::string::npos) {
      return xe == std::string::npos && ye != std::string::npos;
    }
    i = xe + 1;
    j = ye + 1;
  }
}

bool keepBefore(const FilePtr& x, const FilePtr& y, DuplicateKeep keep) {
  if (keep == DuplicateKeep::oldest && x->date != y->date) return x->date < y->date;
  if (keep == DuplicateKeep::newest && x->date != y->date) return x->date > y->date;
  return pathBefore(x->url.path(), y->url.path());
}

bool insideAny(const std::string& path, const std::set<std::string>& folders) {
  // Walk up the path: each ancestor is one lookup.
  std::string current = path;
  for (;;) {
    if (folders.count(current) != 0) return true;
    size_t slash = current.rfind('/');
    if (slash == std::string::npos || slash == 0) return folders.count("/") != 0;
    current.resize(slash);
  }
}

}  // namespace

DuplicateRemovalPlan planDuplicateRemoval(const CategoryPtr& allCategory, DuplicateKeep keep) {
  DuplicateRemovalPlan plan;
  if (!allCategory) return plan;
  std::vector<FilePtr> groups;
  for (const FilePtr& g : allCategory->childrens) {
    if (g && g->childrens.size() >= 2) groups.push_back(g);
  }
  // Folder groups first, outermost first; then file groups.
  std::stable_sort(groups.begin(), groups.end(), [](const FilePtr& a, const FilePtr& b) {
    const bool fa = isFolder(*a->childrens.front()), fb = isFolder(*b->childrens.front());
    if (fa != fb) return fa;
    if (!fa) return false;
    const int64_t sa = a->childrens.front()->size, sb = b->childrens.front()->size;
    if (sa != sb) return sa > sb;
    return duplicate_internal::pathComponentCount(a->childrens.front()->url.path()) <
           duplicate_internal::pathComponentCount(b->childrens.front()->url.path());
  });
  std::set<std::string> removedFolders;
  std::set<std::string> keptFolders;
  for (const FilePtr& group : groups) {
    std::vector<FilePtr> candidates;
    for (const FilePtr& m : group->childrens) {
      if (!insideAny(m->url.path(), removedFolders)) candidates.push_back(m);
    }
    if (candidates.size() < 2) continue;
    // A copy inside a folder that is kept whole is the one to keep, so kept
    // folders stay complete.
    auto kept = std::min_element(candidates.begin(), candidates.end(),
                                 [&](const FilePtr& x, const FilePtr& y) {
                                   const bool xk = insideAny(x->url.path(), keptFolders);
                                   const bool yk = insideAny(y->url.path(), keptFolders);
                                   if (xk != yk) return xk;
                                   return keepBefore(x, y, keep);
                                 });
    plan.keep.push_back(*kept);
    if (isFolder(**kept)) keptFolders.insert((*kept)->url.path());
    for (const FilePtr& m : candidates) {
      if (m == *kept) continue;
      plan.remove.push_back(m);
      plan.freedBytes += m->freedSize();
      if (isFolder(*m)) removedFolders.insert(m->url.path());
    }
  }
  return plan;
}

void tickDuplicateRemoval(const CategoryPtr& allCategory, const DuplicateRemovalPlan& plan) {
  if (!allCategory) return;
  std::set<const FileInformation*> removed, kept;
  for (const FilePtr& f : plan.remove) removed.insert(f.get());
  for (const FilePtr& f : plan.keep) kept.insert(f.get());
  for (const FilePtr& group : allCategory->childrens) {
    bool any = false, all = true;
    for (const FilePtr& m : group->childrens) {
      if (removed.count(m.get()) != 0) m->state = 1;
      if (kept.count(m.get()) != 0) m->state = 0;
      any = any || m->state == 1;
      all = all && m->state == 1;
    }
    group->state = all && any ? 1 : (any ? -1 : 0);
  }
}

}  // namespace orvexa
