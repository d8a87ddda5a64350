// DuplicateNode: one folder or file of the duplicate folder tree, with its
// depth, a cheap name signature, the paths it stands for and the duplicate
// file records it holds.
//
// Ownership: a node owns its children (shared_ptr); its link to the index it
// belongs to (folderInfo) is non-owning, as the index owns the nodes.
// Thread-safety: plain data, no locking; one thread at a time.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "orvexa/model/records.h"

namespace orvexa {

class DuplicateFolderInfo;
class DuplicateNode;
using DuplicateNodePtr = std::shared_ptr<DuplicateNode>;

class DuplicateNode {
 public:
  DuplicateNode(int nodeDeep, int nodePropertyValue, int fileOrFolderNode,
                std::vector<std::string> folderPaths, std::vector<std::string> filePaths);

  int nodeDeep = 0;           // depth in the tree
  int nodePropertyValue = 0;  // integer signature (see DuplicateFolderInfo::calculateValue)
  int fileOrFolderNode = 0;   // whether the node is a file or a folder
  std::vector<std::string> folderPaths;
  std::vector<std::string> filePaths;
  std::vector<FilePtr> sameFiles;
  std::map<std::string, DuplicateNodePtr> childrenNode;
  std::weak_ptr<DuplicateFolderInfo> folderInfo;

  // The texts sorted in descending byte-wise order and concatenated without
  // separator: equal collections in any order give the same text.
  static std::string calculationDistanceString(std::vector<std::string> folderStrs);
};

}  // namespace orvexa
