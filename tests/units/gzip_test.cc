#include "orvexa/units/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include "support/shared_checks.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using orvexa::testing::bytesOf;
using orvexa::testing::TempDir;

// Bytes that do not compress: the deflate output is larger than the input
// and spans many output chunks.
Data noise(size_t size) {
  Data out(size);
  uint64_t x = 88172645463325252ULL;
  for (uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x);
  }
  return out;
}

int shell(const std::string& command) { return std::system(command.c_str()); }

TEST(GzipTest, RoundTripsAndEmptyInputHasNoHeader) {
  for (const Data& input : {Data{0x42}, noise(200'000)}) {
    for (CompressionLevel level :
         {CompressionLevel::noCompression, CompressionLevel::bestCompression}) {
      SCOPED_TRACE(std::to_string(input.size()) + " level " + std::to_string(level.rawValue));
      const Data packed = gzipped(input, level);
      EXPECT_TRUE(isGzipped(packed));
      EXPECT_EQ(gunzipped(packed), input);
    }
  }
  EXPECT_TRUE(gzipped(Data{}).empty());
  EXPECT_TRUE(gzipped(Data{}, CompressionLevel::bestCompression, 15).empty());
  EXPECT_TRUE(gunzipped(Data{}).empty());
  EXPECT_TRUE(decompressed(Data{}).empty());
  EXPECT_FALSE(isGzipped(Data{0x1F}));
  EXPECT_TRUE(isGzipped(Data{0x1F, 0x8B}));
  // The default window bits also take zlib streams, which are no gzip data.
  const Data zlibWrapped = gzipped(noise(1000), CompressionLevel::bestSpeed, 15);
  EXPECT_FALSE(isGzipped(zlibWrapped));
  EXPECT_EQ(gunzipped(zlibWrapped), noise(1000));
}

// System gzip reads ours; ours reads its levels and concatenated members.
TEST(GzipTest, InteroperatesWithSystemGzip) {
  TempDir dir;
  std::string text;
  for (int i = 0; text.size() < 100'000; ++i) text += "word" + std::to_string(i % 97) + ' ';
  const std::string ours = dir.writeFile("ours.gz", string(gzipped(bytesOf(text))));
  ASSERT_EQ(shell("gzip -dc '" + ours + "' > '" + (dir / "ours.out") + "'"), 0);
  EXPECT_EQ(testing::readFile(dir / "ours.out"), text);

  const std::string plain = dir.writeFile("plain", text);
  for (const char* flag : {"-1", "-9"}) {
    ASSERT_EQ(shell(std::string("gzip -c ") + flag + " '" + plain + "' > '" + (dir / "t.gz") + "'"),
              0);
    EXPECT_EQ(string(gunzipped(bytesOf(testing::readFile(dir / "t.gz")))), text) << flag;
  }
  ASSERT_EQ(shell("gzip -c '" + plain + "' >> '" + (dir / "t.gz") + "'"), 0);
  EXPECT_EQ(string(gunzipped(bytesOf(testing::readFile(dir / "t.gz")))), text + text);
}

TEST(GzipTest, DamagedInputAndBadParametersThrowTypedErrors) {
  const Data good = gzipped(noise(20'000), CompressionLevel::bestSpeed);
  Data corruptBody = good;
  for (size_t i = 12; i < 40; ++i) corruptBody[i] ^= 0x5A;
  Data badCrc = good;
  badCrc[badCrc.size() - 6] ^= 0xFF;  // inside the CRC-32 of the trailer
  Data trailingGarbage = good;
  trailingGarbage.insert(trailingGarbage.end(), {'j', 'u', 'n', 'k'});
  const Data zlibWrapped = gzipped(bytesOf("abc"), CompressionLevel::bestSpeed, 15);
  struct Case {
    const char* name;
    std::function<Data()> run;
    GzipError::Kind kind;
    int code;
    const char* message;  // nullptr: any
  };
  const Case cases[] = {
      {"corrupt body", [&] { return gunzipped(corruptBody); }, GzipError::Kind::data, Z_DATA_ERROR,
       nullptr},
      {"wrong checksum", [&] { return gunzipped(badCrc); }, GzipError::Kind::data, Z_DATA_ERROR,
       nullptr},
      {"truncated member", [&] { return gunzipped(Data(good.begin(), good.begin() + 100)); },
       GzipError::Kind::buffer, Z_BUF_ERROR, nullptr},
      {"garbage after a member", [&] { return gunzipped(trailingGarbage); }, GzipError::Kind::data,
       Z_DATA_ERROR, nullptr},
      {"zlib stream forced as gzip", [&] { return gunzipped(zlibWrapped, 31); },
       GzipError::Kind::data, Z_DATA_ERROR, "incorrect header check"},
      {"level above 9", [] { return gzipped(bytesOf("abc"), CompressionLevel(42)); },
       GzipError::Kind::stream, Z_STREAM_ERROR, "Unknown gzip error"},
      {"window bits out of range", [&] { return gunzipped(good, 99); }, GzipError::Kind::stream,
       Z_STREAM_ERROR, "Unknown gzip error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      (void)c.run();
      ADD_FAILURE() << "no error";
    } catch (const GzipError& e) {
      EXPECT_EQ(e.kind(), c.kind);
      EXPECT_EQ(e.code(), c.code);
      EXPECT_EQ(e.message(), c.message ? c.message : e.message());
      EXPECT_FALSE(e.message().empty());
    }
  }
}

TEST(DecompressedTest, RawDeflateWithOutputLimit) {
  const Data atLimit(kDecompressedLimit, 'b');
  const Data raw = gzipped(noise(100'000), CompressionLevel::defaultCompression, -15);
  struct Case {
    const char* name;
    Data input;
    Data expected;
  };
  const Case cases[] = {
      {"raw deflate", raw, noise(100'000)},
      {"exactly at the limit", gzipped(atLimit, CompressionLevel::bestSpeed, -15), atLimit},
      {"over the limit: cut",
       gzipped(Data(kDecompressedLimit + 100, 'a'), CompressionLevel::bestSpeed, -15),
       Data(kDecompressedLimit, 'a')},
      {"garbage", bytesOf("\xff\xff\xff\xff not deflate"), {}},
      {"truncated", Data(raw.begin(), raw.begin() + 100), {}},
      {"gzip member (has a header)", gzipped(noise(100)), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(decompressed(c.input) == c.expected);
  }
}

}  // namespace
}  // namespace orvexa
