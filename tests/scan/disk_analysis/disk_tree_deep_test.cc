#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <memory>

#include "orvexa/scan/disk_analysis/disk_analysis_service.h"
#include "orvexa/scan/disk_analysis/disk_tree_report.h"
#include "scan/disk_analysis/disk_scan_fixture.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::DiskScan;
using testing::TempDir;

constexpr int kFeatureID = 1504;

// Follows JSON text piece by piece: nesting depth outside strings, and
// whether it is balanced.
class JsonShape {
 public:
  void feed(std::string_view text) {
    bytes_ += text.size();
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      if (inString_) {
        if (escaped_) {
          escaped_ = false;
          ++p;
          continue;
        }
        // Jump to the next quote or backslash.
        const auto left = static_cast<size_t>(end - p);
        const char* quote = static_cast<const char*>(std::memchr(p, '"', left));
        const char* slash = static_cast<const char*>(std::memchr(p, '\\', left));
        const char* stop =
            quote == nullptr ? slash : (slash == nullptr ? quote : std::min(quote, slash));
        if (stop == nullptr) return;
        if (*stop == '\\') {
          escaped_ = true;
        } else {
          inString_ = false;
        }
        p = stop + 1;
        continue;
      }
      const char c = *p++;
      if (c == '"') {
        inString_ = true;
      } else if (c == '{' || c == '[') {
        maxDepth_ = std::max(maxDepth_, ++depth_);
      } else if (c == '}' || c == ']') {
        if (--depth_ < 0) broken_ = true;
      }
    }
  }
  bool balanced() const { return !broken_ && !inString_ && depth_ == 0; }
  long maxDepth() const { return maxDepth_; }
  size_t bytes() const { return bytes_; }

 private:
  bool inString_ = false;
  bool escaped_ = false;
  bool broken_ = false;
  long depth_ = 0;
  long maxDepth_ = 0;
  size_t bytes_ = 0;
};

// Ten thousand nested folders (a path of some 20,000 characters): walking,
// summing, numbering, the reports, the tidy-up and freeing all work without
// recursion (under AddressSanitizer, a recursion per level overflows the
// stack).
// A folder in memory (/dev/shm) when there is one: ten thousand folders are
// removed in milliseconds there, and in tens of seconds on a busy disk.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = "/dev/shm/orvexa-deep-XXXXXX";
    if (::access("/dev/shm", W_OK) == 0 && ::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    } else {
      fallback_ = std::make_unique<TempDir>();
      path_ = fallback_->makeDir("deep");
    }
  }
  ~ScratchDir() {
    if (!fallback_) ::rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::unique_ptr<TempDir> fallback_;
  std::string path_;
};

TEST(DiskTreeDeepTest, TenThousandLevelsAreWalkedReportedAndFreed) {
  ScratchDir scratch;
  constexpr int kDepth = 10000;
  const std::string& base = scratch.path();
  ASSERT_EQ(testing::makeDeepChain(base, kDepth, "d", 1000, 7), 10);
  {
    DiskScan scan(kFeatureID);
    ASSERT_TRUE(scan.run(base));
    FilePtr root = scan.root();
    ASSERT_TRUE(root);
    EXPECT_EQ(root->size, 70);

    // Down the chain: every folder holds "d" (index 0) and, every 1000
    // levels, "f" (index 1); the deepest holds "f" only.
    FilePtr folder = root;
    for (int level = 1; level <= kDepth; ++level) {
      ASSERT_FALSE(folder->childrens.empty()) << level;
      FilePtr next = folder->childrens.front();
      ASSERT_EQ(next->title, "d") << level;
      ASSERT_EQ(next->finderID(), 0);
      ASSERT_EQ(next->levelInt, level);
      ASSERT_EQ(next->parentFileInfo.lock(), folder);
      ASSERT_EQ(next->size, 7 * (10 - (level - 1) / 1000)) << level;
      folder = next;
    }
    ASSERT_EQ(folder->childrens.size(), 1u);
    EXPECT_EQ(folder->childrens.front()->title, "f");
    EXPECT_EQ(folder->childrens.front()->levelInt, kDepth + 1);
    EXPECT_GT(folder->url.path().size(), 2u * kDepth);

    DiskTreeSummary summary = summarizeDiskTree(root, 3);
    EXPECT_EQ(summary.folderCount, static_cast<size_t>(kDepth));
    EXPECT_EQ(summary.fileCount, 10u);
    ASSERT_EQ(summary.largestFolders.size(), 3u);
    EXPECT_EQ(summary.largestFolders.front()->url.path(), base + "/d");

    JsonShape json;
    writeDiskTreeJson(*scan.feature, root->size, DiskTreeJsonLimits{},
                      [&json](std::string_view piece) { json.feed(piece); });
    EXPECT_TRUE(json.balanced());
    // feature { categoryInfo [ category { childrens [ root { childrens [ ...
    EXPECT_GE(json.maxDepth(), 2L * kDepth);

    std::string tail;
    writeDiskTreemapPage(root, DiskTreemapOptions{}, [&tail](std::string_view piece) {
      tail = std::string(piece.substr(piece.size() > 16 ? piece.size() - 16 : 0));
    });
    EXPECT_NE(tail.find("</html>"), std::string::npos);

    // The clean removed the deepest file (the record says so; its path is
    // too long for a path-based removal, and sortCategory does not touch
    // files).
    FilePtr deepest = folder->childrens.front();
    ASSERT_EQ(deepest->title, "f");
    deepest->state = 1;
    for (FilePtr r = folder; r; r = r->parentFileInfo.lock()) r->state = -1;  // mixed above it
    deepest->deleteStatus = raw(DeleteStatus::DeleteSuccess);
    auto [removed, records, text] = DiskAnalysisService::sortCategory(scan.category());
    EXPECT_EQ(removed, 7);
    EXPECT_EQ(root->size, 63);
    EXPECT_EQ(root->childrens.front()->size, 63);
    EXPECT_TRUE(folder->childrens.empty());
    // Leaving the scope frees the tree through releaseCategory.
  }
  EXPECT_TRUE(testing::removeDeepChain(base, "d"));
}

}  // namespace
}  // namespace orvexa
