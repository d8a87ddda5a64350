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
inline ModulePtr makeModule(int featureID, const std::vector<CategorySpec>& categories) {
  auto module = std::make_shared<ModuleInformation>(1, "Module", "Test", Image{}, "", "1.0",
                                                    std::vector<FeaturePtr>{});
  auto feature = std::make_shared<FeatureInformation>(
      featureID, 0, Image{}, "Feature", "", std::vector<CategoryPtr>{}, module, std::any{});
  module->featureInfo.push_back(feature);
  int id = 0;
  for (const CategorySpec& wanted : categories) {
    std::vector<Url> urls;
    for (const std::string& folder : wanted.folders) urls.push_back(Url::fromPath(folder, true));
    feature->categoryInfo.push_back(std::make_shared<CategoryInformation>(
        0, id++, wanted.title, Image{}, 0, "", raw(wanted.kind), std::move(urls),
        std::vector<FilePtr>{}, feature, std::any{}, 0, false));
  }
  return module;
}

inline FeaturePtr featureOf(const ModulePtr& module) { return module->featureInfo.front(); }

}  // namespace orvexa::testing
