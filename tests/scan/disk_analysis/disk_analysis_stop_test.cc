#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "orvexa/scan/disk_analysis/disk_analysis_service.h"
#include "scan/disk_analysis/disk_scan_fixture.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::DiskScan;
using testing::Signal;
using testing::TempDir;

constexpr int kFeatureID = 1502;

// A tree that takes the walk a while: `folders` top-level folders of
// `perFolder` sub-folders with three files each.
void makeWideTree(const TempDir& tmp, int folders, int perFolder) {
  for (int f = 0; f < folders; ++f) {
    for (int s = 0; s < perFolder; ++s) {
      for (int k = 0; k < 3; ++k) {
        tmp.writeFile(
            "t/d" + std::to_string(f) + "/s" + std::to_string(s) + "/f" + std::to_string(k),
            "0123456789");
      }
    }
  }
}

TEST(DiskAnalysisStopConcurrencyTest, AStopDuringTheWalkReportsZeroAndNoCategory) {
  TempDir tmp;
  makeWideTree(tmp, 6, 40);
  struct Case {
    const char* name;
    bool engineStopFirst;  // the host first stops through SuperScanService::stop
  };
  for (const Case& c : {Case{"stopDsik", false}, Case{"engine stop, then stopDsik", true}}) {
    SCOPED_TRACE(c.name);
    DiskScan scan(kFeatureID);
    const size_t offset = testing::logSize();
    // The host's queue is busy until the stop: the walk may end, but nothing
    // of it can be merged or reported before the stop request.
    Signal stopAsked;
    scan.queue->runDeferred([&stopAsked] { stopAsked.wait(std::chrono::seconds(10)); }, nullptr);
    scan.start(tmp / "t");
    if (c.engineStopFirst) SuperScanService::stop(scan.feature);
    Signal stopped;
    int64_t stopTotal = -1;
    DiskAnalysisService::stopDsik(scan.feature, [&](const FeaturePtr& f, int64_t total) {
      EXPECT_EQ(f, scan.feature);
      stopTotal = total;
      stopped.notify();
    });
    stopAsked.notify();
    ASSERT_TRUE(stopped.wait(std::chrono::seconds(1)));
    EXPECT_EQ(stopTotal, 0);
    // The scan's own done never comes, and no category is added.
    EXPECT_FALSE(scan.done.wait(std::chrono::milliseconds(200)));
    scan.queue->waitUntilIdle();
    EXPECT_TRUE(scan.feature->categoryInfo.empty());
    EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
    EXPECT_NE(
        testing::logSince(offset).find(":Info>:DiskAnalysisService stopDiskAnalysis Supend\n"),
        std::string::npos);
  }
}

// Stops scans at random moments: every run ends with exactly one report,
// either the scan's (whole tree, category added) or the stop's (0, none), and
// a new scan can start right after a stop while the old walk winds down.
TEST(DiskAnalysisStopConcurrencyTest, EveryRunReportsExactlyOnce) {
  TempDir tmp;
  makeWideTree(tmp, 6, 40);
  const int64_t fullSize = 6 * 40 * 3 * 10;
  // How long one whole scan takes on this machine (sanitizers, load): the
  // stops are spread over twice that (the median of three runs).
  std::vector<long> wholeRuns;
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    DiskScan whole(kFeatureID);
    ASSERT_TRUE(whole.run(tmp / "t"));
    wholeRuns.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count()));
  }
  std::sort(wholeRuns.begin(), wholeRuns.end());
  const long wholeUs = wholeRuns[1];
  std::mt19937 random(120512);
  std::uniform_int_distribution<long> delayUs(0, 2 * wholeUs);
  int stoppedRuns = 0;
  int finishedRuns = 0;
  for (int run = 0; run < 40; ++run) {
    SCOPED_TRACE(run);
    DiskScan scan(kFeatureID);
    scan.start(tmp / "t");
    std::atomic<int> stopDone{0};
    if (!scan.done.wait(std::chrono::microseconds(delayUs(random)))) {
      DiskAnalysisService::stopDsik(scan.feature, [&](const FeaturePtr&, int64_t total) {
        EXPECT_EQ(total, 0);
        ++stopDone;
      });
    }
    // Either report has come by now or never will: give a late scan report
    // the time to show up.
    scan.done.wait(std::chrono::milliseconds(stopDone ? 100 : 20000));
    scan.queue->waitUntilIdle();
    const int reports = scan.doneCalls.load() + stopDone.load();
    if (stopDone && scan.doneCalls.load() == 0) {
      EXPECT_TRUE(scan.feature->categoryInfo.empty());
      ++stoppedRuns;
    } else if (!stopDone) {
      EXPECT_EQ(scan.doneCalls.load(), 1);
      EXPECT_EQ(scan.total.load(), fullSize);
      ASSERT_EQ(scan.feature->categoryInfo.size(), 1u);
      EXPECT_EQ(scan.root()->size, fullSize);
      ++finishedRuns;
    } else {
      // The stop came as the scan was reporting: the stop path reports
      // regardless, and the scan's report is whole.
      EXPECT_EQ(scan.total.load(), fullSize);
      EXPECT_EQ(reports, 2);
    }
    EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
  }
  // Both outcomes must really occur (the moments are spread for that).
  EXPECT_GT(stoppedRuns, 0) << finishedRuns << " finished";
  EXPECT_GT(finishedRuns, 0) << stoppedRuns << " stopped";
}

// One top-level folder holds everything: the walkers share its sub-folders
// out among themselves, and the subtree is summed and numbered once, after
// its last piece. Repeated, so that the hand-outs fall differently.
TEST(DiskAnalysisWalkConcurrencyTest, ASharedOutSubtreeIsSummedAndNumberedOnce) {
  TempDir tmp;
  constexpr int kFolders = 60;
  for (int s = 0; s < kFolders; ++s) {
    const std::string folder = "t/only/s" + std::to_string(s);
    for (int k = 0; k <= s % 4; ++k) tmp.writeFile(folder + "/f" + std::to_string(k), "12345");
    tmp.writeFile(folder + "/inner/deeper/g", std::string(static_cast<size_t>(s), 'g'));
  }
  int64_t expected = 0;
  for (int s = 0; s < kFolders; ++s) expected += 5 * (s % 4 + 1) + s;
  for (int run = 0; run < 8; ++run) {
    SCOPED_TRACE(run);
    DiskScan scan(kFeatureID);
    ASSERT_TRUE(scan.run(tmp / "t"));
    FilePtr only = testing::findRecord(scan.root(), "only");
    ASSERT_TRUE(only);
    EXPECT_EQ(only->size, expected);
    ASSERT_EQ(only->childrens.size(), static_cast<size_t>(kFolders));
    for (size_t i = 0; i < only->childrens.size(); ++i) {
      const FilePtr& sub = only->childrens[i];
      const int s = std::stoi(sub->title.substr(1));
      EXPECT_EQ(sub->finderID(), static_cast<int>(i));
      EXPECT_EQ(sub->parentFinderID, only->finderID());
      EXPECT_EQ(sub->size, 5 * (s % 4 + 1) + s) << sub->title;
      FilePtr g = testing::findRecord(sub, "inner/deeper/g");
      ASSERT_TRUE(g);
      EXPECT_EQ(g->levelInt, 5);
      EXPECT_EQ(g->hashValueString(), "0:0:" + std::to_string(s) + ":" + g->url.absoluteString());
    }
  }
}

}  // namespace
}  // namespace orvexa
