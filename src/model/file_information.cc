#include "orvexa/model/file_information.h"

#include <functional>
#include <utility>
#include <vector>

namespace orvexa {

// A disk analysis keeps one record per file and folder: keep an eye on what
// one costs (the figure is for 64-bit libstdc++).
// The listed identity costs 24 bytes of it, the allocated size 8, the scan
// error 8; the frozen identity values live beside the category link.
static_assert(sizeof(void*) != 8 || sizeof(FileInformation) <= 208,
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
      fileKind(fileKind_),
      levelInt(levelInt_),
      parentFileInfo(parentFileInfo_) {
  parentCategoryInfo = parentCategoryInfo_;
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
  id.otherLinks = (flags_ & kOtherLinks) != 0;
  id.allocated = allocatedSize_;
  return id;
}

void FileInformation::setListedIdentity(const std::optional<ListedIdentity>& identity) {
  const ListedIdentity id = identity.value_or(ListedIdentity{});
  listedType_ = id.type;
  flags_ = static_cast<uint8_t>((flags_ & ~kOtherLinks) | (id.otherLinks ? kOtherLinks : 0));
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
  if (locatedByParent()) {
    if (parentCategoryInfo.rare_) parentCategoryInfo.rare_->frozen = false;
    return;
  }
  CategoryLink::Rare& frozen = parentCategoryInfo.own();
  frozen.frozen = true;
  frozen.parentFinderID = parentFinderID;
  frozen.size = size;
  frozen.url = url;
}

std::string FileInformation::hashValueString() const {
  // A record never frozen shows the values of a new record.
  int parent = 0;
  int64_t bytes = 0;
  Url where;
  if (locatedByParent()) {
    parent = parentFinderID;
    bytes = size;
    where = fileUrl();
  } else if (const CategoryLink::Rare* frozen = parentCategoryInfo.rare_.get();
             frozen != nullptr && frozen->frozen) {
    parent = frozen->parentFinderID;
    bytes = frozen->size;
    where = frozen->url;
  }
  std::string text = std::to_string(finderID_);
  text += ':';
  text += std::to_string(parent);
  text += ':';
  text += std::to_string(bytes);
  text += ':';
  text += where.absoluteString();
  return text;
}

bool operator==(const FileInformation& a, const FileInformation& b) {
  if (a.finderID_ != b.finderID_ || a.parentFinderID != b.parentFinderID || a.size != b.size) {
    return false;
  }
  if (!a.locatedByParent() && !b.locatedByParent()) return a.url == b.url;
  return a.fileUrl() == b.fileUrl();
}

size_t FileInformation::hashValue() const {
  // Combines the four identity fields in order (boost-style mixing).
  size_t h = 0;
  auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
  mix(std::hash<int>()(finderID_));
  mix(std::hash<int>()(parentFinderID));
  mix(std::hash<int64_t>()(size));
  mix(std::hash<Url>()(locatedByParent() ? fileUrl() : url));
  return h;
}

Url FileInformation::fileUrl() const {
  if (!locatedByParent()) return url;
  // The parents are held while their titles are read.
  std::vector<FilePtr> chain;
  const FileInformation* at = this;
  size_t length = 0;
  while (at->locatedByParent()) {
    length += at->title.size() + 1;
    FilePtr parent = at->parentFileInfo.lock();
    if (!parent) return Url();
    at = parent.get();
    chain.push_back(std::move(parent));
  }
  std::string path = at->url.path();
  if (path.empty()) return Url();
  path.reserve(path.size() + length);
  auto append = [&path](const std::string& name) {
    if (path.back() != '/') path += '/';
    path += name;
  };
  for (size_t i = chain.size() - 1; i > 0; --i) append(chain[i - 1]->title);
  append(title);
  const bool folder = fileKind == raw(FilesKind::Folder) || fileKind == raw(FilesKind::Package);
  return Url::fromPath(path, folder);
}

void FileInformation::locateByParent() {
  flags_ |= kLocatedByParent;
  url = Url();
  refreshHash();
}

void FileInformation::settleUrls(const FilePtr& record) {
  std::vector<FileInformation*> stack;
  if (record) stack.push_back(record.get());
  while (!stack.empty()) {
    FileInformation* at = stack.back();
    stack.pop_back();
    if (at->locatedByParent()) {
      Url settled = at->fileUrl();
      at->flags_ &= static_cast<uint8_t>(~kLocatedByParent);
      at->url = std::move(settled);
      at->refreshHash();
    }
    for (const FilePtr& child : at->childrens) {
      if (child) stack.push_back(child.get());
    }
  }
}

}  // namespace orvexa
