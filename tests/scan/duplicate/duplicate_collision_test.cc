// A digest that collides must never put files of different content in one
// group: every group is confirmed byte for byte.
#include <gtest/gtest.h>

#include <atomic>

#include "scan/duplicate/content_reader.h"
#include "scan/duplicate/duplicate_test_util.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using duplicate_internal::ContentDigest;
using duplicate_internal::ReadBuffer;
using testing::groupsIn;
using testing::PathGroups;
using testing::randomBytes;
using Kind = DuplicateScanService::DuplicateKind;

// Replaces the content digest with one that gives every file the same value
// (a crafted collision), counting the files it was asked for.
class CollidingDigest {
 public:
  CollidingDigest() {
    duplicate_internal::setDigestFunctionForTesting(
        [this](const std::string&, int64_t, ReadBuffer&) -> std::optional<ContentDigest> {
          ++calls_;
          return ContentDigest{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
        });
  }
  ~CollidingDigest() { duplicate_internal::setDigestFunctionForTesting(nullptr); }
  int calls() const { return calls_.load(); }

 private:
  std::atomic<int> calls_{0};
};

TEST(DuplicateCollisionTest, ByteComparisonSplitsFilesWhoseDigestsCollide) {
  testing::Sandbox sb;
  // Five files of one size with the same first 4 KiB, so that only the
  // whole-content digest can tell them apart: two pairs of copies and one
  // file of its own.
  const std::string shared = randomBytes(4096, 50);
  auto content = [&](uint32_t seed) { return shared + randomBytes(600000, seed); };
  const std::string a1 = sb.file("~/Documents/a1.bin", content(1));
  const std::string a2 = sb.file("~/Documents/a2.bin", content(1));
  const std::string b1 = sb.file("~/Documents/b1.bin", content(2));
  const std::string b2 = sb.file("~/Documents/b2.bin", content(2));
  const std::string c = sb.file("~/Documents/c.bin", content(3));

  CollidingDigest digest;
  testing::ScanOutcome scan = testing::runScan({sb.path("~/Documents")});
  EXPECT_EQ(digest.calls(), 5);  // every file went through the digest
  EXPECT_EQ(groupsIn(scan.view(Kind::File)), (PathGroups{{a1, a2}, {b1, b2}}));

  // The groups of one digest get keys of their own.
  std::set<std::string> keys;
  for (const FilePtr& g : scan.all()->childrens) {
    keys.insert(std::any_cast<std::string>(g->attachInformation));
  }
  EXPECT_EQ(keys, (std::set<std::string>{"0123456789abcdeffedcba9876543210",
                                         "0123456789abcdeffedcba9876543210#2"}));
}

TEST(DuplicateCollisionTest, CollidingFolderKeysAreSplitFileByFile) {
  testing::Sandbox sb;
  const std::string x = randomBytes(600000, 60);
  std::string y = x;
  y[300000] = static_cast<char>(y[300000] ^ 0x40);
  for (const char* folder : {"A", "B"}) sb.file(std::string("~/Documents/") + folder + "/f.bin", x);
  sb.file("~/Documents/C/f.bin", y);
  sb.file("~/Documents/D/f.bin", y);

  CollidingDigest digest;
  testing::ScanOutcome scan = testing::runScan({sb.path("~/Documents")});
  EXPECT_EQ(groupsIn(scan.view(Kind::Folder)),
            (PathGroups{{sb.path("~/Documents/A"), sb.path("~/Documents/B")},
                        {sb.path("~/Documents/C"), sb.path("~/Documents/D")}}));
  EXPECT_EQ(groupsIn(scan.view(Kind::File)),
            (PathGroups{{sb.path("~/Documents/A/f.bin"), sb.path("~/Documents/B/f.bin")},
                        {sb.path("~/Documents/C/f.bin"), sb.path("~/Documents/D/f.bin")}}));
}

}  // namespace
}  // namespace orvexa
