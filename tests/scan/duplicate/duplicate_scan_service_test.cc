#include "orvexa/scan/duplicate/duplicate_scan_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "orvexa/platform/content_type.h"
#include "orvexa/units/scan_status.h"
#include "scan/duplicate/duplicate_test_util.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::groupsIn;
using testing::LimitSizeGuard;
using testing::PathGroups;
using testing::randomBytes;
using testing::runScan;
using testing::Sandbox;
using Kind = DuplicateScanService::DuplicateKind;

constexpr int kDuplicatesFeature = 7;

TEST(DuplicateScanServiceTest, OnlyFilesStrictlyLargerThanTheLimitAreCompared) {
  Sandbox sb;
  const std::string atLimit = randomBytes(524288, 1), aboveLimit = randomBytes(524289, 2);
  for (const char* name : {"a288", "b288"})
    sb.file(std::string("~/Documents/limit/") + name, atLimit);
  const std::string a289 = sb.file("~/Documents/limit/a289.bin", aboveLimit);
  const std::string b289 = sb.file("~/Documents/limit/b289.bin", aboveLimit);

  testing::ScanOutcome scan = runScan({sb.path("~/Documents")});
  EXPECT_EQ(groupsIn(scan.view(Kind::File)), (PathGroups{{a289, b289}}));
  // The folders holding them nest, so they are not copies of each other.
  EXPECT_EQ(groupsIn(scan.view(Kind::Folder)), PathGroups{});
  EXPECT_EQ(scan.total, 2 * 524289);
}

// Sets of one size whose members differ in different places, at sizes that
// take each path of the reading: whole file in the first test, first bytes
// only, and larger than one chunk.
TEST(DuplicateScanServiceTest, EqualSizeWithDifferentContentNeverGroups) {
  Sandbox sb;
  LimitSizeGuard limit(0);
  struct Case {
    const char* name;
    size_t size;
    std::vector<int> variants;  // equal numbers: equal content
    size_t differAt;            // where variants differ
    PathGroups (*expected)(const std::vector<std::string>&);
  };
  auto none = [](const std::vector<std::string>&) { return PathGroups{}; };
  auto firstTwo = [](const std::vector<std::string>& p) { return PathGroups{{p[0], p[1]}}; };
  auto twoPairs = [](const std::vector<std::string>& p) {
    return PathGroups{{p[0], p[1]}, {p[2], p[3]}};
  };
  const Case cases[] = {
      {"pair, first byte", 300000, {1, 2}, 0, none},
      {"pair, last byte", 300001, {1, 2}, 300000, none},
      {"pair, middle", 300002, {1, 2}, 150000, none},
      {"three, one differs at the end", 300003, {1, 1, 2}, 300002, firstTwo},
      {"four, two pairs differ in the middle", 300004, {1, 1, 2, 2}, 150001, twoPairs},
      {"three small files, one differs", 1000, {1, 1, 2}, 999, firstTwo},
      {"two small files differ", 1001, {1, 2}, 0, none},
      {"three, all differ after the first 4 KiB", 300005, {1, 2, 3}, 5000, none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = "~/Documents/" + std::to_string(c.size) + "/";
    std::vector<std::string> paths;
    const std::string base = randomBytes(c.size, static_cast<uint32_t>(c.size));
    for (size_t i = 0; i < c.variants.size(); ++i) {
      std::string bytes = base;
      bytes[c.differAt] = static_cast<char>(bytes[c.differAt] + c.variants[i]);
      paths.push_back(sb.file(dir + "f" + std::to_string(i) + ".bin", bytes));
    }
    testing::ScanOutcome scan = runScan({sb.path(dir)});
    EXPECT_EQ(groupsIn(scan.view(Kind::File)), c.expected(paths));
  }
}

TEST(DuplicateScanServiceTest, LibrariesBundlesAndCacheFoldersAreNeverCompared) {
  Sandbox sb;
  const std::string bytes = randomBytes(600000, 3);
  const std::string kept1 = sb.file("~/Documents/keep/a.bin", bytes);
  const std::string kept2 = sb.file("~/Documents/keep2/a.bin", bytes);
  // "/NoCache" does not contain "/Cache": compared.
  const std::string kept3 = sb.file("~/Documents/NoCache/a.bin", bytes);
  sb.file("~/Library/a.bin", bytes);
  sb.file("~/Library/Deep/er/a.bin", bytes);
  sb.file("/Users/other/Library/a.bin", bytes);
  sb.file("~/Documents/Tool.app/Contents/a.bin", bytes);
  sb.file("~/Documents/Caches/a.bin", bytes);
  sb.file("~/Documents/CacheStore/a.bin", bytes);
  sb.file("~/Documents/x/Cache/y/a.bin", bytes);

  // "/Users" has two components below the root: expanded to the users'
  // folders, which are walked.
  testing::ScanOutcome scan = runScan({sb.path("/Users")});
  EXPECT_EQ(groupsIn(scan.view(Kind::File)), (PathGroups{{kept1, kept2, kept3}}));
  EXPECT_EQ(groupsIn(scan.view(Kind::Folder)),
            (PathGroups{{sb.path("~/Documents/keep"), sb.path("~/Documents/keep2"),
                         sb.path("~/Documents/NoCache")}}));
}

TEST(DuplicateScanServiceTest, ShortScanPathsAreExpandedAndDeeperOnesWalkedAsGiven) {
  Sandbox sb;
  const std::string pic = randomBytes(600000, 4);
  const std::string top = randomBytes(600001, 5);
  const std::string hidden = randomBytes(600002, 6);
  const std::string p1 = sb.file("~/Pictures/p1.jpg", pic);
  const std::string p2 = sb.file("~/Pictures/p2.jpg", pic);
  const std::string t1 = sb.file("~/top.bin", top);  // an entry of the home itself
  const std::string t2 = sb.file("~/Pictures/top-copy.bin", top);
  const std::string h1 = sb.file("~/Documents/v.bin", hidden);
  const std::string h2 = sb.file("~/Documents/.stash/v.bin", hidden);
  // A hidden entry of an expanded path is left out; deeper down, hidden
  // items are walked like any other.
  const std::string h3 = sb.file("~/.hidden/v.bin", hidden);
  sb.file("~/Library/p3.jpg", pic);

  struct Case {
    const char* name;
    std::vector<std::string> paths;
    PathGroups expected;
  };
  const Case cases[] = {
      {"home folder", {sb.home()}, {{p1, p2}, {t1, t2}, {h1, h2}}},
      {"the root folder", {sb.root()}, {{p1, p2}, {t1, t2}, {h1, h2, h3}}},
      {"a folder inside the home", {sb.path("~/Pictures")}, {{p1, p2}}},
      {"Documents walked with its hidden folders", {sb.path("~/Documents")}, {{h1, h2}}},
      {"two paths", {sb.path("~/Pictures"), sb.path("~/Documents")}, {{p1, p2}, {h1, h2}}},
      {"a file as scan path", {t1, sb.path("~/Pictures")}, {{p1, p2}, {t1, t2}}},
      {"the user's Library as scan path", {sb.path("~/Library")}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScanOutcome scan = runScan(c.paths);
    EXPECT_EQ(scan.doneCalls, 1);
    EXPECT_EQ(groupsIn(scan.view(Kind::File)), c.expected);
  }
}

TEST(DuplicateScanServiceTest, IdenticalFoldersFormOneFolderGroup) {
  Sandbox sb;
  const std::string big = randomBytes(600000, 7);
  const std::string small = randomBytes(3000, 8);
  std::string otherSmall = small;
  otherSmall[2999] = static_cast<char>(otherSmall[2999] ^ 1);
  for (const char* folder : {"A", "B"}) {
    sb.file(std::string("~/Documents/") + folder + "/x.bin", big);
    sb.file(std::string("~/Documents/") + folder + "/sub/y.txt", small);
  }
  sb.file("~/Documents/C/x.bin", big);
  sb.file("~/Documents/C/sub/y.txt", otherSmall);  // same sizes, other content

  testing::ScanOutcome scan = runScan({sb.path("~/Documents")});
  const PathGroups folders{{sb.path("~/Documents/A"), sb.path("~/Documents/B")}};
  const PathGroups files{{sb.path("~/Documents/A/x.bin"), sb.path("~/Documents/B/x.bin"),
                          sb.path("~/Documents/C/x.bin")}};
  EXPECT_EQ(groupsIn(scan.view(Kind::Folder)), folders);
  EXPECT_EQ(groupsIn(scan.view(Kind::File)), files);
  ASSERT_EQ(scan.groups().size(), 2u);
  // Folder members are sized by everything below them.
  EXPECT_EQ(scan.view(Kind::Folder)->size, 2 * (600000 + 3000));
  EXPECT_EQ(scan.all()->size, 2 * (600000 + 3000) + 3 * 600000);
  EXPECT_EQ(scan.total, scan.all()->size);
}

TEST(DuplicateScanServiceTest, HardLinksCountOnceAndLinksAreNeverFollowed) {
  Sandbox sb;
  LimitSizeGuard limit(0);
  const std::string bytes = randomBytes(200000, 9);
  const std::string a = sb.file("~/Documents/a.bin", bytes);
  const std::string b = sb.file("~/Documents/b.bin", bytes);
  ASSERT_EQ(::link(a.c_str(), sb.path("~/Documents/z-hard.bin").c_str()), 0);
  const std::string c = sb.file("~/Documents/c.bin", randomBytes(200001, 10));
  ASSERT_EQ(::link(c.c_str(), sb.path("~/Documents/d-hard.bin").c_str()), 0);
  ASSERT_EQ(::symlink(a.c_str(), sb.path("~/Documents/s.bin").c_str()), 0);
  ASSERT_EQ(::symlink(sb.path("~/Documents").c_str(), sb.path("~/Documents/loop").c_str()), 0);
  sb.file("~/Documents/e1.bin", "");
  sb.file("~/Documents/e2.bin", "");

  testing::ScanOutcome scan = runScan({sb.path("~/Documents")});
  // Of the inode of a.bin and z-hard.bin only the path that sorts first is
  // compared; c.bin and its link are one file, so no group.
  EXPECT_EQ(groupsIn(scan.view(Kind::File)), (PathGroups{{a, b}}));
}

// The kind table itself is checked below; here: a group is filed under
// every view its first member's kinds name, and nowhere else.
TEST(DuplicateScanServiceTest, GroupsAreFiledUnderTheKindsOfTheirFirstMember) {
  Sandbox sb;
  LimitSizeGuard limit(1);
  const std::pair<const char*, std::vector<Kind>> cases[] = {
      {"photo.jpg", {Kind::File, Kind::Picture}},
      {"letter.docx", {Kind::File, Kind::Document, Kind::Archive}},
      {"blob.bin", {Kind::File, Kind::Other}},
  };
  uint32_t seed = 20;
  std::map<std::string, std::set<std::string>> paths;
  for (const auto& [name, views] : cases) {
    const std::string bytes = randomBytes(5000 + seed, seed);
    ++seed;
    paths[name] = {sb.file(std::string("~/Documents/1/") + name, bytes),
                   sb.file(std::string("~/Documents/2/") + name, bytes)};
  }
  sb.file("~/Documents/2/extra.txt", "x");  // the two folders are not copies
  testing::ScanOutcome scan = runScan({sb.path("~/Documents/1"), sb.path("~/Documents/2")});
  ASSERT_NE(scan.all(), nullptr);
  EXPECT_EQ(scan.all()->childrens.size(), std::size(cases));
  for (const auto& [name, views] : cases) {
    for (Kind kind : {Kind::File, Kind::Folder, Kind::Document, Kind::Media, Kind::Picture,
                      Kind::Other, Kind::Archive}) {
      SCOPED_TRACE(std::string(name) + " kind " + std::to_string(static_cast<int>(kind)));
      const bool expected = std::find(views.begin(), views.end(), kind) != views.end();
      EXPECT_EQ(groupsIn(scan.view(kind)).count(paths[name]) == 1, expected);
    }
  }
  // Group records: no title or URL, numbered, sized by their members.
  int index = 0;
  for (const FilePtr& group : scan.all()->childrens) {
    EXPECT_TRUE(group->title.empty() && group->url.empty());
    EXPECT_EQ(group->finderID(), index++);
    ASSERT_EQ(group->childrens.size(), 2u);
    EXPECT_EQ(group->size, 2 * group->childrens.front()->size);
    for (const FilePtr& m : group->childrens) EXPECT_EQ(m->parentFileInfo.lock(), group);
  }
}

TEST(DuplicateScanServiceTest, KindsFollowTheContentTypeTree) {
  struct Case {
    std::vector<std::string> tree;
    std::vector<int> kinds;
  };
  const int file = raw(Kind::File), picture = raw(Kind::Picture), media = raw(Kind::Media),
            document = raw(Kind::Document), archive = raw(Kind::Archive), other = raw(Kind::Other);
  const Case cases[] = {
      {{}, {file, other}},
      {{"public.image"}, {file, picture}},
      {{"PUBLIC.IMAGE"}, {file, picture}},
      {{"com.example.disk-image", "public.data"}, {file, other}},
      {{"public.svg-image", "public.image"}, {file, picture}},
      {{"public.movie"}, {file, media}},
      {{"com.example.document"}, {file, document}},
      {{"public.zip-archive", "com.example.document"}, {file, document, archive}},
      {{"public.data", "public.item"}, {file, other}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DuplicateScanService::kindsForContentTypeTree(c.tree), c.kinds)
        << ::testing::PrintToString(c.tree);
  // A file's kinds come from its own content-type tree.
  testing::TempDir dir;
  auto record = std::make_shared<FileInformation>();
  record->url = Url::fromPath(dir.writeFile("image.dmg", "x"), false);
  EXPECT_EQ(DuplicateScanService::sortFile(record), (std::vector<int>{file, archive}));
}

TEST(DuplicateScanServiceTest, SortCategoryRemovesDeletedMembersAndRebuildsTheViews) {
  Sandbox sb;
  LimitSizeGuard limit(1);
  const std::string aBytes = randomBytes(7000, 30), bBytes = randomBytes(8000, 31);
  const std::string a1 = sb.file("~/Documents/a1.bin", aBytes);
  const std::string a2 = sb.file("~/Documents/a2.bin", aBytes);
  const std::string a3 = sb.file("~/Documents/a3.bin", aBytes);
  const std::string b1 = sb.file("~/Documents/b1.bin", bBytes);
  const std::string b2 = sb.file("~/Documents/b2.bin", bBytes);
  testing::ScanOutcome scan = runScan({sb.path("~/Documents")});
  ASSERT_EQ(scan.groups(), (PathGroups{{a1, a2, a3}, {b1, b2}}));

  auto member = [&](const std::string& path) -> FilePtr {
    for (const FilePtr& g : scan.all()->childrens) {
      for (const FilePtr& m : g->childrens) {
        if (m->url.path() == path) return m;
      }
    }
    return nullptr;
  };
  // b2 is not ticked: it stays.
  for (const auto& [path, state, status] : {std::tuple{a1, 1, DeleteStatus::DeleteSuccess},
                                            {a2, 1, DeleteStatus::DeleteError},
                                            {b1, 1, DeleteStatus::DeleteSuccess},
                                            {b2, 0, DeleteStatus::DeleteSuccess}}) {
    member(path)->state = state;
    member(path)->deleteStatus = raw(status);
  }
  member(a2)->deleteErrorDesc = "Permission denied";
  const FilePtr failed = member(a2);

  auto [deleted, failures, errors] = DuplicateScanService::sortCategory(scan.all());
  EXPECT_EQ(deleted, 7000 + 8000);
  EXPECT_EQ(failures, std::vector<FilePtr>{failed});
  EXPECT_EQ(errors, "Permission denied,");
  // b2 alone is no longer a duplicate; a2 and a3 still are.
  EXPECT_EQ(scan.groups(), (PathGroups{{a2, a3}}));
  EXPECT_EQ(scan.all()->size, 2 * 7000);
  EXPECT_EQ(groupsIn(scan.view(Kind::File)), (PathGroups{{a2, a3}}));
  EXPECT_EQ(scan.view(Kind::File)->size, 2 * 7000);
  EXPECT_EQ(groupsIn(scan.view(Kind::Other)), (PathGroups{{a2, a3}}));
  const FilePtr& group = scan.all()->childrens.front();
  EXPECT_EQ((std::vector<int64_t>{group->finderID(), group->size, group->childrens[0]->finderID(),
                                  group->childrens[1]->finderID()}),
            (std::vector<int64_t>{0, 2 * 7000, 0, 1}));
}

TEST(DuplicateScanServiceTest, LifecycleLogLinesAndStates) {
  Sandbox sb;
  sb.file("~/Documents/x.bin", randomBytes(600000, 40));
  {
    SCOPED_TRACE("nothing to walk");
    size_t mark = testing::logSize();
    testing::ScanOutcome scan = runScan({sb.path("~/Documents/missing"), sb.path("/Users/nobody")});
    const std::string log = testing::logSince(mark);
    EXPECT_NE(log.find("Info>:DuplicateScanService Finish-0\n"), std::string::npos) << log;
    EXPECT_EQ(scan.doneCalls, 1);
    EXPECT_EQ(scan.total, 0);
    EXPECT_EQ(ScanStatusTable::get(kDuplicatesFeature), static_cast<int>(ScanState::end));
  }
  {
    SCOPED_TRACE("stopDuplicate");
    testing::ScanOutcome scan = testing::duplicateFeature();
    ScanStatusTable::set(kDuplicatesFeature, ScanState::start);
    size_t mark = testing::logSize();
    FeaturePtr handed;
    DuplicateScanService::stopDuplicate(scan.feature, [&](const FeaturePtr& f) { handed = f; });
    EXPECT_EQ(handed, scan.feature);
    EXPECT_NE(testing::logSince(mark).find("Info>:DuplicateScanService stopDuplicate Supend\n"),
              std::string::npos);
    EXPECT_EQ(ScanStatusTable::get(kDuplicatesFeature), static_cast<int>(ScanState::end));
  }
}

TEST(DuplicateScanServiceTest, FolderKeyConcatenatesTheDigestsOfItsFilesInWalkOrder) {
  testing::TempDir dir;
  for (const char* root : {"one", "two"}) {
    dir.writeFile(std::string(root) + "/b.bin", "bravo");
    dir.writeFile(std::string(root) + "/a/z.bin", "zulu");
    dir.writeFile(std::string(root) + "/a.bin", "alpha");
  }
  ASSERT_EQ(::symlink((dir / "one/b.bin").c_str(), (dir / "one/link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "two/b.bin").c_str(), (dir / "two/link").c_str()), 0);
  dir.writeFile("three/a.bin", "alpha");

  FolderContentKey one = DuplicateScanService::getMD5FromFolderPath(Url::fromPath(dir / "one"));
  FolderContentKey two = DuplicateScanService::getMD5FromFolderPath(Url::fromPath(dir / "two"));
  FolderContentKey three = DuplicateScanService::getMD5FromFolderPath(Url::fromPath(dir / "three"));
  // Pre-order with names in byte order ("a/z.bin", "a.bin", "b.bin"); the
  // link is not read.
  std::string files;
  for (const Url& f : one.files) files += f.path().substr(dir.path().size()) + " ";
  EXPECT_EQ(files, "/one/a/z.bin /one/a.bin /one/b.bin ");
  EXPECT_EQ(one.size, 4 + 5 + 5);
  EXPECT_EQ(one.key.size(), 3 * 32u);
  EXPECT_EQ(one.key, two.key);
  EXPECT_EQ(one.key.substr(32, 32), three.key);  // a.bin's digest
  EXPECT_TRUE(DuplicateScanService::getMD5FromFolderPath(Url::fromPath(dir / "none")).key.empty());
}

}  // namespace
}  // namespace orvexa
