#include "scan/privacy/privacy_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "orvexa/platform/file_writer.h"
#include "support/browser_store_fixture.h"
#include "support/sandbox.h"

namespace orvexa::privacy {
namespace {

// Numbers: the longest number at the front; integers: the whole text.
TEST(PrivacySupportTest, TextsReadAsNumbers) {
  const std::pair<const char*, double> cases[] = {
      {"  -12.5e1", -125}, {"+7", 7}, {"42abc", 42}, {"1e400", HUGE_VAL}, {"-1e400", -HUGE_VAL}};
  for (const auto& [text, value] : cases) EXPECT_EQ(numberFromText(text), value) << text;
  for (const char* zero : {"abc", "", "+-5", "1e-400"}) EXPECT_EQ(numberFromText(zero), 0) << zero;
  // An absent column reads as "1".
  EXPECT_EQ(std::pair(number(SqlRow{{"a", "5"}}, "b"), number(SqlRow{{"a", "5"}}, "a")),
            std::pair(1.0, 5.0));
  EXPECT_EQ((std::vector{integerFromText("0"), integerFromText("-9223372036854775808"),
                         integerFromText("+12")}),
            (std::vector<std::optional<int64_t>>{0, INT64_MIN, 12}));
  for (const char* bad : {"", "+", "+-1", "1.5", " 1", "9223372036854775808", "1 OR 1=1"})
    EXPECT_EQ(integerFromText(bad), std::nullopt) << bad;
}

TEST(PrivacySupportTest, DatesFromSeconds) {
  using testing::unixSeconds;
  const int64_t now = unixSeconds(std::chrono::system_clock::now());
  EXPECT_EQ(dateFromSeconds(1.9999, true).time_since_epoch(), std::chrono::seconds(1));
  EXPECT_EQ(dateFromSeconds(-1.5, true).time_since_epoch(), std::chrono::seconds(-1));
  EXPECT_EQ(dateFromSeconds(-1.5, false).time_since_epoch(), std::chrono::milliseconds(-1500));
  EXPECT_EQ(dateFromSeconds(1600000000.123, false).time_since_epoch(),
            std::chrono::milliseconds(1600000000123));
  // What a date cannot hold gives the current date.
  for (double bad : {HUGE_VAL, -HUGE_VAL, std::nan(""), 1e19, -1e12, chromeSeconds(1)}) {
    for (bool whole : {true, false})
      EXPECT_LE(std::abs(unixSeconds(dateFromSeconds(bad, whole)) - now), 60) << bad << whole;
  }
}

TEST(PrivacySupportTest, LastPathComponentOfTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://accounts.example/", "accounts.example"},
      {"/Users/tester/Downloads/a.zip", "a.zip"},
      {".example.com", ".example.com"},
      {"/", "/"},
      {"", ""}};
  for (auto [text, last] : cases) EXPECT_EQ(lastPathComponent(text), last) << text;
}

TEST(PrivacySupportTest, StoredAddressesAndPaths) {
  // "text -> urlFromText|downloadUrl|localPath of the download"; "" for file://.
  const std::pair<const char*, const char*> cases[] = {
      {"https://example.com/a?b#c", "https://example.com/a?b#c|https://example.com/a?b#c|"},
      {"file:///Users/tester/a%20b.zip",
       "file:///Users/tester/a%20b.zip|file:///Users/tester/a%20b.zip|/Users/tester/a b.zip"},
      {"/Users/tester/a b.zip", "|file:///Users/tester/a%20b.zip|/Users/tester/a b.zip"},
      // Not absolute: never a file below the working folder.
      {"UTF-8", "||"},
      {"~/Downloads/a.zip", "||"},
      {"file:///broken%", "||"},
      {"https://bad host/", "||"}};
  const auto text = [](const Url& url) {
    return url.absoluteString() == "file://" ? std::string() : url.absoluteString();
  };
  for (const auto& [stored, expected] : cases) {
    const Url download = downloadUrl(stored);
    EXPECT_EQ(text(urlFromText(stored)) + "|" + text(download) + "|" + localPath(download),
              expected)
        << stored;
  }
}

// Case-blind lookup, absent names kept as written; the exact name wins.
TEST(PrivacySupportTest, StoreNamesAreFoundWithoutRegardToCase) {
  testing::Sandbox sb;
  sb.file("~/Library/Application Support/Google/Chrome/Default/Cookies", 1);
  const std::string chrome = sb.path("~/Library/Application Support/Google/Chrome");
  EXPECT_EQ(std::pair(chromeStore("default", "COOKIES"), chromeStore("Default", "login Data")),
            std::pair(chrome + "/Default/Cookies", chrome + "/Default/login Data"));
  sb.file("~/Library/Application Support/Google/Chrome/Default/cookies", 1);
  EXPECT_EQ(chromeStore("Default", "cookies"), chrome + "/Default/cookies");
}

TEST(PrivacySupportTest, AtomicWritesReplaceWholeFiles) {
  namespace fs = std::filesystem;
  testing::Sandbox sb;
  const std::string path = sb.file("~/data.json", "old");
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(path, mode);
  EXPECT_TRUE(writeFileAtomically(path, "new content").ok());
  EXPECT_EQ(std::pair(testing::readFile(path), fs::status(path).permissions() & fs::perms::all),
            std::pair(std::string("new content"), mode));
  // A folder in the way: nothing is written and no temporary file remains.
  const std::string folder = sb.dir("~/in-the-way");
  EXPECT_FALSE(writeFileAtomically(folder, "x").ok());
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_FALSE(writeFileAtomically(sb.path("~/missing/x.json"), "x").ok());
  const auto entries = std::distance(fs::directory_iterator(sb.home()), {});
  EXPECT_EQ(entries, 2);  // data.json, in-the-way
}

}  // namespace
}  // namespace orvexa::privacy
