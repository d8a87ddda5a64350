// The twelve views of the all-files category: which bucket a record belongs
// to, filing it, and the rebuild after a clean.
#include "scan/large_old/filing.h"

#include <sys/stat.h>

#include <algorithm>
#include <string_view>

#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/content_type.h"

namespace orvexa {
namespace large_old {
namespace {

// Content types are lower case as a rule; only an entry that is not is
// copied to compare.
bool containsLowerCased(std::string_view text, std::string_view word) {
  const bool hasUpper =
      std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  if (!hasUpper) return text.find(word) != std::string_view::npos;
  return asciiLower(text).find(word) != std::string::npos;
}

CategoryInformation& view(const CategoryInformation& allCategory, LargeAndFileKind kind) {
  return *(*allCategory.childrenCateogry)[static_cast<size_t>(kind)];
}

}  // namespace

AgeLimits AgeLimits::before(Timestamp now) {
  return {now - LargeAndOldFileService::kOneYearInterval,
          now - LargeAndOldFileService::kOneMonthInterval,
          now - LargeAndOldFileService::kOneWeekInterval};
}

LargeAndFileKind ageBucket(Timestamp date, const AgeLimits& limits) {
  if (date < limits.year) return LargeAndFileKind::OneYear;
  if (date < limits.month) return LargeAndFileKind::OneMonth;
  if (date < limits.week) return LargeAndFileKind::OneWeek;
  return LargeAndFileKind::LastWeek;
}

LargeAndFileKind sizeBucket(int64_t size) {
  if (size >= LargeAndOldFileService::HugeSize) return LargeAndFileKind::Huge;
  if (size >= LargeAndOldFileService::AverageSize) return LargeAndFileKind::Average;
  return LargeAndFileKind::Small;
}

bool hasViews(const CategoryInformation& allCategory) {
  if (!allCategory.childrenCateogry ||
      allCategory.childrenCateogry->size() != LargeAndOldFileService::kSubCategoryCount) {
    return false;
  }
  return std::all_of(allCategory.childrenCateogry->begin(), allCategory.childrenCateogry->end(),
                     [](const CategoryPtr& sub) { return sub != nullptr; });
}

void append(CategoryInformation& category, const FilePtr& file) {
  category.childrens.push_back(file);
  category.size += file->size;
}

void fileInto(const CategoryInformation& allCategory, const FilePtr& file, int typeBucket,
              const AgeLimits& limits) {
  int type =
      typeBucket >= raw(LargeAndFileKind::Archives) && typeBucket <= raw(LargeAndFileKind::Other)
          ? typeBucket
          : raw(LargeAndFileKind::Other);
  append(view(allCategory, static_cast<LargeAndFileKind>(type)), file);
  append(view(allCategory, ageBucket(file->date, limits)), file);
  append(view(allCategory, sizeBucket(file->size)), file);
}

void emptyViews(const CategoryInformation& allCategory) {
  for (const CategoryPtr& sub : *allCategory.childrenCateogry) {
    sub->childrens.clear();
    sub->size = 0;
  }
}

}  // namespace large_old

CategoryPtr LargeAndOldFileService::allFilesCategory(const FeaturePtr& featureInfo) {
  if (!featureInfo || featureInfo->categoryInfo.empty()) return nullptr;
  const CategoryPtr& all = featureInfo->categoryInfo.front();
  return all && large_old::hasViews(*all) ? all : nullptr;
}

int LargeAndOldFileService::sortTypeTree(const std::vector<std::string>& contentTypeTree) {
  for (const std::string& entry : contentTypeTree) {
    // A disk image is an archive of files, not a picture, though its type
    // names an image.
    if (entry == "public.iso-image" || entry == "public.disk-image") {
      return raw(LargeAndFileKind::Archives);
    }
    if (large_old::containsLowerCased(entry, "image")) return raw(LargeAndFileKind::Picture);
    if (large_old::containsLowerCased(entry, "movie")) return raw(LargeAndFileKind::Movies);
    if (large_old::containsLowerCased(entry, "audio")) return raw(LargeAndFileKind::Music);
    if (large_old::containsLowerCased(entry, "archive")) return raw(LargeAndFileKind::Archives);
  }
  return raw(LargeAndFileKind::Other);
}

int LargeAndOldFileService::sortTypeFile(const FilePtr& file) {
  // No item, no metadata: the type of a name alone is not trusted.
  struct stat st {};
  if (!file || file->url.empty() || ::lstat(file->url.path().c_str(), &st) != 0) {
    return raw(LargeAndFileKind::Other);
  }
  return sortTypeTree(contentTypeTreeOf(file->url.path()));
}

void LargeAndOldFileService::addToChildrenCategory(const CategoryPtr& allCategory,
                                                   const FilePtr& file, Timestamp yearTime,
                                                   Timestamp monthTime, Timestamp weekTime) {
  if (!file || !allCategory || !large_old::hasViews(*allCategory)) return;
  large_old::fileInto(*allCategory, file, sortTypeFile(file), {yearTime, monthTime, weekTime});
}

LargeAndOldFileService::SortResult LargeAndOldFileService::sortCategory(
    const CategoryPtr& allCategory) {
  int64_t deleted = 0;
  std::vector<FilePtr> failed;
  std::string errors;
  if (!allCategory) return {deleted, failed, errors};

  // One pass keeps the order of what stays; the same as removing the deleted
  // positions highest first, without moving the tail once per removal.
  std::vector<FilePtr>& files = allCategory->childrens;
  size_t kept = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    FilePtr& file = files[i];
    bool removed = false;
    if (file && file->state == 1) {
      if (file->deleteStatus != raw(DeleteStatus::DeleteSuccess)) {
        failed.push_back(file);
        errors += file->deleteErrorDesc.str() + ",";
      } else {
        deleted += file->size;
        removed = true;
      }
    }
    if (!removed) {
      if (kept != i) files[kept] = std::move(file);
      ++kept;
    }
  }
  files.resize(kept);

  const auto limits = large_old::AgeLimits::before(std::chrono::system_clock::now());
  if (large_old::hasViews(*allCategory)) large_old::emptyViews(*allCategory);
  allCategory->size = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!files[i]) continue;
    files[i]->setFinderID(static_cast<int>(i));
    allCategory->size += files[i]->size;
    addToChildrenCategory(allCategory, files[i], limits.year, limits.month, limits.week);
  }
  return {deleted, failed, errors};
}

}  // namespace orvexa
