#include <fmt/format.h>
#include <gtest/gtest.h>

#include "orvexa/clean/helper_clean_service.h"

namespace orvexa {
namespace {

FilePtr record(const std::string& path, int state, DeleteStatus status, int64_t size,
               std::string error = "", std::vector<FilePtr> children = {}) {
  auto file = std::make_shared<FileInformation>(
      state, 9, 9, path, Image{}, size, Timestamp{}, Url::fromPath(path, !children.empty()), "",
      true, false, std::any{}, std::move(children), nullptr, raw(FilesKind::File), 0, nullptr);
  file->deleteStatus = raw(status);
  file->deleteErrorDesc = std::move(error);
  return file;
}

CategoryPtr category(int finderID, int state, bool needRemove, std::vector<FilePtr> records) {
  return std::make_shared<CategoryInformation>(
      state, finderID, "c" + std::to_string(finderID), Image{}, 999, "",
      raw(CategoryInfomationKind::Common), std::vector<Url>{}, std::move(records), nullptr,
      std::any{}, 0, needRemove);
}

// The request's categories as lines: "title #finderID size state", then
// each record indented by its depth as "title finderID/parentFinderID state
// size".
void addRecord(std::string& out, const FilePtr& r, const std::string& indent) {
  out += fmt::format("{}{} {}/{} {} {}\n", indent, r->title, r->finderID(), r->parentFinderID,
                     r->state, r->size);
  for (const FilePtr& child : r->childrens) addRecord(out, child, indent + "  ");
}
std::string tree(const HelperCleanService& request) {
  std::string out;
  for (const CategoryPtr& c : request.cleanCategorys) {
    out += fmt::format("{} #{} {} {}\n", c->title, c->finderID(), c->size, c->state);
    for (const FilePtr& r : c->childrens) addRecord(out, r, "  ");
  }
  return out;
}

// Deleted records go, failed ones stay with their texts, and what is left
// is renumbered, resized and unticked; the category whose only record went,
// flagged for removal, goes. Categories are renumbered only when the first
// is flagged.
TEST(HelperCleanSortTest, DeletedRecordsGoFailedOnesStayAndEverythingIsRenumbered) {
  for (const bool firstFlagged : {false, true}) {
    SCOPED_TRACE(firstFlagged);
    const FilePtr c2 = record("/f/c2", 1, DeleteStatus::DeleteError, 9, "busy");
    const FilePtr r1 = record("/r1", 1, DeleteStatus::DeleteError, 20, "denied");
    const FilePtr r2 = record("/r2", 0, DeleteStatus::None, 30);
    const FilePtr d = record("/d", 1, DeleteStatus::DeleteError, 4, "gone");
    HelperCleanService request(
        nullptr, CleanServiceType::Common,
        {category(0, -1, firstFlagged, {record("/r0", 1, DeleteStatus::DeleteSuccess, 10), r1, r2}),
         category(1, 1, true, {record("/s0", 1, DeleteStatus::DeleteSuccess, 40)}),
         category(2, -1, false,
                  {record("/f", -1, DeleteStatus::Deleteing, 21, "",
                          {record("/f/c0", 1, DeleteStatus::DeleteSuccess, 5),
                           record("/f/c1", 0, DeleteStatus::None, 7), c2})}),
         category(3, 0, false, {record("/t0", 1, DeleteStatus::DeleteSuccess, 3)}),
         category(4, 1, true, {d})});
    auto [failed, text] = HelperCleanService::sortCategory(request);
    EXPECT_EQ(failed, (std::vector<FilePtr>{r1, c2, d}));
    EXPECT_EQ(text, "denied,busy,gone,");
    EXPECT_EQ(tree(request), std::string("c0 #0 50 0\n  /r1 0/0 0 20\n  /r2 1/0 0 30\n") +
                                 (firstFlagged ? "c2 #1" : "c2 #2") +
                                 " 16 0\n  /f 0/1 0 16\n    /f/c1 0/0 0 7\n    /f/c2 1/0 0 9\n" +
                                 (firstFlagged ? "c3 #2" : "c3 #3") + " 3 0\n  /t0 0/2 0 3\n" +
                                 (firstFlagged ? "c4 #3" : "c4 #4") + " 4 0\n  /d 0/3 0 4\n");
  }
}

}  // namespace
}  // namespace orvexa
