#include "orvexa/scan/duplicate/duplicate_selection.h"

#include <gtest/gtest.h>

#include <chrono>

namespace orvexa {
namespace {

using std::chrono::hours;

const Timestamp kEpoch = Timestamp{} + hours(24 * 365 * 50);

FilePtr member(const std::string& path, int64_t size, int ageHours, bool folder = false) {
  auto f = std::make_shared<FileInformation>();
  f->url = Url::fromPath(path, folder);
  f->size = size;
  f->date = kEpoch - hours(ageHours);
  f->fileKind = raw(folder ? FilesKind::Folder : FilesKind::File);
  return f;
}

// The all-duplicates category of these groups, each sized by its members.
CategoryPtr allOf(std::vector<std::vector<FilePtr>> groups) {
  auto all = std::make_shared<CategoryInformation>();
  for (auto& members : groups) {
    auto g = std::make_shared<FileInformation>();
    g->childrens = std::move(members);
    for (const FilePtr& m : g->childrens) g->size += m->size;
    all->childrens.push_back(g);
  }
  return all;
}

std::vector<std::string> pathsOf(const std::vector<FilePtr>& files) {
  std::vector<std::string> paths;
  for (const FilePtr& f : files) paths.push_back(f->url.path());
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(DuplicateSelectionTest, KeepRulesChooseOneCopyAndNestedGroupsNeverLoseTheLast) {
  // A and A2 are copies; so are their sub-folders and the file inside, which
  // also has a copy elsewhere. In the last group, /a'/x sorts before /a/x
  // as text, but "a" comes before "a'" as a folder.
  auto all = allOf({
      {member("/e/f", 500, 1), member("/d/A/sub/f", 500, 50), member("/d/A2/sub/f", 500, 2)},
      {member("/d/A/sub", 600, 50, true), member("/d/A2/sub", 600, 2, true)},
      {member("/d/A", 1000, 50, true), member("/d/A2", 1000, 2, true)},
      {member("/b/x", 100, 30), member("/a'/x", 100, 10), member("/a/x", 100, 20),
       member("/c/x", 100, 5)},
  });
  const std::tuple<DuplicateKeep, std::vector<std::string>, std::vector<std::string>> cases[] = {
      // A is kept whole; A2 goes with everything in it; the copy elsewhere
      // goes because A keeps one.
      {DuplicateKeep::oldest,
       {"/b/x", "/d/A", "/d/A/sub/f"},
       {"/a'/x", "/a/x", "/c/x", "/d/A2", "/e/f"}},
      {DuplicateKeep::newest,
       {"/c/x", "/d/A2", "/d/A2/sub/f"},
       {"/a'/x", "/a/x", "/b/x", "/d/A", "/e/f"}},
      {DuplicateKeep::firstPath,
       {"/a/x", "/d/A", "/d/A/sub/f"},
       {"/a'/x", "/b/x", "/c/x", "/d/A2", "/e/f"}},
  };
  for (const auto& [keep, kept, removed] : cases) {
    DuplicateRemovalPlan plan = planDuplicateRemoval(all, keep);
    EXPECT_EQ(std::tuple(pathsOf(plan.keep), pathsOf(plan.remove), plan.freedBytes),
              std::tuple(kept, removed, int64_t{1000 + 500 + 300}));
  }
}

TEST(DuplicateSelectionTest, TickingMarksRemovedMembersAndMixedGroups) {
  auto all = allOf({{member("/a/x", 10, 1), member("/b/x", 10, 2)},
                    {member("/c/y", 20, 1), member("/d/y", 20, 2), member("/e/y", 20, 3)}});
  all->childrens[0]->childrens[0]->state = 1;  // ticked by hand before: the plan decides
  DuplicateRemovalPlan plan = planDuplicateRemoval(all, DuplicateKeep::newest);
  tickDuplicateRemoval(all, plan);
  std::vector<int> states;  // each group's members, then the group
  for (const FilePtr& g : all->childrens) {
    for (const FilePtr& m : g->childrens) states.push_back(m->state);
    states.push_back(g->state);
  }
  EXPECT_EQ(states, (std::vector<int>{0, 1, -1, 0, 1, 1, -1}));  // newest: kept
  EXPECT_EQ(plan.freedBytes, 10 + 40);
}

}  // namespace
}  // namespace orvexa
