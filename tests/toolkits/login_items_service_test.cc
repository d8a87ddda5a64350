#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "orvexa/platform/paths.h"
#include "orvexa/toolkits/login_items_and_lauch_agents_service.h"
#include "support/launchctl_fixture.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using Service = LoginItemsAndLauchAgentsService;
using States = Service::ServiceStates;
using Pairs = std::vector<Service::LabelState>;

TEST(LoginItemsParseTest, BlocksLinesAndStates) {
  const std::string listing = testing::printDisabledListing(
      "\t\"com.example.agent\" => false\n"
      "\t\"com.apple.Siri.agent\" => true\n"
      "\t\"org.sample.tool\"=>true\n"
      "\tgarbage line without arrow\n"
      "\t\"com.example.other\" => false\r\n",
      "\t\"com.example.helper\" => \"com.example.app\"\n");
  Service::DisableServiceInfo info = Service::parseDisableServiceInfo(listing);
  EXPECT_EQ(info[LoginItemDisableStatus::disabledServices],
            (States{{"com.apple.Siri.agent", "Close"},
                    {"com.example.agent", "Start"},
                    {"com.example.other", "Start"},
                    {"org.sample.tool", "Close"}}));
  EXPECT_EQ(info[LoginItemDisableStatus::associations], (States{{"com.example.helper", "Close"}}));
}

TEST(LoginItemsParseTest, ListingsWithoutUsableBlocks) {
  const struct {
    const char* name;
    std::string listing;
  } cases[] = {
      {"empty", ""},
      {"no braces", "disabled services =\n\"com.example.agent\" => false\n"},
      {"unclosed block", "disabled services = {\n\"com.example.agent\" => false\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Service::DisableServiceInfo info = Service::parseDisableServiceInfo(c.listing);
    ASSERT_EQ(info.size(), 2u);
    EXPECT_TRUE(info[LoginItemDisableStatus::disabledServices].empty());
    EXPECT_TRUE(info[LoginItemDisableStatus::associations].empty());
  }
}

class LoginItemsServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Paths::shared().setTool(
        "launchctl",
        testing::fakeLaunchctl(sb_, testing::printDisabledListing(
                                        "\t\"com.example.agent\" => false\n"
                                        "\t\"com.example.updater\" => true\n"
                                        "\t\"com.apple.safari.agent\" => false\n"
                                        "\t\"org.nobody.agent\" => false\n"
                                        "\t\"single\" => false\n",
                                        "\t\"com.example.agent\" => \"com.example.app\"\n")));
  }

  testing::Sandbox sb_;
};

TEST_F(LoginItemsServiceTest, ServicesPairWithTheApplicationsOfTheirPrefix) {
  const std::string example = testing::installApplication(sb_, "Example", "com.example.app");
  const std::string second =
      testing::installApplication(sb_, "Tools/Example Lite", "com.example.lite");
  testing::installApplication(sb_, "Safari", "com.apple.Safari");
  testing::installApplication(sb_, "Single", "single");

  Service::AssociationTable table;
  int calls = 0;
  Service::getAllAssociationApp([&](Service::AssociationTable found) {
    table = std::move(found);
    ++calls;
  });
  EXPECT_EQ(calls, 1);
  const Pairs expected = {{"com.example.agent", "Start"}, {"com.example.updater", "Close"}};
  EXPECT_EQ(table, (Service::AssociationTable{{Url::fromPath(example, true), expected},
                                              {Url::fromPath(second, true), expected}}));
  EXPECT_EQ(testing::readFile(sb_.path("/launchctl.log")),
            "print-disabled user/" + std::to_string(::getuid()) + "\n");
}

TEST_F(LoginItemsServiceTest, ApplicationsFromTheMetadataIndex) {
  const std::string example = testing::installApplication(sb_, "Example", "com.example.app");
  const std::string elsewhere = sb_.path("/Other/Place/Tool.app");
  testing::installApplication(sb_, "Tool", "org.sample.tool");
  std::filesystem::create_directories(sb_.path("/Other/Place"));
  std::filesystem::rename(sb_.path("/Applications/Tool.app"), elsewhere);
  const std::string listing =
      example + "\n" + elsewhere + "\n" + sb_.path("/not/a/bundle.app") + "\n\n";
  sb_.file("/usr/bin/mdfind.out", listing);
  const std::string mdfind =
      sb_.file("/usr/bin/mdfind", "#!/bin/sh\necho \"$@\" > '" + sb_.path("/mdfind.log") +
                                      "'\ncat '" + sb_.path("/usr/bin/mdfind.out") + "'\n");
  ::chmod(mdfind.c_str(), 0755);

  Service::AppTable apps;
  Service::getApp([&apps](Service::AppTable found) { apps = std::move(found); });
  EXPECT_EQ(apps, (Service::AppTable{{"com.example", {Url::fromPath(example, true)}},
                                     {"org.sample", {Url::fromPath(elsewhere, true)}}}));
  EXPECT_EQ(testing::readFile(sb_.path("/mdfind.log")),
            "kMDItemContentType=com.apple.application-bundle\n");
}

TEST_F(LoginItemsServiceTest, NothingWithoutTheTool) {
  testing::installApplication(sb_, "Example", "com.example.app");
  Paths::shared().setTool("launchctl", sb_.path("/missing/launchctl"));
  EXPECT_EQ(Service::getAllServeInfo(), "");
  Service::AssociationTable table{{Url(), {}}};
  Service::getAllAssociationApp([&](Service::AssociationTable found) { table = std::move(found); });
  EXPECT_TRUE(table.empty());
}

}  // namespace
}  // namespace orvexa
