// CategoryInformation: one group of results inside a feature. See records.h
// for ownership and threading.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "orvexa/model/enums.h"
#include "orvexa/model/forward.h"
#include "orvexa/platform/image.h"
#include "orvexa/platform/url.h"

namespace orvexa {

class CategoryInformation {
 public:
  CategoryInformation() { refreshHash(); }
  // Fields in declaration order; the two nesting links start absent.
  CategoryInformation(int state, int finderID, std::string title, Image icon, int64_t size,
                      std::string description, int kind, std::vector<Url> urls,
                      std::vector<FilePtr> childrens, const FeaturePtr& featureInfo,
                      std::any attachInfomation, int levelInt, bool needRemoveCategory);

  int state = 0;
  // Assigning the identifier recomputes hashValueString.
  int finderID() const { return finderID_; }
  void setFinderID(int id);
  std::string title;
  Image icon;
  int64_t size = 0;
  std::string description;
  int kind = raw(CategoryInfomationKind::Common);
  std::vector<Url> urls;
  // The folders a clean of this category's records may act in: a record is
  // removed only when its item is one of them or lies below one, reached
  // from there without following links (verified_removal.h). Empty means
  // `urls`, the folders the catalogue names; scanners that take their
  // folders from the user (duplicates, similar images and documents, large
  // and old files, disk analysis, uninstall) set the folders they searched.
  std::vector<Url> scanRoots;
  std::vector<Url> cleanRoots() const { return scanRoots.empty() ? urls : scanRoots; }
  std::vector<FilePtr> childrens;
  std::weak_ptr<FeatureInformation> featureInfo;
  std::any attachInfomation;
  // Upper-case MD5 of "finderID:kind:size:[url, url]:number of childrens",
  // as of construction or the last assignment of finderID. The text is
  // taken then; the digest is worked out on the first request after it
  // (programs that never ask never start the digest library). Concurrent
  // calls are safe.
  const std::string& hashValueString() const;
  int levelInt = 0;
  bool needRemoveCategory = false;
  std::optional<std::vector<CategoryPtr>> childrenCateogry;
  std::weak_ptr<CategoryInformation> parentCategory;

  // The text hashValueString digests, from the current field values.
  std::string identityText() const;

 private:
  void refreshHash();

  int finderID_ = 0;
  std::string hashText_;                 // identityText() at the last assignment
  mutable std::string hashValueString_;  // its digest, once asked for; empty before
};

}  // namespace orvexa
