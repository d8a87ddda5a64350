#include "orvexa/platform/url.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;

TEST(UrlTest, RendersAbsoluteStrings) {
  struct Case {
    std::string path;
    bool isDirectory;
    std::string expected;
  };
  const Case cases[] = {
      {"/tmp/a", true, "file:///tmp/a/"},
      {"/tmp/a", false, "file:///tmp/a"},
      {"/tmp/My Folder", true, "file:///tmp/My%20Folder/"},
      {"/tmp/100%", false, "file:///tmp/100%25"},
      {"/tmp/caf\xC3\xA9.txt", false, "file:///tmp/caf%C3%A9.txt"},
      {"/tmp/a?b#c", false, "file:///tmp/a%3Fb%23c"},
      {"/tmp/[x] \"y\" <z>", false, "file:///tmp/%5Bx%5D%20%22y%22%20%3Cz%3E"},
      {"/tmp/a;b=c&d+e@f:g~h,i$j!k'l(m)*", false, "file:///tmp/a;b=c&d+e@f:g~h,i$j!k'l(m)*"},
      {"/tmp/a/", false, "file:///tmp/a/"},  // a written trailing slash names a folder
      {"/tmp/a//", true, "file:///tmp/a/"},
      {"/", true, "file:///"},
      {"/", false, "file:///"},
      {"", false, "file://"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Url::fromPath(c.path, c.isDirectory).absoluteString(), c.expected);
  }
}

TEST(UrlTest, FolderFlagComesFromTheFileSystem) {
  TempDir dir;
  dir.makeDir("My Folder");
  dir.writeFile("file.txt", "x");
  ASSERT_EQ(::symlink((dir / "My Folder").c_str(), (dir / "link").c_str()), 0);

  EXPECT_EQ(Url::fromPath(dir / "My Folder").absoluteString(),
            "file://" + dir.path() + "/My%20Folder/");
  EXPECT_TRUE(Url::fromPath(dir / "link").isDirectory());  // links are followed here
  EXPECT_FALSE(Url::fromPath(dir / "file.txt").isDirectory());
  EXPECT_FALSE(Url::fromPath(dir / "missing").isDirectory());
  EXPECT_TRUE(Url::fromPath(dir / "missing/").isDirectory());
  EXPECT_TRUE(Url::fromPath(dir.path()).appending("My Folder").isDirectory());
  EXPECT_FALSE(Url::fromPath(dir.path()).appending("file.txt").isDirectory());
}

TEST(UrlTest, RelativePathsAreMadeAbsolute) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  Url url = Url::fromPath("some/relative", false);
  EXPECT_EQ(url.path(), std::string(cwd) + "/some/relative");
}

TEST(UrlTest, ParsesFileUrls) {
  struct Case {
    std::string text;
    std::string path;
    bool isDirectory;
  };
  const Case cases[] = {
      {"file:///x/y/", "/x/y", true},
      {"file:///x/y", "/x/y", false},
      {"file:///tmp/My%20Folder/", "/tmp/My Folder", true},
      {"file:///tmp/caf%C3%A9", "/tmp/caf\xC3\xA9", false},
      {"file:///tmp/caf%c3%a9", "/tmp/caf\xC3\xA9", false},
      {"file:///tmp/100%25", "/tmp/100%", false},
      {"file://localhost/etc/hosts", "/etc/hosts", false},
      {"FILE:///Upper", "/Upper", false},
      {"file:/single/slash", "/single/slash", false},
      {"file:///a?query=1#fragment", "/a", false},
      {"file:///a/b//", "/a/b", true},
      {"file:///", "/", true},
      {"file:///Users/NAME/Library/Caches/", "/Users/NAME/Library/Caches", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    bool ok = false;
    Url url = Url::parse(c.text, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(url.path(), c.path);
    EXPECT_EQ(url.isDirectory(), c.isDirectory);
  }
}

TEST(UrlTest, RejectsTextsThatAreNoFileUrls) {
  const std::string cases[] = {
      "",
      "/Library/Logs/",  // a plain path: the caller makes a file URL of it
      "Library/Logs",
      "http://example.com/x",
      "file://server/share/x",
      "file://~/Library/Caches/",
      "file:relative/path",
      "file:",
      "fil",
      "file:///bad%2",
      "file:///bad%zz",
      "file:///bad%",
      "file:///nul%00byte",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    bool ok = true;
    Url url = Url::parse(text, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(url.empty());
  }
}

TEST(UrlTest, PlaceholderRoundTrips) {
  bool ok = false;
  Url url = Url::parse(Url().absoluteString(), &ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(url.empty());
  EXPECT_EQ(Url::fromPath(""), Url());
}

TEST(UrlTest, AbsoluteStringParsesBackToTheSameUrl) {
  const std::string paths[] = {"/tmp/My Folder", "/a%b/c#d?e", "/\xE6\x97\xA5\xE6\x9C\xAC",
                               "/tmp/a;b", "/x/ y /"};
  for (const std::string& path : paths) {
    for (bool folder : {false, true}) {
      SCOPED_TRACE(path + (folder ? " (folder)" : ""));
      Url url = Url::fromPath(path, folder);
      bool ok = false;
      EXPECT_EQ(Url::parse(url.absoluteString(), &ok), url);
      EXPECT_TRUE(ok);
    }
  }
}

TEST(UrlTest, PathComponents) {
  Url file = Url::fromPath("/tmp/a/b.txt", false);
  EXPECT_EQ(file.lastPathComponent(), "b.txt");
  EXPECT_EQ(file.deletingLastPathComponent().absoluteString(), "file:///tmp/a/");
  EXPECT_EQ(Url::fromPath("/tmp", true).deletingLastPathComponent().absoluteString(), "file:///");
  EXPECT_EQ(Url::fromPath("/", true).deletingLastPathComponent().absoluteString(), "file:///");
  EXPECT_EQ(Url::fromPath("/", true).lastPathComponent(), "/");
  EXPECT_EQ(Url().lastPathComponent(), "");

  Url folder = Url::fromPath("/tmp/a", true);
  EXPECT_EQ(folder.appending("c d", false).absoluteString(), "file:///tmp/a/c%20d");
  EXPECT_EQ(folder.appending("e/f/", false).absoluteString(), "file:///tmp/a/e/f/");
  EXPECT_EQ(folder.appending("g", true).absoluteString(), "file:///tmp/a/g/");
  EXPECT_EQ(Url::fromPath("/", true).appending("x", false).path(), "/x");
  EXPECT_EQ(folder.appending("", false), folder);
}

TEST(UrlTest, PercentDecoding) {
  struct Case {
    std::string text;
    bool ok;
    std::string decoded;
  };
  const Case cases[] = {
      {"plain", true, "plain"}, {"a%20b", true, "a b"},
      {"%41%42", true, "AB"},   {"%e2%82%ac", true, "\xE2\x82\xAC"},
      {"%", false, ""},         {"%4", false, ""},
      {"%G1", false, ""},       {"ab%", false, ""},
      {"", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out = "untouched";
    EXPECT_EQ(percentDecode(c.text, &out), c.ok);
    EXPECT_EQ(out, c.ok ? c.decoded : "untouched");
  }
}

TEST(UrlTest, EqualityAndOrderIncludeTheFolderFlag) {
  EXPECT_NE(Url::fromPath("/a", true), Url::fromPath("/a", false));
  EXPECT_LT(Url::fromPath("/a", false), Url::fromPath("/a", true));
  EXPECT_LT(Url::fromPath("/a", true), Url::fromPath("/b", false));
  EXPECT_NE(std::hash<Url>()(Url::fromPath("/a", true)),
            std::hash<Url>()(Url::fromPath("/a", false)));
}

TEST(UrlTest, KeepsAddressesOfOtherSchemesAsWritten) {
  struct Case {
    std::string text;
    std::string scheme;
    std::string path;
    bool isDirectory;
    std::string lastPathComponent;
  };
  const Case cases[] = {
      {"https://example.com/a?b", "https", "/a", false, "a"},
      {"https://example.com/", "https", "/", true, "/"},
      {"https://example.com", "https", "", false, ""},
      {"https://example.com?q=1", "https", "", false, ""},
      {"http://user@host:8080/a/b/#frag", "http", "/a/b", true, "b"},
      {"HTTPS://Example.com/Docs/My%20Page.html?x=%zz#top", "https", "/Docs/My Page.html", false,
       "My Page.html"},
      {"https://search.example/?q=x", "https", "/", true, "/"},
      {"https://caf\xC3\xA9.example/\xE6\x97\xA5", "https", "/\xE6\x97\xA5", false, "\xE6\x97\xA5"},
      {"about:blank", "about", "", false, ""},
      {"mailto:me@example.com?subject=hi", "mailto", "", false, ""},
      {"data:text/html,<b>", "data", "", false, ""},
      {"chrome-extension://abc/popup.html", "chrome-extension", "/popup.html", false, "popup.html"},
      {"news:/comp/lang", "news", "/comp/lang", false, "lang"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    bool ok = false;
    Url url = Url::fromString(c.text, &ok);
    if (c.text.find('<') != std::string::npos) {
      EXPECT_FALSE(ok);  // no address is written with "<"
      EXPECT_TRUE(url.empty());
      continue;
    }
    EXPECT_TRUE(ok);
    EXPECT_FALSE(url.isFileURL());
    EXPECT_FALSE(url.empty());
    EXPECT_EQ(url.scheme(), c.scheme);
    EXPECT_EQ(url.absoluteString(), c.text);
    EXPECT_EQ(url.path(), c.path);
    EXPECT_EQ(url.isDirectory(), c.isDirectory);
    EXPECT_EQ(url.lastPathComponent(), c.lastPathComponent);
    // Parsing is only for file addresses.
    EXPECT_FALSE(Url::parse(c.text, &ok).isFileURL() && ok);
  }
}

TEST(UrlTest, FileAddressesFromStringAreFileUrls) {
  const std::string cases[] = {"file:///tmp/My%20Folder/", "FILE:///Upper", "file:///a?q#f",
                               "file://localhost/etc/hosts", "file://"};
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    bool okString = false;
    bool okParse = false;
    Url url = Url::fromString(text, &okString);
    EXPECT_EQ(url, Url::parse(text, &okParse));
    EXPECT_EQ(okString, okParse);
    EXPECT_TRUE(url.isFileURL());
    EXPECT_EQ(url.scheme(), "file");
  }
  EXPECT_TRUE(Url().isFileURL());
  EXPECT_EQ(Url::fromPath("/tmp/x", false).scheme(), "file");
}

TEST(UrlTest, TextsThatAreNoAddressGiveThePlaceholder) {
  const std::string cases[] = {
      "",
      "example.com/a",  // no scheme
      "/Users/tester/a.zip",
      ":nothing",
      "1http://x/",  // a scheme starts with a letter
      "ht tp://x/",
      "https://example.com/a b",
      "https://example.com/\tb",
      "https://example.com/a\nb",
      "https://example.com/a\x7F",
      "https://example.com/a\"b\"",
      "https://example.com/a\\b",
      "https://example.com/bad%2",
      "https://example.com/bad%zz",
      "https://example.com/nul%00",
      "file://server/share/x",  // a file address on another host
      "file:relative",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    bool ok = true;
    Url url = Url::fromString(text, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(url.empty());
    EXPECT_TRUE(url.isFileURL());
    EXPECT_EQ(url.absoluteString(), "file://");
  }
}

TEST(UrlTest, PathOperationsOnAddressesKeepQueryAndFragment) {
  Url page = Url::fromString("https://h.example/a/b?q=1#f");
  EXPECT_EQ(page.appending("c d", false).absoluteString(), "https://h.example/a/b/c%20d?q=1#f");
  EXPECT_EQ(page.appending("x?y", true).absoluteString(), "https://h.example/a/b/x%3Fy/?q=1#f");
  EXPECT_EQ(page.appending("c").path(), "/a/b/c");
  EXPECT_FALSE(page.appending("c").isFileURL());
  EXPECT_EQ(page.appending("", false), page);
  EXPECT_EQ(page.deletingLastPathComponent().absoluteString(), "https://h.example/a/?q=1#f");
  EXPECT_EQ(page.deletingLastPathComponent().deletingLastPathComponent().absoluteString(),
            "https://h.example/?q=1#f");
  EXPECT_EQ(Url::fromString("https://h.example/a/").deletingLastPathComponent().absoluteString(),
            "https://h.example/");
  EXPECT_EQ(Url::fromString("https://h.example").appending("x", false).absoluteString(),
            "https://h.example/x");
  Url blank = Url::fromString("about:blank");
  EXPECT_EQ(blank.appending("x", false), blank);
  EXPECT_EQ(blank.deletingLastPathComponent(), blank);
}

TEST(UrlTest, AddressesAreDistinctFromFileUrlsOfTheirPath) {
  Url web = Url::fromString("https://example.com/tmp/a");
  Url file = Url::fromPath("/tmp/a", false);
  ASSERT_EQ(web.path(), file.path());
  EXPECT_NE(web, file);
  EXPECT_LT(file, web);  // file URLs first
  EXPECT_NE(std::hash<Url>()(web), std::hash<Url>()(file));
  EXPECT_EQ(web, Url::fromString("https://example.com/tmp/a"));
  EXPECT_EQ(std::hash<Url>()(web), std::hash<Url>()(Url::fromString("https://example.com/tmp/a")));
  EXPECT_NE(web, Url::fromString("https://example.com/tmp/a?x"));
  EXPECT_NE(web, Url::fromString("http://example.com/tmp/a"));
  EXPECT_LT(Url::fromString("https://a.example/"), Url::fromString("https://b.example/"));
}

}  // namespace
}  // namespace orvexa
