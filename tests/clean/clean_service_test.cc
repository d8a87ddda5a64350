#include "orvexa/clean/clean_service.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <tuple>

#include "clean/clean_records.h"
#include "orvexa/clean/undo_journal.h"
#include "orvexa/helper/helper_event_plan.h"
#include "orvexa/helper/helper_server.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "support/describe.h"
#include "support/helper_fixture.h"
#include "support/plist_values.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

constexpr auto& exists = testing::existsNoFollow;

// "mode owner" of a path itself, with "mtime seconds.nanoseconds" when asked.
std::string statOf(const std::string& path, bool withTime = false) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  return fmt::format("{:04o} {}", st.st_mode & 07777, st.st_uid) +
         (withTime ? fmt::format(" mtime {}.{}", st.st_mtim.tv_sec, st.st_mtim.tv_nsec) : "");
}

using testing::cleanCategory;
using testing::listedRecord;

// A file of nobody's in a folder of root's: only the helper may remove it.
std::string othersFile(const testing::Sandbox& sb, const std::string& name) {
  ::chmod(sb.dir("/Library/Caches/shared").c_str(), 0755);
  const std::string file = sb.file("/Library/Caches/shared/" + name, 100);
  EXPECT_EQ(::chown(file.c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
  return file;
}

class CleanServiceTest : public testing::HelperUsingTest {
 protected:
  void SetUp() override {
    if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to own files as another user";
    HelperUsingTest::SetUp();
  }

  // Cleans `categories` as Common and waits for the report.
  std::shared_ptr<testing::RecordingFinish> clean(const std::vector<CategoryPtr>& categories) {
    auto finish = std::make_shared<testing::RecordingFinish>();
    CleanService::cleanCategorys(categories, CleanServiceType::Common, finish, nullptr);
    EXPECT_TRUE(finish->done.wait());
    return finish;
  }

  testing::Sandbox sb_;
};

// Without a usable helper (installed, but nothing serves its socket), what
// only it may remove fails with a text that says what to run, and the
// user's own items are still removed. (Not installed at all: the
// command-line row user_clean_without_helper. The helper removing them,
// served or in-process as root: the helper and inProcess columns of
// CleanPathTest.)
TEST_F(CleanServiceTest, WithoutTheHelperItsItemsFailAndTheUsersOwnGo) {
  testing::RunningHelper installed;
  installed.server().stop();
  const std::string theirs = othersFile(sb_, "data.bin");
  const std::string mine = sb_.file("~/Library/Caches/mine.cache", 50);
  FilePtr theirsRecord = listedRecord(theirs, 1, 100, false),
          mineRecord = listedRecord(mine, 1, 50, true);
  CategoryPtr caches = cleanCategory({theirsRecord, mineRecord});
  auto finish = clean({caches});
  EXPECT_TRUE(exists(theirs) && !exists(mine));
  // The report, the records, then what the category keeps after the rebuild.
  const std::string why = kHelperNotRunningText, failed = "data.bin failed: " + why + "\n";
  EXPECT_EQ(finish->summary() + testing::describeRecords({theirsRecord, mineRecord}) + "kept " +
                std::to_string(caches->size) + "\n" + testing::describeRecords(caches->childrens),
            "type 0, removed 50, status 3, failed: data.bin, " + why + "\n" + failed +
                "mine.cache deleted\nkept 100\n" + failed);
  EXPECT_EQ(finish->steps, (std::vector<float>{0.25f, 0.5f, 0.75f}));
}

// A clean that can be taken back moves what only the helper may remove
// into the root-only quarantine of its volume (here the sandbox root's);
// undo puts it back through the helper with its owner, mode and times, and
// purging removes it there.
TEST_F(CleanServiceTest, TheHelpersItemsAreQuarantinedRestoredAndPurged) {
  const std::string quarantine = sb_.path("/.orvexa-quarantine");
  const std::string theirs = othersFile(sb_, "kept.bin");
  ::chmod(theirs.c_str(), 0640);
  const struct timespec times[2] = {{1000, 5}, {2000, 7}};
  ::utimensat(AT_FDCWD, theirs.c_str(), times, AT_SYMLINK_NOFOLLOW);
  // Cleans `theirs`; the journal and its row.
  auto cleanUndoably = [&]() -> std::pair<std::unique_ptr<UndoJournal>, JournalItem> {
    CleanService::setDisposal(CleanDisposal::Undoable);
    clean({cleanCategory({listedRecord(theirs, 1, 100, false)})});
    CleanService::setDisposal(CleanDisposal::ByType);
    std::string error;
    auto journal = UndoJournal::open(UndoJournal::defaultPath(), false, &error);
    EXPECT_TRUE(journal) << error;
    const std::vector<JournalItem> items = journal->items(journal->cleans().front().id);
    return {std::move(journal), items.empty() ? JournalItem{} : items[0]};
  };
  for (const bool served : {true, false}) {
    SCOPED_TRACE(served ? "helper running" : "in-process as root");
    std::optional<testing::RunningHelper> helper;
    if (served) helper.emplace();
    auto [journal, item] = cleanUndoably();
    EXPECT_EQ(statOf(quarantine) + (item.privileged ? " privileged" : ""), "0700 0 privileged");
    std::string as;
    ASSERT_TRUE(Quarantine::restore(*journal, item, &as).ok());
    EXPECT_EQ(statOf(theirs, true), "0640 65534 mtime 2000.7");  // nobody's
  }
  auto [journal, item] = cleanUndoably();
  // A purge takes only the entry journalled: another put in its place stays.
  fs::rename(item.quarantine, item.quarantine + ".aside");
  testing::writeFileAt(item.quarantine, "another");
  EXPECT_FALSE(Quarantine::purge(*journal, item).ok());
  fs::rename(item.quarantine + ".aside", item.quarantine);
  EXPECT_TRUE(Quarantine::purge(*journal, item).ok());
  EXPECT_TRUE(fs::is_empty(quarantine + "/0"));  // its record of origin too
  EXPECT_FALSE(exists(theirs));

  // Another user may neither take nor purge it; its user only puts it back
  // where it came from.
  testing::RunningHelper helper;
  othersFile(sb_, "kept.bin");
  const std::string name = fs::path(cleanUndoably().second.quarantine).filename();
  const std::string nobodys = quarantine + "/65534", moved = nobodys + "/" + name;
  fs::rename(quarantine + "/0", nobodys);
  const std::string notTheirs = "Refused: \"" + moved +
                                "\" was put in the quarantine by user id 65534; only that user or "
                                "root may restore or remove it";
  // Per row: the user, the operation (Restore 6, Clean 3), the destination
  // and the refusal.
  const std::tuple<uid_t, int, std::string, std::string> rows[] = {
      {4321, 6, theirs, notTheirs},
      {4321, 3, "", notTheirs},
      {testing::kNobodyUid, 6, theirs + "2",
       "Refused: \"" + moved + "\" came from \"" + theirs +
           "\" and goes back only there, not to \"" + theirs + "2\""}};
  for (const auto& [user, operation, to, refusal] : rows) {
    PlistValue value = testing::plistDict({{"ToPath", to}});
    putListedItem(value.asDictionary(), nobodys, *ListedIdentity::ofPath(moved));
    const HelperRequest request{
        HelperRequest::Operation::handleEvent, raw(HelperHanldeEventID::Maintenance),
        testing::plistDict({{"OperationValue", operation}, {moved, value}})};
    bool end = false;
    const PlistValue said = helper.server().handle(request, {user, {}}, &end).information;
    EXPECT_EQ(*said.find(moved)->find("DeleteDesc")->asString(), refusal);
  }
  EXPECT_TRUE(fs::exists(moved));
}

// The ticked child also listed (as an equal record) in another view is
// removed once and both records share the outcome.
TEST_F(CleanServiceTest, AMixedFolderLosesOnlyItsTickedChildOnce) {
  const std::string folder = sb_.dir("~/Library/Caches/app");
  const std::string ticked = sb_.file("~/Library/Caches/app/old.log", 10);
  const std::string kept = sb_.file("~/Library/Caches/app/keep.db", 20);
  FilePtr tickedRecord = listedRecord(ticked, 1, 10, true);
  FilePtr keptRecord = listedRecord(kept, 0, 20, true);
  FilePtr folderRecord = listedRecord(folder, -1, 30, true, {tickedRecord, keptRecord});
  CategoryPtr caches = cleanCategory({folderRecord}, -1);
  FilePtr twin = listedRecord(ticked, 1, 10, true);

  auto finish = clean({caches, cleanCategory({twin})});
  EXPECT_EQ(finish->summary() + testing::describeRecords({twin, tickedRecord, keptRecord}),
            "type 0, removed 10, status 1, failed:\nold.log deleted\nold.log deleted\nkeep.db -\n");
  EXPECT_TRUE(!exists(ticked) && exists(kept) && exists(folder));
  EXPECT_EQ(caches->childrens, std::vector<FilePtr>{folderRecord});
  EXPECT_EQ(folderRecord->childrens, std::vector<FilePtr>{keptRecord});
  EXPECT_TRUE(folderRecord->size == 20 && caches->size == 20);
}

// A ticked link goes and its target outside stays; a record of a web address
// whose path part names a real file removes nothing. Both directly and
// through the helper.
TEST_F(CleanServiceTest, ATickedLinkGoesAndNeitherItsTargetNorAWebAddressesFile) {
  testing::RunningHelper helper;
  testing::TempDir outside;
  const std::string target = outside.writeFile("target.txt", "outside");
  const std::string page = othersFile(sb_, "page");
  for (bool canDelete : {true, false}) {
    SCOPED_TRACE(canDelete ? "direct" : "through the helper");
    const std::string link = sb_.dir("~/Library/Caches") + "/link";
    fs::create_symlink(target, link);
    FilePtr linkRecord = listedRecord(link, 1, 7, canDelete);
    FilePtr web = listedRecord(page, 1, 100, canDelete);
    web->url = Url::fromString("https://example.com" + page);
    auto finish = clean({cleanCategory({linkRecord, web})});
    EXPECT_TRUE(!exists(link) && exists(page) && testing::readFile(target) == "outside");
    EXPECT_EQ(testing::describeRecords({linkRecord, web}) + finish->summary(),
              "link deleted\npage failed: Not a file: https://example.com" + page +
                  "\ntype 0, removed 7, status 1, failed: page\n");
  }
}

TEST_F(CleanServiceTest, AMismatchOfHandledAndQueuedRecordsEndsAbnormally) {
  const std::string file = sb_.file("~/Library/Caches/a", 5);
  auto finish = std::make_shared<testing::RecordingFinish>();
  auto request = std::make_shared<HelperCleanService>(finish, CleanServiceType::Common,
                                                      std::vector<CategoryPtr>{});
  request->commonDelete.insert(listedRecord(file, 1, 5, true));
  request->commonDeleteFinishCount = 1;  // left over from an earlier run
  CleanService::deleteFiles(request);
  ASSERT_TRUE(finish->done.wait());
  EXPECT_EQ(finish->summary(), "type 0, removed 0, status 3, failed:, ABNORMAL STATUS!!!\n");
}

// Requests running side by side, each with direct removals and a helper
// request whose answer arrives on the connection's thread.
TEST(CleanServiceConcurrencyTest, RequestsSideBySideEachReportOnceWithTheirOwnCounts) {
  testing::Sandbox sb;
  Identity::shared().setBundleIdentifier("org.orvexa.tests");
  testing::RunningHelper helper;
  constexpr int kRequests = 4, kFiles = 6;
  auto finish = std::make_shared<testing::RecordingFinish>();
  for (int r = 0; r < kRequests; ++r) {
    std::vector<FilePtr> records;
    for (int i = 0; i < kFiles; ++i) {
      records.push_back(listedRecord(
          sb.file("~/Library/Caches/r" + std::to_string(r) + "/f" + std::to_string(i), 10), 1, 10,
          /*canDelete=*/i % 2 == 0, {}, i));
    }
    CleanService::cleanCategorys({cleanCategory(std::move(records), 1, r)},
                                 CleanServiceType::Common, finish, nullptr);
  }
  ASSERT_TRUE(finish->done.wait(std::chrono::seconds(30), kRequests));
  std::string each;  // of its own files only, nothing failed
  for (int r = 0; r < kRequests; ++r) each += "type 0, removed 60, status 1, failed:\n";
  EXPECT_EQ(finish->summary(), each);
  // Only the requests' folders are left.
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(sb.path("~/Library/Caches")), {}),
            kRequests);
  PrivilegeHelper::shard().close();
}

}  // namespace
}  // namespace orvexa
