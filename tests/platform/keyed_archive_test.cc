#include "orvexa/platform/keyed_archive.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "support/plist_values.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using ::testing::HasSubstr;
using testing::plistDict;

PlistValue uid(uint64_t n) { return PlistValue(PlistValue::Uid{n}); }

// An array of references to the objects numbered `ids`.
PlistValue refs(const std::vector<uint64_t>& ids) {
  PlistValue::Array list;
  for (uint64_t id : ids) list.push_back(uid(id));
  return PlistValue(std::move(list));
}

PlistValue classObject(const std::string& name) {
  return plistDict(
      {{"$classes", PlistValue(PlistValue::Array{name, "NSObject"})}, {"$classname", name}});
}

// An archive as another program writes it: `objects` follows the "$null"
// placeholder at 0, the root is object 1.
PlistValue archiveOf(std::vector<PlistValue> objects, uint64_t root = 1) {
  PlistValue::Array all{PlistValue("$null")};
  for (PlistValue& o : objects) all.push_back(std::move(o));
  return plistDict({{"$version", PlistValue(int64_t{100000})},
                    {"$archiver", "NSKeyedArchiver"},
                    {"$top", plistDict({{"root", uid(root)}})},
                    {"$objects", PlistValue(std::move(all))}});
}

// The error of each refused value, "encoded" for one that is not refused.
std::string refusal(const PlistValue& value) {
  std::string error;
  return archivedDataWithRootObject(value, &error) ? "encoded" : error;
}

// Every value comes back (a cut archive is refused by the property-list
// reader already). (A recent-items list, dictionaries in an array in a
// dictionary, goes through the privacy scan and clean tests.)
TEST(KeyedArchiveTest, EncodesInTheArchiverLayoutReadsOtherWritersAndRefusesMalformedArchives) {
  // clang-format off
  const PlistValue cases[] = {
      PlistValue::dictionary(),
      PlistValue(PlistValue::Array{PlistValue(int64_t{-5}), PlistValue(int64_t{INT64_MAX}), PlistValue(0.125), PlistValue(false), PlistValue("")}),
      PlistValue(PlistValue::Array{"$null", "x", "$null"}),  // reads as nil when inline
      plistDict({{"a", "same"}, {"b", "same"}, {"same", "same"}}),
      PlistValue(PlistValue::Array{PlistValue(PlistValue::DateValue{978307200}), PlistValue(PlistValue::DateValue{0})}),
      PlistValue(PlistValue::Data{0, 255, 10}),
      PlistValue("a plain string root"),
  };
  // clang-format on
  for (const PlistValue& value : cases) {
    SCOPED_TRACE(writePlist(value, PlistFormat::Xml));
    std::string error;
    std::optional<std::string> bytes = archivedDataWithRootObject(value, &error);
    ASSERT_TRUE(bytes) << error;
    EXPECT_EQ(unarchiveObjectWithData(*bytes, &error), value) << error;
  }

  // What the system's unarchiver expects to find; shared values are stored once.
  const std::optional<PlistValue> archive =
      readPlist(archivedDataWithRootObject(plistDict({{"k", "v"}, {"w", "v"}})).value_or(""));
  ASSERT_TRUE(archive);
  EXPECT_EQ(archive->find("$version")->asInteger(), 100000);
  const PlistValue::Array& objects = *archive->find("$objects")->asArray();
  const PlistValue& instance = objects[archive->find("$top")->find("root")->asUid()->value];
  EXPECT_EQ(*objects[instance.find("$class")->asUid()->value].find("$classname"),
            PlistValue("NSDictionary"));
  EXPECT_EQ(std::count(objects.begin(), objects.end(), PlistValue("v")), 1);

  // An archive as the system's archiver writes it, in the XML form (UIDs as
  // {"CF$UID": n} dictionaries; the binary form's UIDs: the tests around).
  // clang-format off
  const PlistValue expected = plistDict({{"name", "wrapped"}, {"list", PlistValue(PlistValue::Array{PlistValue(int64_t{7}), PlistValue(true)})},
      {"uuid", "6F9619FF-8B86-D011-B42D-00C04FC964FF"}, {"when", PlistValue(PlistValue::DateValue{978307200})},
      {"url", "file:///Users/tester/Documents/"}, {"blob", PlistValue(PlistValue::Data{1, 2})}, {"again", "wrapped"}});
  // clang-format on
  const std::string xml = testing::testData("platform/other_writers_archive.plist");
  std::string error;
  EXPECT_EQ(unarchiveObjectWithData(xml, &error), expected) << error;

  // Values no archive holds cannot be encoded.
  EXPECT_THAT(refusal(plistDict({{"ref", uid(3)}})), HasSubstr("UID"));
  // Texts the property-list writer would not store unchanged.
  for (const std::string& text : {std::string("bad \xff byte"), std::string("nul\0inside", 10)}) {
    EXPECT_THAT(refusal(PlistValue(text)), HasSubstr("not valid UTF-8 or holds NUL")) << text;
    EXPECT_THAT(refusal(plistDict({{text, "value"}})), HasSubstr("not valid UTF-8")) << text;
  }
  PlistValue deep("leaf");
  for (int i = 0; i < 120; ++i) deep = PlistValue(PlistValue::Array{deep});
  EXPECT_THAT(refusal(deep), HasSubstr("nesting deeper than 100"));

  // Malformed archives are errors.
  const PlistValue dictClass = classObject("NSDictionary");
  const PlistValue arrayClass = classObject("NSArray");
  auto array = [](const std::vector<uint64_t>& ids, uint64_t cls) {
    return plistDict({{"NS.objects", refs(ids)}, {"$class", uid(cls)}});
  };
  // An instance of the class that is object 2.
  auto of2 = [](std::initializer_list<PlistValue::Entry> entries) {
    PlistValue object = plistDict(entries);
    object.set("$class", uid(2));
    return object;
  };
  auto url = [&of2](uint64_t base) {
    return of2({{"NS.base", uid(base)}, {"NS.relative", uid(3)}});
  };
  // Arrays 1..n, each holding the next one `fanOut` times, then their class.
  auto chain = [&array](uint64_t n, size_t fanOut) {
    std::vector<PlistValue> chained;
    for (uint64_t i = 1; i <= n; ++i)
      chained.push_back(array(std::vector<uint64_t>(i < n ? fanOut : 0, i + 1), n + 1));
    chained.push_back(classObject("NSArray"));
    return archiveOf(chained);
  };
  // A long text referenced from many places.
  PlistValue sharedText =
      archiveOf({array(std::vector<uint64_t>(200, 3), 2), classObject("NSArray"),
                 array(std::vector<uint64_t>(200, 4), 2), PlistValue(std::string(4096, 'x'))});
  // Rows: name, archive, a part of the error text.
  // clang-format off
  const std::tuple<const char*, PlistValue, std::string> malformed[] = {
      {"top level is an array", PlistValue::array(), "top level is not a dictionary"},
      {"another archiver", plistDict({{"$archiver", "NSArchiver"}, {"$objects", PlistValue::array()}}), "$archiver"},
      {"no objects", plistDict({{"$archiver", "NSKeyedArchiver"}, {"$top", plistDict({{"root", uid(1)}})}}), "\"$objects\""},
      {"no root", plistDict({{"$archiver", "NSKeyedArchiver"}, {"$objects", PlistValue::array()}}), "root reference"},
      {"element out of range", archiveOf({array({7}, 2), arrayClass}), "reference 7 out of range"},
      {"two arrays holding each other", archiveOf({array({3}, 2), arrayClass, array({1}, 2)}), "cycle"},
      {"nil element", archiveOf({array({0}, 2), arrayClass}), "nil"},
      {"element is not a reference", archiveOf({of2({{"NS.objects", PlistValue(PlistValue::Array{"inline"})}}), arrayClass}), "not a reference"},
      {"key that is not a string", archiveOf({of2({{"NS.keys", refs({3})}, {"NS.objects", refs({3})}}), dictClass, 1}), "key that is not a string"},
      {"fewer values than keys", archiveOf({of2({{"NS.keys", refs({3})}, {"NS.objects", PlistValue::array()}}), dictClass, "k"}), "as many keys as values"},
      {"unknown class", archiveOf({plistDict({{"$class", uid(2)}}), classObject("SFLListItem")}), "unsupported class SFLListItem"},
      {"no class", archiveOf({plistDict({{"NS.objects", PlistValue::array()}})}), "without \"$class\""},
      {"class out of range", archiveOf({plistDict({{"$class", uid(40)}})}), "out of range"},
      {"uuid of 3 bytes", archiveOf({of2({{"NS.uuidbytes", PlistValue(PlistValue::Data{1, 2, 3})}}), classObject("NSUUID")}), "16 bytes"},
      {"relative URL", archiveOf({url(4), classObject("NSURL"), "x", url(0)}), "relative to a base URL"},
      {"URL that is its own base", archiveOf({url(1), classObject("NSURL"), "x"}), "cycle"},
      {"a bare array object", archiveOf({PlistValue::array()}), "neither a value"},
      {"150 nested arrays", chain(150, 1), "nesting deeper than 100"},
      {"2^40 values once expanded", chain(40, 2), "more than 200000 values"},
      {"a long text shared 40,000 times", sharedText, "bytes of text and data"},
  };
  // clang-format on
  for (const auto& [name, given, part] : malformed) {
    EXPECT_THAT(unarchiveObject(given, &error) ? "decoded" : error, HasSubstr(part)) << name;
  }
}

}  // namespace
}  // namespace orvexa
