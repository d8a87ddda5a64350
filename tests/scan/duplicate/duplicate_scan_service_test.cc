#include "orvexa/scan/duplicate/duplicate_scan_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "scan/duplicate/duplicate_test_util.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::groupsIn;
using testing::LimitSizeGuard;
using testing::PathGroups;
using testing::randomBytes;
using testing::runScan;
using Kind = DuplicateScanService::DuplicateKind;

class DuplicateScanServiceTest : public ::testing::Test {
 protected:
  // ~/Documents/<name> (the folder itself for ""), written with `bytes` when given.
  std::string doc(const std::string& name, const std::optional<std::string>& bytes = {}) {
    const std::string path = "~/Documents" + (name.empty() ? "" : "/" + name);
    return bytes ? sb_.file(path, *bytes) : sb_.path(path);
  }
  testing::ScanOutcome scanDocuments() { return runScan({doc("")}); }

  testing::Sandbox sb_;
};

TEST_F(DuplicateScanServiceTest, OnlyFilesStrictlyLargerThanTheLimitAreCompared) {
  const std::string atLimit = randomBytes(524288, 1), aboveLimit = randomBytes(524289, 2);
  doc("limit/a288", atLimit);
  doc("limit/b288", atLimit);
  const std::string a = doc("limit/a289", aboveLimit), b = doc("limit/b289", aboveLimit);
  testing::ScanOutcome scan = scanDocuments();
  // The folders holding them nest, so they are not copies of each other.
  EXPECT_EQ(std::tuple(scan.files(), scan.folders(), scan.total),
            std::tuple(PathGroups{{a, b}}, PathGroups{}, int64_t{2 * 524289}));
}

// Sets of one size whose members differ in one byte, at sizes that take each
// path of the reading: whole file in the first test, first bytes only, and
// larger than one chunk. Members with equal variants are the only copies.
TEST_F(DuplicateScanServiceTest, EqualSizeWithDifferentContentNeverGroups) {
  LimitSizeGuard limit(0);
  const std::tuple<size_t, std::vector<int>, size_t> cases[] = {
      {300000, {1, 2}, 0},    {300001, {1, 1, 2}, 300000}, {300004, {1, 1, 2, 2}, 150001},
      {1000, {1, 1, 2}, 999}, {300005, {1, 2, 3}, 5000},  // all differ after the first 4 KiB
  };
  for (const auto& [size, variants, differAt] : cases) {
    SCOPED_TRACE(size);
    const std::string dir = "~/Documents/" + std::to_string(size) + "/";
    const std::string base = randomBytes(size, static_cast<uint32_t>(size));
    std::map<int, std::set<std::string>> byVariant;
    for (size_t i = 0; i < variants.size(); ++i) {
      std::string bytes = base;
      bytes[differAt] = static_cast<char>(bytes[differAt] + variants[i]);
      byVariant[variants[i]].insert(sb_.file(dir + "f" + std::to_string(i), bytes));
    }
    PathGroups expected;
    for (const auto& [variant, paths] : byVariant)
      if (paths.size() > 1) expected.insert(paths);
    EXPECT_EQ(runScan({sb_.path(dir)}).files(), expected);
  }
}

TEST_F(DuplicateScanServiceTest, LibrariesBundlesAndCacheFoldersAreNeverCompared) {
  const std::string bytes = randomBytes(600000, 3);
  // "/NoCache" does not contain "/Cache": compared.
  const std::set<std::string> kept = {doc("keep/a.bin", bytes), doc("keep2/a.bin", bytes),
                                      doc("NoCache/a.bin", bytes)};
  for (const char* skipped :
       {"~/Library/a.bin", "~/Library/Deep/er/a.bin", "/Users/other/Library/a.bin",
        "~/Documents/Tool.app/Contents/a.bin", "~/Documents/Caches/a.bin",
        "~/Documents/CacheStore/a.bin", "~/Documents/x/Cache/y/a.bin"})
    sb_.file(skipped, bytes);
  // "/Users" has two components below the root: expanded to the users'
  // folders, which are walked.
  testing::ScanOutcome scan = runScan({sb_.path("/Users")});
  EXPECT_EQ(std::pair(scan.files(), scan.folders()),
            std::pair(PathGroups{kept}, PathGroups{{doc("keep"), doc("keep2"), doc("NoCache")}}));
}

TEST_F(DuplicateScanServiceTest, ShortScanPathsAreExpandedAndDeeperOnesWalkedAsGiven) {
  const std::string pic = randomBytes(600000, 4), top = randomBytes(600001, 5),
                    hidden = randomBytes(600002, 6);
  const std::string p1 = sb_.file("~/Pictures/p1.jpg", pic),
                    p2 = sb_.file("~/Pictures/p2.jpg", pic);
  const std::string t1 = sb_.file("~/top.bin", top);  // an entry of the home itself
  const std::string t2 = sb_.file("~/Pictures/top-copy.bin", top);
  const std::string h1 = doc("v.bin", hidden), h2 = doc(".stash/v.bin", hidden);
  // A hidden entry of an expanded path is left out; deeper down, hidden
  // items are walked like any other.
  const std::string h3 = sb_.file("~/.hidden/v.bin", hidden);
  sb_.file("~/Library/p3.jpg", pic);
  const std::pair<std::vector<std::string>, PathGroups> cases[] = {
      {{sb_.home()}, {{p1, p2}, {t1, t2}, {h1, h2}}},
      {{sb_.root()}, {{p1, p2}, {t1, t2}, {h1, h2, h3}}},
      {{sb_.path("~/Pictures"), doc("")}, {{p1, p2}, {h1, h2}}},
      {{t1, sb_.path("~/Pictures")}, {{p1, p2}, {t1, t2}}},  // a file as scan path
      {{sb_.path("~/Library")}, {}},
      {{doc("missing"), sb_.path("/Users/nobody")}, {}},  // nothing to walk
  };
  for (const auto& [paths, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(paths));
    testing::ScanOutcome scan = runScan(paths);
    EXPECT_EQ(std::tuple(scan.doneCalls, scan.files(), scan.total == 0),
              std::tuple(1, expected, expected.empty()));
  }
}

TEST_F(DuplicateScanServiceTest, IdenticalFoldersFormOneFolderGroup) {
  const std::string big = randomBytes(600000, 7), small = randomBytes(3000, 8);
  for (const std::string folder : {"A", "B", "C"}) {
    doc(folder + "/x.bin", big);
    // C's small file has the same size, other content.
    doc(folder + "/sub/y.txt", folder == "C" ? small.substr(1) + "!" : small);
  }
  testing::ScanOutcome scan = scanDocuments();
  EXPECT_EQ(std::pair(scan.folders(), scan.files()),
            std::pair(PathGroups{{doc("A"), doc("B")}},
                      PathGroups{{doc("A/x.bin"), doc("B/x.bin"), doc("C/x.bin")}}));
  // Folder members are sized by everything below them.
  EXPECT_EQ((std::vector<int64_t>{static_cast<int64_t>(scan.groups().size()),
                                  scan.view(Kind::Folder)->size, scan.all()->size, scan.total}),
            (std::vector<int64_t>{2, 2 * 603000, 2 * 603000 + 1800000, 2 * 603000 + 1800000}));
}

TEST_F(DuplicateScanServiceTest, HardLinksCountOnceAndLinksAreNeverFollowed) {
  LimitSizeGuard limit(0);
  const std::string bytes = randomBytes(200000, 9);
  const std::string a = doc("a.bin", bytes), b = doc("b.bin", bytes);
  ASSERT_EQ(::link(a.c_str(), doc("z-hard.bin").c_str()), 0);
  const std::string c = doc("c.bin", randomBytes(200001, 10));
  ASSERT_EQ(::link(c.c_str(), doc("d-hard.bin").c_str()), 0);
  ASSERT_EQ(::symlink(a.c_str(), doc("s.bin").c_str()), 0);
  ASSERT_EQ(::symlink(doc("").c_str(), doc("loop").c_str()), 0);
  doc("e1.bin", "");
  doc("e2.bin", "");
  // Of the inode of a.bin and z-hard.bin only the path that sorts first is
  // compared; c.bin and its link are one file, so no group.
  EXPECT_EQ(scanDocuments().files(), (PathGroups{{a, b}}));
}

// A group is filed under every view its first member's kinds name (from its
// content-type tree), and nowhere else.
TEST_F(DuplicateScanServiceTest, GroupsAreFiledUnderTheKindsOfTheirFirstMember) {
  LimitSizeGuard limit(1);
  for (const std::string name : {"photo.jpg", "letter.docx", "blob.bin"}) {
    const std::string bytes = randomBytes(5000 + name.size(), static_cast<uint32_t>(name.size()));
    doc("1/" + name, bytes);
    doc("2/" + name, bytes);
  }
  doc("2/extra.txt", "x");  // the two folders are not copies
  testing::ScanOutcome scan = runScan({doc("1"), doc("2")});
  std::string filed;  // per view (by number), the names of its groups
  for (int kind = 0; kind <= raw(Kind::Archive); ++kind) {
    filed += std::to_string(kind) + ":";
    for (const auto& group : groupsIn(scan.view(static_cast<Kind>(kind))))
      filed += " " + std::filesystem::path(*group.begin()).filename().string();
    filed += ";";
  }
  EXPECT_EQ(filed,
            "0: blob.bin letter.docx photo.jpg;1:;2: letter.docx;3:;4: photo.jpg;"
            "5: blob.bin;6: letter.docx;");
  // Group records: no title or URL, numbered, sized by their members.
  int index = 0;
  for (const FilePtr& g : scan.all()->childrens)
    EXPECT_EQ(std::tuple(g->title + g->url.path(), g->finderID(), g->size, g->childrens.size(),
                         g->childrens.at(1)->parentFileInfo.lock()),
              std::tuple("", index++, 2 * g->childrens[0]->size, 2u, g));
}

TEST_F(DuplicateScanServiceTest, KindsFollowTheContentTypeTree) {
  const int file = raw(Kind::File), picture = raw(Kind::Picture), media = raw(Kind::Media),
            document = raw(Kind::Document), archive = raw(Kind::Archive), other = raw(Kind::Other);
  const std::pair<std::vector<std::string>, std::vector<int>> cases[] = {
      {{}, {file, other}},
      {{"PUBLIC.IMAGE"}, {file, picture}},
      {{"com.example.disk-image", "public.data"}, {file, other}},
      {{"public.svg-image", "public.image"}, {file, picture}},
      {{"public.movie"}, {file, media}},
      {{"public.zip-archive", "com.example.document"}, {file, document, archive}},
  };
  for (const auto& [tree, kinds] : cases) {
    EXPECT_EQ(DuplicateScanService::kindsForContentTypeTree(tree), kinds)
        << ::testing::PrintToString(tree);
  }
  // A disk image is filed with the archives.
  auto record = std::make_shared<FileInformation>();
  record->url = Url::fromPath(doc("image.dmg", "x"), false);
  EXPECT_EQ(DuplicateScanService::sortFile(record), (std::vector<int>{file, archive}));
}

TEST_F(DuplicateScanServiceTest, SortCategoryRemovesDeletedMembersAndRebuildsTheViews) {
  LimitSizeGuard limit(1);
  const std::string aBytes = randomBytes(7000, 30), bBytes = randomBytes(8000, 31);
  std::map<std::string, std::string> paths;
  for (const std::string name : {"a1", "a2", "a3", "b1", "b2"})
    paths[name] = doc(name, name[0] == 'a' ? aBytes : bBytes);
  testing::ScanOutcome scan = scanDocuments();
  std::map<std::string, FilePtr> members;
  for (const FilePtr& g : scan.all()->childrens)
    for (const FilePtr& m : g->childrens) members[m->url.path()] = m;
  ASSERT_EQ(members.size(), 5u);
  // b2 is not ticked: it stays.
  for (const auto& [name, state, status] : {std::tuple{"a1", 1, DeleteStatus::DeleteSuccess},
                                            {"a2", 1, DeleteStatus::DeleteError},
                                            {"b1", 1, DeleteStatus::DeleteSuccess},
                                            {"b2", 0, DeleteStatus::DeleteSuccess}}) {
    members[paths[name]]->state = state;
    members[paths[name]]->deleteStatus = raw(status);
  }
  const FilePtr failed = members[paths["a2"]];
  failed->deleteErrorDesc = "Permission denied";

  EXPECT_EQ(DuplicateScanService::sortCategory(scan.all()),
            std::tuple(int64_t{7000 + 8000}, std::vector<FilePtr>{failed}, "Permission denied,"));
  // b2 alone is no longer a duplicate; a2 and a3 still are, renumbered.
  const PathGroups left{{paths["a2"], paths["a3"]}};
  EXPECT_EQ(std::tuple(scan.groups(), scan.files(), groupsIn(scan.view(Kind::Other))),
            std::tuple(left, left, left));
  const FilePtr& group = scan.all()->childrens.front();
  EXPECT_EQ((std::vector<int64_t>{scan.all()->size, scan.view(Kind::File)->size, group->finderID(),
                                  group->size, group->childrens[0]->finderID(),
                                  group->childrens[1]->finderID()}),
            (std::vector<int64_t>{2 * 7000, 2 * 7000, 0, 2 * 7000, 0, 1}));
}

// Pre-order with names in byte order ("a/z.bin", "a.bin", "b.bin"); a link
// is not read.
TEST_F(DuplicateScanServiceTest, FolderKeyConcatenatesTheDigestsOfItsFilesInWalkOrder) {
  for (const std::string root : {"/one/", "/two/"}) {
    sb_.file(root + "b.bin", "bravo");
    sb_.file(root + "a/z.bin", "zulu");
    sb_.file(root + "a.bin", "alpha");
    ASSERT_EQ(::symlink(sb_.path(root + "b.bin").c_str(), sb_.path(root + "link").c_str()), 0);
  }
  sb_.file("/three/a.bin", "alpha");
  auto key = [&](const std::string& folder) {
    return DuplicateScanService::getMD5FromFolderPath(Url::fromPath(sb_.path("/" + folder)));
  };
  const FolderContentKey one = key("one");
  std::string files;
  for (const Url& f : one.files) files += f.path().substr(sb_.root().size()) + " ";
  EXPECT_EQ(std::tuple(files, one.size, one.key.size()),
            std::tuple("/one/a/z.bin /one/a.bin /one/b.bin ", 4 + 5 + 5, 3 * 32u));
  EXPECT_EQ(one.key, key("two").key);
  EXPECT_EQ(one.key.substr(32, 32), key("three").key);  // a.bin's digest
  EXPECT_TRUE(key("none").key.empty());
}

}  // namespace
}  // namespace orvexa
