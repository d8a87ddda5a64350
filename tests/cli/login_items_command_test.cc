#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "orvexa/platform/identity.h"
#include "support/launchctl_fixture.h"
#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using nlohmann::json;
using testing::orvexaProgram;
using testing::runProgram;

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
