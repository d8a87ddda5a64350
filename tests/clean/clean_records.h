// Records and categories as a scan hands them to a clean, and a listener
// that records what the clean reports. Header-only; shared by the clean
// tests of this folder.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "orvexa/clean/clean_service.h"
#include "support/signal.h"

namespace orvexa::testing {

// A record as a scan lists it, with the item's identity now; `size` is
// nominal (its allocated size too).
inline FilePtr listedRecord(const std::string& path, int state, int64_t size, bool canDelete,
                            std::vector<FilePtr> children = {}, int finderID = 0) {
  auto r = std::make_shared<FileInformation>(
      state, finderID, 0, std::filesystem::path(path).filename().string(), Image{}, size,
      Timestamp{}, Url::fromPath(path), "", canDelete, false, std::any{}, std::move(children),
      nullptr, raw(FilesKind::File), 0, nullptr);
  r->setListedIdentity(ListedIdentity::ofPath(path));
  r->setAllocatedSize(size);
  return r;
}

// A Common category of `records`, scanned from "/".
inline CategoryPtr cleanCategory(std::vector<FilePtr> records, int state = 1, int finderID = 0) {
  auto c = std::make_shared<CategoryInformation>(
      state, finderID, "Caches", Image{}, 0, "", raw(CategoryInfomationKind::Common),
      std::vector<Url>{}, std::move(records), nullptr, std::any{}, 0, false);
  c->scanRoots = {Url::fromPath("/", true)};
  return c;
}

// Writes each report it is handed as a line: "type T, removed B, status S,
// failed: names[, text]"; keeps the progress steps. Thread-safe: reports
// arrive on the clean's threads.
class RecordingFinish : public CleanServiceProtocol {
 public:
  void cleanFinish(int cleanID, int64_t size, std::vector<FilePtr> records, int requestStatus,
                   std::string requestDesc) override {
    std::string line = "type " + std::to_string(cleanID) + ", removed " + std::to_string(size) +
                       ", status " + std::to_string(requestStatus) + ", failed:";
    for (const FilePtr& r : records) line += " " + r->title;
    {
      std::lock_guard lock(mu);
      reports += (requestDesc.empty() ? line : line + ", " + requestDesc) + "\n";
    }
    done.notify();
  }
  void cleanProgress(float progress) override {
    std::lock_guard lock(mu);
    steps.push_back(progress);
  }
  std::string summary() {
    std::lock_guard lock(mu);
    return reports;
  }

  std::mutex mu;
  std::string reports;
  std::vector<float> steps;
  Signal done;
};

}  // namespace orvexa::testing
