// Grouping of documents by compression distance (compressed_sizes.h).
//
// Two documents are linked when their distance is at most the threshold, and
// the groups are the connected sets of linked documents (single linkage): a
// chain of revisions v1 ~ v2 ~ v3 forms one group even when v1 and v3 are
// further apart than the threshold. The sets are found with union-find over
// the pairs the sizes hold (only measured pairs can be linked), so the memory
// beyond the sizes is O(n + links).
// Documents with an empty or unmeasured text are never linked. Given the
// texts, a document whose text is shorter than kShortTextBytes is linked
// only to documents of exactly the same text: a few words compress to a
// handful of bytes whatever they say, too few for the distance to tell.
//
// Thread-safety: a pure function of its arguments.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "orvexa/scan/similar_text/compressed_sizes.h"

namespace orvexa {

// One member of a group, with the member of the same group closest to it (the
// link that explains why it is there).
struct GroupedDocument {
  size_t index;    // in the table's order
  size_t nearest;  // another member of the group
  double distance;
};

// The groups of two or more documents, each in ascending index order, the
// groups ordered by their first index. `percent` is the largest distance
// that links two documents, in hundredths; below 0 nothing is linked.
inline constexpr size_t kShortTextBytes = 64;
std::vector<std::vector<GroupedDocument>> groupSimilarDocuments(
    const CompressedSizes& sizes, int percent, const std::vector<std::string>* texts = nullptr);

}  // namespace orvexa
