#include "orvexa/platform/url.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

// fromPath renders the text (when `rendered`), and the text parses (and
// fromString reads it) back to the same URL.
TEST(UrlTest, RendersAndParsesFileUrlsAndRejectsTextsThatAreNoUrl) {
  // Rows: path, folder flag, text, whether fromPath renders it.
  const std::tuple<std::string, bool, std::string, bool> cases[] = {
      {"/tmp/My Folder", true, "file:///tmp/My%20Folder/", true},
      {"/tmp/100%", false, "file:///tmp/100%25", true},
      {"/tmp/a?b#c", false, "file:///tmp/a%3Fb%23c", true},
      {"/tmp/a;b=c&d+e@f:g~h,i$j!k'l(m)*", false, "file:///tmp/a;b=c&d+e@f:g~h,i$j!k'l(m)*", true},
      {"/tmp/a//", true, "file:///tmp/a/", true},
      {"/tmp/a/", false, "file:///tmp/a/", true},  // a written trailing slash names a folder
      {"/", true, "file:///", true},
      {"", false, "file://", true},
      {"/tmp/caf\xC3\xA9", false, "file:///tmp/caf%c3%a9", false},
      {"/etc/hosts", false, "file://localhost/etc/hosts", false},
      {"/Upper", false, "FILE:///Upper", false},
      {"/single/slash", false, "file:/single/slash", false},
      {"/a", false, "file:///a?query=1#fragment", false},
      {"/a/b", true, "file:///a/b//", false},
  };
  for (const auto& [path, isDirectory, text, rendered] : cases) {
    SCOPED_TRACE(text);
    const Url url = Url::fromPath(path, isDirectory);
    EXPECT_EQ(url.absoluteString() == text, rendered);
    bool ok = false;
    EXPECT_TRUE(Url::parse(text, &ok) == url && ok && Url::fromString(text) == url);
  }

  // parse() takes file URLs only; fromString() any address ("http://..."
  // here), and gives the placeholder "file://" for what is none: a plain path,
  // a file address on another host or with a relative path, a bad or NUL
  // escape, a missing or malformed scheme, a blank, control character,
  // backslash or "<".
  // clang-format off
  const std::string texts[] = {
      "", "/Library/Logs/", "file://server/share/x", "file://~/Library/Caches/", "file:",
      "file:relative/path", "file:///bad%", "file:///bad%2", "file:///bad%zz", "file:///nul%00byte",
      ":nothing", "https://example.com/bad%zz", "1http://x/", "ht tp://x/",
      "https://example.com/a b", "https://example.com/a\x7F", "https://example.com/a\\b", "data:text/html,<b>",
      "https://example.com/nul%00", "http://example.com/x"};
  // clang-format on
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    bool ok = true;
    EXPECT_TRUE(Url::parse(text, &ok).empty() && !ok);
    const bool address = text == "http://example.com/x";
    EXPECT_EQ(Url::fromString(text, &ok).absoluteString() == "file://", !address);
    EXPECT_EQ(ok, address);
  }
}

TEST(UrlTest, FolderFlagPathComponentsCopiesAndOrderOfFilesAndAddresses) {
  const Url file = Url::fromPath("/tmp/a/b.txt", false);
  const Url folder = Url::fromPath("/tmp/a", true);
  const Url root = Url::fromPath("/", true);
  const Url page = Url::fromString("https://h.example/a/b?q=1#f");
  const Url blank = Url::fromString("about:blank");
  EXPECT_EQ(file.lastPathComponent() + "|" + root.lastPathComponent() + "|" +
                Url().lastPathComponent() + "|" + page.appending("c").path(),
            "b.txt|/||/a/b/c");
  // On addresses of other schemes, query and fragment are kept. (No caller
  // derives web addresses: one row of each kind.)
  const std::pair<Url, std::string> derived[] = {
      {file.deletingLastPathComponent(), "file:///tmp/a/"},
      {Url::fromPath("/tmp", true).deletingLastPathComponent(), "file:///"},
      {root.deletingLastPathComponent(), "file:///"},
      {folder.appending("e/f/", false), "file:///tmp/a/e/f/"},
      {folder.appending("g", true), "file:///tmp/a/g/"},
      {folder.appending("", false), "file:///tmp/a/"},
      {root.appending("x", false), "file:///x"},
      {page.appending("x?y", true), "https://h.example/a/b/x%3Fy/?q=1#f"},
      {page.deletingLastPathComponent(), "https://h.example/a/?q=1#f"},
      {blank.appending("x", false), "about:blank"},
  };
  for (const auto& [url, text] : derived) EXPECT_EQ(url.absoluteString(), text);

  // The folder flag comes from the file system, following links; relative
  // paths are made absolute.
  testing::TempDir dir;
  dir.makeDir("My Folder");
  dir.writeFile("file.txt", "x");
  std::filesystem::create_directory_symlink(dir / "My Folder", dir / "link");
  std::string flags;
  for (const Url& url : {Url::fromPath(dir / "link"), Url::fromPath(dir / "file.txt"),
                         Url::fromPath(dir / "missing"), Url::fromPath(dir / "missing/"),
                         Url::fromPath(dir.path()).appending("My Folder"),
                         Url::fromPath(dir.path()).appending("file.txt")})
    flags += url.isDirectory() ? "d" : "-";
  EXPECT_EQ(flags, "d--dd-");
  EXPECT_EQ(Url::fromPath("some/relative", false).path(),
            std::filesystem::current_path().string() + "/some/relative");

  // The folder flag and a web address share one word: copies, moves and
  // assignments must carry both and leave no address shared or leaked.
  const Url web = Url::fromString("https://example.com/a/b/?q");
  Url copy = web;
  Url moved = std::move(copy);
  Url target = Url::fromPath("/tmp", true);
  target = moved;  // a file URL takes an address
  const Url& self = target;
  target = self;
  moved = std::move(moved);  // NOLINT: self-move keeps the value
  for (const Url* url : {&moved, &target})
    EXPECT_TRUE(*url == web && url->absoluteString() == "https://example.com/a/b/?q" &&
                url->isDirectory());
  target = Url::fromPath("/tmp/x", false);  // and gives it back
  EXPECT_TRUE(target.isFileURL() && !target.isDirectory() &&
              target.absoluteString() == "file:///tmp/x");

  // Each URL sorts before the next and differs from every other, hash too.
  // clang-format off
  const Url ordered[] = {
      Url::fromPath("/a", false), Url::fromPath("/a", true), Url::fromPath("/b", false),
      Url::fromPath("/tmp/a", false), Url::fromString("http://example.com/tmp/a"),
      Url::fromString("https://a.example/"), Url::fromString("https://example.com/tmp/a"),
      Url::fromString("https://example.com/tmp/a?x")};
  // clang-format on
  for (size_t i = 0; i < std::size(ordered); ++i) {
    for (size_t j = 0; j < std::size(ordered); ++j) {
      SCOPED_TRACE(ordered[i].absoluteString() + " " + ordered[j].absoluteString());
      EXPECT_EQ(ordered[i] < ordered[j], i < j);
      EXPECT_EQ(ordered[i] == ordered[j], i == j);
      EXPECT_EQ(std::hash<Url>()(ordered[i]) == std::hash<Url>()(ordered[j]), i == j);
    }
  }
  EXPECT_EQ(std::hash<Url>()(ordered[6]),
            std::hash<Url>()(Url::fromString(ordered[6].absoluteString())));

  // Each address as "scheme|path|last path component", "/" ending a folder's.
  const std::pair<std::string, std::string> cases[] = {
      {"https://example.com/", "https|/|//"},
      {"https://example.com", "https||"},
      {"http://user@host:8080/a/b/#frag", "http|/a/b|b/"},
      {"HTTPS://Example.com/Docs/My%20Page.html?x=%zz#top",
       "https|/Docs/My Page.html|My Page.html"},
      {"https://caf\xC3\xA9.example/\xE6\x97\xA5", "https|/\xE6\x97\xA5|\xE6\x97\xA5"},
      {"about:blank", "about||"},
      {"news:/comp/lang", "news|/comp/lang|lang"},
  };
  for (const auto& [text, parts] : cases) {
    bool ok = false;
    const Url url = Url::fromString(text, &ok);
    EXPECT_TRUE(ok && !url.isFileURL()) << text;
    EXPECT_EQ(url.absoluteString() + " " + url.scheme() + "|" + url.path() + "|" +
                  url.lastPathComponent() + (url.isDirectory() ? "/" : ""),
              text + " " + parts);
  }
}

}  // namespace
}  // namespace orvexa
