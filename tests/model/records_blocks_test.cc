#include "model/records_blocks.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace orvexa {
namespace {

// Records carved from blocks behave as records: values, links, identity.
TEST(RecordBlocksTest, RecordsFromBlocksAreOrdinaryRecords) {
  FilePtr folder = detail::makeBlockRecord();
  EXPECT_EQ(folder->hashValueString(), "0:0:0:file://");
  EXPECT_EQ(folder->fileKind, raw(FilesKind::Folder));
  folder->url = Url::fromPath("/tmp/blocks", true);
  for (int i = 0; i < 3; ++i) {
    FilePtr file = detail::makeBlockRecord(
        0, i, 7, "f" + std::to_string(i), Image{}, int64_t{10} * i, Timestamp{},
        Url::fromPath("/tmp/blocks/f" + std::to_string(i), false), "ignored", true, false,
        std::any{}, std::vector<FilePtr>{}, nullptr, raw(FilesKind::File), 1, folder);
    folder->childrens.push_back(file);
  }
  ASSERT_EQ(folder->childrens.size(), 3u);
  EXPECT_EQ(folder->childrens[2]->hashValueString(), "2:7:20:file:///tmp/blocks/f2");
  EXPECT_EQ(folder->childrens[2]->parentFileInfo.lock(), folder);
  EXPECT_EQ(folder->childrens[1]->title, "f1");
  // Neighbours in a block do not overlap.
  folder->childrens[0]->title.assign(100, 'x');
  folder->childrens[0]->deleteErrorDesc = std::string(100, 'y');
  EXPECT_EQ(folder->childrens[1]->title, "f1");
  EXPECT_TRUE(folder->childrens[1]->deleteErrorDesc.empty());
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
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(records[static_cast<size_t>(i)]->finderID(), i);
  }

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
