// One sandbox built to break a disk cleaner, and every scan command run over
// it: named pipes, sockets and device nodes where other programs' files are
// read by name, link loops, links out of the tree, folders that vanish while
// they are walked, names that are no UTF-8 or 255 bytes long, a tree deeper
// than PATH_MAX, a 100 GB sparse file and 100,000 files in one folder. Each
// command ends in its time, exits as it should and prints one JSON document.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orvexa/platform/file_manager.h"
#include "support/deep_tree.h"
#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

constexpr int kDepth = PATH_MAX / 200 + 2;  // folders of 200-byte names

// A pipe, a character device with /dev/zero's numbers (endless bytes to a
// careless reader) or a socket nobody listens on.
void makeSpecialFile(const std::string& path, int kind) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  const mode_t types[] = {S_IFIFO, S_IFCHR, S_IFSOCK};
  ASSERT_EQ(::mknod(path.c_str(), types[kind] | 0600, ::makedev(1, 5)), 0) << path;
}

class HostileTreeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sb_ = new testing::Sandbox(::getpwuid(::geteuid())->pw_name);  // the program's own home
    // Every file a scanner opens by name, a line "folder/|name|name..."
    // each; each becomes a pipe, a device or a socket in turn.
    std::istringstream named(testing::testData("cli/hostile_named_files.txt"));
    int kind = 0;
    for (std::string folder; std::getline(named, folder);) {
      for (size_t bar = folder.rfind('|'); bar != std::string::npos; bar = folder.rfind('|')) {
        makeSpecialFile(sb_->path(folder.substr(0, folder.find('|')) + folder.substr(bar + 1)),
                        kind++ % 3);
        folder.resize(bar);
      }
    }
    ::symlink("/usr", sb_->path("/Applications/Out.app").c_str());
    ::chmod(sb_->file("/sleeper", "#!/bin/sh\nexec sleep 60\n").c_str(), 0755);  // never done
    const std::string longName(251, 'n');
    for (const std::string& name : {std::string("bad\xff\xfe name"), longName + ".txt",
                                    "\xc3\x28" + longName, std::string(251, '\xe9') + ".app"}) {
      sb_->file("~/Library/Caches/" + name, 10);
      sb_->file("~/Documents/" + name, 10);
      sb_->file("/Applications/" + name + "/Contents/Info.plist", "<plist><dict/></plist>");
    }
    for (const auto& [link, target] :
         {std::pair{"loop", "loop"}, {"a", "b"}, {"b", "a"}, {"up", ".."}, {"out", "/"}})
      ::symlink(target, sb_->path(std::string("~/Library/Caches/") + link).c_str());
    for (const char* base : {"~/Library/Caches", "~/Documents"})
      ASSERT_GT(testing::makeDeepChain(sb_->path(base), kDepth, std::string(200, 'd'), 5, 10), 0);
    ASSERT_EQ(::truncate(sb_->file("~/Downloads/sparse", 0).c_str(), int64_t{100} << 30), 0);
    const std::string many = sb_->dir("~/Library/Caches/many") + "/";
    for (int i = 0; i < 100000; ++i) ::close(::creat((many + std::to_string(i)).c_str(), 0644));
    vanishing_ = std::thread([] {
      const std::string base = sb_->path("~/Library/Caches/vanish");
      while (!stop_) {
        sb_->file("~/Library/Caches/vanish/x/y/z/f", 10);
        std::filesystem::remove_all(base);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  static void TearDownTestSuite() {
    stop_ = true;
    if (vanishing_.joinable()) vanishing_.join();  // set-up may have failed before it started
    for (const char* base : {"~/Library/Caches/", "~/Documents/"})  // deeper than TempDir goes
      (void)removeItem(sb_->path(base + std::string(200, 'd')));
    delete sb_;
  }
  static inline testing::Sandbox* sb_ = nullptr;
  static inline std::thread vanishing_;
  static inline std::atomic<bool> stop_{false};
};

// Each row: the exit status, the seconds allowed (then Ctrl-C, and five
// seconds later the end), then the command as typed with "@" standing for the
// sandbox (its path holds no blank). A stopped run ends with timeout(1)'s 124.
TEST_F(HostileTreeTest, EveryScanEndsInTimeWithOneJsonDocument) {
  // clang-format off
  const char* const commands[] = {
      "0 20 junk", "0 10 trash", "0 10 mail", "0 10 backups", "0 10 photos", "0 20 large",
      "0 10 apps", "0 10 leftovers", "0 10 unused-apps", "0 10 extensions", "0 10 login-items",
      "0 10 privacy", "0 10 privacy --clean safari:* --clean chrome:* --yes",
      "0 20 disk-usage @", "0 20 similar-images @", "0 20 similar-docs @",
      "0 20 duplicates --min-size 0 @", "1 10 catalogue --module-file @/module.plist",
      "124 1 login-items --tool launchctl=@/sleeper"};
  // clang-format on
  std::string deepest = sb_->path("~/Documents");
  for (int i = 0; i < kDepth; ++i) deepest += "/" + std::string(200, 'd');
  for (std::string command : commands) {
    SCOPED_TRACE(command);
    for (size_t at; (at = command.find('@')) != std::string::npos;)
      command.replace(at, 1, sb_->root());
    std::istringstream words(command);
    int exitCode = 0;
    std::string seconds;
    words >> exitCode >> seconds;
    std::vector<std::string> argv = {
        "/usr/bin/timeout", "--signal=INT", "--kill-after=5", seconds, testing::orvexaProgram(),
        "--root",           sb_->root(),    "--quiet",        "--json"};
    for (std::string word; words >> word;) argv.push_back(word);
    const testing::ProgramResult run = testing::runProgram(argv);
    EXPECT_EQ(run.exitCode, exitCode) << run.err;
    EXPECT_FALSE(nlohmann::json::parse(run.out, nullptr, false).is_discarded()) << run.out;
    if (argv[9] == "duplicates") {  // the copies below PATH_MAX are found too
      EXPECT_NE(run.out.find(deepest + "/f\""), std::string::npos);
    } else if (argv[9] == "privacy") {
      for (const char* store : {"~/Library/Safari/History.db",
                                "~/Library/Application Support/Google/Chrome/Default/History"})
        EXPECT_NE(run.out.find(sb_->path(store) + ": not a regular file"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace orvexa
