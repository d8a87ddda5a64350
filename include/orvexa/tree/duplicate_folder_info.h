// DuplicateFolderInfo: the per-scan index of the duplicate folder tree, by
// folder key, and the name arithmetic used to compare folders.
//
// Ownership: owns the nodes it lists. Thread-safety: plain data, no locking.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvexa/tree/duplicate_node.h"

namespace orvexa {

class DuplicateFolderInfo {
 public:
  std::vector<std::string> rootPath;  // the scan roots
  // For each folder key, a count and the nodes that share the key.
  std::map<std::string, std::pair<int, std::vector<DuplicateNodePtr>>> foldersAndNodesInfo;

  // |sum of the ASCII values of folder1's characters - the same of
  // folder2's|. Bytes outside 0-127 (every byte of a multi-byte UTF-8
  // letter) add nothing. Sums are signed 64-bit.
  static int64_t calculateValue(std::string_view folder1, std::string_view folder2);
};

}  // namespace orvexa
