#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "orvexa/platform/identity.h"
#include "support/run_as.h"
#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::orvexaProgram;
using testing::runProgram;

constexpr const char* kLabel = "org.orvexa.cliHelper";

// The helper's whole life through the command line, in a sandbox: a clean
// that needs it installs it (the program runs as root), status shows it,
// stop ends it, uninstall removes it.
TEST(CleanHelperCommandTest, InstallStatusStopAndUninstall) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root";
  if (!fs::exists(fs::path(orvexaProgram()).parent_path() / "orvexa-helper")) {
    GTEST_SKIP() << "no helper program beside " << orvexaProgram();
  }
  testing::Sandbox sb(accountNameOf(geteuid()));
  const std::string tool = sb.path(std::string("/Library/PrivilegedHelperTools/") + kLabel);
  const std::string plist = sb.path(std::string("/Library/LaunchDaemons/") + kLabel + ".plist");
  const std::string socket = sb.path(std::string("/var/run/") + kLabel + ".socket");
  auto helper = [&sb](const char* action) {
    return runProgram({orvexaProgram(), "helper", action, "--root", sb.root()});
  };
  struct StopAtEnd {
    std::function<void()> stop;
    ~StopAtEnd() { stop(); }
  } stopAtEnd{[&helper] { (void)helper("stop"); }};

  auto before = helper("status");
  EXPECT_EQ(before.exitCode, 0);
  EXPECT_EQ(before.out, std::string("Helper ") + kLabel + ": not installed\nNot running\n");

  // A cache item of another user: the clean goes through the helper, which
  // is installed on the way.
  sb.layout({"~/Library/Caches/theirs/x:20"});
  ::chown(sb.path("~/Library/Caches/theirs").c_str(), testing::kNobodyUid, testing::kNogroupGid);
  auto clean =
      runProgram({orvexaProgram(), "junk", "--root", sb.root(), "--quiet", "--clean", "--yes"});
  EXPECT_EQ(clean.exitCode, 0) << clean.out << clean.err;
  EXPECT_FALSE(fs::exists(sb.path("~/Library/Caches/theirs")));
  EXPECT_TRUE(fs::exists(tool));
  EXPECT_TRUE(fs::exists(plist));

  auto running = helper("status");
  EXPECT_EQ(running.out, std::string("Helper ") + kLabel + ": installed at " + tool +
                             "\nRunning, version 1.0.0, at " + socket + "\n");

  auto stopped = helper("stop");
  EXPECT_EQ(stopped.out, "Stopped.\n");
  auto notRunning = helper("status");
  EXPECT_NE(notRunning.out.find("Not running"), std::string::npos) << notRunning.out;

  auto installed = helper("install");
  EXPECT_EQ(installed.exitCode, 0) << installed.err;
  EXPECT_EQ(installed.out.rfind(std::string("Installed ") + kLabel + ": program " + tool, 0), 0u)
      << installed.out;

  auto removed = helper("uninstall");
  EXPECT_EQ(removed.exitCode, 0) << removed.err;
  EXPECT_EQ(removed.out, std::string("Uninstalled ") + kLabel + ".\n");
  EXPECT_FALSE(fs::exists(tool));
  EXPECT_FALSE(fs::exists(plist));
  auto gone = helper("uninstall");
  EXPECT_EQ(gone.out, "The helper is not installed.\n");

  auto bad = helper("restart");
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.err, "orvexa: unknown action \"restart\": install, status, stop or uninstall\n");
}

TEST(CleanHelperCommandTest, InstallingNeedsRoot) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to run as another user";
  testing::Sandbox sb("nobody");
  ::chmod(sb.root().c_str(), 0755);
  std::optional<std::string> result =
      testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&] {
        auto r = runProgram({orvexaProgram(), "helper", "install", "--root", sb.root()});
        return std::to_string(r.exitCode) + "|" + r.err;
      });
  ASSERT_TRUE(result);
  EXPECT_EQ(*result,
            "1|orvexa: installing the helper needs root rights: run \"sudo orvexa helper "
            "install\"\n");
}

}  // namespace
}  // namespace orvexa
