#include "orvexa/toolkits/maintenance_service.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "orvexa/platform/paths.h"
#include "support/browser_store_fixture.h"
#include "support/features.h"
#include "support/launchctl_fixture.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"
#include "toolkits/finish.h"

namespace orvexa {
namespace {

using testing::Sandbox;

// The scan's categories and items (index, title, size, kinds) as the
// module description file lists them.
constexpr const char* kScanSummary = R"(0 Spotlight Plugins (Importers) 1040 1 1
  0 /Library/Spotlight/Apple.mdimporter Start 0 2
  1 /Library/Spotlight/Mail.mdimporter Start 1000 2
  2 /Library/Spotlight Disabled/B.mdimporter Close 0 2
  3 /Library/Spotlight Disabled/Old.mdimporter Close 40 2
1 Safari Extensions () 7 1 1
  0 /Library/PreferencePanes/Net.prefPane Start 7 2
2 Internet Plugins (Plug-ins) 33 1 1
  0 /Library/Internet Plug-Ins Disabled/Flash.plugin Close 33 2
)";

// Direct entries with the folder's ending (matched exactly, hidden ones
// left out) of each folder and its " Disabled" twin, the enabled first and
// each sorted by name; a nested bundle counts once, in its parent.
TEST(MaintenanceServiceTest, ScanListsTheThreeFoldersAndTheirTwins) {
  Sandbox sb;
  testing::layOut(sb, "toolkits/maintenance-extensions.layout");
  ModulePtr module =
      testing::makeModule(12, {{"Old category", CategoryInfomationKind::Common, {}}});
  FeaturePtr feature = testing::featureOf(module);
  std::string reports;  // every report, in order: "." per item, [category size], percent
  MaintenanceService::scan(
      feature,
      {{MaintenanceSting::SpotlightPlugins, "Importers"},
       {MaintenanceSting::InternetExtensions, "Plug-ins"}},
      [&](const std::string&, int64_t) { reports += "."; },
      [&](float f) { reports += fmt::format(" {:.4f} ", f); },
      [&](int position, int64_t size) { reports += fmt::format("[{} {}]", position, size); },
      [&](const FeaturePtr& f, int64_t t) {
        reports += fmt::format("done {} {}", f == feature, t);
      },
      nullptr);
  EXPECT_EQ(reports, "....[0 1040] 0.3333 .[1 7] 0.6667 .[2 33] 1.0000 done true 1080");
  // The categories and their items, as the file lists them (kind 1 is
  // common, file kind 2 a package).
  EXPECT_EQ(testing::summary(feature, sb), kScanSummary);
  // A file is no folder.
  EXPECT_EQ(
      MaintenanceService::shard().getFileUseEnumerator(sb.path("/Library/Spotlight/readme.txt")),
      std::vector<Url>{});
}

TEST(MaintenanceServiceTest, SwitchDestinationGoesToTheTwinOrBackUnderAFreeName) {
  EXPECT_EQ(MaintenanceService::numberedName("Foo.mdimporter", 12), "Foo 12.mdimporter");
  EXPECT_EQ(MaintenanceService::numberedName("Some.Vendor.plugin", 2), "Some.Vendor 2.plugin");
  EXPECT_EQ(MaintenanceService::numberedName("NoExtension", 3), "NoExtension 3");
  EXPECT_EQ(MaintenanceService::numberedName(".hidden", 1), ".hidden 1");
  Sandbox sb;
  testing::layOut(sb, "toolkits/maintenance-twins.layout");
  // The plug-in's twin does not exist yet. The item's folder flag is kept.
  const std::pair<const char*, const char*> cases[] = {
      {"/Library/Spotlight/A.mdimporter", "/Library/Spotlight Disabled/A 2.mdimporter"},
      {"/Library/Spotlight/C.mdimporter", "/Library/Spotlight Disabled/C.mdimporter"},
      {"/Library/Spotlight Disabled/A.mdimporter", "/Library/Spotlight/A 1.mdimporter"},
      {"/Library/Internet Plug-Ins/Q.plugin", "/Library/Internet Plug-Ins Disabled/Q.plugin"}};
  for (const auto& [item, destination] : cases) {
    const Url url = MaintenanceService::switchDestination(Url::fromPath(sb.path(item)));
    EXPECT_EQ(std::pair(url.path(), url.isDirectory()), std::pair(sb.path(destination), true));
  }
}

TEST(MaintenanceServiceTest, HelperToolsBelongToTheApplicationTheirNameNames) {
  std::vector<ApplicationBundle> applications;  // the path plays no part
  for (auto [name, identifier] : {std::pair{"Foo", "com.example.foo"},
                                  {"Foo Pro", "com.example.foo.pro"},
                                  {"Foo Sync", "com.example.sync"},
                                  {"Bar", "org.other.Bar"}}) {
    applications.emplace_back().name = name;
    applications.back().bundleIdentifier = identifier;
  }
  const std::pair<const char*, const char*> cases[] = {
      // name, owner ("": nobody's)
      {"com.example.foo", "com.example.foo"},
      {"com.example.fooHelper", "com.example.foo"},
      {"com.example.foo.pro.daemon", "com.example.foo.pro"},  // the longest identifier
      {"com.example.foobar", ""},                             // another word
      {"COM.EXAMPLE.FOO.Helper", "com.example.foo"},          // case does not matter
      {"com.example.FooSync.daemon", "com.example.sync"},     // by the application's name
      {"net.example.FooSync.daemon", ""}};                    // another vendor
  for (const auto& [name, owner] : cases) {
    const Url url = Url::fromPath(std::string("/Library/LaunchDaemons/") + name + ".plist", false);
    std::map<std::string, std::vector<Url>> expected;
    if (owner[0] != '\0') expected[owner] = {url};
    EXPECT_EQ(MaintenanceService::associateHelperTools({{name, url}}, applications), expected)
        << name;
  }
}

TEST(MaintenanceServiceTest, ScanHelperToolListsDaemonsAndToolsOfTheQueriedApplications) {
  Sandbox sb;
  testing::layOut(sb, "toolkits/maintenance-helper-tools.layout");
  const std::string foo = testing::installApplication(sb, "Foo", "com.example.foo");
  const std::string bar = testing::installApplication(sb, "Bar", "org.other.Bar");
  const std::string none = sb.dir("/Applications/NotAnApp.app");  // no Info.plist: skipped
  const std::string mdfind = testing::fakeTool(sb, "mdfind", sb.path("/mdfind.log"),
                                               foo + "\n" + none + "\n" + bar + "\n");
  Paths::shared().setTool("mdfind", mdfind);
  // "owner: sandbox paths" per owner, of every table the finish receives.
  const auto owners = [&sb] {
    std::string out;
    MaintenanceService::shard().scanHelperTool([&](std::map<std::string, std::vector<Url>> table) {
      for (const auto& [owner, urls] : table) {
        out += owner + ":";
        for (const Url& url : urls) out += " " + url.path().substr(sb.root().size());
        out += "\n";
      }
    });
    return out;
  };
  EXPECT_EQ(owners(),
            "com.example.foo: /Library/LaunchDaemons/com.example.foo.helper.plist "
            "/Library/PrivilegedHelperTools/com.example.foo.helper\n"
            "org.other.Bar: /Library/LaunchDaemons Disabled/org.other.Bar.plist "
            "/Library/PrivilegedHelperTools Disabled/org.other.BarHelper\n");
  EXPECT_EQ(testing::readFile(sb.path("/mdfind.log")),
            "kMDItemContentType=com.apple.application-bundle\n");
  // Without the query tool no application is known, so nothing is owned.
  std::filesystem::remove(mdfind);
  EXPECT_EQ(owners(), "");
}

}  // namespace
}  // namespace orvexa
