#include "orvexa/platform/plist.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/user_defaults.h"
#include "support/plist_values.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::plistDict;
using namespace std::string_literals;

// 2024-01-02T03:04:05Z
constexpr double kJan2 = 1704164645.0;

PlistValue everyType(bool withUid, double date) {
  // clang-format off
  PlistValue root = plistDict({{"zeta string", "h\xC3\xA9llo <&> \xE2\x82\xAC"}, {"alpha int", int64_t{42}},
      {"min", std::numeric_limits<int64_t>::min()}, {"max", std::numeric_limits<int64_t>::max()}, {"real", 3.25},
      {"true", true}, {"date", PlistValue::DateValue{date}}, {"data", PlistValue::Data{0x00, 0xFF, 0x10, 0x00, 0x7F}},
      {"array", PlistValue(PlistValue::Array{"one", 2, plistDict({{"empty array", PlistValue::array()}, {"empty dict", PlistValue::dictionary()}})})}});
  // clang-format on
  if (withUid) root.set("uid", PlistValue::Uid{7});
  return root;
}

// A binary list made by hand: `objects` in order, object 0 the top, offsets
// and references `width` bytes wide.
std::string handMadeBinaryList(const std::vector<std::string>& objects, unsigned width = 1) {
  auto bigEndian = [](uint64_t v, unsigned bytes) {
    std::string out;
    for (unsigned i = bytes; i-- > 0;) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
  };
  std::string bytes = "bplist00", offsets;
  for (const std::string& o : objects) {
    offsets += bigEndian(bytes.size(), width);
    bytes += o;
  }
  // The trailer: 6 unused bytes, the offset and reference widths, the number
  // of objects, the top object, where the offset table starts.
  return bytes + offsets + std::string(6, '\0') + static_cast<char>(width) +
         static_cast<char>(width) + bigEndian(objects.size(), 8) + bigEndian(0, 8) +
         bigEndian(bytes.size(), 8);
}

// Binary keeps microseconds and UIDs; XML dates have whole seconds only.
TEST(PlistTest, RoundTripRepeatedKeysFilesAndTheUserDefaultsFile) {
  for (PlistFormat format : {PlistFormat::Binary, PlistFormat::Xml}) {
    const bool binary = format == PlistFormat::Binary;
    const PlistValue original = everyType(binary, binary ? kJan2 + 0.25 : kJan2);
    const std::string bytes = writePlist(original, format);
    EXPECT_TRUE(binary ? bytes.rfind("bplist00", 0) == 0
                       : bytes.find("<date>2024-01-02T03:04:05Z</date>") != std::string::npos);
    std::string error;
    const std::optional<PlistValue> back = readPlist(bytes, &error);
    EXPECT_EQ(back, original) << error;  // dictionaries compare in key order
  }

  // One date object, 725857445 seconds after 2001-01-01 as a big-endian double.
  EXPECT_EQ(readPlist(handMadeBinaryList({std::string("\x33\x41\xC5\xA1\xDA\x52\x80\x00\x00", 9)})),
            PlistValue(PlistValue::DateValue{kJan2}));

  // Errors name the path. (Files are written by the atomic writer, whose
  // privacy_support_test checks the mode kept and nothing left behind; the
  // user defaults below read a written file back; a file that is no
  // list is named in the system scan test's error.)
  testing::TempDir dir;
  const std::string path = dir / "missing/prefs.plist";
  std::string error;
  EXPECT_FALSE(writePlistFile(path, everyType(true, kJan2), PlistFormat::Xml, &error));
  EXPECT_EQ(error, path + ": No such file or directory");

  // A repeated key keeps its first place and takes the last value, when read
  // and when set again.
  std::optional<PlistValue> value = readPlist(
      "<plist version=\"1.0\"><dict><key>zeta</key><integer>1</integer><key>alpha</key>"
      "<integer>-5</integer><key>mid</key><string>x</string><key>zeta</key><integer>9</integer>"
      "</dict></plist>");
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, plistDict({{"zeta", 9}, {"alpha", -5}, {"mid", "x"}}));
  value->set("zeta", "replaced");
  EXPECT_EQ(*value, plistDict({{"zeta", "replaced"}, {"alpha", -5}, {"mid", "x"}}));

  // Another object reads what one wrote (a binary list); a file that is not a
  // property list reads as empty and is replaced. Setting, removing and the
  // host's file: privilege_helper_test.
  testing::Sandbox sb;
  Identity::shared().setBundleIdentifier("org.example.host");
  UserDefaults& defaults = UserDefaults::standard();
  ASSERT_TRUE(defaults.set("helper-Install", "1.2") && defaults.set("count", 3) &&
              defaults.set("helper-Install", "1.3"));
  EXPECT_EQ(testing::readFile(defaults.path()).substr(0, 8), "bplist00");
  EXPECT_EQ(UserDefaults(defaults.path()).string("helper-Install"), "1.3");
  EXPECT_FALSE(defaults.string("count")) << "not a text";

  UserDefaults broken(sb.file("/broken.plist", "not a plist"));
  EXPECT_FALSE(broken.object("count"));
  EXPECT_TRUE(broken.set("count", 1) && broken.object("count") == PlistValue(1));

  Identity::shared().setBundleIdentifier("");
  EXPECT_EQ(defaults.path(), sb.path("~/Library/Preferences/Defaults.plist"));
}

std::string utf16(std::string_view ascii, bool bigEndian, bool mark) {
  std::string out = mark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (char c : ascii) out += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
  return out;
}

// XML as real Info.plist files hold it is read; nesting is refused past the
// limit whatever the encoding. `value` is the text under "k"; empty: refused.
TEST(PlistTest, SloppyXmlIsReadMalformedInputAndListsTheParserCannotTakeAreRefused) {
  auto doc = [](std::string_view text) {
    return "<plist version=\"1.0\"><dict><key>k</key><string>" + std::string(text) +
           "</string></dict></plist>";
  };
  auto nested = [](int depth) {
    std::string xml = "<plist>";
    for (int i = 0; i < depth; ++i) xml += "<array>";
    for (int i = 0; i < depth; ++i) xml += "</array>";
    return xml + "</plist>";
  };
  EXPECT_TRUE(readPlist(nested(100)));
  // 200,000 levels behind a "<!--" the reader does not take as a comment.
  auto hidden = [&](std::string_view before) {
    return "<plist>" + std::string(before) + nested(200000).substr(7) + "<!-- -->";
  };
  const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n";
  // clang-format off
  const std::tuple<const char*, std::string, std::string> sloppy[] = {
      {"UTF-16 LE", utf16(decl + doc("a & b"), false, true), "a & b"},
      {"UTF-16 BE", utf16(decl + doc("b"), true, true), "b"},
      {"UTF-16 BE without mark", utf16("\n" + doc("c"), true, false), "c"},
      {"UTF-16 surrogate pair, odd last byte", "\xFF\xFE" + utf16(doc("_"), false, false).replace(94, 2, "\x3D\xD8\x00\xDE"s) + "x", "\xF0\x9F\x98\x80"},
      {"UTF-8 mark, leading blanks", "\xEF\xBB\xBF\n  " + doc("e"), "e"},
      {"bare &", doc("Tom & Jerry &amp; &#38; &#x26; &nbsp; &#;"), "Tom & Jerry & & & &nbsp; &#;"},
      {"& in a comment and CDATA", "<plist><!-- a & b --><dict><key>k</key><string><![CDATA[x &amp; y]]></string></dict></plist>", "x &amp; y"},
      {"garbage after the root", doc("f") + "\n\0\0<dict><dict><dict> & junk"s, "f"},
      {"no declaration", doc("g"), "g"},
      {"600 levels", nested(600), ""},
      {"600 levels in UTF-16", utf16(nested(600), false, true), ""},
      {"DOCTYPE with an internal subset", "<!DOCTYPE plist [<!ENTITY x \"]>\"><!-- ]> -->]>" + doc("h"), "h"},
      {"<!-- in a processing instruction", hidden("<?x <!-- ?>"), ""},
      {"<!-- in a DOCTYPE", hidden("<!DOCTYPE plist [<!ENTITY e \"<!--\">]>"), ""},
      {"<!-- in an attribute", hidden("<dict a=\"<!--\"><key>k</key>"), ""},
  };
  // clang-format on
  for (const auto& [name, bytes, value] : sloppy) {
    SCOPED_TRACE(name);
    std::string error;
    std::optional<PlistValue> v = readPlist(bytes, &error);
    const PlistValue* k = v ? v->find("k") : nullptr;
    EXPECT_EQ(k && k->asString() ? *k->asString() : error,
              value.empty() ? "nesting deeper than 512 levels" : value);
  }

  // Malformed input gives nothing with a reason; lists the property-list
  // library would abort on, loop over or recurse too deep into are refused
  // before it sees them.
  const std::string good = writePlist(everyType(true, kJan2), PlistFormat::Binary);
  const std::string dictOfOneKey("\xD1\x01\x02", 3);
  const std::string value("\x51v", 2);
  std::vector<std::string> chain;
  for (uint32_t i = 1; i <= 200000; ++i)
    chain.push_back(std::string("\xA1", 1) +
                    std::string{static_cast<char>(i >> 24), static_cast<char>(i >> 16),
                                static_cast<char>(i >> 8), static_cast<char>(i)});
  chain.push_back("\x51x");
  std::vector<std::string> bomb;
  for (char i = 1; i <= 40; ++i) bomb.push_back({'\xA2', '\0', i, '\0', i});
  bomb.push_back("\x51x");
  const std::string binary = "malformed binary property list";
  // clang-format off
  std::vector<std::pair<std::string, std::string>> cases = {
      {"", "empty input"},
      {"hello, world", "not an XML or binary property list"},
      {"<?xml version=\"1.0\"?><plist><array><string>x</string>", "malformed XML property list"},
      {"bplist00", binary},
      {handMadeBinaryList({std::string("\xA1\x00", 2)}), binary},  // an array holding itself
      {handMadeBinaryList({std::string("\xA1\x05", 2)}), binary},  // a reference past the table
      {handMadeBinaryList({dictOfOneKey, std::string("\x53\x61\0b", 4), value}), "a dictionary key holds NUL"},
      {handMadeBinaryList({dictOfOneKey, std::string("\x62\x00\x61\x00\x00", 5), value}), "a dictionary key holds NUL"},
      {handMadeBinaryList(chain, 4), "nesting deeper than 512 levels"},
      {handMadeBinaryList(bomb, 2), "more than 1048576 objects once expanded"},  // 40 arrays each holding the next twice
  };
  // clang-format on
  for (size_t length :
       {9ul, 16ul, good.size() / 2, good.size() - 33, good.size() - 8, good.size() - 1})
    cases.push_back({good.substr(0, length), binary});
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string error;
    EXPECT_EQ(readPlist(cases[i].first, &error) ? "read" : error, cases[i].second) << "row " << i;
  }
  // The same dictionary with a plain key is read.
  EXPECT_EQ(readPlist(handMadeBinaryList({dictOfOneKey, std::string("\x51k", 2), value})),
            plistDict({{"k", "v"}}));
}

}  // namespace
}  // namespace orvexa
