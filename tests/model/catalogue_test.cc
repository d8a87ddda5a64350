#include <gtest/gtest.h>

#include "orvexa/model/records.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;

std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
         "</dict></plist>\n";
}

std::string category(int finder, const std::string& type, const std::string& urls = "") {
  return "<dict><key>finder</key><integer>" + std::to_string(finder) +
         "</integer><key>status</key><integer>0</integer><key>title</key><string>C" +
         std::to_string(finder) +
         "</string><key>image</key><string>none</string><key>description</key><string>d</"
         "string><key>type</key><string>" +
         type + "</string>" + urls + "</dict>";
}

std::string feature(int finder, const std::string& type, const std::string& categories) {
  std::string t = type.empty() ? "" : "<key>type</key><string>" + type + "</string>";
  return "<dict><key>finder</key><integer>" + std::to_string(finder) +
         "</integer><key>status</key><integer>0</integer><key>image</key><string>i</string>"
         "<key>title</key><string>F" +
         std::to_string(finder) + "</string><key>description</key><string>d</string>" + t +
         "<key>category</key><array>" + categories + "</array></dict>";
}

std::string module(const std::string& key, int finder, const std::string& features) {
  return "<key>" + key + "</key><dict><key>finder</key><integer>" + std::to_string(finder) +
         "</integer><key>title</key><string>M" + std::to_string(finder) +
         "</string><key>image</key><string>i</string><key>description</key><string>d</string>"
         "<key>version</key><string>1.0</string><key>type</key><string>T" +
         std::to_string(finder) + "</string><key>module</key><array>" + features +
         "</array></dict>";
}

std::string urls(std::initializer_list<const char*> list) {
  std::string out = "<key>urls</key><array>";
  for (const char* u : list)
    out += std::string("<dict><key>url</key><string>") + u + "</string></dict>";
  return out + "</array>";
}

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Identity::shared().setUserName("alice");
    Paths::shared().setRoot(dir_.path());
  }
  void TearDown() override {
    Paths::shared().reset();
    Identity::shared().reset();
  }
  std::vector<ModulePtr> load(const std::string& text) {
    return ModuleInformation::get(dir_.writeFile("Feature.plist", text));
  }

  TempDir dir_;
};

TEST_F(CatalogueTest, ModulesAndCategoriesComeBackSortedByFinderID) {
  auto modules =
      load(plist(module("b", 2, feature(20, "", "")) +
                 module("a", 1,
                        feature(10, "", category(3, "x") + category(1, "x") + category(2, "x")) +
                            feature(11, "", ""))));
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[0]->finderID, 1);
  EXPECT_EQ(modules[1]->finderID, 2);
  ASSERT_EQ(modules[0]->featureInfo.size(), 2u);
  EXPECT_EQ(modules[0]->featureInfo[0]->finderID, 10) << "features keep the file's order";
  EXPECT_EQ(modules[0]->featureInfo[1]->finderID, 11);
  const auto& cats = modules[0]->featureInfo[0]->categoryInfo;
  ASSERT_EQ(cats.size(), 3u);
  EXPECT_EQ(cats[0]->finderID(), 1);
  EXPECT_EQ(cats[1]->finderID(), 2);
  EXPECT_EQ(cats[2]->finderID(), 3);
  EXPECT_EQ(cats[0]->featureInfo.lock(), modules[0]->featureInfo[0]);
  EXPECT_EQ(modules[0]->featureInfo[0]->moduleInfo.lock(), modules[0]);
}

TEST_F(CatalogueTest, LargeAndOldFilesLayoutNestsTheSortedCategoriesUnderAll) {
  auto modules =
      load(plist(module("m", 1,
                        feature(6, kLargeAndOldFilesModuleType,
                                category(3, "x") + category(1, "x") + category(2, "x")))));
  ASSERT_EQ(modules.size(), 1u);
  const auto& cats = modules[0]->featureInfo[0]->categoryInfo;
  ASSERT_EQ(cats.size(), 1u);
  EXPECT_EQ(cats[0]->title, "All");
  EXPECT_EQ(cats[0]->finderID(), 0);
  EXPECT_EQ(cats[0]->kind, raw(CategoryInfomationKind::LargeAndOldFileAllSet));
  ASSERT_TRUE(cats[0]->childrenCateogry.has_value());
  const auto& subs = *cats[0]->childrenCateogry;
  ASSERT_EQ(subs.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(subs[static_cast<size_t>(i)]->finderID(), i + 1);
    EXPECT_EQ(subs[static_cast<size_t>(i)]->levelInt, 1);
  }
}

TEST_F(CatalogueTest, UninstallerLayoutIgnoresTheFilesCategories) {
  std::string five;
  for (int i = 0; i < 5; ++i) five += category(i, "x");
  auto modules = load(plist(module("m", 1, feature(10, "Uninstaller", five))));
  const auto& cats = modules.at(0)->featureInfo.at(0)->categoryInfo;
  ASSERT_EQ(cats.size(), 3u);
  const char* titles[] = {"All", "Unused", "Leftovers"};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(titles[i]);
    EXPECT_EQ(cats[i]->title, titles[i]);
    EXPECT_EQ(cats[i]->finderID(), static_cast<int>(i));
    EXPECT_EQ(cats[i]->kind, raw(CategoryInfomationKind::App));
    ASSERT_TRUE(cats[i]->childrenCateogry.has_value());
    EXPECT_TRUE(cats[i]->childrenCateogry->empty());
    EXPECT_TRUE(cats[i]->urls.empty());
  }
}

TEST_F(CatalogueTest, KindsAndUrlsAreRewrittenUnderTheRoot) {
  auto modules = load(plist(module(
      "m", 1,
      feature(1, "",
              category(0, "SystemCache", urls({"file://~/Library/Caches/", "/Library/Logs/"})) +
                  category(1, "systemcache", urls({"/Library/Internet%20Plug-Ins/"})) +
                  category(2, "EmailAttachment",
                           urls({"file://~/Library/Saved%20Application%20State/"}))))));
  const auto& cats = modules.at(0)->featureInfo.at(0)->categoryInfo;
  ASSERT_EQ(cats.size(), 3u);
  EXPECT_EQ(cats[0]->kind, raw(CategoryInfomationKind::SystemCache));
  EXPECT_EQ(cats[1]->kind, raw(CategoryInfomationKind::Common)) << "the comparison is exact";
  EXPECT_EQ(cats[2]->kind, raw(CategoryInfomationKind::EmailAttachment));

  const std::string root = Paths::shared().root();
  ASSERT_EQ(cats[0]->urls.size(), 2u);
  EXPECT_EQ(cats[0]->urls[0].path(), root + "/Users/alice/Library/Caches");
  EXPECT_TRUE(cats[0]->urls[0].isDirectory());
  EXPECT_EQ(cats[0]->urls[1].path(), root + "/Library/Logs");
  EXPECT_EQ(cats[1]->urls.at(0).path(), root + "/Library/Internet Plug-Ins");
  EXPECT_EQ(cats[2]->urls.at(0).path(), root + "/Users/alice/Library/Saved Application State");
}

TEST_F(CatalogueTest, UpdateModuleUrlReplacesEveryTildeUrl) {
  const std::string home = "file://" + Paths::shared().root() + "/Users/alice/";
  EXPECT_EQ(ModuleInformation::updateModuleURL("file://~/a file://~/b"), home + "a " + home + "b");
  EXPECT_EQ(ModuleInformation::updateModuleURL("/Library/Logs/"), "/Library/Logs/");
  EXPECT_EQ(ModuleInformation::updateModuleURL("file:///tmp/~/"), "file:///tmp/~/");

  Paths::shared().reset();
  EXPECT_EQ(ModuleInformation::updateModuleURL("file://~/x"),
            "file://" + Identity::shared().realHome() + "/x")
      << "without a root the real home stands in for /Users/NAME";
}

TEST_F(CatalogueTest, MalformedFilesNeverCrashAndSayWhatWasSkipped) {
  const std::string good = module("good", 5, feature(50, "", category(0, "x")));
  struct Case {
    const char* name;
    std::string text;
    size_t modules;       // modules that load
    size_t features;      // features of the module with finder 5 (when present)
    size_t categories;    // categories of its first feature
    const char* logLine;  // expected in the log
  };
  std::string truncatedBinary = "bplist00\xd1\x01\x02\x51\x61\x51";
  const Case cases[] = {
      {"missing file", "", 0, 0, 0, "could not be read"},
      {"root is an array", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>", 0, 0,
       0, "root is not a dictionary"},
      {"truncated binary", truncatedBinary, 0, 0, 0, "could not be read"},
      {"module without finder",
       plist(good + "<key>bad</key><dict><key>title</key><string>x</string></dict>"), 1, 1, 1,
       "module entry \"bad\" skipped: key \"finder\" is missing"},
      {"module finder is a string",
       plist(good + "<key>bad</key><dict><key>finder</key><string>1</string></dict>"), 1, 1, 1,
       "module entry \"bad\" skipped: key \"finder\" is not an integer"},
      {"module entry not a dictionary", plist(good + "<key>bad</key><string>x</string>"), 1, 1, 1,
       "module entry \"bad\" skipped: entry is not a dictionary"},
      {"feature without title",
       plist(module("good", 5,
                    feature(50, "", category(0, "x")) +
                        "<dict><key>finder</key><integer>51</integer><key>status</key>"
                        "<integer>0</integer><key>image</key><string>i</string></dict>")),
       1, 1, 1, "module entry \"good\" feature 1 skipped: key \"title\" is missing"},
      {"category with integer type",
       plist(module(
           "good", 5,
           feature(50, "",
                   category(0, "x") + "<dict><key>finder</key><integer>1</integer><key>status</key>"
                                      "<integer>0</integer><key>title</key><string>t</string><key>"
                                      "image</key><string>i</string><key>description</key><string>d"
                                      "</string><key>type</key><integer>3</integer></dict>"))),
       1, 1, 1, "module entry \"good\" feature 0 category 1 skipped: key \"type\" is not a string"},
      {"url element without url",
       plist(module("good", 5,
                    feature(50, "", category(0, "x", "<key>urls</key><array><dict/></array>")))),
       1, 1, 1, "category 0 url 0 skipped"},
      {"category list of the wrong type",
       plist(module("good", 5,
                    "<dict><key>finder</key><integer>50</integer><key>status</key><integer>0"
                    "</integer><key>image</key><string>i</string><key>title</key><string>t"
                    "</string><key>description</key><string>d</string><key>category</key>"
                    "<string>none</string></dict>")),
       1, 1, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t offset = testing::logSize();
    std::vector<ModulePtr> modules = std::string(c.name) == "missing file"
                                         ? ModuleInformation::get(dir_ / "does-not-exist.plist")
                                         : load(c.text);
    ASSERT_EQ(modules.size(), c.modules);
    if (c.modules > 0) {
      EXPECT_EQ(modules[0]->finderID, 5);
      ASSERT_EQ(modules[0]->featureInfo.size(), c.features);
      EXPECT_EQ(modules[0]->featureInfo[0]->categoryInfo.size(), c.categories);
    }
    std::string log = testing::logSince(offset);
    if (c.logLine != nullptr) {
      EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
    } else {
      EXPECT_EQ(log, "");
    }
  }
}

TEST_F(CatalogueTest, BuiltInCatalogueDescribesEveryFeature) {
  std::vector<ModulePtr> modules = ModuleInformation::getDefault();
  ASSERT_GE(modules.size(), 15u);
  for (size_t i = 1; i < modules.size(); ++i) {
    EXPECT_LT(modules[i - 1]->finderID, modules[i]->finderID);
  }
  FeaturePtr large = findFeatureByModuleType(modules, kLargeAndOldFilesModuleType);
  ASSERT_TRUE(large);
  ASSERT_EQ(large->categoryInfo.size(), 1u);
  ASSERT_TRUE(large->categoryInfo[0]->childrenCateogry);
  EXPECT_EQ(large->categoryInfo[0]->childrenCateogry->size(), 12u);

  for (const char* type : {"Duplicate", "SystemJunk", "Uninstaller", "TrashBin", "MailAttachment",
                           "DeviceBackup", "PhotosJunk", "SimilarImage", "SimilarDocument",
                           "Privacy", "Maintenance", "Optimization", "Shredder", "DiskAnalysis"}) {
    SCOPED_TRACE(type);
    EXPECT_TRUE(findFeatureByModuleType(modules, type));
  }
  // The scan engine knows the duplicates feature by its finder 7.
  EXPECT_EQ(findFeatureByFinderID(modules, 7), findFeatureByModuleType(modules, "Duplicate"));
  EXPECT_EQ(findFeatureByFinderID(modules, 999), nullptr);
}

}  // namespace
}  // namespace orvexa
