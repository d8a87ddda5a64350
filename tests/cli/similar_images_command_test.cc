// The similar-images command of the built program: text, JSON and the HTML
// page, which a headless browser must show with its thumbnails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>

#include "orvexa/platform/image_decode.h"
#include "support/picture_files.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::Rgba;
using testing::TempDir;

// Blue on the left, yellow on the right: colours nothing else on the page
// uses.
Rgba blueAndYellow(int x, int y) {
  (void)y;
  return x < 60 ? Rgba{20, 40, 230, 255} : Rgba{240, 220, 20, 255};
}

std::vector<uint8_t> unbase64(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::vector<uint8_t> out;
  int bits = 0;
  int buffer = 0;
  for (char c : text) {
    const int v = value(c);
    if (v < 0) break;
    buffer = (buffer << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

std::string chromium() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

class SimilarImagesCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(testing::orvexaProgram().c_str(), X_OK) != 0) {
      GTEST_SKIP() << "the orvexa program is not built";
    }
    const std::string pictures = dir_.makeDir("pictures");
    a_ = testing::writeJpeg(pictures + "/sea.jpg", 120, 90, blueAndYellow, 90);
    b_ = testing::writeBytes(pictures + "/sea-again.jpg", testing::readBytes(a_));
    testing::writePng(pictures + "/other.png", 90, 120, testing::blocks(5, 90, 120));
    folder_ = pictures;
  }

  std::vector<std::string> command(std::vector<std::string> extra) {
    std::vector<std::string> argv{testing::orvexaProgram(), "--root", dir_.makeDir("root"),
                                  "similar-images"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  TempDir dir_;
  std::string folder_;
  std::string a_;
  std::string b_;
};

TEST_F(SimilarImagesCommandTest, TextAndJsonListTheGroup) {
  testing::ProgramResult text = testing::runProgram(command({"--quiet", folder_}));
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("Group 1: "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(a_), std::string::npos);
  EXPECT_NE(text.out.find(b_), std::string::npos);
  EXPECT_NE(text.out.find("1 group;"), std::string::npos);
  EXPECT_EQ(text.out.find("other.png"), std::string::npos);

  testing::ProgramResult json = testing::runProgram(command({"--quiet", "--json", folder_}));
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const nlohmann::json doc = nlohmann::json::parse(json.out);
  const auto& categories = doc.at("feature").at("categoryInfo");
  ASSERT_EQ(categories.size(), 1u);
  EXPECT_EQ(categories[0].at("title"), "All");
  ASSERT_EQ(categories[0].at("childrens").size(), 1u);
  const auto& members = categories[0]["childrens"][0].at("childrens");
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].at("state"), 0);
  EXPECT_EQ(doc.at("total"), 2 * static_cast<int64_t>(testing::readBytes(a_).size()));

  testing::ProgramResult missing = testing::runProgram(command({dir_ / "nothing-here"}));
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("no such file or folder"), std::string::npos) << missing.err;
  testing::ProgramResult negative = testing::runProgram(command({"--threshold", "-1", folder_}));
  EXPECT_EQ(negative.exitCode, 2);
}

TEST_F(SimilarImagesCommandTest, HtmlPageEmbedsThumbnailsABrowserShows) {
  const std::string page = dir_ / "page.html";
  testing::ProgramResult run = testing::runProgram(command({"--quiet", "--html", page, folder_}));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string html = testing::readFile(page);
  EXPECT_NE(html.find(a_), std::string::npos);
  EXPECT_NE(html.find(b_), std::string::npos);
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
  const std::string shot = dir_ / "shot.png";
  testing::ProgramResult shown = testing::runProgram(
      {browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + dir_.makeDir("profile"), "--window-size=900,600",
       "--screenshot=" + shot, "file://" + page});
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
