// The group commands: --clean keeps exactly one copy of each group (for
// duplicates the one --keep names); similar-images' text, JSON and page.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orvexa/platform/image_decode.h"
#include "scan/similar_text/document_writer.h"
#include "support/picture_files.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::orvexaProgram;
using testing::Rgba;
using testing::runProgram;
using testing::TempDir;

// The regular files below `folder`, as paths relative to it.
std::set<std::string> filesBelow(const std::string& folder) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), folder).string());
  }
  return files;
}

std::set<std::string> removedPaths(const json& doc) {
  std::set<std::string> paths;
  for (const json& record : doc.at("clean").at("records")) {
    EXPECT_EQ(record.at("deleteStatus").get<int>(), 2) << record;
    paths.insert(record.at("path").get<std::string>());
  }
  return paths;
}

class CleanDuplicatesTest : public ::testing::Test {
 protected:
  std::vector<std::string> argv(std::vector<std::string> extra) const {
    std::vector<std::string> out{
        orvexaProgram(), "--root", dir_.makeDir("root"), "--quiet", "duplicates",
        "--min-size",    "0"};
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
  }

  TempDir dir_;
};

// Two groups in one folder: x1, x2, x3 and y1, y2, created in the order x2,
// x3, x1, y2, y1, so that first-path and oldest disagree. (Every rule is
// checked on records by the selection's own tests; here the option and the
// files' real dates.)
TEST_F(CleanDuplicatesTest, EachKeepRuleKeepsExactlyOneCopyOfEachGroup) {
  const struct {
    const char* name;
    std::vector<std::string> options;
    std::set<std::string> survivors;
    size_t groupsLeft;
  } cases[] = {
      {"no --keep: the first path", {}, {"x1", "y1", "single"}, 0},
      {"--keep oldest", {"--keep", "oldest"}, {"x2", "y2", "single"}, 0},
      {"--keep oldest with --select: only matching copies go",
       {"--keep", "oldest", "--select", "*/x3", "--select", "*/x2"},
       {"x1", "x2", "y1", "y2", "single"},
       2},
  };
  int run = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = dir_.makeDir("case" + std::to_string(run++));
    const std::string x(1500, 'x');
    const std::string y(2500, 'y');
    for (const auto& [name, content] : std::vector<std::pair<std::string, std::string>>{
             {"x2", x}, {"x3", x}, {"x1", x}, {"y2", y}, {"y1", y}}) {
      dir_.writeFile(fs::relative(folder, dir_.path()).string() + "/" + name, content);
      // Creation dates a clock tick apart.
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    dir_.writeFile(fs::relative(folder, dir_.path()).string() + "/single", "only one");

    std::vector<std::string> options = {folder, "--clean", "--yes", "--json"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    auto r = runProgram(argv(options));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const json doc = json::parse(r.out);
    EXPECT_EQ(filesBelow(folder), c.survivors);
    std::set<std::string> removed;
    for (const std::string& path : removedPaths(doc)) {
      removed.insert(fs::path(path).filename().string());
    }
    std::set<std::string> expectedRemoved;
    for (const char* name : {"x1", "x2", "x3", "y1", "y2"}) {
      if (c.survivors.count(name) == 0) expectedRemoved.insert(name);
    }
    EXPECT_EQ(removed, expectedRemoved);
    int64_t freed = 0;
    for (const json& record : doc["clean"]["records"])
      freed += record["allocatedSize"].get<int64_t>();
    EXPECT_EQ(doc.at("clean").at("freed").get<int64_t>(), freed);
    EXPECT_EQ(doc.at("groupCount").get<size_t>(), c.groupsLeft) << r.out;

    auto again = runProgram(argv({folder, "--json"}));
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(json::parse(again.out).at("groupCount").get<size_t>(), c.groupsLeft);
  }
}

// Copied folders are a group, and every file in them is one too: the copy
// removed goes whole, the kept one stays complete, no removal fails on a
// file that already went with its folder, and nothing of the removed copy is
// still listed.
TEST_F(CleanDuplicatesTest, ACopiedFolderGoesWholeAndTheKeptOneStaysComplete) {
  const std::string folder = dir_.makeDir("photos");
  dir_.writeFile("photos/album/a.jpg", std::string(3000, 'a'));
  dir_.writeFile("photos/album/b.jpg", std::string(4000, 'b'));
  dir_.writeFile("photos/album copy/a.jpg", std::string(3000, 'a'));
  dir_.writeFile("photos/album copy/b.jpg", std::string(4000, 'b'));
  dir_.writeFile("photos/loose.jpg", std::string(3000, 'a'));

  auto r = runProgram(argv({folder, "--clean", "--yes", "--json"}));
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const json doc = json::parse(r.out);
  // "album" sorts before "album copy" component by component.
  EXPECT_EQ(filesBelow(folder), (std::set<std::string>{"album/a.jpg", "album/b.jpg"}));
  EXPECT_EQ(removedPaths(doc),
            (std::set<std::string>{folder + "/album copy", folder + "/loose.jpg"}));
  const json& records = doc["clean"]["records"];
  EXPECT_EQ(doc["clean"]["freed"].get<int64_t>(), records[0]["allocatedSize"].get<int64_t>() +
                                                      records[1]["allocatedSize"].get<int64_t>());
  EXPECT_EQ(doc.at("groupCount").get<size_t>(), 0u) << r.out;
  EXPECT_EQ(doc.at("total").get<int64_t>(), 0);
}

TEST_F(CleanDuplicatesTest, KeepWithoutCleanIsRefused) {
  auto r = runProgram(argv({dir_.path(), "--keep", "oldest"}));
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err, "orvexa: --keep is only used with --clean\n");
}

// Similar pictures and similar documents: of a group whose members are all
// selected, the first stays; a second scan finds no group.
TEST(CleanSimilarTest, OneOfEachGroupStays) {
  TempDir dir;
  const std::string pictures = dir.makeDir("pictures");
  const std::string sea =
      testing::writeJpeg(pictures + "/sea.jpg", 120, 90, testing::blocks(3, 120, 90), 90);
  testing::writeBytes(pictures + "/sea-again.jpg", testing::readBytes(sea));
  testing::writePng(pictures + "/other.png", 90, 120, testing::blocks(5, 90, 120));
  const std::string docs = dir.makeDir("docs");
  const std::vector<std::string> letter = testing::paragraphsOf(
      "Dear committee, the survey of the northern meadow is complete. We counted forty-two "
      "species of flowering plants, eleven more than last year, and the wet corner by the "
      "stream now holds marsh marigold again. Kind regards, the field team.");
  ASSERT_TRUE(testing::writeDocx(docs + "/letter.docx", letter));
  ASSERT_TRUE(testing::writeDocx(docs + "/letter-copy.docx", letter));
  ASSERT_TRUE(testing::writeDocx(docs + "/recipe.docx",
                                 {"Whisk three eggs with sugar until pale, fold in flour and "
                                  "bake for twenty minutes at one hundred and eighty degrees."}));

  const struct {
    const char* command;
    std::string folder;
    std::set<std::string> survivors;
  } cases[] = {
      {"similar-images", pictures, {"sea-again.jpg", "other.png"}},
      {"similar-docs", docs, {"letter-copy.docx", "recipe.docx"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    auto command = [&](std::vector<std::string> extra) {
      std::vector<std::string> out{orvexaProgram(), "--root",  dir.makeDir("root"),
                                   "--quiet",       c.command, c.folder};
      out.insert(out.end(), extra.begin(), extra.end());
      return runProgram(out);
    };
    auto r = command({"--clean", "--yes", "--json", "--select", "*"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const json doc = json::parse(r.out);
    EXPECT_EQ(filesBelow(c.folder), c.survivors);
    EXPECT_EQ(removedPaths(doc).size(), 1u);
    EXPECT_TRUE(doc.at("feature").at("categoryInfo").at(0).at("childrens").empty()) << r.out;

    auto again = command({"--json"});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(
        json::parse(again.out).at("feature").at("categoryInfo").at(0).at("childrens").empty())
        << again.out;
  }
}

// Blue on the left, yellow on the right: colours nothing else on the page
// uses.
Rgba blueAndYellow(int x, int y) {
  (void)y;
  return x < 60 ? Rgba{20, 40, 230, 255} : Rgba{240, 220, 20, 255};
}

std::vector<uint8_t> unbase64(const std::string& text) {
  std::vector<uint8_t> out(text.size() / 4 * 3 + 3);
  const int length =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (length < 0) return {};
  // The decoder counts the bytes the padding stands for.
  const size_t padding = text.size() - text.find_last_not_of('=') - 1;
  out.resize(static_cast<size_t>(length) - std::min<size_t>(padding, 2));
  return out;
}

std::string chromium() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

// Text and JSON list the one group; the HTML page embeds the thumbnails,
// never enlarged, and a headless browser draws both.
TEST(SimilarImagesCommandTest, TextJsonAndAnHtmlPageABrowserShows) {
  TempDir dir;
  const std::string folder = dir.makeDir("pictures");
  const std::string a = testing::writeJpeg(folder + "/sea.jpg", 120, 90, blueAndYellow, 90);
  const std::string b = testing::writeBytes(folder + "/sea-again.jpg", testing::readBytes(a));
  testing::writePng(folder + "/other.png", 90, 120, testing::blocks(5, 90, 120));
  auto command = [&dir](std::vector<std::string> extra) {
    std::vector<std::string> argv{testing::orvexaProgram(), "--root", dir.makeDir("root"),
                                  "similar-images"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testing::runProgram(argv);
  };

  testing::ProgramResult text = command({"--quiet", folder});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("Group 1: "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(a), std::string::npos);
  EXPECT_NE(text.out.find(b), std::string::npos);
  EXPECT_NE(text.out.find("1 group;"), std::string::npos);
  EXPECT_EQ(text.out.find("other.png"), std::string::npos);

  testing::ProgramResult listing = command({"--quiet", "--json", folder});
  ASSERT_EQ(listing.exitCode, 0) << listing.err;
  const json doc = json::parse(listing.out);
  const auto& categories = doc.at("feature").at("categoryInfo");
  ASSERT_EQ(categories.size(), 1u);
  ASSERT_EQ(categories[0].at("childrens").size(), 1u);
  const auto& members = categories[0]["childrens"][0].at("childrens");
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].at("state"), 0);
  EXPECT_EQ(doc.at("total"), 2 * static_cast<int64_t>(testing::readBytes(a).size()));

  testing::ProgramResult missing = command({dir / "nothing-here"});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("no such file or folder"), std::string::npos) << missing.err;

  const std::string page = dir / "page.html";
  testing::ProgramResult run = command({"--quiet", "--html", page, folder});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string html = testing::readFile(page);
  EXPECT_NE(html.find(a), std::string::npos);
  EXPECT_NE(html.find(b), std::string::npos);
  EXPECT_EQ(html.find("src=\"http"), std::string::npos) << "the page must be self-contained";
  const std::string marker = "data:image/png;base64,";
  size_t at = html.find(marker);
  int thumbnails = 0;
  while (at != std::string::npos) {
    ++thumbnails;
    const size_t end = html.find('"', at);
    const std::vector<uint8_t> png =
        unbase64(html.substr(at + marker.size(), end - at - marker.size()));
    const std::optional<PixelBuffer> thumb = decodePictureData(png);
    ASSERT_TRUE(thumb.has_value());
    EXPECT_EQ(thumb->width, 120);  // never enlarged
    EXPECT_EQ(thumb->height, 90);
    at = html.find(marker, end);
  }
  EXPECT_EQ(thumbnails, 2);
  EXPECT_NE(html.find("120 &times; 90 JPEG"), std::string::npos);

  const std::string browser = chromium();
  if (browser.empty()) GTEST_SKIP() << "chromium is not installed";
  const std::string shot = dir / "shot.png";
  testing::ProgramResult shown = testing::runProgram(
      {browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + dir.makeDir("profile"), "--window-size=900,600", "--screenshot=" + shot,
       "file://" + page});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  const std::optional<PixelBuffer> screen = decodePictureFile(shot);
  ASSERT_TRUE(screen.has_value());
  EXPECT_EQ(screen->width, 900);
  // Both thumbnails are drawn: blue and yellow pixels, in two places.
  int blue = 0;
  int yellow = 0;
  for (size_t i = 0; i + 3 < screen->rgba.size(); i += 4) {
    const uint8_t* p = screen->rgba.data() + i;
    if (p[0] < 60 && p[1] < 80 && p[2] > 190) ++blue;
    if (p[0] > 200 && p[1] > 180 && p[2] < 70) ++yellow;
  }
  EXPECT_GT(blue, 2 * 2000);
  EXPECT_GT(yellow, 2 * 2000);
}

}  // namespace
}  // namespace orvexa
