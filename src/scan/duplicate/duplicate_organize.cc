// The duplicate scan: group records, their views, kinds and the rebuild after
// cleaning.
#include <algorithm>
#include <chrono>
#include <set>

#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/content_type.h"
#include "orvexa/scan/duplicate/duplicate_scan_service.h"
#include "scan/duplicate/content_reader.h"
#include "scan/duplicate/duplicate_scan_queue.h"
#include "scan/duplicate/folder_entries.h"

namespace orvexa {
namespace {

using Kind = DuplicateScanService::DuplicateKind;

const ResourceKeys& memberKeys() {
  static const ResourceKeys keys = {ResourceKey::localizedName,
                                    ResourceKey::fileSize,
                                    ResourceKey::effectiveIcon,
                                    ResourceKey::isDirectory,
                                    ResourceKey::isPackage,
                                    ResourceKey::isRegularFile,
                                    ResourceKey::creationDate,
                                    ResourceKey::contentModificationDate,
                                    ResourceKey::localizedTypeDescription};
  return keys;
}

constexpr Kind kAllKinds[] = {Kind::File,    Kind::Folder, Kind::Document, Kind::Media,
                              Kind::Picture, Kind::Other,  Kind::Archive};

bool isFolderGroup(const FileInformation& group) {
  if (group.childrens.empty()) return false;
  const int kind = group.childrens.front()->fileKind;
  return kind == raw(FilesKind::Folder) || kind == raw(FilesKind::Package);
}

void emptyView(const CategoryPtr& view) {
  if (!view) return;
  view->childrens.clear();
  view->size = 0;
}

void emptyViews(const FeaturePtr& feature) {
  emptyView(DuplicateScanService::viewCategory(feature, std::nullopt));
  for (Kind kind : kAllKinds) emptyView(DuplicateScanService::viewCategory(feature, kind));
}

void addTo(const CategoryPtr& view, const FilePtr& group) {
  if (!view) return;
  view->childrens.push_back(group);
  view->size += group->size;
}

// Files a group under the views of its kinds: a folder group under Folder,
// a file group under every kind of its first member.
void fileUnderKinds(const FeaturePtr& feature, const FilePtr& group) {
  std::vector<int> kinds = isFolderGroup(*group)
                               ? std::vector<int>{raw(Kind::Folder)}
                               : DuplicateScanService::sortFile(group->childrens.front());
  for (int kind : kinds) {
    addTo(DuplicateScanService::viewCategory(feature, static_cast<Kind>(kind)), group);
  }
}

// Numbers the members of a group 0, 1, ... below it and sums their sizes.
void linkMembers(const FilePtr& group) {
  int64_t size = 0;
  bool canDelete = false;
  for (size_t i = 0; i < group->childrens.size(); ++i) {
    const FilePtr& member = group->childrens[i];
    member->setFinderID(static_cast<int>(i));
    member->parentFinderID = group->finderID();
    member->parentFileInfo = group;
    member->levelInt = 1;
    size += member->size;
    canDelete = canDelete || member->canDelete;
  }
  group->size = size;
  group->canDelete = canDelete;
}

// The group record of one table entry; null when fewer than two of its
// members can still be examined.
FilePtr makeGroup(const std::string& key, const std::vector<DuplicateInfo>& members,
                  const CategoryPtr& all, int finderID) {
  std::vector<FilePtr> records;
  for (const DuplicateInfo& m : members) {
    std::optional<int64_t> size;
    if (m.fileOrPath) size = m.fileSize;  // a folder is sized by everything below it
    FilePtr record = SuperScanService::getFileInformationFromUrl(m.path, memberKeys(), size);
    if (!record) continue;  // vanished since it was read
    if (!m.fileOrPath) record->setAllocatedSize(m.allocatedSize);
    record->parentCategoryInfo = all;
    records.push_back(std::move(record));
  }
  if (records.size() < 2) return nullptr;
  auto group = std::make_shared<FileInformation>(
      0, finderID, all ? all->finderID() : 0, "", Image{}, 0, std::chrono::system_clock::now(),
      Url(), "", false, false, std::any(key), std::move(records), all, raw(FilesKind::File), 0,
      nullptr);
  linkMembers(group);
  return group;
}

// Entries of a table, largest members first, then by first path.
std::vector<const DuplicateScanService::DigestTable::value_type*> inFilingOrder(
    const DuplicateScanService::DigestTable& table) {
  std::vector<const DuplicateScanService::DigestTable::value_type*> entries;
  for (const auto& entry : table) {
    if (entry.second.size() >= 2) entries.push_back(&entry);
  }
  std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) {
    const DuplicateInfo& x = a->second.front();
    const DuplicateInfo& y = b->second.front();
    if (x.fileSize != y.fileSize) return x.fileSize > y.fileSize;
    return x.path.path() < y.path.path();
  });
  return entries;
}

void fileTable(const DuplicateScanService::DigestTable& table, const FeaturePtr& feature,
               const CategoryPtr& all) {
  for (const auto* entry : inFilingOrder(table)) {
    if (SuperScanService::isSuspended(feature->finderID)) return;
    const int finderID = all ? static_cast<int>(all->childrens.size()) : 0;
    if (FilePtr group = makeGroup(entry->first, entry->second, all, finderID)) {
      addTo(all, group);
      fileUnderKinds(feature, group);
    }
  }
}

}  // namespace

CategoryPtr DuplicateScanService::viewCategory(const FeaturePtr& featureInfo,
                                               std::optional<DuplicateKind> kind) {
  if (!featureInfo) return nullptr;
  const int finderID = kind ? raw(*kind) + 1 : 0;
  for (const CategoryPtr& c : featureInfo->categoryInfo) {
    if (c && c->finderID() == finderID) return c;
  }
  return nullptr;
}

void DuplicateScanService::organizeDataForDuplicate(
    DigestTable MD5AndFileInfo, DigestTable MD5AndFolderInfo, const FeaturePtr& featureInfo,
    Progress, ShowPercent, SingleDone singleDone, Done done,
    const std::shared_ptr<SerialGCDService>& dispatch,
    std::shared_ptr<PercentService> percentService) {
  if (!featureInfo || !dispatch) return;
  runOnQueueOrHere(dispatch,
                   [=, files = std::move(MD5AndFileInfo), folders = std::move(MD5AndFolderInfo)] {
                     emptyViews(featureInfo);
                     CategoryPtr all = viewCategory(featureInfo, std::nullopt);
                     fileTable(files, featureInfo, all);
                     if (percentService) percentService->progressStep();
                     fileTable(folders, featureInfo, all);
                     if (percentService) {
                       percentService->progressStep();
                       percentService->stopTime();
                       if (percent() == percentService) setPercent(nullptr);
                     }
                     duplicate_internal::logInfo("DuplicateScanService Finish");
                     setScanStatus(featureInfo->finderID, ScanState::end);
                     if (singleDone) {
                       for (size_t i = 0; i < featureInfo->categoryInfo.size(); ++i) {
                         singleDone(static_cast<int>(i), featureInfo->categoryInfo[i]->size);
                       }
                     }
                     if (done) done(featureInfo, all ? all->size : 0);
                   });
}

void DuplicateScanService::stopDuplicate(const FeaturePtr& featureInfo,
                                         const std::function<void(const FeaturePtr&)>& done) {
  duplicate_internal::logInfo("DuplicateScanService stopDuplicate Supend");
  if (featureInfo) setScanStatus(featureInfo->finderID, ScanState::end);
  if (done) done(featureInfo);
}

std::vector<int> DuplicateScanService::kindsForContentTypeTree(
    const std::vector<std::string>& tree) {
  std::set<int> kinds{raw(DuplicateKind::File)};
  for (const std::string& entry : tree) {
    const std::string lower = asciiLower(entry);
    auto has = [&](const char* text) { return lower.find(text) != std::string::npos; };
    if (has("image") && !has("-image")) kinds.insert(raw(DuplicateKind::Picture));
    if (has("movie")) kinds.insert(raw(DuplicateKind::Media));
    if (has("document")) kinds.insert(raw(DuplicateKind::Document));
    if (has("archive")) kinds.insert(raw(DuplicateKind::Archive));
  }
  if (kinds.size() == 1) kinds.insert(raw(DuplicateKind::Other));
  return {kinds.begin(), kinds.end()};
}

std::vector<int> DuplicateScanService::sortFile(const FilePtr& file) {
  if (!file) return kindsForContentTypeTree({});
  return kindsForContentTypeTree(contentTypeTreeOf(file->url.path()));
}

FolderContentKey DuplicateScanService::getMD5FromFolderPath(const Url& folderURL) {
  FolderContentKey result;
  std::optional<std::vector<duplicate_internal::FolderFile>> files =
      duplicate_internal::listFolderFiles(folderURL.path(), duplicate_internal::readingSuspended);
  if (!files) return result;
  duplicate_internal::ReadBuffer buffer;
  for (const duplicate_internal::FolderFile& f : *files) {
    Url url = Url::fromPath(f.path, false);
    result.files.push_back(url);
    result.size += f.size;
    if (auto digest = duplicate_internal::contentDigest(f.path, f.size, buffer)) {
      result.key += duplicate_internal::digestText(*digest);
      result.hashed.insert(url);
    }
  }
  return result;
}

std::tuple<int64_t, std::vector<FilePtr>, std::string> DuplicateScanService::sortCategory(
    const CategoryPtr& allCategory) {
  int64_t deleted = 0;
  std::vector<FilePtr> failures;
  std::string errors;
  if (!allCategory) return {0, {}, ""};
  std::vector<FilePtr> kept;
  for (const FilePtr& group : allCategory->childrens) {
    std::vector<size_t> removed;
    for (size_t i = 0; i < group->childrens.size(); ++i) {
      const FilePtr& member = group->childrens[i];
      if (member->state != 1) continue;
      if (member->deleteStatus != raw(DeleteStatus::DeleteSuccess)) {
        failures.push_back(member);
        errors += member->deleteErrorDesc.str() + ",";
      } else {
        deleted += member->size;
        removed.push_back(i);
      }
    }
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) {
      group->childrens.erase(group->childrens.begin() + static_cast<std::ptrdiff_t>(*it));
    }
    // One copy left is no longer a duplicate.
    if (group->childrens.size() >= 2) kept.push_back(group);
  }

  FeaturePtr feature = allCategory->featureInfo.lock();
  if (feature) emptyViews(feature);
  emptyView(allCategory);
  for (size_t i = 0; i < kept.size(); ++i) {
    kept[i]->setFinderID(static_cast<int>(i));
    linkMembers(kept[i]);
    addTo(allCategory, kept[i]);
    if (feature) fileUnderKinds(feature, kept[i]);
  }
  return {deleted, failures, errors};
}

}  // namespace orvexa
