#include "orvexa/scan/disk_analysis/disk_tree_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "orvexa/scan/disk_analysis/disk_analysis_service.h"
#include "scan/disk_analysis/json_text.h"
#include "support/features.h"

namespace orvexa {
namespace {

using nlohmann::json;

// Builds trees in memory: "name/" is a folder, "name:N" a file of N bytes.
class TreeBuilder {
 public:
  explicit TreeBuilder(const std::string& rootPath) { root_ = make(nullptr, rootPath, true, 0); }
  ~TreeBuilder() { DiskAnalysisService::releaseTree(std::move(root_)); }

  FilePtr add(const FilePtr& parent, const std::string& name, int64_t size = 0) {
    const bool folder = size < 0;
    FilePtr r = make(parent, parent->url.path() + "/" + name, folder, folder ? 0 : size);
    for (FileInformation* p = parent.get(); p != nullptr; p = p->parentFileInfo.lock().get()) {
      p->size += r->size;
    }
    return r;
  }
  FilePtr folder(const FilePtr& parent, const std::string& name) { return add(parent, name, -1); }
  const FilePtr& root() const { return root_; }

 private:
  static FilePtr make(const FilePtr& parent, const std::string& path, bool folder, int64_t size) {
    auto r = std::make_shared<FileInformation>();
    r->url = Url::fromPath(path, folder);
    r->title = r->url.lastPathComponent();
    r->fileKind = raw(folder ? FilesKind::Folder : FilesKind::File);
    r->size = size;
    if (parent) {
      r->parentFileInfo = parent;
      r->levelInt = parent->levelInt + 1;
      r->parentFinderID = parent->finderID();
      r->setFinderID(static_cast<int>(parent->childrens.size()));
      parent->childrens.push_back(r);
    }
    return r;
  }

  FilePtr root_;
};

TEST(DiskTreeReportTest, SummaryPicksTheLargestFoldersAndFilesAndCounts) {
  TreeBuilder t("/data");
  FilePtr a = t.folder(t.root(), "a");
  FilePtr b = t.folder(t.root(), "b");
  FilePtr bb = t.folder(b, "bb");
  t.add(a, "a1", 500);
  t.add(a, "a2", 50);
  t.add(bb, "x", 300);
  t.add(b, "y", 300);
  t.add(t.root(), "z", 50);
  t.folder(t.root(), "empty");

  struct Case {
    size_t top;
    std::vector<std::string> folders;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {2, {"/data/b", "/data/a"}, {"/data/a/a1", "/data/b/bb/x"}},
      {0,
       {"/data/b", "/data/a", "/data/b/bb", "/data/empty"},
       {"/data/a/a1", "/data/b/bb/x", "/data/b/y", "/data/a/a2", "/data/z"}},
      {10,
       {"/data/b", "/data/a", "/data/b/bb", "/data/empty"},
       {"/data/a/a1", "/data/b/bb/x", "/data/b/y", "/data/a/a2", "/data/z"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.top);
    DiskTreeSummary s = summarizeDiskTree(t.root(), c.top);
    EXPECT_EQ(s.size, 1200);
    EXPECT_EQ(s.folderCount, 4u);
    EXPECT_EQ(s.fileCount, 5u);
    std::vector<std::string> folders, files;
    for (const FilePtr& f : s.largestFolders) folders.push_back(f->url.path());
    for (const FilePtr& f : s.largestFiles) files.push_back(f->url.path());
    EXPECT_EQ(folders, c.folders);
    EXPECT_EQ(files, c.files);  // equal sizes (x and y; a2 and z) in path order
  }
}

json writeJson(const FilePtr& root, const DiskTreeJsonLimits& limits) {
  auto module = testing::makeModule(77, {});
  FeaturePtr feature = testing::featureOf(module);
  auto category = std::make_shared<CategoryInformation>(
      0, 0, "All", Image{}, root->size, "", raw(CategoryInfomationKind::AnalysisDisk),
      std::vector<Url>{}, std::vector<FilePtr>{root}, feature, std::any{}, 0, false);
  feature->categoryInfo.push_back(category);
  std::string text;
  writeDiskTreeJson(*feature, root->size, limits, [&text](std::string_view s) { text += s; });
  category->childrens.clear();
  return json::parse(text);
}

TEST(DiskTreeReportTest, JsonWritesTheLargestChildrenToTheGivenDepth) {
  TreeBuilder t("/data");
  FilePtr a = t.folder(t.root(), "a");
  FilePtr deep = t.folder(a, "deep");
  t.add(deep, "d1", 7);
  t.add(a, "a1", 100);
  t.add(t.root(), "small", 1);
  t.add(t.root(), "mid", 40);
  t.add(t.root(), "big", 400);

  struct Case {
    const char* name;
    DiskTreeJsonLimits limits;
    std::vector<std::string> rootChildren;  // titles, in order
    int64_t omittedChildren;                // of the root, -1: none
    int64_t omittedSize;
    size_t aChildren;  // written children of "a"
  };
  const Case cases[] = {
      {"everything", {0, 0}, {"big", "a", "mid", "small"}, -1, 0, 2},
      {"two per folder", {0, 2}, {"big", "a"}, 2, 41, 2},
      {"one level", {1, 0}, {"big", "a", "mid", "small"}, -1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json doc = writeJson(t.root(), c.limits);
    EXPECT_EQ(doc["total"], 548);
    const json& category = doc["feature"]["categoryInfo"][0];
    EXPECT_EQ(category["kind"], 13);
    const json& root = category["childrens"][0];
    EXPECT_EQ(root["size"], 548);
    EXPECT_EQ(root["url"], "file:///data/");
    std::vector<std::string> titles;
    for (const json& child : root["childrens"]) titles.push_back(child["title"]);
    EXPECT_EQ(titles, c.rootChildren);
    if (c.omittedChildren < 0) {
      EXPECT_FALSE(root.contains("omittedChildren"));
    } else {
      EXPECT_EQ(root["omittedChildren"], c.omittedChildren);
      EXPECT_EQ(root["omittedSize"], c.omittedSize);
    }
    const json& aJson = root["childrens"][1];
    ASSERT_EQ(aJson["title"], "a");
    EXPECT_EQ(aJson["childrens"].size(), c.aChildren);
    if (c.aChildren == 0) {
      EXPECT_EQ(aJson["omittedChildren"], 2);
    }
    for (const char* field :
         {"finderID", "parentFinderID", "title", "size", "url", "date", "fileKind", "state",
          "canDelete", "deleteStatus", "deleteErrorDesc", "childrens"}) {
      EXPECT_TRUE(aJson.contains(field)) << field;
    }
  }
}

TEST(DiskTreeReportTest, JsonStaysValidForAnyName) {
  struct Case {
    std::string name;
    std::string expected;  // as decoded by a JSON reader
  };
  const std::vector<Case> cases = {
      {"plain", "plain"},
      {"quote\" back\\slash", "quote\" back\\slash"},
      {"tab\tline\nbell\x07", "tab\tline\nbell\x07"},
      {"</script><b>&", "</script><b>&"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x81", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x81"},
      {"bad\xFF\xFEtail", "bad\xEF\xBF\xBD\xEF\xBF\xBDtail"},
      {"cut\xE2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong\xC0\xAF", "overlong\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate\xED\xA0\x80", "surrogate\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"sep\xE2\x80\xA8", "sep\xE2\x80\xA8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    TreeBuilder t("/data");
    t.add(t.root(), "x", 1)->title = c.name;
    std::string text;
    auto module = testing::makeModule(78, {});
    FeaturePtr feature = testing::featureOf(module);
    feature->categoryInfo.push_back(std::make_shared<CategoryInformation>(
        0, 0, "All", Image{}, 1, "", 13, std::vector<Url>{}, std::vector<FilePtr>{t.root()},
        feature, std::any{}, 0, false));
    writeDiskTreeJson(*feature, 1, {}, [&text](std::string_view s) { text += s; });
    feature->categoryInfo.front()->childrens.clear();
    EXPECT_EQ(text.find("</script"), std::string::npos);
    json doc = json::parse(text, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << text;
    EXPECT_EQ(doc["feature"]["categoryInfo"][0]["childrens"][0]["childrens"][0]["title"],
              c.expected);
  }
}

// The JSON writes URLs straight from the path; they must read back as the
// records' own absolute strings, whatever byte a name holds.
TEST(DiskTreeReportTest, JsonUrlsAreTheRecordsAbsoluteStrings) {
  std::vector<Url> urls = {Url(), Url::fromPath("/", true), Url::fromPath("/a b/c&d", true)};
  for (int b = 1; b < 256; ++b) {
    if (b == '/') continue;
    const std::string path = "/x/" + std::string(1, static_cast<char>(b)) + "y";
    urls.push_back(Url::fromPath(path, false));
    urls.push_back(Url::fromPath(path, true));
  }
  for (const Url& url : urls) {
    SCOPED_TRACE(url.absoluteString());
    std::string literal;
    disk_analysis::appendJsonFileUrl(literal, url);
    EXPECT_EQ(json::parse(literal).get<std::string>(), url.absoluteString());
  }
}

TEST(DiskTreeReportTest, ItemKindsFollowTheContentType) {
  TreeBuilder t("/data");
  FilePtr folder = t.folder(t.root(), "Photos.app");
  EXPECT_EQ(diskItemKindOf(*folder), DiskItemKind::folder);
  const std::pair<const char*, DiskItemKind> cases[] = {
      {"IMG_0001.JPG", DiskItemKind::image},   {"scan.png", DiskItemKind::image},
      {"clip.mov", DiskItemKind::video},       {"film.mp4", DiskItemKind::video},
      {"song.mp3", DiskItemKind::audio},       {"take.wav", DiskItemKind::audio},
      {"backup.zip", DiskItemKind::archive},   {"logs.tar.gz", DiskItemKind::archive},
      {"disk.dmg", DiskItemKind::archive},     {"paper.pdf", DiskItemKind::document},
      {"letter.docx", DiskItemKind::document}, {"notes.txt", DiskItemKind::document},
      {"core", DiskItemKind::other},           {"blob.bin", DiskItemKind::other},
  };
  for (const auto& [name, kind] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(diskItemKindOf(*t.add(t.root(), name, 1)), kind);
  }
}

// The data the page embeds: {"root":..., "items": [[name, size, kind,
// parent, merged], ...]}.
json pageData(const std::string& page) {
  const std::string open = "<script type=\"application/json\" id=\"data\">";
  size_t start = page.find(open);
  size_t end = page.find("</script>", start);
  if (start == std::string::npos || end == std::string::npos) return json();
  start += open.size();
  return json::parse(page.substr(start, end - start));
}

TEST(DiskTreeReportTest, PageMergesSmallItemsAndNeedsNothingFromOutside) {
  TreeBuilder t("/home/user");
  FilePtr big = t.folder(t.root(), "Movies");
  t.add(big, "holiday.mov", 900000);
  FilePtr music = t.folder(t.root(), "Music");
  t.add(music, "album.flac", 99000);
  for (int i = 0; i < 50; ++i) t.add(music, "tiny" + std::to_string(i) + ".mp3", 10);
  t.add(t.root(), "notes.txt", 500);  // 0.05% of 1,000,000: merged

  std::string page;
  writeDiskTreemapPage(t.root(), DiskTreemapOptions{}, [&page](std::string_view s) { page += s; });
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  for (const char* outside : {"<link", "src=", "@import", "url(", "https:"}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
  json data = pageData(page);
  ASSERT_TRUE(data.is_object());
  EXPECT_EQ(data["root"], "/home/user");
  EXPECT_EQ(data["files"], 53);
  EXPECT_EQ(data["folders"], 2);
  std::map<std::string, json> byName;
  for (const json& item : data["items"]) byName[item[0]] = item;
  ASSERT_EQ(byName.size(), 7u);  // root, 2 folders, 2 files, 2 merged
  EXPECT_EQ(byName["Movies"][2], static_cast<int>(DiskItemKind::folder));
  EXPECT_EQ(byName["holiday.mov"][2], static_cast<int>(DiskItemKind::video));
  EXPECT_EQ(byName["album.flac"][2], static_cast<int>(DiskItemKind::audio));
  ASSERT_TRUE(byName.count("50 smaller items"));
  EXPECT_EQ(byName["50 smaller items"][1], 500);
  EXPECT_EQ(byName["50 smaller items"][4], 50);
  ASSERT_TRUE(byName.count("1 smaller item"));
  EXPECT_EQ(byName["1 smaller item"][1], 500);
  EXPECT_EQ(byName["1 smaller item"][3], 0);

  // A cap on items keeps the page light: the rest is merged.
  std::string capped;
  writeDiskTreemapPage(t.root(), DiskTreemapOptions{0.0, 4},
                       [&capped](std::string_view s) { capped += s; });
  json few = pageData(capped);
  EXPECT_LE(few["items"].size(), 6u);
  int64_t rootChildren = 0;
  for (const json& item : few["items"]) {
    if (item[3] == 0) rootChildren += item[1].get<int64_t>();
  }
  EXPECT_EQ(rootChildren, 1000000);
}

}  // namespace
}  // namespace orvexa
