#include "orvexa/model/category_information.h"

#include <mutex>

#include "orvexa/units/md5.h"

namespace orvexa {

CategoryInformation::CategoryInformation(int state_, int finderID, std::string title_, Image icon_,
                                         int64_t size_, std::string description_, int kind_,
                                         std::vector<Url> urls_, std::vector<FilePtr> childrens_,
                                         const FeaturePtr& featureInfo_, std::any attachInfomation_,
                                         int levelInt_, bool needRemoveCategory_)
    : state(state_),
      title(std::move(title_)),
      icon(std::move(icon_)),
      size(size_),
      description(std::move(description_)),
      kind(kind_),
      urls(std::move(urls_)),
      childrens(std::move(childrens_)),
      featureInfo(featureInfo_),
      attachInfomation(std::move(attachInfomation_)),
      levelInt(levelInt_),
      needRemoveCategory(needRemoveCategory_),
      finderID_(finderID) {
  refreshHash();
}

void CategoryInformation::setFinderID(int id) {
  finderID_ = id;
  refreshHash();
}

std::string CategoryInformation::identityText() const {
  std::string list = "[";
  for (size_t i = 0; i < urls.size(); ++i) {
    if (i != 0) list += ", ";
    list += urls[i].absoluteString();
  }
  list += "]";
  return std::to_string(finderID_) + ":" + std::to_string(kind) + ":" + std::to_string(size) + ":" +
         list + ":" + std::to_string(childrens.size());
}

namespace {

// Guards the digests worked out on request: a category may be read from
// several threads at once. Categories are few, so one lock serves all.
std::mutex& digestLock() {
  static std::mutex mu;
  return mu;
}

}  // namespace

const std::string& CategoryInformation::hashValueString() const {
  std::lock_guard lock(digestLock());
  if (hashValueString_.empty()) hashValueString_ = MD5(hashText_);
  return hashValueString_;
}

void CategoryInformation::refreshHash() {
  hashText_ = identityText();
  std::lock_guard lock(digestLock());
  hashValueString_.clear();
}

}  // namespace orvexa
