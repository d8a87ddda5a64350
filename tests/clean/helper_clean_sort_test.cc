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

std::vector<std::string> titles(const std::vector<FilePtr>& records) {
  std::vector<std::string> out;
  for (const FilePtr& r : records) out.push_back(r->title);
  return out;
}

TEST(HelperCleanSortTest, DeletedRecordsGoFailedOnesStayAndEverythingIsRenumbered) {
  const FilePtr r0 = record("/r0", 1, DeleteStatus::DeleteSuccess, 10);
  const FilePtr r1 = record("/r1", 1, DeleteStatus::DeleteError, 20, "denied");
  const FilePtr r2 = record("/r2", 0, DeleteStatus::None, 30);
  const FilePtr s0 = record("/s0", 1, DeleteStatus::DeleteSuccess, 40);
  const FilePtr c0 = record("/f/c0", 1, DeleteStatus::DeleteSuccess, 5);
  const FilePtr c1 = record("/f/c1", 0, DeleteStatus::None, 7);
  const FilePtr c2 = record("/f/c2", 1, DeleteStatus::DeleteError, 9, "busy");
  const FilePtr f = record("/f", -1, DeleteStatus::Deleteing, 21, "", {c0, c1, c2});
  const FilePtr t0 = record("/t0", 1, DeleteStatus::DeleteSuccess, 3);

  HelperCleanService request(nullptr, CleanServiceType::Common,
                             {category(0, -1, false, {r0, r1, r2}), category(1, 1, true, {s0}),
                              category(2, -1, false, {f}), category(3, 0, false, {t0})});
  auto [failed, text] = HelperCleanService::sortCategory(request);

  EXPECT_EQ(titles(failed), (std::vector<std::string>{"/r1", "/f/c2"}));
  EXPECT_EQ(text, "denied,busy,");

  // The category whose only record went, flagged for removal, is gone.
  ASSERT_EQ(request.cleanCategorys.size(), 3u);
  const CategoryInformation& first = *request.cleanCategorys[0];
  const CategoryInformation& folder = *request.cleanCategorys[1];
  const CategoryInformation& untouched = *request.cleanCategorys[2];
  EXPECT_EQ(first.title, "c0");
  EXPECT_EQ(folder.title, "c2");
  EXPECT_EQ(untouched.title, "c3");
  // Not renumbered: the first category is not flagged.
  EXPECT_EQ(folder.finderID(), 2);

  EXPECT_EQ(titles(first.childrens), (std::vector<std::string>{"/r1", "/r2"}));
  EXPECT_EQ(first.size, 50);
  EXPECT_EQ(first.state, 0);
  for (size_t k = 0; k < first.childrens.size(); ++k) {
    SCOPED_TRACE(first.childrens[k]->title);
    EXPECT_EQ(first.childrens[k]->finderID(), static_cast<int>(k));
    EXPECT_EQ(first.childrens[k]->parentFinderID, 0);
    EXPECT_EQ(first.childrens[k]->state, 0);
  }
  EXPECT_EQ(r2->hashValueString(), "1:0:30:file:///r2");

  // The mixed folder stays with what was not deleted, sized anew.
  ASSERT_EQ(folder.childrens.size(), 1u);
  EXPECT_EQ(folder.childrens[0], f);
  EXPECT_EQ(titles(f->childrens), (std::vector<std::string>{"/f/c1", "/f/c2"}));
  EXPECT_EQ(f->size, 16);
  EXPECT_EQ(f->state, 0);
  EXPECT_EQ(f->parentFinderID, 1);
  EXPECT_EQ(c2->finderID(), 1);
  EXPECT_EQ(c2->parentFinderID, 0);
  EXPECT_EQ(folder.size, 16);

  // A category that was not ticked keeps its records, renumbered.
  EXPECT_EQ(titles(untouched.childrens), (std::vector<std::string>{"/t0"}));
  EXPECT_EQ(t0->parentFinderID, 2);
  EXPECT_EQ(t0->state, 0);
  EXPECT_EQ(untouched.size, 3);
}

// (A first category not flagged: the test above.)
TEST(HelperCleanSortTest, FlaggedCategoriesAreRenumberedWhenTheFirstIsFlagged) {
  HelperCleanService request(
      nullptr, CleanServiceType::Common,
      {category(5, -1, true,
                {record("/a", 1, DeleteStatus::DeleteError, 1, "no"),
                 record("/b", 1, DeleteStatus::DeleteSuccess, 2)}),
       category(6, 1, true, {record("/c", 1, DeleteStatus::DeleteSuccess, 3)}),
       category(7, 1, true, {record("/d", 1, DeleteStatus::DeleteError, 4, "gone")})});
  auto [failed, text] = HelperCleanService::sortCategory(request);
  EXPECT_EQ(text, "no,gone,");
  ASSERT_EQ(request.cleanCategorys.size(), 2u);
  EXPECT_EQ(request.cleanCategorys[0]->finderID(), 0);
  EXPECT_EQ(request.cleanCategorys[1]->finderID(), 1);
  EXPECT_EQ(request.cleanCategorys[0]->size, 1);
  EXPECT_EQ(request.cleanCategorys[1]->size, 4);
  // The failed record of a fully ticked category makes it mixed first,
  // and every category ends unticked.
  EXPECT_EQ(request.cleanCategorys[1]->state, 0);
}

}  // namespace
}  // namespace orvexa
