// DuplicateFileTree: the owner class of the duplicate folder tree. Nothing
// in this library fills the tree; addNode and tree() take their arguments
// and do nothing.
#pragma once

#include <string>

#include "orvexa/model/records.h"

namespace orvexa {

class DuplicateFileTree {
 public:
  void addNode(const std::string& md5String, const FilePtr& fileInfo);
  void tree();
};

}  // namespace orvexa
