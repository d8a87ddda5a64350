// Moving items to the trash and putting them back: round trips, a broken
// journal, and an item on another file system. (A clean killed mid-way:
// tests/cli/undo_fault_test.cc.)
#include "orvexa/clean/undo_journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <tuple>

#include "orvexa/platform/paths.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::readFile;

ListedItem listed(const std::string& path) {
  return {fs::path(path).parent_path().string(), path, *ListedIdentity::ofPath(path)};
}

std::unique_ptr<UndoJournal> openJournal() {
  std::string error;
  auto journal = UndoJournal::open(UndoJournal::defaultPath(), true, &error);
  EXPECT_TRUE(journal) << error;
  return journal;
}

// Each layout's trash: where the item goes, and its .trashinfo (none in the
// macOS layout's trash).
TEST(UndoJournalTest, RoundTripKeepsBytesModeAndTimesAndNumbersATakenPlace) {
  const Layout was = Paths::shared().layout();
  for (const auto& [layout, trashed, info] :
       {std::tuple{Layout::macOS, "/.Trash/a.jpg", ""},
        std::tuple{Layout::Linux, "/.local/share/Trash/files/a.jpg",
                   "/.local/share/Trash/info/a.jpg.trashinfo"}}) {
    Paths::shared().setLayout(layout);
    testing::Sandbox sb;
    const std::string infoPath = *info ? sb.home() + info : std::string();
    const std::string file = sb.file("~/Pictures/a.jpg", "picture bytes");
    const std::string folder = sb.dir("~/Old/project");
    sb.file("~/Old/project/notes.txt", "notes");
    ::chmod(file.c_str(), 0640);
    const uid_t owner = ::geteuid() == 0 ? 4321 : ::geteuid();  // as root: another user's file
    ASSERT_EQ(::lchown(file.c_str(), owner, owner), 0);
    const struct timespec times[2] = {{1000, 5}, {2000, 7}};
    ::utimensat(AT_FDCWD, file.c_str(), times, 0);
    auto journal = openJournal();
    const int64_t clean = journal->beginClean("duplicates");
    for (const std::string& path : {file, folder}) {
      ASSERT_TRUE(Quarantine::place(*journal, clean, listed(path), 10).ok()) << path;
      EXPECT_FALSE(fs::exists(path));
    }
    journal->finishClean(clean);
    EXPECT_TRUE(fs::exists(sb.home() + trashed) && fs::exists(infoPath) == !infoPath.empty());
    sb.file("~/Pictures/a.jpg", "a new file in its place");
    const std::vector<JournalItem> items = journal->items(clean);
    std::string as;
    ASSERT_TRUE(Quarantine::restore(*journal, items[0], &as).ok());
    EXPECT_EQ(as, sb.home() + "/Pictures/a (2).jpg");
    struct stat st {};
    ::stat(as.c_str(), &st);
    EXPECT_EQ(std::tie(st.st_mode, st.st_uid, st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
              std::make_tuple(S_IFREG | 0640u, owner, 2000, 7));
    EXPECT_EQ(readFile(as), "picture bytes");
    ASSERT_TRUE(Quarantine::restore(*journal, items[1], &as).ok());
    EXPECT_EQ(readFile(folder + "/notes.txt"), "notes");
    EXPECT_FALSE(fs::exists(infoPath));
    // An item a file manager put back is no longer offered.
    ASSERT_TRUE(Quarantine::place(*journal, clean, listed(as), 10).ok());
    fs::rename(journal->items(clean).front().quarantine, as);
    EXPECT_TRUE(openJournal()->items(clean).empty());
    EXPECT_TRUE(infoPath.empty() || fs::is_empty(fs::path(infoPath).parent_path()));
    // A trash emptied by hand while a clean runs: what is left fails saying so.
    const std::string files = fs::path(sb.home() + trashed).parent_path().string();
    fs::remove_all(files);
    EXPECT_EQ(Quarantine::place(*journal, clean, listed(as), 10).message(),
              "the trash folder " + files + " is gone; not moved");
  }
  Paths::shared().setLayout(was);
}

TEST(UndoJournalTest, MissingLockedOrCorruptJournalFailsClearly) {
  testing::Sandbox sb;
  std::string error;
  // Each opening that fails: whether it says why.
  const auto fails = [&error](const std::string& path, const char* why) {
    return !UndoJournal::open(path, false, &error) && error.find(why) != std::string::npos;
  };
  EXPECT_TRUE(fails(UndoJournal::defaultPath(), "no undo journal")) << error;
  openJournal();
  SqliteTool other;
  SqliteTool::setBusyTimeout(std::chrono::milliseconds(50));
  ASSERT_TRUE(other.openDB(UndoJournal::defaultPath()));
  ASSERT_TRUE(other.executionSQL("BEGIN EXCLUSIVE").first);
  EXPECT_TRUE(fails(UndoJournal::defaultPath(), "locked by another program")) << error;
  other.closeDB("");
  fs::remove_all(fs::path(UndoJournal::defaultPath()).parent_path());
  const std::string path = testing::writeFileAt(UndoJournal::defaultPath(), std::string(4096, 'x'));
  EXPECT_TRUE(fails(path, "cannot be used")) << error;
  EXPECT_EQ(fs::file_size(path), 4096u);  // left as it was
}

// An item on another file system goes to that volume's own trash: renamed
// (same inode), never copied.
TEST(UndoJournalTest, ItemOnAnotherFileSystemStaysOnIt) {
  struct stat shm {};
  if (::stat("/dev/shm", &shm) != 0) GTEST_SKIP() << "no /dev/shm";
  const Layout was = Paths::shared().layout();
  Paths::shared().setLayout(Layout::Linux);
  testing::Sandbox sb;
  const std::string trash = "/dev/shm/.Trash-" + std::to_string(::geteuid());
  const bool hadTrash = fs::exists(trash);
  testing::TempDir dir;  // for its unique name only
  const std::string path = "/dev/shm/" + fs::path(dir.path()).filename().string();
  testing::writeFileAt(path, "on tmpfs");
  const ListedItem item = listed(path);
  auto journal = openJournal();
  ASSERT_TRUE(Quarantine::place(*journal, journal->beginClean("large"), item, 8).ok());
  const JournalItem moved = journal->items(journal->cleans().front().id).front();
  EXPECT_EQ(moved.quarantine.rfind(trash + "/files/", 0), 0u) << moved.quarantine;
  EXPECT_EQ(ListedIdentity::ofPath(moved.quarantine)->inode, item.identity.inode);
  std::string as;
  EXPECT_TRUE(Quarantine::restore(*journal, moved, &as).ok() && readFile(path) == "on tmpfs");
  fs::remove(path);
  if (!hadTrash) fs::remove_all(trash);
  Paths::shared().setLayout(was);
}

}  // namespace
}  // namespace orvexa
