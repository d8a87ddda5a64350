// Choosing which copies of the duplicate groups to remove: every member but
// one per group, without ever removing the last copy of anything.
//
// Folder groups are settled first, outermost (largest, then shallowest)
// first; a member that lies inside a folder already chosen for removal is
// not considered again (it goes with its folder), so the copy kept of a
// group is never inside a removed folder, and no removed item is inside
// another. Of a file group, a copy inside a kept folder is preferred, so
// kept folders stay whole. The freed bytes are therefore the plain sum of the removed
// members' sizes.
//
// Thread-safety: works on records the caller owns; one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "orvexa/model/records.h"

namespace orvexa {

enum class DuplicateKeep {
  oldest,     // the member with the earliest date (then the first path)
  newest,     // the member with the latest date (then the first path)
  firstPath,  // the member whose path sorts first, component by component
};

struct DuplicateRemovalPlan {
  std::vector<FilePtr> keep;    // one per group that still has copies
  std::vector<FilePtr> remove;  // the other members
  int64_t freedBytes = 0;       // what removing the members gives back (freedSize)
};

// The plan for the groups of the all-duplicates category.
DuplicateRemovalPlan planDuplicateRemoval(const CategoryPtr& allCategory, DuplicateKeep keep);

// Ticks the plan into the records: removed members state 1, kept members 0,
// and each group -1 (mixed) when it has a member of each, else its members'
// common state. Members of groups the plan did not touch are left as they are.
void tickDuplicateRemoval(const CategoryPtr& allCategory, const DuplicateRemovalPlan& plan);

}  // namespace orvexa
