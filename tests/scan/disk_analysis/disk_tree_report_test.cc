#include "orvexa/scan/disk_analysis/disk_tree_report.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>

#include "orvexa/scan/disk_analysis/disk_analysis_service.h"
#include "scan/disk_analysis/disk_scan_fixture.h"
#include "support/features.h"
#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using nlohmann::json;
using testing::DiskScan;

constexpr int kDeepFeatureID = 1504;
constexpr int kPageFeatureID = 1505;

// Builds trees in memory as the walk does: the root has a url, the records
// below keep their names and are located by their parents.
class TreeBuilder {
 public:
  explicit TreeBuilder(const std::string& rootPath) : root_(std::make_shared<FileInformation>()) {
    root_->url = Url::fromPath(rootPath, true);
    root_->title = root_->url.lastPathComponent();
    root_->fileKind = raw(FilesKind::Folder);
  }
  ~TreeBuilder() { DiskAnalysisService::releaseTree(std::move(root_)); }

  // A file of `size` bytes, or a folder for a negative size.
  FilePtr add(const FilePtr& parent, const std::string& name, int64_t size = 0) {
    auto r = std::make_shared<FileInformation>();
    r->title = name;
    r->locateByParent();
    r->fileKind = raw(size < 0 ? FilesKind::Folder : FilesKind::File);
    r->size = std::max<int64_t>(size, 0);
    r->parentFileInfo = parent;
    r->levelInt = parent->levelInt + 1;
    r->parentFinderID = parent->finderID();
    r->setFinderID(static_cast<int>(parent->childrens.size()));
    parent->childrens.push_back(r);
    for (FileInformation* p = parent.get(); p != nullptr; p = p->parentFileInfo.lock().get())
      p->size += r->size;
    return r;
  }
  // Adds each "path:size" (a file) or "path/" (a folder) below the root, in
  // order: a folder before what it holds.
  void add(std::initializer_list<std::string> entries) {
    for (std::string entry : entries) {
      const bool folder = entry.back() == '/';
      const size_t colon = entry.rfind(':');
      const int64_t size = folder ? -1 : std::stoll(entry.substr(colon + 1));
      entry.erase(folder ? entry.size() - 1 : colon);
      const size_t slash = entry.rfind('/');
      add(slash == std::string::npos ? root_ : testing::findRecord(root_, entry.substr(0, slash)),
          entry.substr(slash + 1), size);
    }
  }
  const FilePtr& root() const { return root_; }

 private:
  FilePtr root_;
};

TEST(DiskTreeReportTest, SummaryPicksTheLargestFoldersAndFilesAndCounts) {
  TreeBuilder t("/data");
  t.add({"a/", "b/", "b/bb/", "a/a1:500", "a/a2:50", "b/bb/x:300", "b/y:300", "z:50", "empty/"});

  using Paths = std::vector<std::string>;
  const std::tuple<size_t, Paths, Paths> cases[] = {
      // Equal sizes (x and y; a2 and z) in path order.
      {2, {"/data/b", "/data/a"}, {"/data/a/a1", "/data/b/bb/x"}},
      {0,
       {"/data/b", "/data/a", "/data/b/bb", "/data/empty"},
       {"/data/a/a1", "/data/b/bb/x", "/data/b/y", "/data/a/a2", "/data/z"}}};
  for (const auto& [top, largestFolders, largestFiles] : cases) {
    SCOPED_TRACE(top);
    DiskTreeSummary s = summarizeDiskTree(t.root(), top);
    Paths folders, files;
    for (const FilePtr& f : s.largestFolders) folders.push_back(f->fileUrl().path());
    for (const FilePtr& f : s.largestFiles) files.push_back(f->fileUrl().path());
    EXPECT_EQ(std::tuple(s.size, s.folderCount, s.fileCount, folders, files),
              std::tuple(1200, 4u, 5u, largestFolders, largestFiles));
  }
}

// The root record writeDiskTreeJson writes for the tree `root` (the whole
// text into `written` when given); the document's total is the root's size.
json writeJson(const FilePtr& root, const DiskTreeJsonLimits& limits,
               std::string* written = nullptr) {
  auto module = testing::makeModule(77, {});
  FeaturePtr feature = testing::featureOf(module);
  auto category = std::make_shared<CategoryInformation>(
      0, 0, "All", Image{}, root->size, "", raw(CategoryInfomationKind::AnalysisDisk),
      std::vector<Url>{}, std::vector<FilePtr>{root}, feature, std::any{}, 0, false);
  feature->categoryInfo.push_back(category);
  std::string text;
  writeDiskTreeJson(*feature, root->size, limits, [&text](std::string_view s) { text += s; });
  category->childrens.clear();
  if (written) *written = text;
  const json doc = json::parse(text);
  EXPECT_EQ(doc["total"], root->size);
  return doc["feature"]["categoryInfo"][0]["childrens"][0];
}

// A written record as "title size", its written children in brackets, then
// " +N/S" when N children of S bytes were left out.
std::string written(const json& record) {
  std::string out = record["title"].get<std::string>() + " " + record["size"].dump();
  if (record.contains("childrens") && !record["childrens"].empty()) {
    out += " (";
    for (const json& child : record["childrens"]) out += written(child) + ", ";
    out.replace(out.size() - 2, 2, ")");
  }
  if (record.contains("omittedChildren"))
    out += " +" + record["omittedChildren"].dump() + "/" + record["omittedSize"].dump();
  return out;
}

TEST(DiskTreeReportTest, JsonWritesTheLargestChildrenToTheGivenDepth) {
  TreeBuilder t("/data");
  t.add({"a/", "a/deep/", "a/deep/d1:7", "a/a1:100", "small:1", "mid:40", "big:400"});

  const std::pair<DiskTreeJsonLimits, std::string> cases[] = {
      {{0, 0}, "data 548 (big 400, a 107 (a1 100, deep 7 (d1 7)), mid 40, small 1)"},
      {{0, 2}, "data 548 (big 400, a 107 (a1 100, deep 7 (d1 7))) +2/41"},
      {{1, 0}, "data 548 (big 400, a 107 +2/107, mid 40, small 1)"}};
  for (const auto& [limits, expected] : cases)
    EXPECT_EQ(written(writeJson(t.root(), limits)), expected);
  const json root = writeJson(t.root(), {});
  EXPECT_EQ(std::tuple(root["url"], root["childrens"][0]["url"], root["childrens"][1]["url"]),
            std::tuple("file:///data/", "file:///data/big", "file:///data/a/"));
}

// Names with any byte: the title reads back as valid JSON text (bad bytes
// become U+FFFD), and the URL, written straight from the parents' path, as
// the record's own absolute string.
TEST(DiskTreeReportTest, JsonStaysValidForAnyName) {
  // Name, and the title as decoded by a JSON reader.
  std::vector<std::pair<std::string, std::string>> cases = {
      {"</script><b>&", "</script><b>&"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x81", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x81"},
      {"cut\xE2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong\xC0\xAF", "overlong\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate\xED\xA0\x80", "surrogate\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"sep\xE2\x80\xA8", "sep\xE2\x80\xA8"}};
  // Every byte but "/" alone in a name; one above 0x7F is no UTF-8.
  for (int b = 1; b < 256; ++b) {
    const std::string name = "x" + std::string(1, static_cast<char>(b)) + "y";
    if (b != '/') cases.push_back({name, b < 0x80 ? name : "x\xEF\xBF\xBDy"});
  }
  TreeBuilder t("/data");
  FilePtr folder = t.add(t.root(), "a b&c", -1);
  for (const auto& c : cases) t.add(folder, c.first, 1);
  std::string text;
  const json written = writeJson(t.root(), {}, &text)["childrens"][0];
  EXPECT_EQ(text.find("</script"), std::string::npos);
  EXPECT_EQ(written["url"], folder->fileUrl().absoluteString());
  ASSERT_EQ(written["childrens"].size(), cases.size());
  for (const json& child : written["childrens"]) {
    const size_t i = child["finderID"];
    const std::string url = folder->childrens[i]->fileUrl().absoluteString();
    SCOPED_TRACE(url);
    EXPECT_EQ(std::pair(child["title"], child["url"]), std::pair(json(cases[i].second), json(url)));
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
  t.add({"Movies/", "Movies/holiday.mov:900000", "Music/", "Music/album.flac:99000"});
  for (int i = 0; i < 50; ++i) t.add({"Music/tiny" + std::to_string(i) + ".mp3:10"});
  t.add({"notes.txt:500"});  // 0.05% of 1,000,000: merged

  std::string page;
  writeDiskTreemapPage(t.root(), DiskTreemapOptions{}, [&page](std::string_view s) { page += s; });
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  for (const char* outside : {"<link", "src=", "@import", "url(", "https:"})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  // Items [name, size, kind, parent, merged]: the root, two folders, two files
  // and two merged items; kinds 0 (folder), 2 (video), 3 (audio), 6 (other).
  EXPECT_EQ(pageData(page).dump(),
            R"({"date":"1970-01-01T00:00:00Z","files":53,"folders":2,"items":[)"
            R"(["user",1000000,0,-1,0],["Movies",900000,0,0,0],["Music",99500,0,0,0],)"
            R"(["1 smaller item",500,6,0,1],["holiday.mov",900000,2,1,0],)"
            R"(["album.flac",99000,3,2,0],["50 smaller items",500,6,2,50]],)"
            R"("root":"/home/user","thresholdText":"1.0 KB"})");

  // A cap on items keeps the page light: the rest is merged.
  std::string capped;
  writeDiskTreemapPage(t.root(), DiskTreemapOptions{0.0, 4},
                       [&capped](std::string_view s) { capped += s; });
  json few = pageData(capped);
  EXPECT_LE(few["items"].size(), 6u);
  int64_t rootChildren = 0;
  for (const json& item : few["items"])
    if (item[3] == 0) rootChildren += item[1].get<int64_t>();
  EXPECT_EQ(rootChildren, 1000000);
}

// Ten thousand nested folders (a path of some 20,000 characters): walking,
// summing, numbering, the reports, the tidy-up and freeing all work without
// recursion (under AddressSanitizer, a recursion per level overflows the
// stack).
TEST(DiskTreeDeepTest, TenThousandLevelsAreWalkedReportedAndFreed) {
  testing::ScratchDir scratch;
  constexpr int kDepth = 10000;
  const std::string& base = scratch.path();
  ASSERT_EQ(testing::makeDeepChain(base, kDepth, "d", 1000, 7), 10);
  {
    DiskScan scan(kDeepFeatureID);
    ASSERT_TRUE(scan.run(base));
    FilePtr root = scan.root();
    ASSERT_TRUE(root);
    EXPECT_EQ(root->size, 70);

    // Down the chain: every folder holds "d" (index 0) and, every 1000
    // levels, "f" (index 1); the deepest holds "f" only.
    FilePtr folder = root;
    for (int level = 1; level <= kDepth; ++level) {
      ASSERT_FALSE(folder->childrens.empty()) << level;
      const FilePtr next = folder->childrens.front();
      ASSERT_EQ(std::tuple(next->title, next->finderID(), next->levelInt,
                           next->parentFileInfo.lock(), next->size),
                std::tuple("d", 0, level, folder, 7 * (10 - (level - 1) / 1000)))
          << level;
      folder = next;
    }
    ASSERT_EQ(folder->childrens.size(), 1u);
    EXPECT_EQ(std::pair(folder->childrens.front()->title, folder->childrens.front()->levelInt),
              std::pair(std::string("f"), kDepth + 1));
    EXPECT_GT(folder->fileUrl().path().size(), 2u * kDepth);

    DiskTreeSummary summary = summarizeDiskTree(root, 3);
    ASSERT_EQ(summary.largestFolders.size(), 3u);
    EXPECT_EQ(std::tuple(summary.folderCount, summary.fileCount,
                         summary.largestFolders.front()->fileUrl().path()),
              std::tuple(size_t{kDepth}, size_t{10}, base + "/d"));

    // Names and dates hold no brackets: counting them checks the nesting.
    long depth = 0, maxDepth = 0;
    writeDiskTreeJson(*scan.feature, root->size, DiskTreeJsonLimits{}, [&](std::string_view piece) {
      for (const char c : piece) {
        if (c == '{' || c == '[') maxDepth = std::max(maxDepth, ++depth);
        if (c == '}' || c == ']') --depth;
      }
    });
    EXPECT_EQ(depth, 0);
    // feature { categoryInfo [ category { childrens [ root { childrens [ ...
    EXPECT_GE(maxDepth, 2L * kDepth);

    std::string tail;
    writeDiskTreemapPage(root, DiskTreemapOptions{}, [&tail](std::string_view piece) {
      tail = std::string(piece.substr(piece.size() > 16 ? piece.size() - 16 : 0));
    });
    EXPECT_NE(tail.find("</html>"), std::string::npos);

    // The clean removed the deepest file (by the record only: sortCategory
    // does not touch files).
    const FilePtr deepest = folder->childrens.front();
    deepest->state = 1;
    for (FilePtr r = folder; r; r = r->parentFileInfo.lock()) r->state = -1;  // mixed above it
    deepest->deleteStatus = raw(DeleteStatus::DeleteSuccess);
    auto [removed, records, text] = DiskAnalysisService::sortCategory(scan.category());
    EXPECT_EQ(
        std::tuple(removed, root->size, root->childrens.front()->size, folder->childrens.empty()),
        std::tuple(7, 63, 63, true));
    // Leaving the scope frees the tree through releaseCategory.
  }
}

// A browser loads the page without a console message and draws the largest
// folder as a rectangle with its name; a click zooms in, Escape back out.
TEST(DiskTreemapPageTest, ABrowserDrawsTheLargestFolderWithoutConsoleMessages) {
  std::string chromium = testing::shellOutput("command -v chromium || command -v chromium-browser");
  chromium.erase(chromium.find_last_not_of("\n ") + 1);
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";

  testing::Sandbox sb;
  sb.layout({"/home/Videos/holiday.mp4:3000000", "/home/Videos/clip.mov:1200000",
             "/home/Documents/Reports/annual.pdf:800000", "/home/Documents/letter.docx:300000",
             "/home/Music/album.flac:900000", "/home/Downloads/archive.zip:600000",
             "/home/<i>odd & \"name\".txt:200000"});
  for (int i = 0; i < 40; ++i) sb.file("/home/Documents/n" + std::to_string(i), "x");
  DiskScan scan(kPageFeatureID);
  ASSERT_TRUE(scan.run(sb.path("/home")));

  // The page, with a script after its own that clicks the largest folder,
  // notes the path bar, and zooms out again with Escape (data-zoomed,
  // data-zoomed-labels and data-back of the body).
  std::string html;
  writeDiskTreemapPage(scan.root(), DiskTreemapOptions{},
                       [&html](std::string_view s) { html += s; });
  const size_t body = html.rfind("</body>");
  ASSERT_NE(body, std::string::npos);
  html.insert(body, testing::testData("disk_analysis/treemap_clicks.html"));
  const std::string clicking = sb.file("/clicking.html", html);

  testing::ProgramResult dom = testing::runProgram(
      {"/usr/bin/timeout", "90", chromium, "--headless", "--no-sandbox", "--disable-gpu",
       "--disable-quic", "--no-first-run", "--disable-background-networking",
       "--disable-component-update", "--disable-sync", "--user-data-dir=" + sb.dir("/profile"),
       "--window-size=1280,800", "--virtual-time-budget=5000", "--enable-logging=stderr", "--v=0",
       "--dump-dom", "file://" + clicking});
  ASSERT_EQ(dom.exitCode, 0) << dom.err;
  // Every console message (log, error, uncaught exception, failed load) is
  // logged as "...:CONSOLE..."; the page writes none.
  std::smatch console;
  EXPECT_FALSE(std::regex_search(dom.err, console, std::regex(":CONSOLE[^\n]*"))) << console.str();
  // The largest folder has its own group with a heading that names it.
  EXPECT_TRUE(std::regex_search(dom.out, std::regex("<text[^>]*class=\"head\"[^>]*>Videos<")))
      << dom.out.substr(0, 4000);
  // Names are text, never markup.
  EXPECT_EQ(dom.out.find("><i>odd"), std::string::npos);
  EXPECT_NE(dom.out.find("&lt;i&gt;odd"), std::string::npos);
  EXPECT_NE(dom.out.find("Disk usage of " + sb.path("/home")), std::string::npos);
  // Click on a folder zooms into it (its files fill the view); Escape goes
  // back up.
  const auto attribute = [&dom](const std::string& name) {
    std::smatch value;
    const bool found = std::regex_search(dom.out, value, std::regex(name + "=\"([^\"]*)\""));
    EXPECT_TRUE(found) << name;
    return found ? value[1].str() : std::string();
  };
  EXPECT_NE(attribute("data-zoomed").find(" / Videos"), std::string::npos);
  EXPECT_EQ(attribute("data-zoomed-labels").rfind("holiday.mp4|3.0 MB|clip.mov|1.2 MB", 0), 0u);
  EXPECT_EQ(attribute("data-back").find("Videos"), std::string::npos);
}

}  // namespace
}  // namespace orvexa
