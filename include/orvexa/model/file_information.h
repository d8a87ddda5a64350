// FileInformation: one file, folder or package found, or one non-file item
// (a privacy record, a maintenance item) shown the same way. See records.h
// for ownership and threading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "orvexa/model/enums.h"
#include "orvexa/model/forward.h"
#include "orvexa/platform/image.h"
#include "orvexa/platform/url.h"

namespace orvexa {

class FileInformation {
 public:
  FileInformation() { refreshHash(); }
  // Fields in declaration order; `description` is accepted and not kept.
  FileInformation(int state, int finderID, int parentFinderID, std::string title, Image icon,
                  int64_t size, Timestamp date, Url url, const std::string& description, bool canDelete,
                  bool removeCategory, std::any attachInformation, std::vector<FilePtr> childrens,
                  const CategoryPtr& parentCategoryInfo, int fileKind, int levelInt,
                  const FilePtr& parentFileInfo);

  int state = 0;  // 0 not ticked, 1 ticked, -1 mixed
  // Assigning the identifier recomputes hashValueString.
  int finderID() const { return finderID_; }
  void setFinderID(int id);
  int parentFinderID = 0;
  std::string title;
  Image icon;
  int64_t size = 0;
  Timestamp date{};
  Url url;
  bool canDelete = false;
  bool removeCategory = false;
  // "finderID:parentFinderID:size:absolute URL", as of the last assignment
  // of finderID (later changes to the other three do not refresh it).
  const std::string& hashValueString() const { return hashValueString_; }
  std::any attachInformation;
  std::vector<FilePtr> childrens;
  std::weak_ptr<CategoryInformation> parentCategoryInfo;
  int fileKind = raw(FilesKind::Folder);
  int levelInt = 0;
  std::weak_ptr<FileInformation> parentFileInfo;
  int deleteStatus = raw(DeleteStatus::None);
  std::string deleteErrorDesc;

  // Equal when finderID, parentFinderID, size and url are.
  friend bool operator==(const FileInformation& a, const FileInformation& b) {
    return a.finderID_ == b.finderID_ && a.parentFinderID == b.parentFinderID &&
           a.size == b.size && a.url == b.url;
  }
  size_t hashValue() const;

 private:
  void refreshHash();

  int finderID_ = 0;
  std::string hashValueString_;
};

// Hashing and equality through shared pointers, for sets of records:
// std::unordered_set<FilePtr, FileInformationHash, FileInformationEqual>.
struct FileInformationHash {
  size_t operator()(const FilePtr& f) const { return f ? f->hashValue() : 0; }
};
struct FileInformationEqual {
  bool operator()(const FilePtr& a, const FilePtr& b) const {
    if (!a || !b) return a == b;
    return *a == *b;
  }
};

}  // namespace orvexa

template <>
struct std::hash<orvexa::FileInformation> {
  size_t operator()(const orvexa::FileInformation& f) const { return f.hashValue(); }
};
