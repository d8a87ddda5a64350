#include "orvexa/tree/duplicate_node.h"

#include <algorithm>
#include <functional>

namespace orvexa {

DuplicateNode::DuplicateNode(int nodeDeep_, int nodePropertyValue_, int fileOrFolderNode_,
                             std::vector<std::string> folderPaths_,
                             std::vector<std::string> filePaths_)
    : nodeDeep(nodeDeep_),
      nodePropertyValue(nodePropertyValue_),
      fileOrFolderNode(fileOrFolderNode_),
      folderPaths(std::move(folderPaths_)),
      filePaths(std::move(filePaths_)) {}

std::string DuplicateNode::calculationDistanceString(std::vector<std::string> folderStrs) {
  std::sort(folderStrs.begin(), folderStrs.end(), std::greater<>());
  std::string joined;
  for (const std::string& s : folderStrs) joined += s;
  return joined;
}

}  // namespace orvexa
