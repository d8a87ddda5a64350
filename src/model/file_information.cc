#include "orvexa/model/file_information.h"

#include <functional>

namespace orvexa {

// A disk analysis keeps one record per file and folder: keep an eye on what
// one costs (the figure is for 64-bit libstdc++).
// The listed identity costs 24 bytes of it, the allocated size 8, the scan
// error 8, the URL frozen for the identity text 40 (plus a heap copy of a path
// longer than 15 bytes).
static_assert(sizeof(void*) != 8 || sizeof(FileInformation) <= 296,
              "FileInformation grew: every file of a disk analysis pays for it");

FileInformation::FileInformation(int state_, int finderID, int parentFinderID_, std::string title_,
                                 Image icon_, int64_t size_, Timestamp date_, Url url_,
                                 const std::string& /*description*/, bool canDelete_,
                                 bool removeCategory_, std::any attachInformation_,
                                 std::vector<FilePtr> childrens_,
                                 const CategoryPtr& parentCategoryInfo_, int fileKind_,
                                 int levelInt_, const FilePtr& parentFileInfo_)
    : state(state_),
      parentFinderID(parentFinderID_),
      title(std::move(title_)),
      icon(std::move(icon_)),
      size(size_),
      date(date_),
      url(std::move(url_)),
      canDelete(canDelete_),
      removeCategory(removeCategory_),
      finderID_(finderID),
      attachInformation(std::move(attachInformation_)),
      childrens(std::move(childrens_)),
      parentCategoryInfo(parentCategoryInfo_),
      fileKind(fileKind_),
      levelInt(levelInt_),
      parentFileInfo(parentFileInfo_) {
  refreshHash();
}

std::optional<ListedIdentity> FileInformation::listedIdentity() const {
  if (listedType_ == 0) return std::nullopt;
  ListedIdentity id;
  id.inode = listedInode_;
  id.size = static_cast<int64_t>(listedDeviceAndSize_ >> 16);
  id.modificationNs = listedModificationNs_;
  id.device = static_cast<uint16_t>(listedDeviceAndSize_ & 0xFFFF);
  id.type = listedType_;
  id.otherLinks = listedOtherLinks_;
  id.allocated = allocatedSize_;
  return id;
}

void FileInformation::setListedIdentity(const std::optional<ListedIdentity>& identity) {
  const ListedIdentity id = identity.value_or(ListedIdentity{});
  listedType_ = id.type;
  listedOtherLinks_ = id.otherLinks;
  // A folder's own blocks are not what it holds: its scanner sums those.
  if (!id.isFolder()) allocatedSize_ = id.allocated;
  const auto listedSize = static_cast<uint64_t>(id.size);
  listedInode_ = id.inode;
  listedModificationNs_ = id.modificationNs;
  listedDeviceAndSize_ = (listedSize << 16) | id.device;
}

void FileInformation::setFinderID(int id) {
  finderID_ = id;
  refreshHash();
}

void FileInformation::refreshHash() {
  hashParentFinderID_ = parentFinderID;
  hashSize_ = size;
  hashUrl_ = url;
}

std::string FileInformation::hashValueString() const {
  std::string text = std::to_string(finderID_);
  text += ':';
  text += std::to_string(hashParentFinderID_);
  text += ':';
  text += std::to_string(hashSize_);
  text += ':';
  text += hashUrl_.absoluteString();
  return text;
}

size_t FileInformation::hashValue() const {
  // Combines the four identity fields in order (boost-style mixing).
  size_t h = 0;
  auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
  mix(std::hash<int>()(finderID_));
  mix(std::hash<int>()(parentFinderID));
  mix(std::hash<int64_t>()(size));
  mix(std::hash<Url>()(url));
  return h;
}

}  // namespace orvexa
