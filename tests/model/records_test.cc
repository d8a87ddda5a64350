#include "orvexa/model/records.h"

#include <gtest/gtest.h>

#include <thread>
#include <unordered_set>
#include <vector>

#include "model/records_blocks.h"
#include "orvexa/units/md5.h"
#include "support/features.h"

namespace orvexa {
namespace {

FilePtr makeFile(int finderID, int parent, int64_t size, const std::string& path) {
  return std::make_shared<FileInformation>(
      0, finderID, parent, "t", Image{}, size, Timestamp{}, Url::fromPath(path, false), "desc",
      true, false, std::any{}, std::vector<FilePtr>{}, nullptr, raw(FilesKind::File), 0, nullptr);
}

CategoryPtr makeCategory(int finderID, int64_t size) {
  return std::make_shared<CategoryInformation>(0, finderID, "c", Image{}, size, "", 1,
                                               std::vector<Url>{}, std::vector<FilePtr>{}, nullptr,
                                               std::any{}, 0, false);
}

// The identity text is taken when finderID is assigned, not when it is read;
// sets compare the four fields it holds and nothing else.
TEST(FileInformationTest, IdentityIsFrozenAtFinderIDAssignment) {
  FilePtr f = makeFile(3, 1, 4096, "/tmp/a");
  f->size = 10;
  f->parentFinderID = 9;
  f->url = Url::fromPath("/tmp/b", false);
  EXPECT_EQ(f->hashValueString(), "3:1:4096:file:///tmp/a");
  f->setFinderID(4);
  EXPECT_EQ(f->hashValueString(), "4:9:10:file:///tmp/b");

  std::unordered_set<FilePtr, FileInformationHash, FileInformationEqual> set{
      makeFile(1, 2, 100, "/tmp/a")};
  for (const FilePtr& other : {makeFile(1, 3, 100, "/tmp/a"), makeFile(2, 2, 100, "/tmp/a"),
                               makeFile(1, 2, 101, "/tmp/a"), makeFile(1, 2, 100, "/tmp/b")})
    EXPECT_EQ(set.count(other), 0u) << other->hashValueString();
  FilePtr same = makeFile(1, 2, 100, "/tmp/a");
  same->title = "different";
  same->state = 1;
  EXPECT_EQ(set.count(same), 1u);
}

TEST(CategoryInformationTest, DigestIsOfTheTextAtTheLastAssignment) {
  CategoryPtr c = makeCategory(2, 0);
  c->urls = {Url::fromPath("/tmp/a", true), Url::fromPath("/tmp/b", true)};
  c->childrens.push_back(makeFile(0, 2, 1, "/tmp/a/x"));
  c->size = 7;
  EXPECT_EQ(c->hashValueString(), MD5("2:1:0:[]:0"));
  c->setFinderID(6);
  c->size = 8;
  EXPECT_EQ(c->hashValueString(), MD5("6:1:7:[file:///tmp/a/, file:///tmp/b/]:1"));

  // First requests from many threads agree.
  CategoryPtr fresh = makeCategory(3, 9);
  std::vector<std::string> seen(8);
  std::vector<std::thread> threads;
  for (std::string& text : seen)
    threads.emplace_back([&fresh, &text] { text = fresh->hashValueString(); });
  for (std::thread& t : threads) t.join();
  for (const std::string& text : seen) EXPECT_EQ(text, MD5("3:1:9:[]:0"));
}

TEST(RecordsTest, DroppingTheModuleFreesTheWholeTree) {
  ModulePtr module = testing::makeModule(1, {{"c", CategoryInfomationKind::Common, {}}});
  const std::weak_ptr<CategoryInformation> category =
      testing::featureOf(module)->categoryInfo.at(0);
  FilePtr group = makeFile(0, 0, 2, "/tmp/g");
  group->parentCategoryInfo = category.lock();
  const std::weak_ptr<FileInformation> child =
      group->childrens.emplace_back(makeFile(0, 0, 1, "/tmp/g/m"));
  child.lock()->parentFileInfo = group;
  category.lock()->childrens.push_back(std::move(group));
  module.reset();
  EXPECT_TRUE(child.expired());
  EXPECT_TRUE(category.expired());
}

// Records carved from one block do not overlap: a long value written to one
// leaves its neighbour alone. (Their values, links and identity:
// DiskAnalysisServiceTest, whose walk makes its records from blocks.)
TEST(RecordBlocksTest, NeighboursInABlockDoNotOverlap) {
  const FilePtr first = detail::makeBlockRecord();
  const FilePtr second = detail::makeBlockRecord();
  second->title = "f1";
  first->title.assign(100, 'x');
  first->deleteErrorDesc = std::string(100, 'y');
  EXPECT_EQ(second->title, "f1");
  EXPECT_TRUE(second->deleteErrorDesc.empty());
}

// A block goes back once its records are released and its thread has moved
// on, whichever thread releases them; a weak reference keeps its record's
// memory until it goes too.
TEST(RecordBlocksConcurrencyTest, BlocksReturnWhenTheirLastRecordGoes) {
  const size_t before = detail::liveRecordBlocks();
  std::vector<FilePtr> records;
  std::thread maker([&records] {
    // Enough records for several blocks.
    for (int i = 0; i < 5000; ++i) {
      FilePtr record = detail::makeBlockRecord();
      record->setFinderID(i);
      records.push_back(std::move(record));
    }
  });
  maker.join();
  EXPECT_GE(detail::liveRecordBlocks(), before + 4);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(records[static_cast<size_t>(i)]->finderID(), i);

  std::weak_ptr<FileInformation> last = records.back();
  std::vector<std::thread> releasers;
  for (size_t part = 0; part < 4; ++part) {
    releasers.emplace_back([&records, part] {
      for (size_t i = part; i < records.size(); i += 4) records[i] = nullptr;
    });
  }
  for (std::thread& t : releasers) t.join();
  EXPECT_TRUE(last.expired());
  EXPECT_EQ(detail::liveRecordBlocks(), before + 1) << "the weak reference's block stays";
  last.reset();
  EXPECT_EQ(detail::liveRecordBlocks(), before);
}

}  // namespace
}  // namespace orvexa
