#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>

#include "orvexa/scan/disk_analysis/disk_tree_report.h"
#include "scan/disk_analysis/disk_scan_fixture.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::DiskScan;
using testing::TempDir;

constexpr int kFeatureID = 1505;

std::string chromiumProgram() {
  std::string path = testing::shellOutput("command -v chromium || command -v chromium-browser");
  while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
  return path;
}

testing::ProgramResult runChromium(const std::string& chromium, const TempDir& tmp,
                                   const std::string& profile,
                                   const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {"/usr/bin/timeout",
                                   "90",
                                   chromium,
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--user-data-dir=" + tmp.makeDir(profile),
                                   "--window-size=1280,800",
                                   "--virtual-time-budget=5000"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return testing::runProgram(argv);
}

// A browser loads the page without a console message and draws the largest
// folder as a rectangle with its name. Set ORVEXA_TREEMAP_SHOT to a file
// name to keep a screenshot of the page for a look.
TEST(DiskTreemapPageTest, ABrowserDrawsTheLargestFolderWithoutConsoleMessages) {
  const std::string chromium = chromiumProgram();
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";

  TempDir tmp;
  tmp.writeFile("home/Videos/holiday.mp4", std::string(3000000, 'v'));
  tmp.writeFile("home/Videos/clip.mov", std::string(1200000, 'v'));
  tmp.writeFile("home/Documents/Reports/annual.pdf", std::string(800000, 'p'));
  tmp.writeFile("home/Documents/letter.docx", std::string(300000, 'd'));
  tmp.writeFile("home/Music/album.flac", std::string(900000, 'a'));
  tmp.writeFile("home/Downloads/archive.zip", std::string(600000, 'z'));
  tmp.writeFile("home/Downloads/photo.jpg", std::string(400000, 'j'));
  tmp.writeFile("home/<i>odd & \"name\".txt", std::string(200000, 't'));
  for (int i = 0; i < 40; ++i) tmp.writeFile("home/Documents/n" + std::to_string(i), "x");
  DiskScan scan(kFeatureID);
  ASSERT_TRUE(scan.run(tmp / "home"));

  const std::string page = tmp / "page.html";
  {
    std::ofstream out(page, std::ios::binary);
    writeDiskTreemapPage(scan.root(), DiskTreemapOptions{}, [&out](std::string_view s) {
      out.write(s.data(), static_cast<std::streamsize>(s.size()));
    });
  }
  const std::string url = "file://" + page;
  // The same page with a script after the page's own that clicks the
  // largest folder, notes the path bar, and zooms out again with Escape.
  const std::string clicking = tmp / "clicking.html";
  {
    std::string html = testing::readFile(page);
    const size_t body = html.rfind("</body>");
    ASSERT_NE(body, std::string::npos);
    html.insert(body, R"(<script>
var box = document.querySelector('g.zoomable[aria-label^="Videos "] rect');
box.dispatchEvent(new MouseEvent("click", {bubbles: true}));
document.body.setAttribute("data-zoomed", document.getElementById("crumbs").textContent);
document.body.setAttribute("data-zoomed-labels", Array.prototype.map.call(
    document.querySelectorAll("#svg text"), function (t) { return t.textContent; }).join("|"));
document.dispatchEvent(new KeyboardEvent("keydown", {key: "Escape"}));
document.body.setAttribute("data-back", document.getElementById("crumbs").textContent);
</script>
)");
    std::ofstream(clicking, std::ios::binary) << html;
  }

  testing::ProgramResult dom =
      runChromium(chromium, tmp, "profile1",
                  {"--enable-logging=stderr", "--v=0", "--dump-dom", "file://" + clicking});
  ASSERT_EQ(dom.exitCode, 0) << dom.err;
  // Every console message (log, error, uncaught exception, failed load) is
  // logged as "...:CONSOLE..."; the page writes none.
  std::smatch console;
  EXPECT_FALSE(std::regex_search(dom.err, console, std::regex(":CONSOLE[^\n]*"))) << console.str();
  // The largest folder has its own group with a heading that names it.
  EXPECT_TRUE(std::regex_search(dom.out, std::regex("<text[^>]*class=\"head\"[^>]*>Videos<")))
      << dom.out.substr(0, 4000);
  EXPECT_TRUE(std::regex_search(dom.out, std::regex("<g data-i=\"[0-9]+\" class=\"node zoomable\" "
                                                    "aria-label=\"Videos 4.2 MB\"")));
  EXPECT_NE(dom.out.find(">holiday.mp4<"), std::string::npos);
  // Names are text, never markup.
  EXPECT_EQ(dom.out.find("><i>odd"), std::string::npos);
  EXPECT_NE(dom.out.find("&lt;i&gt;odd"), std::string::npos);
  EXPECT_NE(dom.out.find("Disk usage of " + tmp / "home"), std::string::npos);
  // Click on a folder zooms into it (its files fill the view); Escape goes
  // back up.
  std::smatch zoomed;
  ASSERT_TRUE(std::regex_search(dom.out, zoomed, std::regex("data-zoomed=\"([^\"]*)\"")));
  EXPECT_NE(zoomed[1].str().find(" / Videos"), std::string::npos) << zoomed[1];
  std::smatch labels;
  ASSERT_TRUE(std::regex_search(dom.out, labels, std::regex("data-zoomed-labels=\"([^\"]*)\"")));
  EXPECT_EQ(labels[1].str().rfind("holiday.mp4|3.0 MB|clip.mov|1.2 MB", 0), 0u) << labels[1];
  std::smatch back;
  ASSERT_TRUE(std::regex_search(dom.out, back, std::regex("data-back=\"([^\"]*)\"")));
  EXPECT_EQ(back[1].str().find("Videos"), std::string::npos) << back[1];

  const char* keep = std::getenv("ORVEXA_TREEMAP_SHOT");
  const std::string shot = keep != nullptr && *keep != '\0' ? std::string(keep) : tmp / "shot.png";
  testing::ProgramResult picture =
      runChromium(chromium, tmp, "profile2", {"--screenshot=" + shot, url});
  ASSERT_EQ(picture.exitCode, 0) << picture.err;
  EXPECT_EQ(testing::readFile(shot).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

}  // namespace
}  // namespace orvexa
