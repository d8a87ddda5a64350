#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "orvexa/model/records.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "support/plist_values.h"
#include "support/sandbox.h"

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
  return entry(finder, {{"type", type}, {"urls", urls}});
}
PlistValue url(const char* u) { return plistDict({{"url", u}}); }
PlistValue feature(int finder, Array categories) {
  return entry(finder, {{"category", categories}});
}
PlistValue::Entry module(const std::string& key, int finder, Array features) {
  const std::string type = "T" + std::to_string(finder);
  return {key, entry(finder, {{"version", "1.0"}, {"type", type}, {"module", features}})};
}

// Each module, feature and category (child categories below their parent)
// as an indented line: finder, then for categories title, kind, level, the
// paths of the urls below the root ("/" ending a folder's) and "[]" for an
// empty child list.
std::string describe(const std::vector<ModulePtr>& modules) {
  std::string out;
  std::function<void(const CategoryPtr&, std::string)> category = [&](const CategoryPtr& c,
                                                                      std::string indent) {
    out += indent + std::to_string(c->finderID()) + " " + c->title + " " + std::to_string(c->kind) +
           " " + std::to_string(c->levelInt);
    for (const Url& u : c->urls)
      out += " " + u.path().substr(Paths::shared().root().size()) + (u.isDirectory() ? "/" : "");
    out += c->childrenCateogry && c->childrenCateogry->empty() ? " []\n" : "\n";
    for (const CategoryPtr& child : c->childrenCateogry.value_or(std::vector<CategoryPtr>{}))
      category(child, indent + "  ");
  };
  for (const ModulePtr& m : modules) {
    out += std::to_string(m->finderID) + "\n";
    for (const FeaturePtr& f : m->featureInfo) {
      out += "  " + std::to_string(f->finderID) + "\n";
      for (const CategoryPtr& c : f->categoryInfo) category(c, "    ");
    }
  }
  return out;
}

class CatalogueTest : public ::testing::Test {
 protected:
  std::vector<ModulePtr> load(const std::string& text) {
    return ModuleInformation::get(sb_.file("/Feature.plist", text));
  }
  std::vector<ModulePtr> load(std::initializer_list<PlistValue::Entry> modules) {
    return load(writePlist(plistDict(modules), PlistFormat::Xml));
  }

  testing::Sandbox sb_{"alice"};
};

// Modules and categories come back sorted by finder, features in the file's
// order; two feature types replace the file's categories by their own;
// kinds and urls are rewritten, the urls under the root.
TEST_F(CatalogueTest, SortedWithTheTwoFixedLayoutsKindsAndUrlsUnderTheRoot) {
  const Array unsorted = {category(3, "x"), category(1, "x"), category(2, "x")};
  const Array urls = {
      category(0, "SystemCache", {url("file://~/Library/Caches/"), url("/Library/Logs/")}),
      category(1, "systemcache", {url("/Library/Internet%20Plug-Ins/")}),
      category(2, "EmailAttachment", {url("file://~/Library/Saved%20Application%20State/")})};
  auto modules = load(
      {module("c", 3, {entry(30, {{"type", "Uninstaller"}, {"category", unsorted}})}),
       module("b", 2, {entry(20, {{"type", kLargeAndOldFilesModuleType}, {"category", unsorted}})}),
       module("a", 1, {feature(10, unsorted), feature(11, {}), feature(12, urls)})});
  // Kinds: 1 common, 5 the large files' set, 6 applications, 2 system cache
  // (the comparison is exact), 4 attachments.
  EXPECT_EQ(describe(modules),
            "1\n  10\n    1 t 1 0\n    2 t 1 0\n    3 t 1 0\n  11\n  12\n"
            "    0 t 2 0 /Users/alice/Library/Caches/ /Library/Logs/\n"
            "    1 t 1 0 /Library/Internet Plug-Ins/\n"
            "    2 t 4 0 /Users/alice/Library/Saved Application State/\n"
            "2\n  20\n    0 All 5 0\n      1 t 1 1\n      2 t 1 1\n      3 t 1 1\n"
            "3\n  30\n    0 All 6 0 []\n    1 Unused 6 0 []\n    2 Leftovers 6 0 []\n");
  EXPECT_EQ(modules[0]->featureInfo[0]->moduleInfo.lock(), modules[0]);
  EXPECT_EQ(modules[0]->featureInfo[0]->categoryInfo[0]->featureInfo.lock(),
            modules[0]->featureInfo[0]);
  // Every tilde url of a text is replaced, and only those.
  const std::string home = "file://" + Paths::shared().root() + "/Users/alice/";
  EXPECT_EQ(ModuleInformation::updateModuleURL("file://~/a file://~/b"), home + "a " + home + "b");
  EXPECT_EQ(ModuleInformation::updateModuleURL("file:///tmp/~/"), "file:///tmp/~/");
  Paths::shared().reset();
  EXPECT_EQ(ModuleInformation::updateModuleURL("file://~/x"),
            "file://" + Identity::shared().realHome() + "/x")
      << "without a root the real home stands in for /Users/NAME";
}

// Whatever is malformed is skipped at its own level and the rest loads.
TEST_F(CatalogueTest, MalformedFilesNeverCrashAndTheRestLoads) {
  const PlistValue goodFeature = feature(50, {category(0, "x")});
  const auto xml = [&](PlistValue::Entry bad) {
    return writePlist(plistDict({module("good", 5, {goodFeature}), bad}), PlistFormat::Xml);
  };
  const auto goodXml = [](Array features) {
    return writePlist(plistDict({module("good", 5, features)}), PlistFormat::Xml);
  };
  const std::string one = "5\n  50\n    0 t 1 0\n";  // what loads of the good module
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"root is an array", writePlist(PlistValue::array(), PlistFormat::Xml), ""},
      {"truncated binary", "bplist00\xd1\x01\x02\x51\x61\x51", ""},
      {"module without finder", xml({"bad", plistDict({{"title", "x"}})}), one},
      {"module entry not a dictionary", xml({"bad", "x"}), one},
      {"feature without title",
       goodXml({goodFeature, plistDict({{"finder", 51}, {"status", 0}, {"image", "i"}})}), one},
      {"category with integer type",
       goodXml({feature(50, {category(0, "x"), entry(1, {{"type", 3}})})}), one},
      {"url element without url", goodXml({feature(50, {category(0, "x", {plistDict({})})})}), one},
      {"category list of the wrong type", goodXml({entry(50, {{"category", "none"}})}),
       "5\n  50\n"},
  };
  for (const auto& [name, text, loaded] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(describe(load(text)), loaded);
  }
}

}  // namespace
}  // namespace orvexa
