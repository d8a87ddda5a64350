// A clean of 3,000 files killed (SIGKILL) at 20 random instants, each
// followed by undo: no file is ever missing or changed.
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <tuple>

#include "support/run_program.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

size_t entries(const std::string& folder) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}

TEST(UndoFaultTest, CleansKilledAtRandomInstantsLoseNothingAfterUndo) {
  constexpr size_t kItems = 3000;
  // On tmpfs: a disk file system spends most of such a run finding inodes
  // for .trashinfo files while the ones just deleted are still settling.
  char made[] = "/dev/shm/orvexa-undo-XXXXXX";
  ASSERT_NE(::mkdtemp(made), nullptr);
  const std::string root = made;
  const std::shared_ptr<void> removed(nullptr, [&root](void*) { fs::remove_all(root); });
  const std::string big = root + "/data/big";
  fs::create_directories(big);
  std::vector<struct stat> before(kItems);
  for (size_t i = 0; i < kItems; ++i) {
    const std::string path = big + "/f" + std::to_string(i);
    std::ofstream(path) << i;
    ::stat(path.c_str(), &before[i]);
  }
  // The freedesktop.org trash: the .trashinfo files are at stake too.
  const std::string trash = root + ::getpwuid(::geteuid())->pw_dir + "/.local/share/Trash";
  auto orvexa = [&root](std::vector<std::string> args) {
    args.insert(args.begin(), {testing::orvexaProgram(), "--layout", "linux", "--root", root,
                               "--quiet", "--json"});
    return args;
  };
  // Moves into the trash are counted as they happen; the folder is made
  // first so that it can be watched from the start.
  fs::create_directories(trash + "/files");
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, (trash + "/files").c_str(), IN_MOVED_TO), 0);
  alignas(inotify_event) char events[64 * 1024];
  std::mt19937 random(std::random_device{}());
  for (int run = 0; run < 20; ++run) {
    const size_t killAt = std::uniform_int_distribution<size_t>(1, kItems - 1)(random);
    size_t moved = 0;
    testing::runProgram(
        orvexa({"disk-usage", big, "--clean", "--select", big + "/f*", "--yes"}), [&](pid_t child) {
          for (pollfd p{watch, POLLIN, 0}; moved < killAt && ::poll(&p, 1, 60000) == 1;) {
            const ssize_t n = ::read(watch, events, sizeof events);
            for (ssize_t at = 0; at < n; ++moved) {
              at += static_cast<ssize_t>(sizeof(inotify_event) +
                                         reinterpret_cast<inotify_event*>(events + at)->len);
            }
          }
          ::kill(child, SIGKILL);
        });
    // (What the watch still holds belongs to this run.)
    for (pollfd p{watch, POLLIN, 0}; ::poll(&p, 1, 0) == 1 && ::read(watch, events, 4096) > 0;) {
    }
    SCOPED_TRACE("killed after " + std::to_string(moved) + " moves");
    const testing::ProgramResult r = testing::runProgram(orvexa({"undo", "--yes"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(entries(big), kItems);
    ASSERT_EQ(entries(trash + "/files") + entries(trash + "/info"), 0u);
    for (size_t i = 0; i < kItems; ++i) {
      const std::string path = big + "/f" + std::to_string(i);
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
      // The same inode, size, mode and time: the file itself, put back
      // unchanged (a write would have moved the time).
      ASSERT_EQ(std::tie(st.st_ino, st.st_size, st.st_mode, st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
                std::tie(before[i].st_ino, before[i].st_size, before[i].st_mode,
                         before[i].st_mtim.tv_sec, before[i].st_mtim.tv_nsec))
          << path;
    }
  }
  ::close(watch);
}

}  // namespace
}  // namespace orvexa
