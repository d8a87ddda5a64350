#include "orvexa/units/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <tuple>

#include "support/shared_checks.h"

namespace orvexa {
namespace {

using orvexa::testing::bytesOf;

// Noise does not compress: the deflate output is larger than the input and
// spans many output chunks.
TEST(GzipTest, RoundTripsThrowsTypedErrorsAndRawDeflateHasAnOutputLimit) {
  for (const Data& input : {Data{0x42}, testing::noiseBytes(200'000)}) {
    const Data packed = gzipped(input, CompressionLevel::bestCompression);
    EXPECT_TRUE(isGzipped(packed) && gunzipped(packed) == input) << input.size();
  }
  EXPECT_TRUE(gzipped({}).empty() && gunzipped({}).empty() && decompressed({}).empty());
  EXPECT_FALSE(isGzipped(Data{0x1F}));

  // Damaged input and bad parameters throw typed errors.
  const Data good = gzipped(testing::noiseBytes(20'000), CompressionLevel::bestSpeed);
  Data badCrc = good, trailingGarbage = good;
  badCrc[badCrc.size() - 6] ^= 0xFF;  // inside the CRC-32 of the trailer
  trailingGarbage.insert(trailingGarbage.end(), {'j', 'u', 'n', 'k'});
  using enum GzipError::Kind;
  // Rows: name, input, window bits, error kind and code, message (empty: any).
  const std::tuple<const char*, Data, int, GzipError::Kind, int, std::string> cases[] = {
      {"wrong checksum", badCrc, 47, data, Z_DATA_ERROR, ""},
      {"truncated member", Data(good.begin(), good.begin() + 100), 47, buffer, Z_BUF_ERROR, ""},
      {"garbage after a member", trailingGarbage, 47, data, Z_DATA_ERROR, ""},
      {"zlib stream forced as gzip", gzipped(bytesOf("abc"), CompressionLevel::bestSpeed, 15), 31,
       data, Z_DATA_ERROR, "incorrect header check"},
      {"window bits out of range", good, 99, stream, Z_STREAM_ERROR, "Unknown gzip error"},
      {"level above 9", {}, 0, stream, Z_STREAM_ERROR, "Unknown gzip error"},
  };
  for (const auto& [name, input, windowBits, kind, code, message] : cases) {
    SCOPED_TRACE(name);
    try {
      (void)(windowBits ? gunzipped(input, windowBits)
                        : gzipped(bytesOf("abc"), CompressionLevel(42)));
      ADD_FAILURE() << "no error";
    } catch (const GzipError& e) {
      EXPECT_TRUE(e.kind() == kind && e.code() == code) << e.code();
      EXPECT_EQ(e.message(), message.empty() ? e.message() : message);
      EXPECT_FALSE(e.message().empty());
    }
  }

  // Raw deflate (no header) only; output past the limit is cut; bad input
  // gives nothing.
  auto deflated = [](const Data& d) { return gzipped(d, CompressionLevel::bestSpeed, -15); };
  const Data raw = deflated(testing::noiseBytes(100'000));
  const std::pair<Data, Data> rawCases[] = {
      {raw, testing::noiseBytes(100'000)},
      {deflated(Data(kDecompressedLimit, 'b')), Data(kDecompressedLimit, 'b')},
      {deflated(Data(kDecompressedLimit + 100, 'a')), Data(kDecompressedLimit, 'a')},
      {bytesOf("\xff\xff\xff\xff not deflate"), {}},
      {Data(raw.begin(), raw.begin() + 100), {}},
  };
  for (const auto& [input, expected] : rawCases)
    EXPECT_TRUE(decompressed(input) == expected) << input.size();
}

}  // namespace
}  // namespace orvexa
