#include <gtest/gtest.h>

#include "orvexa/model/records.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "support/plist_values.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using Array = PlistValue::Array;
using testing::plistDict;

// Catalogue entries: the keys every entry needs, then `more`.
PlistValue entry(int finder, std::initializer_list<PlistValue::Entry> more) {
  PlistValue d = plistDict({{"finder", finder}, {"status", 0}, {"title", "t"}, {"image", "i"}});
  d.set("description", "d");
  for (const auto& [key, value] : more) d.set(key, value);
  return d;
}
PlistValue category(int finder, const std::string& type, Array urls = {}) {
  PlistValue c = entry(finder, {{"type", type}});
  if (!urls.empty()) c.set("urls", urls);
  return c;
}
PlistValue url(const char* u) { return plistDict({{"url", u}}); }
PlistValue feature(int finder, const std::string& type, Array categories) {
  PlistValue f = entry(finder, {{"category", categories}});
  if (!type.empty()) f.set("type", type);
  return f;
}
PlistValue::Entry module(const std::string& key, int finder, Array features) {
  return {key, entry(finder, {{"version", "1.0"},
                              {"type", "T" + std::to_string(finder)},
                              {"module", features}})};
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
  std::vector<ModulePtr> load(std::initializer_list<PlistValue::Entry> modules) {
    return load(writePlist(plistDict(modules), PlistFormat::Xml));
  }

  testing::TempDir dir_;
};

// Modules and categories come back sorted by finder, features in the file's
// order; two feature types replace the file's categories by their own.
TEST_F(CatalogueTest, SortingAndTheTwoFixedLayouts) {
  const Array unsorted = {category(3, "x"), category(1, "x"), category(2, "x")};
  auto modules = load({module("c", 3, {feature(30, "Uninstaller", unsorted)}),
                       module("b", 2, {feature(20, kLargeAndOldFilesModuleType, unsorted)}),
                       module("a", 1, {feature(10, "", unsorted), feature(11, "", {})})});
  ASSERT_EQ(modules.size(), 3u);
  EXPECT_EQ(modules[0]->finderID, 1);
  EXPECT_EQ(modules[2]->finderID, 3);
  ASSERT_EQ(modules[0]->featureInfo.size(), 2u);
  EXPECT_EQ(modules[0]->featureInfo[1]->finderID, 11);
  EXPECT_EQ(modules[0]->featureInfo[0]->moduleInfo.lock(), modules[0]);
  const auto& plain = modules[0]->featureInfo[0]->categoryInfo;
  ASSERT_EQ(plain.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(plain[static_cast<size_t>(i)]->finderID(), i + 1);
  EXPECT_EQ(plain[0]->featureInfo.lock(), modules[0]->featureInfo[0]);

  const auto& large = modules[1]->featureInfo.at(0)->categoryInfo;
  ASSERT_EQ(large.size(), 1u);
  EXPECT_EQ(large[0]->title, "All");
  EXPECT_EQ(large[0]->kind, raw(CategoryInfomationKind::LargeAndOldFileAllSet));
  ASSERT_EQ(large[0]->childrenCateogry.value_or(std::vector<CategoryPtr>{}).size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ((*large[0]->childrenCateogry)[static_cast<size_t>(i)]->finderID(), i + 1);
    EXPECT_EQ((*large[0]->childrenCateogry)[static_cast<size_t>(i)]->levelInt, 1);
  }

  const auto& apps = modules[2]->featureInfo.at(0)->categoryInfo;
  ASSERT_EQ(apps.size(), 3u);
  const char* titles[] = {"All", "Unused", "Leftovers"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(apps[i]->title, titles[i]);
    EXPECT_EQ(apps[i]->finderID(), static_cast<int>(i));
    EXPECT_EQ(apps[i]->kind, raw(CategoryInfomationKind::App));
    EXPECT_TRUE(apps[i]->childrenCateogry.has_value() && apps[i]->childrenCateogry->empty());
    EXPECT_TRUE(apps[i]->urls.empty());
  }
}

TEST_F(CatalogueTest, KindsAndUrlsAreRewrittenUnderTheRoot) {
  auto modules =
      load({module("m", 1,
                   {feature(1, "",
                            {category(0, "SystemCache",
                                      {url("file://~/Library/Caches/"), url("/Library/Logs/")}),
                             category(1, "systemcache", {url("/Library/Internet%20Plug-Ins/")}),
                             category(2, "EmailAttachment",
                                      {url("file://~/Library/Saved%20Application%20State/")})})})});
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
  const PlistValue goodFeature = feature(50, "", {category(0, "x")});
  const auto xml = [&](PlistValue::Entry bad) {
    return writePlist(plistDict({module("good", 5, {goodFeature}), bad}), PlistFormat::Xml);
  };
  const auto goodXml = [](Array features) {
    return writePlist(plistDict({module("good", 5, features)}), PlistFormat::Xml);
  };
  PlistValue intType = category(1, "t");
  intType.set("type", 3);
  PlistValue listIsText = feature(50, "", {});
  listIsText.set("category", "none");
  const struct {
    const char* name;
    std::string text;
    size_t modules;     // modules that load (the good one, finder 5)
    size_t categories;  // of its first feature
    const char* logLine;
  } cases[] = {
      {"missing file", "", 0, 0, "could not be read"},
      {"root is an array", writePlist(PlistValue::array(), PlistFormat::Xml), 0, 0,
       "root is not a dictionary"},
      {"truncated binary", "bplist00\xd1\x01\x02\x51\x61\x51", 0, 0, "could not be read"},
      {"module without finder", xml({"bad", plistDict({{"title", "x"}})}), 1, 1,
       "module entry \"bad\" skipped: key \"finder\" is missing"},
      {"module finder is a string", xml({"bad", plistDict({{"finder", "1"}})}), 1, 1,
       "module entry \"bad\" skipped: key \"finder\" is not an integer"},
      {"module entry not a dictionary", xml({"bad", "x"}), 1, 1,
       "module entry \"bad\" skipped: entry is not a dictionary"},
      {"feature without title",
       goodXml({goodFeature, plistDict({{"finder", 51}, {"status", 0}, {"image", "i"}})}), 1, 1,
       "module entry \"good\" feature 1 skipped: key \"title\" is missing"},
      {"category with integer type", goodXml({feature(50, "", {category(0, "x"), intType})}), 1, 1,
       "module entry \"good\" feature 0 category 1 skipped: key \"type\" is not a string"},
      {"url element without url", goodXml({feature(50, "", {category(0, "x", {plistDict({})})})}),
       1, 1, "category 0 url 0 skipped"},
      {"category list of the wrong type", goodXml({listIsText}), 1, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t offset = testing::logSize();
    std::vector<ModulePtr> modules =
        c.text.empty() ? ModuleInformation::get(dir_ / "does-not-exist.plist") : load(c.text);
    ASSERT_EQ(modules.size(), c.modules);
    if (c.modules > 0) {
      EXPECT_EQ(modules[0]->finderID, 5);
      ASSERT_EQ(modules[0]->featureInfo.size(), 1u);
      EXPECT_EQ(modules[0]->featureInfo[0]->categoryInfo.size(), c.categories);
    }
    const std::string log = testing::logSince(offset);
    if (c.logLine != nullptr) {
      EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
    } else {
      EXPECT_EQ(log, "");
    }
  }
}

// The built-in catalogue's order and large-file views are checked through
// the command line's catalogue listing.
TEST_F(CatalogueTest, BuiltInCatalogueDescribesEveryFeature) {
  std::vector<ModulePtr> modules = ModuleInformation::getDefault();
  for (const char* type :
       {"Duplicate", "SystemJunk", "Uninstaller", "TrashBin", "MailAttachment", "DeviceBackup",
        "PhotosJunk", "SimilarImage", "SimilarDocument", "Privacy", "Maintenance", "Optimization",
        "Shredder", "DiskAnalysis", kLargeAndOldFilesModuleType}) {
    EXPECT_TRUE(findFeatureByModuleType(modules, type)) << type;
  }
  // The scan engine knows the duplicates feature by its finder 7.
  EXPECT_EQ(findFeatureByFinderID(modules, 7), findFeatureByModuleType(modules, "Duplicate"));
  EXPECT_EQ(findFeatureByFinderID(modules, 999), nullptr);
}

}  // namespace
}  // namespace orvexa
