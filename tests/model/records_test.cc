#include <gtest/gtest.h>

#include <thread>
#include <unordered_set>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/units/md5.h"

namespace orvexa {
namespace {

FilePtr makeFile(int finderID, int parent, int64_t size, const std::string& path, bool folder) {
  return std::make_shared<FileInformation>(
      0, finderID, parent, "t", Image{}, size, Timestamp{}, Url::fromPath(path, folder), "desc",
      true, false, std::any{}, std::vector<FilePtr>{}, nullptr, raw(FilesKind::File), 0, nullptr);
}

TEST(FileInformationTest, IdentityTextFollowsFinderIDAssignmentsOnly) {
  FilePtr f = makeFile(3, 1, 4096, "/tmp/a", true);
  EXPECT_EQ(f->hashValueString(), "3:1:4096:file:///tmp/a/");

  f->size = 10;
  f->parentFinderID = 9;
  f->url = Url::fromPath("/tmp/b", false);
  EXPECT_EQ(f->hashValueString(), "3:1:4096:file:///tmp/a/") << "only finderID refreshes it";

  f->setFinderID(4);
  EXPECT_EQ(f->hashValueString(), "4:9:10:file:///tmp/b");
}

TEST(FileInformationTest, SetMembershipUsesTheFourIdentityFields) {
  std::unordered_set<FilePtr, FileInformationHash, FileInformationEqual> set;
  set.insert(makeFile(1, 2, 100, "/tmp/a", false));

  EXPECT_EQ(set.count(makeFile(1, 3, 100, "/tmp/a", false)), 0u) << "other parentFinderID";
  EXPECT_EQ(set.count(makeFile(2, 2, 100, "/tmp/a", false)), 0u) << "other finderID";
  EXPECT_EQ(set.count(makeFile(1, 2, 101, "/tmp/a", false)), 0u) << "other size";
  EXPECT_EQ(set.count(makeFile(1, 2, 100, "/tmp/b", false)), 0u) << "other url";

  // Title, state and the rest do not take part.
  FilePtr other = makeFile(1, 2, 100, "/tmp/a", false);
  other->title = "different";
  other->state = 1;
  EXPECT_EQ(set.count(other), 1u);

  std::unordered_set<FileInformation> byValue{*makeFile(1, 2, 100, "/tmp/a", false)};
  EXPECT_EQ(byValue.count(*other), 1u);
}

TEST(CategoryInformationTest, DigestOfIdentityTextAndRefreshOnFinderID) {
  auto c =
      std::make_shared<CategoryInformation>(0, 2, "Caches", Image{}, 0, "", 2, std::vector<Url>{},
                                            std::vector<FilePtr>{}, nullptr, std::any{}, 0, false);
  EXPECT_EQ(c->hashValueString(), MD5("2:2:0:[]:0"));

  c->setFinderID(5);
  EXPECT_EQ(c->hashValueString(), MD5("5:2:0:[]:0"));

  c->urls = {Url::fromPath("/tmp/a", true), Url::fromPath("/tmp/b", true)};
  c->childrens.push_back(makeFile(0, 5, 1, "/tmp/a/x", false));
  c->size = 7;
  EXPECT_EQ(c->hashValueString(), MD5("5:2:0:[]:0")) << "only finderID refreshes it";
  c->setFinderID(5);
  EXPECT_EQ(c->hashValueString(), MD5("5:2:7:[file:///tmp/a/, file:///tmp/b/]:1"));

  // The digest is worked out when first asked for, but of the text as it
  // was at the assignment.
  c->setFinderID(6);
  c->size = 8;
  EXPECT_EQ(c->hashValueString(), MD5("6:2:7:[file:///tmp/a/, file:///tmp/b/]:1"));
}

TEST(CategoryInformationConcurrencyTest, FirstRequestsFromManyThreadsAgree) {
  auto c =
      std::make_shared<CategoryInformation>(0, 3, "Logs", Image{}, 9, "", 1, std::vector<Url>{},
                                            std::vector<FilePtr>{}, nullptr, std::any{}, 0, false);
  std::vector<std::string> seen(8);
  std::vector<std::thread> threads;
  for (std::string& text : seen) {
    threads.emplace_back([&c, &text] { text = c->hashValueString(); });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& text : seen) EXPECT_EQ(text, MD5("3:1:9:[]:0"));
}

TEST(RecordsTest, DroppingTheModuleFreesTheWholeTree) {
  std::weak_ptr<FileInformation> child;
  std::weak_ptr<CategoryInformation> category;
  {
    auto module = std::make_shared<ModuleInformation>(1, "m", "t", Image{}, "", "1",
                                                      std::vector<FeaturePtr>{});
    auto feature = std::make_shared<FeatureInformation>(
        1, 0, Image{}, "f", "", std::vector<CategoryPtr>{}, module, std::any{});
    module->featureInfo.push_back(feature);
    auto c = std::make_shared<CategoryInformation>(0, 0, "c", Image{}, 0, "", 1, std::vector<Url>{},
                                                   std::vector<FilePtr>{}, feature, std::any{}, 0,
                                                   false);
    feature->categoryInfo.push_back(c);
    FilePtr group = makeFile(0, 0, 2, "/tmp/g", false);
    group->parentCategoryInfo = c;
    FilePtr member = makeFile(0, 0, 1, "/tmp/g/m", false);
    member->parentFileInfo = group;
    group->childrens.push_back(member);
    c->childrens.push_back(group);
    child = member;
    category = c;
    EXPECT_EQ(member->parentFileInfo.lock(), group);
    EXPECT_EQ(c->featureInfo.lock()->moduleInfo.lock(), module);
  }
  EXPECT_TRUE(child.expired());
  EXPECT_TRUE(category.expired());
}

}  // namespace
}  // namespace orvexa
