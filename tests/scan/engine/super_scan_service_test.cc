#include "orvexa/scan/engine/super_scan_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "support/features.h"
#include "support/sandbox.h"
#include "support/signal.h"

namespace orvexa {
namespace {

using testing::Signal;

const ResourceKeys kKeys = {ResourceKey::localizedName, ResourceKey::fileSize,
                            ResourceKey::isDirectory, ResourceKey::isPackage};
const EnumerationOptions kTopLevel = EnumerationOptions::skipsHiddenFiles |
                                     EnumerationOptions::skipsPackageDescendants |
                                     EnumerationOptions::skipsSubdirectoryDescendants;
constexpr int64_t kScanID = 9001;

// One walk of the top level: its records by path; as text, "title kind
// size" of each record, then the summary's counts and sizes; how many times
// it completed. Each record must be a child of `category`.
struct Walk {
  std::vector<FilePtr> records;
  std::string text;
  int calls = 0;
};

Walk walk(const std::string& path, bool isContainZeroItem,
          const SuperScanService::FilterFunc& filter = nullptr,
          const CategoryPtr& category = nullptr) {
  Walk w;
  ScanFilesInformation s;
  SuperScanService::getListFromUrl(
      nullptr, Url::fromPath(path), 0, kKeys, kTopLevel, kScanID, nullptr, filter, nullptr,
      [&](const ScanFilesInformation& summary, std::vector<FilePtr> r) {
        s = summary;
        w.records = std::move(r);
        ++w.calls;
      },
      category, isContainZeroItem);
  std::sort(w.records.begin(), w.records.end(),
            [](const FilePtr& a, const FilePtr& b) { return a->url.path() < b->url.path(); });
  std::set<int> ids;
  for (const FilePtr& f : w.records) {
    w.text += (w.text.empty() ? "" : ", ") + f->title + " " + std::to_string(f->fileKind) + " " +
              std::to_string(f->size);
    ids.insert(f->finderID());
    EXPECT_EQ(f->parentCategoryInfo.lock(), category);
  }
  // Numbered in the order collected: 0 to n - 1, each once.
  EXPECT_TRUE(ids.size() == w.records.size() &&
              (ids.empty() || *ids.rbegin() + 1 == static_cast<int>(ids.size())));
  w.text += "; files " + std::to_string(s.fileNumber) + " " + std::to_string(s.fileSize) +
            ", folders " + std::to_string(s.folderNumber) + " " + std::to_string(s.folderSize);
  return w;
}

// A walk of several URLs, waited for: how many lists, records and summaries
// its one completion hands over.
std::tuple<size_t, size_t, size_t> listsOf(const FeaturePtr& feature, const std::vector<Url>& urls,
                                           const SuperScanService::FilterFunc& filter,
                                           bool isContainZeroItem) {
  auto queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
  Signal done;
  std::tuple<size_t, size_t, size_t> got;
  SuperScanService::getListFromUrls(
      feature, urls, 0, kKeys, kTopLevel, kScanID, nullptr, nullptr, filter,
      [&](std::map<Url, std::vector<FilePtr>> l, std::map<Url, ScanFilesInformation> s) {
        got = {l.size(), 0, s.size()};
        for (auto& [url, records] : l) std::get<1>(got) += records.size();
        done.notify();
      },
      queue, nullptr, isContainZeroItem);
  EXPECT_TRUE(done.wait());
  queue->waitUntilIdle();
  EXPECT_EQ(done.count(), 1);
  return got;
}

class SuperScanServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ScanStatusTable::erase(kScanID); }
  void TearDown() override { ScanStatusTable::erase(kScanID); }
  testing::Sandbox sb_;
};

// A walk of the top level gives one record per item, a folder sized by all
// it holds, each a child of the category, numbered in the order collected.
// Empty items are counted but recorded only when asked; a file URL is one
// record, taken without asking the filter; a missing URL gives none (and
// still completes); a link is recorded as itself, never followed.
TEST_F(SuperScanServiceTest, WhatAWalkRecordsAndCounts) {
  sb_.layout({"~/c/empty/", "~/c/zero:0", "~/c/one:1", "~/x.log:42", "~/big/blob:10000",
              "~/t/a.db:100", "~/t/.hidden:7", "~/t/App.app/Contents/MacOS/x:30", "~/t/B/d/e/g:5"});
  for (int i = 0; i < 10; ++i) sb_.file("~/t/B/f" + std::to_string(i), 10);
  std::filesystem::create_symlink(sb_.path("~/big"), sb_.dir("~/l") + "/link");
  const std::string linkSize = std::to_string(sb_.path("~/big").size());  // a link's own size
  auto module = testing::makeModule(1, {{"C", CategoryInfomationKind::Common, {}}});
  const CategoryPtr category = testing::featureOf(module)->categoryInfo[0];
  const struct {
    const char* path;
    bool isContainZeroItem;
    std::string records;  // the walk's text
  } cases[] = {{"~/t", false, "App 2 30, B 0 105, a.db 1 100; files 1 100, folders 2 135"},
               {"~/c", false, "one 1 1; files 2 1, folders 1 0"},
               {"~/c", true, "empty 0 0, one 1 1, zero 1 0; files 2 1, folders 1 0"},
               {"~/x.log", false, "x.log 1 42; files 1 42, folders 0 0"},
               {"~/nothing-here", true, "; files 0 0, folders 0 0"},
               {"~/l", true, "link 1 " + linkSize + "; files 1 " + linkSize + ", folders 0 0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    int filterCalls = 0;
    Walk w = walk(
        sb_.path(c.path), c.isContainZeroItem,
        [&](const ResourceValues&, DirectoryEnumerator*) { return ++filterCalls > 0; }, category);
    EXPECT_EQ(std::pair(w.calls, w.text), std::pair(1, c.records));
    EXPECT_TRUE(std::string(c.path) != "~/x.log" || filterCalls == 0) << filterCalls;
  }
}

TEST_F(SuperScanServiceTest, CanDeleteNeedsAWritableParentAndTheUsersOwnership) {
  sb_.file("~/c/mine", 1);
  // The sandbox's user name is not the account that owns the files here.
  EXPECT_FALSE(walk(sb_.path("~/c"), true).records.at(0)->canDelete);
  Identity::shared().setUserName("");  // the real account
  EXPECT_TRUE(walk(sb_.path("~/c"), true).records.at(0)->canDelete);
}

TEST_F(SuperScanServiceTest, StoppedScanIgnoresFurtherItemsAndStillCallsDoneOncePerUrl) {
  std::vector<Url> urls;
  for (int d = 0; d < 3; ++d) {
    for (int i = 0; i < 50; ++i) sb_.file("~/u" + std::to_string(d) + "/f" + std::to_string(i), 1);
    urls.push_back(Url::fromPath(sb_.path("~/u" + std::to_string(d))));
  }
  auto module = testing::makeModule(static_cast<int>(kScanID), {});
  FeaturePtr feature = testing::featureOf(module);
  std::atomic<int> seen{0};
  auto filter = [&](const ResourceValues&, DirectoryEnumerator*) {
    if (++seen == 10) SuperScanService::stop(feature);
    return true;
  };
  const auto [lists, recorded, summaries] = listsOf(feature, urls, filter, true);
  EXPECT_EQ(std::pair(lists, summaries), std::pair(size_t{3}, size_t{3}));
  EXPECT_LT(recorded, 150u);
  EXPECT_EQ(SuperScanService::scanStatus(kScanID), static_cast<int>(ScanState::suspend));

  // An empty list completes too, with nothing.
  ScanStatusTable::erase(kScanID);
  EXPECT_EQ(listsOf(nullptr, {}, nullptr, false), std::tuple(size_t{0}, size_t{0}, size_t{0}));
}

TEST_F(SuperScanServiceTest, SecondStopDoesNotStopProgressAgain) {
  auto module = testing::makeModule(static_cast<int>(kScanID), {});
  std::atomic<int> ones{0};
  auto percent = std::make_shared<PercentService>([&](float f) { ones += f == 1.0f; }, 4);
  SuperScanService::setPercent(percent);
  SuperScanService::setScanStatus(kScanID, ScanState::start);
  for (int i = 0; i < 2; ++i) SuperScanService::stop(testing::featureOf(module));
  EXPECT_EQ(ones.load(), 1);
  EXPECT_EQ(SuperScanService::percent(), nullptr);
}

TEST_F(SuperScanServiceTest, PackageSizeFromMetadataOutput) {
  const std::pair<const char*, int64_t> cases[] = {
      {"kMDItemPhysicalSize = 8192\nkMDItemFSSize = 4000\n", 4000},
      {"kMDItemPhysicalSize = 8192\n", 8192},
      {"", 0},
      {"kMDItemFSSize = (null)\n", 0}};
  for (const auto& [output, size] : cases)
    EXPECT_EQ(SuperScanService::packageSizeFromMdlsOutput(output), size) << output;

  sb_.file("~/A.app/Contents/x", 12);
  Paths::shared().setTool("mdls", sb_.path("/no/such/mdls"));
  EXPECT_EQ(SuperScanService::getPackageSizeFromTerminal(Url::fromPath(sb_.path("~/A.app"))), 12)
      << "without the tool the bundle is walked";
}

}  // namespace
}  // namespace orvexa
