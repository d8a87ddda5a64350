// FeatureInformation: one feature of a module, the result of one scan
// service. See records.h for ownership and threading.
#pragma once

#include <string>

#include "orvexa/model/forward.h"
#include "orvexa/platform/image.h"

namespace orvexa {

class FeatureInformation {
 public:
  FeatureInformation() = default;
  FeatureInformation(int finderID, int state, Image icon, std::string title,
                     std::string description, std::vector<CategoryPtr> categoryInfo,
                     const ModulePtr& moduleInfo, std::any attachInfomation);

  int finderID = 0;
  int state = 0;
  Image icon;
  std::string title;
  std::string description;
  std::vector<CategoryPtr> categoryInfo;
  std::weak_ptr<ModuleInformation> moduleInfo;
  std::any attachInfomation;
};

}  // namespace orvexa
