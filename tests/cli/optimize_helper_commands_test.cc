#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "support/helper_fixture.h"
#include "support/run_as.h"
#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::orvexaProgram;
using testing::readFile;
using testing::runProgram;

constexpr const char* kLabel = "org.orvexa.cliHelper";

class OptimizeCommandTest : public ::testing::Test {
 protected:
  testing::ProgramResult optimize(std::vector<std::string> arguments) {
    std::vector<std::string> argv = {orvexaProgram(), "optimize", "--root", sb_.root()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv);
  }
  // A stand-in for a tool that appends its name and arguments to tools.log.
  std::string tool(const std::string& sandboxPath, const std::string& extra = "") {
    const std::string name = fs::path(sandboxPath).filename().string();
    const std::string program = sb_.file(sandboxPath, "#!/bin/sh\necho " + name + " \"$@\" >> '" +
                                                          sb_.path("/tools.log") + "'\n" + extra);
    ::chmod(program.c_str(), 0755);
    return program;
  }

  testing::Sandbox sb_{accountNameOf(geteuid())};  // the program runs as this account
};

TEST_F(OptimizeCommandTest, PurgeableAndMemory) {
  const std::string dd = tool(
      "/fake-tools/dd", "for a in \"$@\"; do case \"$a\" in of=*) : > \"${a#of=}\";; esac; done\n");
  auto purgeable = optimize({"purgeable", "--tool", "dd=" + dd, "--reserve", "1099511627776"});
  ASSERT_EQ(purgeable.exitCode, 0) << purgeable.err;
  EXPECT_EQ(purgeable.out, "Free Up Purgeable Space: done\n");
  const std::string largeFile = sb_.path("~/Library/Application Support/org.orvexa.cli/largefile");
  EXPECT_EQ(readFile(sb_.path("/tools.log")),
            "dd if=/dev/zero of=" + largeFile + " bs=512M count=0\n");
  EXPECT_FALSE(fs::exists(largeFile));

  auto memory = optimize({"free-ram", "--max-ram", "8", "--json"});
  ASSERT_EQ(memory.exitCode, 0) << memory.err;
  json doc = json::parse(memory.out);
  EXPECT_EQ(doc["task"], "free-ram");
  EXPECT_EQ(doc["success"], true);
  EXPECT_TRUE(doc["freed"].is_number_integer()) << memory.out;

  const struct {
    std::vector<std::string> arguments;
    const char* err;
  } bad[] = {
      {{"defrag"},
       "orvexa: name one task: free-ram, purgeable, speed-up-mail, flush-dns or "
       "rebuild-spotlight\n"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.arguments.front());
    auto r = optimize(c.arguments);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, c.err);
  }
}

// Numbers out of range, and a clean that would trust resemblance alone, are
// usage errors in words (with --json, a document saying so): nothing is
// wrapped round or run.
TEST(CommandLineTest, OutOfRangeNumbersAndUnselectedCleansAreRefused) {
  testing::TempDir dir;
  const std::string folder = dir.makeDir("f");
  const struct {
    std::vector<std::string> arguments;
    std::string err;
  } cases[] = {
      {{"duplicates", folder, "--min-size", "9223372036854775807"},
       "--min-size: Value 9223372036854775807 not in range 0 to 9007199254740991"},
      {{"duplicates", folder, "--min-size", "-1"}, "--min-size: Value -1 not in range"},
      {{"optimize", "purgeable", "--reserve", "8796093022208"},
       "--reserve: Value 8796093022208 not in range 0 to 8796093022207"},
      {{"optimize", "free-ram", "--max-ram", "0"}, "--max-ram: Value 0 not in range 1 to"},
      {{"disk-usage", folder, "--top", "-1"}, "--top: Value -1 not in range 0 to 2147483647"},
      {{"disk-usage", folder, "--depth", "4294967296"}, "--depth: Value 4294967296 not in range"},
      {{"large", "--top", "1e3"}, "--top: Value 1e3 not in range"},
      {{"similar-images", folder, "--threshold", "37"},
       "--threshold: Value 37 not in range 0 to 36"},
      {{"similar-docs", folder, "--threshold", "101"},
       "--threshold: Value 101 not in range 0 to 100"},
      {{"helper", "install", "--user", "4294967295"}, "--user: Value 4294967295 not in range"},
      {{"--feature", "-1", "junk"}, "--feature: Value -1 not in range"},
      {{"similar-images", folder, "--clean", "--yes"}, "--clean needs --select GLOB here"},
      {{"similar-docs", folder, "--clean", "--yes"}, "--clean needs --select GLOB here"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.front() + " " + c.arguments.back());
    std::vector<std::string> argv{testing::orvexaProgram(), "--json", "--root", dir.path()};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    auto r = testing::runProgram(argv);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.rfind("orvexa: " + c.err, 0), 0u) << r.err;
    EXPECT_EQ(json::parse(r.out, nullptr, false).value("success", true), false) << r.out;
  }
}

// The DNS cache needs root: a user without the helper gets the failure and
// what to run; root runs the cache tools itself, installing nothing.
TEST(OptimizeHelperCommandTest, FlushDnsThroughTheHelper) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root";
  if (!fs::exists(fs::path(orvexaProgram()).parent_path() / "orvexa-helper")) {
    GTEST_SKIP() << "no helper program beside " << orvexaProgram();
  }
  {
    testing::Sandbox other("nobody");
    ::chmod(other.root().c_str(), 0755);
    std::optional<std::string> result =
        testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&] {
          auto r = runProgram({orvexaProgram(), "optimize", "flush-dns", "--root", other.root()});
          return std::to_string(r.exitCode) + "|" + r.out + "|" + r.err;
        });
    ASSERT_TRUE(result);
    EXPECT_EQ(*result,
              std::string("1|Clean DNS Cache: failed: Privilege Install Fail!\n|orvexa: ") +
                  kHelperNotInstalledText + "\n");
  }

  testing::Sandbox sb(accountNameOf(geteuid()));
  for (const char* name : {"dscacheutil", "killall"}) {
    const std::string program = sb.file(
        std::string("/usr/bin/") + name,
        "#!/bin/sh\necho " + std::string(name) + " \"$@\" >> '" + sb.path("/tools.log") + "'\n");
    ::chmod(program.c_str(), 0755);
  }
  auto flushed = runProgram({orvexaProgram(), "optimize", "flush-dns", "--root", sb.root()});
  EXPECT_EQ(flushed.exitCode, 0) << flushed.err;
  EXPECT_EQ(flushed.out, "Clean DNS Cache: done\n");
  EXPECT_EQ(readFile(sb.path("/tools.log")),
            "dscacheutil -flushcache\nkillall -HUP mDNSResponder\n");
  EXPECT_FALSE(fs::exists(sb.path(std::string("/Library/PrivilegedHelperTools/") + kLabel)));
  EXPECT_FALSE(fs::exists(sb.path(std::string("/var/run/") + kLabel + ".socket")));

  auto spotlight =
      runProgram({orvexaProgram(), "optimize", "rebuild-spotlight", "--root", sb.root()});
  EXPECT_EQ(spotlight.exitCode, 1);
  EXPECT_EQ(spotlight.out, "Rebuild Spotlight Index: failed: error code:4\n");
}

// The helper's whole life through the command line, in a sandbox: a clean
// as root does the privileged work itself and installs nothing; install
// installs and starts it, status shows it, stop ends it, uninstall removes
// it.
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

  // A cache item of another user: removed without a helper.
  sb.layout({"~/Library/Caches/theirs/x:20"});
  ::chown(sb.path("~/Library/Caches/theirs").c_str(), testing::kNobodyUid, testing::kNogroupGid);
  auto clean =
      runProgram({orvexaProgram(), "junk", "--root", sb.root(), "--quiet", "--clean", "--yes"});
  EXPECT_EQ(clean.exitCode, 0) << clean.out << clean.err;
  EXPECT_FALSE(fs::exists(sb.path("~/Library/Caches/theirs")));
  EXPECT_EQ(helper("status").out, before.out) << "nothing installed or started";

  auto installed = helper("install");
  EXPECT_EQ(installed.exitCode, 0) << installed.err;
  EXPECT_EQ(installed.out.rfind(std::string("Installed ") + kLabel + ": program " + tool, 0), 0u)
      << installed.out;

  auto running = helper("status");
  EXPECT_EQ(running.out, std::string("Helper ") + kLabel + ": installed at " + tool +
                             "\nRunning, version 1.0.0, at " + socket + "\n");
  auto asJson = runProgram({orvexaProgram(), "helper", "status", "--json", "--root", sb.root()});
  EXPECT_EQ(json::parse(asJson.out).at("version"), "1.0.0") << asJson.out;

  // A user it does not serve is told why, and cannot stop it.
  testing::openFoldersForEveryone(sb.root(), sb.path("/var/run"));
  std::optional<std::string> refused =
      testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&helper] {
        auto r = helper("stop");
        return std::to_string(r.exitCode) + "|" + r.err;
      });
  EXPECT_EQ(refused,
            "1|orvexa: the helper did not stop: Refused: the privileged helper was "
            "installed for user id 0; user id 65534 may not use it.\n");

  auto stopped = helper("stop");
  EXPECT_EQ(stopped.out, "Stopped; no work was in progress.\n");
  auto notRunning = helper("status");
  EXPECT_NE(notRunning.out.find("Not running"), std::string::npos) << notRunning.out;

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
