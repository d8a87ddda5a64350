// Features shaped like the catalogue's large-and-old-files feature, and
// records to file into them, for the tests of this folder.
#pragma once

#include <string>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/scan/large_old/large_and_old_file_service.h"

namespace orvexa::testing {

// A feature whose first category is an all-files category with `views`
// sub-categories (twelve is well-formed). Keep the module alive.
inline ModulePtr makeLargeModule(int featureID, size_t views = 12, int allFinderID = 0) {
  auto module = std::make_shared<ModuleInformation>(6, "Large", "LaregeAndOldFiles", Image{}, "",
                                                    "1.0", std::vector<FeaturePtr>{});
  auto feature =
      std::make_shared<FeatureInformation>(featureID, 0, Image{}, "Large and Old Files", "",
                                           std::vector<CategoryPtr>{}, module, std::any{});
  module->featureInfo.push_back(feature);
  auto all = std::make_shared<CategoryInformation>(
      0, allFinderID, "All", Image{}, 0, "", raw(CategoryInfomationKind::LargeAndOldFileAllSet),
      std::vector<Url>{}, std::vector<FilePtr>{}, feature, std::any{}, 0, false);
  std::vector<CategoryPtr> subs;
  for (size_t i = 0; i < views; ++i) {
    auto sub = std::make_shared<CategoryInformation>(
        0, static_cast<int>(i), "View " + std::to_string(i), Image{}, 0, "",
        raw(CategoryInfomationKind::Common), std::vector<Url>{}, std::vector<FilePtr>{}, feature,
        std::any{}, 1, false);
    sub->parentCategory = all;
    subs.push_back(sub);
  }
  all->childrenCateogry = std::move(subs);
  feature->categoryInfo.push_back(all);
  return module;
}

inline CategoryPtr view(const CategoryPtr& all, LargeAndFileKind kind) {
  return (*all->childrenCateogry)[static_cast<size_t>(kind)];
}

// The views (by position) that hold `file`.
inline std::vector<LargeAndFileKind> viewsHolding(const CategoryPtr& all, const FilePtr& file) {
  std::vector<LargeAndFileKind> found;
  for (size_t i = 0; i < all->childrenCateogry->size(); ++i) {
    for (const FilePtr& f : (*all->childrenCateogry)[i]->childrens) {
      if (f == file) found.push_back(static_cast<LargeAndFileKind>(i));
    }
  }
  return found;
}

// A file record as the scans make them, at `path` (which need not exist).
inline FilePtr makeRecord(const std::string& path, int64_t size, Timestamp date, int finderID = 0) {
  return std::make_shared<FileInformation>(
      0, finderID, 0, path, Image{}, size, date, Url::fromPath(path, false), "", true, false,
      std::any{}, std::vector<FilePtr>{}, nullptr, raw(FilesKind::File), 0, nullptr);
}

}  // namespace orvexa::testing
