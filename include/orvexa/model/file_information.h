// FileInformation: one file, folder or package found, or one non-file item
// (a privacy record, a maintenance item) shown the same way. See records.h
// for ownership and threading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "orvexa/model/enums.h"
#include "orvexa/model/forward.h"
#include "orvexa/model/optional_text.h"
#include "orvexa/platform/image.h"
#include "orvexa/platform/listed_identity.h"
#include "orvexa/platform/url.h"

namespace orvexa {

// The link from a category's top-level record up to its category (it does
// not own it), used like a std::weak_ptr. It also carries the record's
// frozen identity values (FileInformation::hashValueString): both are set on
// few records, so they share one allocation, made when either is first set,
// and a record that has neither (a disk analysis keeps one per file and
// folder) pays one pointer for both. A copy copies the values.
class CategoryLink {
 public:
  CategoryLink() = default;
  CategoryLink(const CategoryLink& other)
      : rare_(other.rare_ ? std::make_unique<Rare>(*other.rare_) : nullptr) {}
  CategoryLink(CategoryLink&&) noexcept = default;
  CategoryLink& operator=(const CategoryLink& other) {
    if (this != &other) rare_ = other.rare_ ? std::make_unique<Rare>(*other.rare_) : nullptr;
    return *this;
  }
  CategoryLink& operator=(CategoryLink&&) noexcept = default;
  CategoryLink& operator=(const std::weak_ptr<CategoryInformation>& category) {
    if (rare_ || !category.expired()) own().category = category;
    return *this;
  }
  CategoryLink& operator=(const CategoryPtr& category) {
    return *this = std::weak_ptr<CategoryInformation>(category);
  }
  ~CategoryLink() = default;

  CategoryPtr lock() const { return rare_ ? rare_->category.lock() : nullptr; }
  bool expired() const { return !rare_ || rare_->category.expired(); }
  void reset() {
    if (rare_) rare_->category.reset();
  }

 private:
  friend class FileInformation;
  struct Rare {
    std::weak_ptr<CategoryInformation> category;
    bool frozen = false;  // the identity values below were taken
    int parentFinderID = 0;
    int64_t size = 0;
    Url url;
  };
  Rare& own() {
    if (!rare_) rare_ = std::make_unique<Rare>();
    return *rare_;
  }

  std::unique_ptr<Rare> rare_;
};

class FileInformation {
 public:
  FileInformation() = default;
  // Fields in declaration order; `description` is accepted and not kept.
  FileInformation(int state, int finderID, int parentFinderID, std::string title, Image icon,
                  int64_t size, Timestamp date, Url url, const std::string& description,
                  bool canDelete, bool removeCategory, std::any attachInformation,
                  std::vector<FilePtr> childrens, const CategoryPtr& parentCategoryInfo,
                  int fileKind, int levelInt, const FilePtr& parentFileInfo);

  // The members are ordered so that the record has no padding: a disk
  // analysis keeps one record per file and folder.
  int state = 0;  // 0 not ticked, 1 ticked, -1 mixed
  // Assigning the identifier takes a new identity text (hashValueString).
  int finderID() const { return finderID_; }
  void setFinderID(int id);
  int parentFinderID = 0;
  std::string title;
  Image icon;
  int64_t size = 0;
  Timestamp date{};
  // Where the item is; empty for a record located by its parent (see
  // fileUrl), which is what code that may meet disk analysis records reads.
  Url url;
  bool canDelete = false;
  bool removeCategory = false;

 private:
  uint8_t listedType_ = 0;  // 0: no identity was recorded (fills padding)
  uint8_t flags_ = 0;       // kOtherLinks, kLocatedByParent (fills padding too)
  int finderID_ = 0;

 public:
  // "finderID:parentFinderID:size:absolute URL": all four as they were at
  // construction or the last assignment of finderID (later changes to
  // parentFinderID, size or url do not show). Written out when asked for:
  // records only keep the values it is made of. A record located by its
  // parent keeps none: its text is made of the current values and fileUrl().
  std::string hashValueString() const;
  std::any attachInformation;
  std::vector<FilePtr> childrens;
  CategoryLink parentCategoryInfo;
  int fileKind = raw(FilesKind::Folder);
  int levelInt = 0;
  std::weak_ptr<FileInformation> parentFileInfo;
  int deleteStatus = raw(DeleteStatus::None);
  OptionalText deleteErrorDesc;  // empty unless a removal failed
  // Empty unless the scan could not read what the record lists the usual
  // way: why, in words for the user (a store that is a named pipe, a socket
  // or garbage and was not read; one its program holds locked, read from a
  // copy). The content shown may then be partial or none.
  OptionalText scanErrorDesc;

  // A record located by its parent spends no memory on its path: its `url`
  // stays empty, and fileUrl() is the parent's fileUrl() with the record's
  // title appended (a folder for fileKind Folder or Package), up to the
  // first record above that has a url of its own. Any other record answers
  // `url`. A record whose parents are gone has no way back: fileUrl() is
  // then empty (settleUrls before letting a record out of its tree).
  Url fileUrl() const;
  bool locatedByParent() const { return (flags_ & kLocatedByParent) != 0; }
  // Makes the record located by its parent: clears `url` and the frozen
  // identity values.
  void locateByParent();
  // Gives `record` and every record below it that is located by its parent
  // its url for good (parents first, so each step appends one name), and
  // freezes their identity values as they are now. Iterative: trees of any
  // depth. Equality and hashing do not change.
  static void settleUrls(const FilePtr& record);

  // What the item was when it was listed (records made from files on disk
  // have one; non-file records and hand-made ones have none). The clean
  // removes an item only while it still matches (verified_removal.h).
  std::optional<ListedIdentity> listedIdentity() const;
  void setListedIdentity(const std::optional<ListedIdentity>& identity);

  // Bytes the item takes on disk: for an item listed from its status, its
  // blocks (a sparse file takes far less than its `size`); for a folder
  // whose scanner adds them up, its content's. A record never given one
  // answers `size`.
  int64_t allocatedSize() const { return allocatedSize_ < 0 ? size : allocatedSize_; }
  void setAllocatedSize(int64_t bytes) { allocatedSize_ = bytes; }
  // Bytes removing the item gives back: its allocated size, or nothing when
  // it had other hard links when it was listed (the data stays with them).
  int64_t freedSize() const { return (flags_ & kOtherLinks) != 0 ? 0 : allocatedSize(); }

  // Equal when finderID, parentFinderID, size and url (fileUrl for a record
  // located by its parent) are.
  friend bool operator==(const FileInformation& a, const FileInformation& b);
  size_t hashValue() const;

 private:
  static constexpr uint8_t kOtherLinks = 1;
  static constexpr uint8_t kLocatedByParent = 2;

  // Takes the values the identity text is made of.
  void refreshHash();

  // The listed identity, unpacked to cost 24 bytes: the device (16 bits) and
  // the size (48 bits) share a word. A size of 2^48 bytes or more does not
  // come back whole, so such an item counts as changed (it is never removed
  // by mistake).
  uint64_t listedInode_ = 0;
  int64_t listedModificationNs_ = 0;
  uint64_t listedDeviceAndSize_ = 0;
  int64_t allocatedSize_ = -1;  // -1: not known
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
