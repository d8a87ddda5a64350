// What a clean removes when the disk changed between the listing and the
// clean: one table of hazards, run against every clean path (a column of
// the parameterised test; add a path by adding a CleanPath value and its
// set-up in CleanPathTest).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "clean/clean_records.h"
#include "orvexa/clean/clean_service.h"
#include "orvexa/platform/verified_removal.h"
#include "platform/unique_fd.h"
#include "support/deep_tree.h"
#include "support/describe.h"
#include "support/helper_fixture.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

// direct: the user's own removal; helper: the helper program over its
// socket; inProcess: running as root, the helper's operations in this
// process.
enum class CleanPath { direct, helper, inProcess };
constexpr const char* kCleanPathNames[] = {"direct", "helper", "inProcess"};

// The item's status, reached one component at a time without following
// links (paths may be longer than PATH_MAX).
std::optional<struct stat> statOf(const std::string& path) {
  detail::UniqueFd fd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  fs::path p(path);
  std::vector<std::string> parts(++p.begin(), p.end());
  for (size_t i = 0; fd && i + 1 < parts.size(); ++i) {
    fd = detail::UniqueFd(
        ::openat(fd.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  struct stat st {};
  if (!fd || ::fstatat(fd.get(), parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  return st;
}

bool exists(const std::string& path) { return statOf(path).has_value(); }

// `levels` nested folders of 200-character names below `top`, with a file
// at the bottom, whose path it returns.
std::string deepFile(const std::string& top, int levels) {
  fs::create_directories(top);
  EXPECT_EQ(testing::makeDeepChain(top, levels, std::string(200, 'd'), 0, 4), 1);
  std::string path = top;
  for (int i = 0; i < levels; ++i) path += "/" + std::string(200, 'd');
  return path + "/f";
}

void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app) << text;
}

class CleanPathTest : public testing::HelperUsingTest,
                      public ::testing::WithParamInterface<CleanPath> {
 protected:
  void SetUp() override {
    HelperUsingTest::SetUp();
    if (GetParam() == CleanPath::direct) return;
    if (::geteuid() != 0) GTEST_SKIP() << "the helper's operations run as root";
    if (GetParam() == CleanPath::helper) {
      helper_.emplace();
    } else {
      PrivilegeHelper::shard().setInProcess(true);
    }
  }

  // A record as a scan lists it, for this path's removal.
  FilePtr listed(const std::string& path, int state = 1) {
    return testing::listedRecord(path, state, 1, GetParam() == CleanPath::direct);
  }

  void clean(const CategoryPtr& category, CleanServiceType type) {
    category->scanRoots = {Url::fromPath(sb_.root(), true)};
    auto finish = std::make_shared<testing::RecordingFinish>();
    if (type == CleanServiceType::Duplicate)
      CleanService::cleanDuplicateAndSimilarCategorys(category, type, finish);
    else
      CleanService::cleanCategorys({category}, type, finish, nullptr);
    ASSERT_TRUE(finish->done.wait(std::chrono::seconds(60)));
  }

  testing::Sandbox sb_;
  testing::TempDir outside_;
  std::optional<testing::RunningHelper> helper_;
};

TEST_P(CleanPathTest, ItemsChangedAfterTheListingAreLeftAlone) {
  // One hazard: what happens to the listed item before the clean, the
  // record's error ("" when it was removed) and what survives in the caches
  // folder (none: the item is gone).
  const struct {
    const char* name;
    std::function<void(const std::string& item, const std::string& outside)> change;
    const char *desc, *survivor;
  } hazards[] = {
      {"unchanged", nullptr, "", nullptr},
      {"edited", [](auto& item, auto&) { append(item, "more"); }, kChangedText, "app/edited"},
      {"replaced",
       [](auto& item, auto&) {
         fs::remove(item);
         std::ofstream(item) << "other content";
       },
       kChangedText, "app/replaced"},
      {"deleted", [](auto& item, auto&) { fs::remove(item); }, kChangedText, nullptr},
      {"swapped for a link",
       [](auto& item, auto& outside) {
         fs::remove(item);
         fs::create_symlink(outside + "/victim", item);
       },
       kChangedText, "app/swapped for a link"},
      {"parent swapped for a link",
       [](auto& item, auto& outside) {
         const fs::path parent = fs::path(item).parent_path();
         fs::rename(parent, parent.string() + ".moved");
         fs::create_symlink(outside, parent);
       },
       kChangedText, "app.moved/parent swapped for a link"},
      {"hard-linked elsewhere",
       [](auto& item, auto& outside) { fs::create_hard_link(item, outside + "/second name"); }, "",
       nullptr},
  };
  for (const auto& h : hazards) {
    SCOPED_TRACE(h.name);
    const std::string item = sb_.file("~/Library/Caches/app/" + std::string(h.name), 100);
    const std::string victim = outside_.writeFile("victim", "outside");
    FilePtr record = listed(item);
    if (h.change) h.change(item, outside_.path());
    clean(testing::cleanCategory({record}), CleanServiceType::Common);
    EXPECT_EQ(
        testing::describeRecords({record}),
        std::string(h.name) + (*h.desc ? " failed: " + std::string(h.desc) : " deleted") + "\n");
    EXPECT_EQ(testing::readFile(victim), "outside");
    EXPECT_TRUE(h.survivor ? exists(sb_.path("~/Library/Caches/") + h.survivor) : !exists(item));
    const std::string second = outside_.path() + "/second name";
    EXPECT_TRUE(!fs::exists(second) || fs::file_size(second) == 100u);
    fs::remove_all(sb_.path("~/Library/Caches"));
    fs::remove_all(second);
  }
}

TEST_P(CleanPathTest, OnlyListedItemsInsideTheScannedFoldersGo) {
  // A store naming a path outside the scanned folders, a record nothing was
  // listed for, and trees deeper than PATH_MAX (a file, a whole folder
  // holding a link to the outside folder).
  const std::string outsideFile = outside_.writeFile("elsewhere/data", "keep");
  FilePtr fromStore = listed(outsideFile);
  FilePtr byHand = listed(sb_.file("~/Documents/by hand", 3));
  byHand->setListedIdentity(std::nullopt);
  const std::string deep = deepFile(sb_.path("~/Deep/file"), 25);
  ASSERT_GT(deep.size(), static_cast<size_t>(PATH_MAX));
  FilePtr deepRecord = listed(sb_.path("~/Deep/file"));
  deepRecord->url = Url::fromPath(deep, false);
  deepRecord->setListedIdentity(ListedIdentity::fromStat(*statOf(deep)));
  deepFile(sb_.path("~/Deep/tree"), 25);
  fs::create_symlink(outside_.path() + "/elsewhere", sb_.path("~/Deep/tree/link"));
  FilePtr deepTree = listed(sb_.path("~/Deep/tree"));

  clean(testing::cleanCategory({fromStore, byHand, deepRecord, deepTree}),
        CleanServiceType::Common);
  EXPECT_EQ(testing::readFile(outsideFile), "keep");
  EXPECT_EQ(testing::describeRecords({fromStore, byHand, deepRecord, deepTree}),
            "data failed: " + std::string(kOutsideText) + "\nby hand failed: " +
                HelperCleanService::kNoIdentityText + "\nfile deleted\ntree deleted\n");
  EXPECT_TRUE(exists(sb_.path("~/Documents/by hand")) && exists(sb_.path("~/Deep/file")));
  EXPECT_FALSE(exists(deep) || exists(sb_.path("~/Deep/tree")));
}

// Duplicates: the copy goes only while the kept copy is still there, still
// what was listed and still byte for byte the same, and while one copy of
// the group stays. A group left alone does not stop the next one.
TEST_P(CleanPathTest, ACopyGoesOnlyWhileTheKeptCopyStillMatches) {
  const char* const keptChanged =
      "not removed: the copy kept of its group changed since it was listed";
  const struct {
    const char* name;
    std::function<void(const std::string& kept, const std::string& copy)> change;
    const char* copyDesc;  // "" when the copy was removed
    int keptState = 0;
  } cases[] = {
      {"both as listed", nullptr, ""},
      {"kept copy deleted", [](auto& kept, auto&) { fs::remove(kept); }, keptChanged},
      {"kept copy edited", [](auto& kept, auto&) { append(kept, "!"); }, keptChanged},
      {"copy edited", [](auto&, auto& copy) { append(copy, "!"); }, kChangedText},
      {"copy rewritten with its size and time kept",
       [](auto&, auto& copy) {
         struct stat st {};
         ::stat(copy.c_str(), &st);
         std::ofstream(copy, std::ios::in | std::ios::out) << "\x7f";
         const struct timespec times[2] = {st.st_atim, st.st_mtim};
         ::utimensat(AT_FDCWD, copy.c_str(), times, 0);
       },
       "no longer identical to the copy kept"},
      {"every copy ticked", nullptr, "not removed: no copy of its group would be kept", 1},
  };
  auto group = [&](std::vector<FilePtr> members) {
    auto g = std::make_shared<FileInformation>();
    g->state = members[0]->state == 1 ? 1 : -1;
    g->canDelete = GetParam() == CleanPath::direct;
    g->childrens = std::move(members);
    return g;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string kept = sb_.file("~/Pictures/a.jpg", 600);
    const std::string copy = sb_.file("~/Pictures/a copy.jpg", 600);
    FilePtr copyRecord = listed(copy, 1);
    FilePtr next = listed(sb_.file("~/Pictures/c copy.jpg", 900), 1);
    const std::vector<FilePtr> groups = {
        group({listed(kept, c.keptState), copyRecord}),
        group({listed(sb_.file("~/Pictures/c.jpg", 900), 0), next})};
    if (c.change) c.change(kept, copy);
    clean(testing::cleanCategory(groups, -1), CleanServiceType::Duplicate);
    EXPECT_EQ(copyRecord->deleteErrorDesc, c.copyDesc);
    // The copy stays when refused, the kept copy unless the case removed it;
    // the next group's copy always goes and its kept copy stays.
    EXPECT_EQ(exists(copy), *c.copyDesc != '\0');
    EXPECT_TRUE(exists(kept) == (std::string(c.name) != "kept copy deleted") &&
                !exists(next->url.path()) && exists(sb_.path("~/Pictures/c.jpg")));
    fs::remove_all(sb_.path("~/Pictures"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    , CleanPathTest, ::testing::Values(CleanPath::direct, CleanPath::helper, CleanPath::inProcess),
    [](const auto& p) { return kCleanPathNames[static_cast<size_t>(p.param)]; });

}  // namespace
}  // namespace orvexa
