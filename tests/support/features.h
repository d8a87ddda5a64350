// Small catalogue pieces built in code, for scanner tests.
#pragma once

#include <string>
#include <vector>

#include "orvexa/model/records.h"

namespace orvexa::testing {

struct CategorySpec {
  std::string title;
  CategoryInfomationKind kind = CategoryInfomationKind::Common;
  std::vector<std::string> folders;  // real paths
};

// A module holding one feature with the given categories (finderIDs 0, 1, ...).
// Keep the returned module alive for as long as the feature is used.
ModulePtr makeModule(int featureID, const std::vector<CategorySpec>& categories);
inline FeaturePtr featureOf(const ModulePtr& module) { return module->featureInfo.front(); }

}  // namespace orvexa::testing
