#include "orvexa/model/feature_information.h"

#include "orvexa/model/module_information.h"

namespace orvexa {

FeatureInformation::FeatureInformation(int finderID_, int state_, Image icon_, std::string title_,
                                       std::string description_,
                                       std::vector<CategoryPtr> categoryInfo_,
                                       const ModulePtr& moduleInfo_, std::any attachInfomation_)
    : finderID(finderID_),
      state(state_),
      icon(std::move(icon_)),
      title(std::move(title_)),
      description(std::move(description_)),
      categoryInfo(std::move(categoryInfo_)),
      moduleInfo(moduleInfo_),
      attachInfomation(std::move(attachInfomation_)) {}

}  // namespace orvexa
