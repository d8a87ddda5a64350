#include <gtest/gtest.h>
#include <unistd.h>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "orvexa/platform/identity.h"
#include "support/launchctl_fixture.h"
#include "support/run_as.h"
#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::orvexaProgram;
using testing::runProgram;

TEST(ExtensionsCommandTest, ListsEachExtensionWithItsSwitchState) {
  testing::Sandbox sb;
  sb.layout({"/Library/Spotlight/Mail.mdimporter/x:1500",
             "/Library/Spotlight Disabled/Old.mdimporter/x:40",
             "/Library/Internet Plug-Ins/Flash.plugin/x:3"});
  auto text = runProgram({orvexaProgram(), "extensions", "--root", sb.root()});
  EXPECT_EQ(text.exitCode, 0) << text.err;
  EXPECT_EQ(text.out,
            "Spotlight Plugins (1.5 KB)\n"
            "  Start     1.5 KB  " +
                sb.path("/Library/Spotlight/Mail.mdimporter") +
                "\n"
                "  Close       40 B  " +
                sb.path("/Library/Spotlight Disabled/Old.mdimporter") +
                "\n"
                "Safari Extensions (0 B)\n"
                "  (none)\n"
                "Internet Plugins (3 B)\n"
                "  Start        3 B  " +
                sb.path("/Library/Internet Plug-Ins/Flash.plugin") +
                "\n"
                "Total: 1.5 KB\n");

  auto listing = runProgram({orvexaProgram(), "extensions", "--root", sb.root(), "--json"});
  ASSERT_EQ(listing.exitCode, 0) << listing.err;
  const json document = json::parse(listing.out);
  EXPECT_EQ(document["total"], 1543);
  const auto& categories = document["feature"]["categoryInfo"];
  ASSERT_EQ(categories.size(), 3u);
  EXPECT_EQ(categories[0]["title"], "Spotlight Plugins");
  ASSERT_EQ(categories[0]["childrens"].size(), 2u);
  EXPECT_EQ(categories[0]["childrens"][1]["attachInformation"], "Close");
  EXPECT_EQ(categories[0]["childrens"][1]["size"], 40);
  EXPECT_EQ(categories[2]["childrens"][0]["attachInformation"], "Start");
}

// As root the program moves the items itself: no helper is installed or
// started.
TEST(ExtensionsCommandTest, ToggleSwitchesAsRootWithoutAHelper) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "the moves need root";
  testing::Sandbox sb(accountNameOf(geteuid()));
  sb.layout(
      {"/Library/Spotlight Disabled/Old.mdimporter/x:40", "/Library/Spotlight/Old.mdimporter/y:1"});

  // On: the name is taken in the enabled folder, so it comes back numbered.
  auto on = runProgram({orvexaProgram(), "extensions", "--root", sb.root(), "--toggle",
                        sb.path("/Library/Spotlight Disabled/Old.mdimporter")});
  EXPECT_EQ(on.exitCode, 0) << on.err;
  EXPECT_EQ(on.out, "Switched on: " + sb.path("/Library/Spotlight Disabled/Old.mdimporter") +
                        " -> " + sb.path("/Library/Spotlight/Old 1.mdimporter") + "\n");
  EXPECT_TRUE(fs::exists(sb.path("/Library/Spotlight/Old 1.mdimporter/x")));
  EXPECT_TRUE(fs::exists(sb.path("/Library/Spotlight/Old.mdimporter/y")));

  // Off again, named as macOS writes it; JSON tells the new state.
  auto off = runProgram({orvexaProgram(), "extensions", "--root", sb.root(), "--json", "--toggle",
                         "/Library/Spotlight/Old 1.mdimporter/"});
  ASSERT_EQ(off.exitCode, 0) << off.err;
  const json answer = json::parse(off.out);
  EXPECT_EQ(answer["ok"], true);
  EXPECT_EQ(answer["attachInformation"], "Close");
  EXPECT_EQ(answer["url"], sb.path("/Library/Spotlight Disabled/Old 1.mdimporter"));
  EXPECT_TRUE(answer["failures"].empty());

  auto unknown = runProgram({orvexaProgram(), "extensions", "--root", sb.root(), "--toggle",
                             sb.path("/Library/Spotlight/Nothing.mdimporter")});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.err, "orvexa: no listed extension at " +
                             sb.path("/Library/Spotlight/Nothing.mdimporter") +
                             " (see \"orvexa extensions\")\n");
  EXPECT_FALSE(fs::exists(sb.path("/Library/PrivilegedHelperTools/org.orvexa.cliHelper")));
  EXPECT_FALSE(fs::exists(sb.path("/var/run")));
}

TEST(ExtensionsCommandTest, AToggleThatCannotBeDoneFailsWithItsText) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "the moves need root";
  testing::Sandbox sb(accountNameOf(geteuid()));
  // Where it would go is not a folder.
  const std::string item = sb.path("/Library/Internet Plug-Ins/Stuck.plugin");
  const std::string twin = sb.file("/Library/Internet Plug-Ins Disabled", "not a folder");
  sb.layout({"/Library/Internet Plug-Ins/Stuck.plugin/x:1"});
  auto stuck = runProgram({orvexaProgram(), "extensions", "--root", sb.root(), "--toggle", item});
  EXPECT_EQ(stuck.exitCode, 1);
  EXPECT_EQ(stuck.out, "");
  EXPECT_EQ(stuck.err, "orvexa: could not switch " + item + ": " + twin +
                           ": is a symbolic link or not a folder; the helper does not follow "
                           "links (code 6)\n");
  EXPECT_TRUE(fs::exists(item + "/x"));
}

class LoginItemsCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    launchctl_ = testing::fakeLaunchctl(
        sb_, testing::printDisabledListing("\t\"com.example.agent\" => false\n"
                                           "\t\"com.example.sync\" => true\n"
                                           "\t\"com.apple.example\" => false\n",
                                           "\t\"com.example.agent\" => \"com.example.app\"\n"));
    app_ = testing::installApplication(sb_, "Example", "com.example.app");
  }

  testing::ProgramResult run(std::vector<std::string> arguments) {
    std::vector<std::string> argv = {orvexaProgram(), "login-items", "--root",
                                     sb_.root(),      "--tool",      "launchctl=" + launchctl_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv);
  }

  testing::Sandbox sb_{accountNameOf(geteuid())};  // the program runs as this account
  std::string launchctl_;
  std::string app_;
};

TEST_F(LoginItemsCommandTest, ListsTheServicesOfEachApplication) {
  auto text = run({});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_EQ(text.out, "Example (" + app_ +
                          "): Start\n"
                          "  com.example.agent  Start\n"
                          "  com.example.sync  Close\n"
                          "Login items: 1 application, 2 services\n");

  auto document = run({"--json"});
  ASSERT_EQ(document.exitCode, 0) << document.err;
  json doc = json::parse(document.out);
  EXPECT_EQ(doc["total"], 0);
  const json& categories = doc["feature"]["categoryInfo"];
  ASSERT_EQ(categories.size(), 5u);
  const json& login = categories[4];
  EXPECT_EQ(login["title"], "Login Item");
  ASSERT_EQ(login["childrens"].size(), 1u);
  const json& entry = login["childrens"][0];
  EXPECT_EQ(entry["title"], "Example");
  EXPECT_EQ(entry["attachInformation"], "Start");
  ASSERT_EQ(entry["childrens"].size(), 2u);
  EXPECT_EQ(entry["childrens"][0]["title"], "com.example.agent");
  EXPECT_EQ(entry["childrens"][0]["attachInformation"], "Start");
  EXPECT_EQ(entry["childrens"][1]["title"], "com.example.sync");
  EXPECT_EQ(entry["childrens"][1]["attachInformation"], "Close");
}

TEST_F(LoginItemsCommandTest, TogglesOneServiceOrAWholeApplication) {
  const std::string uid = std::to_string(::getuid());
  const struct {
    const char* label;
    const char* out;
    const char* launchctl;
  } cases[] = {
      {"com.example.agent", "com.example.agent: Start -> Close\n",
       "disable user/UID/com.example.agent\n"},
      {"com.example.sync", "com.example.sync: Close -> Start\n",
       "enable user/UID/com.example.sync\n"},
      {"Example", "Example: Start -> Close\n",
       "disable user/UID/com.example.agent\ndisable user/UID/com.example.sync\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove(sb_.path("/launchctl.log"));
    auto r = run({"--toggle", c.label});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    std::string expected = c.launchctl;
    for (size_t at; (at = expected.find("UID")) != std::string::npos;) expected.replace(at, 3, uid);
    EXPECT_EQ(testing::readFile(sb_.path("/launchctl.log")),
              "print-disabled user/" + uid + "\n" + expected);
  }

  auto unknown = run({"--toggle", "com.example.none"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.err, "orvexa: no login item or application named \"com.example.none\"\n");
}

}  // namespace
}  // namespace orvexa
