#include "orvexa/toolkits/maintenance_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <any>
#include <cstdio>
#include <filesystem>

#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "support/features.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::Sandbox;

std::string attachmentOf(const FilePtr& item) {
  const std::string* text = std::any_cast<std::string>(&item->attachInformation);
  return text != nullptr ? *text : "<not a text>";
}

std::vector<std::string> pathsOf(const std::vector<Url>& urls) {
  std::vector<std::string> out;
  for (const Url& url : urls) out.push_back(url.path());
  return out;
}

// An application bundle with only its Info.plist.
void makeApp(const Sandbox& sb, const std::string& sandboxPath, const std::string& identifier) {
  sb.dir(sandboxPath + "/Contents");
  PlistValue info = PlistValue::dictionary();
  info.set("CFBundleIdentifier", identifier);
  ASSERT_TRUE(
      writePlistFile(sb.path(sandboxPath + "/Contents/Info.plist"), info, PlistFormat::Xml));
}

void writeScript(const std::string& path, const std::string& body) {
  const std::string script = "#!/bin/sh\n" + body;
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(script.data(), 1, script.size(), f);
  std::fclose(f);
  ::chmod(path.c_str(), 0755);
}

TEST(MaintenanceServiceTest, ScanListsTheThreeFoldersAndTheirTwins) {
  Sandbox sb;
  sb.layout({
      "/Library/Spotlight/Mail.mdimporter/Contents/Info.plist:100",
      "/Library/Spotlight/Mail.mdimporter/Contents/MacOS/Mail:900",
      "/Library/Spotlight/readme.txt:5",                // wrong ending
      "/Library/Spotlight/.Hidden.mdimporter/x:1",      // hidden
      "/Library/Spotlight/Nested/Deep.mdimporter/x:1",  // not a direct entry
      "/Library/Spotlight Disabled/Old.mdimporter/x:40",
      "/Library/PreferencePanes/Net.prefPane/x:7",
      "/Library/PreferencePanes/net.prefpane/x:7",  // the ending is matched exactly
      "/Library/Internet Plug-Ins Disabled/Flash.plugin/x:30",
      "/Library/Internet Plug-Ins Disabled/Flash.plugin/Contents/y.plugin/z:3",
  });
  ModulePtr module =
      testing::makeModule(12, {{"Old category", CategoryInfomationKind::Common, {}}});
  FeaturePtr feature = testing::featureOf(module);

  std::vector<float> percents;
  std::vector<std::pair<int, int64_t>> singles;
  std::vector<std::pair<std::string, int64_t>> progress;
  int64_t total = -1;
  int doneCalls = 0;
  const size_t logStart = testing::logSize();
  MaintenanceService::scan(
      feature,
      {{MaintenanceSting::SpotlightPlugins, "Importers"},
       {MaintenanceSting::InternetExtensions, "Plug-ins"}},
      [&](const std::string& path, int64_t size) { progress.emplace_back(path, size); },
      [&](float f) { percents.push_back(f); },
      [&](int position, int64_t size) { singles.emplace_back(position, size); },
      [&](const FeaturePtr& f, int64_t t) {
        EXPECT_EQ(f, feature);
        total = t;
        ++doneCalls;
      },
      nullptr);

  EXPECT_EQ(doneCalls, 1);
  EXPECT_EQ(percents, (std::vector<float>{1.0f / 3.0f, 2.0f / 3.0f, 1.0f}));
  EXPECT_EQ(singles, (std::vector<std::pair<int, int64_t>>{{0, 1040}, {1, 7}, {2, 33}}));
  EXPECT_EQ(total, 1080);
  EXPECT_EQ(progress.size(), 4u);
  EXPECT_NE(testing::logSince(logStart).find("MaintenanceService Start"), std::string::npos);
  EXPECT_NE(testing::logSince(logStart).find("MaintenanceService Finish"), std::string::npos);

  const struct {
    const char* title;
    const char* description;
    std::vector<std::string> items;  // sandbox paths
    std::vector<std::string> attachments;
    std::vector<int64_t> sizes;
  } expected[] = {
      {"Spotlight Plugins",
       "Importers",
       {"/Library/Spotlight/Mail.mdimporter", "/Library/Spotlight Disabled/Old.mdimporter"},
       {"Start", "Close"},
       {1000, 40}},
      {"Safari Extensions", "", {"/Library/PreferencePanes/Net.prefPane"}, {"Start"}, {7}},
      {"Internet Plugins",
       "Plug-ins",
       {"/Library/Internet Plug-Ins Disabled/Flash.plugin"},
       {"Close"},
       {33}},
  };
  ASSERT_EQ(feature->categoryInfo.size(), 3u) << "the old categories are gone";
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(expected[i].title);
    const CategoryPtr& category = feature->categoryInfo[i];
    EXPECT_EQ(category->title, expected[i].title);
    EXPECT_EQ(category->description, expected[i].description);
    EXPECT_EQ(category->finderID(), static_cast<int>(i));
    EXPECT_EQ(category->state, 1);
    EXPECT_EQ(category->kind, raw(CategoryInfomationKind::Common));
    EXPECT_EQ(category->featureInfo.lock(), feature);
    ASSERT_EQ(category->childrens.size(), expected[i].items.size());
    int64_t sum = 0;
    for (size_t j = 0; j < expected[i].items.size(); ++j) {
      const FilePtr& item = category->childrens[j];
      EXPECT_EQ(item->url.path(), sb.path(expected[i].items[j]));
      EXPECT_EQ(attachmentOf(item), expected[i].attachments[j]);
      EXPECT_EQ(item->size, expected[i].sizes[j]);
      EXPECT_EQ(item->fileKind, raw(FilesKind::Package));
      EXPECT_EQ(item->parentCategoryInfo.lock(), category);
      EXPECT_EQ(item->finderID(), static_cast<int>(j));
      sum += item->size;
    }
    EXPECT_EQ(category->size, sum);
  }
}

// Sorted by name, the enabled folder before its twin; a file is no folder.
TEST(MaintenanceServiceTest, ListingsGiveTheEnabledFolderFirstAndNothingForMissingFolders) {
  Sandbox sb;
  sb.layout({"/Library/Spotlight Disabled/B.mdimporter/", "/Library/Spotlight/Z.mdimporter/",
             "/Library/Spotlight/A.mdimporter"});
  EXPECT_EQ(pathsOf(MaintenanceService::shard().scanSpotlightExtension()),
            (std::vector<std::string>{sb.path("/Library/Spotlight/A.mdimporter"),
                                      sb.path("/Library/Spotlight/Z.mdimporter"),
                                      sb.path("/Library/Spotlight Disabled/B.mdimporter")}));
  EXPECT_TRUE(MaintenanceService::shard()
                  .getFileUseEnumerator(sb.path("/Library/Spotlight/A.mdimporter"))
                  .empty());
}

TEST(MaintenanceServiceTest, NumberedNamesKeepTheExtension) {
  const struct {
    const char* name;
    int counter;
    const char* numbered;
  } cases[] = {
      {"Foo.mdimporter", 1, "Foo 1.mdimporter"},
      {"Foo.mdimporter", 12, "Foo 12.mdimporter"},
      {"Some.Vendor.plugin", 2, "Some.Vendor 2.plugin"},
      {"NoExtension", 3, "NoExtension 3"},
      {".hidden", 1, ".hidden 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MaintenanceService::numberedName(c.name, c.counter), c.numbered);
  }
}

TEST(MaintenanceServiceTest, SwitchDestinationGoesToTheTwinOrBackUnderAFreeName) {
  Sandbox sb;
  sb.layout({
      "/Library/Spotlight/A.mdimporter/",
      "/Library/Spotlight Disabled/A.mdimporter/",
      "/Library/Spotlight Disabled/A 1.mdimporter:1",
      "/Library/Spotlight/C.mdimporter/",
      "/Library/PreferencePanes Disabled/P.prefPane/",
      "/Library/Internet Plug-Ins/Q.plugin/",
  });
  const struct {
    const char* item;
    const char* destination;
  } cases[] = {
      {"/Library/Spotlight/A.mdimporter", "/Library/Spotlight Disabled/A 2.mdimporter"},
      {"/Library/Spotlight/C.mdimporter", "/Library/Spotlight Disabled/C.mdimporter"},
      {"/Library/Spotlight Disabled/A.mdimporter", "/Library/Spotlight/A 1.mdimporter"},
      {"/Library/PreferencePanes Disabled/P.prefPane", "/Library/PreferencePanes/P.prefPane"},
      {"/Library/Internet Plug-Ins/Q.plugin",
       "/Library/Internet Plug-Ins Disabled/Q.plugin"},  // the twin does not exist yet
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.item);
    const Url destination = MaintenanceService::switchDestination(Url::fromPath(sb.path(c.item)));
    EXPECT_EQ(destination.path(), sb.path(c.destination));
    EXPECT_TRUE(destination.isDirectory()) << "keeps the item's folder flag";
  }
}

TEST(MaintenanceServiceTest, HelperToolsBelongToTheApplicationTheirNameNames) {
  auto app = [](std::string path, std::string identifier, std::string name) {
    ApplicationBundle bundle;
    bundle.path = std::move(path);
    bundle.bundleIdentifier = std::move(identifier);
    bundle.name = std::move(name);
    return bundle;
  };
  const std::vector<ApplicationBundle> applications = {
      app("/Applications/Foo.app", "com.example.foo", "Foo"),
      app("/Applications/Foo Pro.app", "com.example.foo.pro", "Foo Pro"),
      app("/Applications/Foo Sync.app", "com.example.sync", "Foo Sync"),
      app("/Applications/Bar.app", "org.other.Bar", "Bar"),
  };
  const struct {
    const char* name;
    const char* owner;  // empty: nobody's
  } cases[] = {
      {"com.example.foo", "com.example.foo"},
      {"com.example.foo.helper", "com.example.foo"},
      {"com.example.fooHelper", "com.example.foo"},
      {"com.example.foo-updater", "com.example.foo"},
      {"com.example.foo.pro.daemon", "com.example.foo.pro"},  // the longest identifier
      {"com.example.foobar", ""},                             // another word
      {"COM.EXAMPLE.FOO.Helper", "com.example.foo"},          // case does not matter
      {"com.example.FooSync.daemon", "com.example.sync"},     // by the application's name
      {"net.example.FooSync.daemon", ""},                     // another vendor
      {"org.other.bar.helper", "org.other.Bar"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Url url =
        Url::fromPath(std::string("/Library/LaunchDaemons/") + c.name + ".plist", false);
    std::map<std::string, std::vector<Url>> owners =
        MaintenanceService::associateHelperTools({{c.name, url}}, applications);
    if (std::string(c.owner).empty()) {
      EXPECT_TRUE(owners.empty());
    } else {
      EXPECT_EQ(owners, (std::map<std::string, std::vector<Url>>{{c.owner, {url}}}));
    }
  }
}

TEST(MaintenanceServiceTest, ScanHelperToolListsDaemonsAndToolsOfTheQueriedApplications) {
  Sandbox sb;
  sb.layout({
      "/Library/LaunchDaemons/com.example.foo.helper.plist:10",
      "/Library/LaunchDaemons/com.example.foo.notes.txt:1",  // not a property list
      "/Library/LaunchDaemons Disabled/org.other.Bar.plist:10",
      "/Library/LaunchDaemons/org.nobody.daemon.plist:10",
      "/Library/PrivilegedHelperTools/com.example.foo.helper:10",
      "/Library/PrivilegedHelperTools Disabled/org.other.BarHelper:10",
  });
  makeApp(sb, "/Applications/Foo.app", "com.example.foo");
  makeApp(sb, "/Applications/Bar.app", "org.other.Bar");
  sb.dir("/Applications/NotAnApp.app");  // no Info.plist: skipped
  const std::string mdfind = sb.path("/fake/mdfind");
  sb.dir("/fake");
  const std::string args = sb.path("/fake/args");
  writeScript(mdfind, "echo \"$@\" > '" + args + "'\nprintf '%s\\n%s\\n%s\\n' '" +
                          sb.path("/Applications/Foo.app") + "' '" +
                          sb.path("/Applications/NotAnApp.app") + "' '" +
                          sb.path("/Applications/Bar.app") + "'\n");
  Paths::shared().setTool("mdfind", mdfind);

  std::map<std::string, std::vector<Url>> owners;
  int calls = 0;
  MaintenanceService::shard().scanHelperTool([&](std::map<std::string, std::vector<Url>> table) {
    owners = std::move(table);
    ++calls;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(testing::readFile(args), "kMDItemContentType=com.apple.application-bundle\n");
  ASSERT_EQ(owners.size(), 2u);
  EXPECT_EQ(
      pathsOf(owners["com.example.foo"]),
      (std::vector<std::string>{sb.path("/Library/LaunchDaemons/com.example.foo.helper.plist"),
                                sb.path("/Library/PrivilegedHelperTools/com.example.foo.helper")}));
  EXPECT_EQ(pathsOf(owners["org.other.Bar"]),
            (std::vector<std::string>{
                sb.path("/Library/LaunchDaemons Disabled/org.other.Bar.plist"),
                sb.path("/Library/PrivilegedHelperTools Disabled/org.other.BarHelper")}));

  // Without the query tool no application is known, so nothing is owned.
  fs::remove(mdfind);
  calls = 0;
  MaintenanceService::shard().scanHelperTool([&](std::map<std::string, std::vector<Url>> table) {
    owners = std::move(table);
    ++calls;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(owners.empty());
}

}  // namespace
}  // namespace orvexa
