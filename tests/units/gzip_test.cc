#include "orvexa/units/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

using orvexa::testing::TempDir;

Data bytesOf(const std::string& text) { return Data(text.begin(), text.end()); }

// Text-like content that compresses, with some variety.
Data sampleText(size_t size) {
  Data out;
  out.reserve(size);
  uint32_t x = 12345;
  while (out.size() < size) {
    x = x * 1103515245u + 12345u;
    const std::string word = "word" + std::to_string((x >> 16) % 97) + ' ';
    out.insert(out.end(), word.begin(), word.end());
  }
  out.resize(size);
  return out;
}

// Bytes that do not compress: the deflate output is larger than the input.
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

Data readData(const std::string& path) { return bytesOf(testing::readFile(path)); }

std::string writeData(const TempDir& dir, const std::string& name, const Data& data) {
  return dir.writeFile(name, std::string(data.begin(), data.end()));
}

int shell(const std::string& command) { return std::system(command.c_str()); }

TEST(GzipTest, RoundTripsAcrossSizesLevelsAndOutputGrowth) {
  struct Case {
    const char* name;
    Data input;
  };
  const Case cases[] = {
      {"one byte", Data{0x42}},
      {"noise over many output chunks", noise(200'000)},
      {"text of a megabyte", sampleText(1'000'000)},
  };
  const CompressionLevel levels[] = {CompressionLevel::noCompression, CompressionLevel::bestSpeed,
                                     CompressionLevel::bestCompression};
  for (const Case& c : cases) {
    for (CompressionLevel level : levels) {
      SCOPED_TRACE(std::string(c.name) + " level " + std::to_string(level.rawValue));
      const Data packed = gzipped(c.input, level);
      EXPECT_TRUE(isGzipped(packed));
      EXPECT_EQ(gunzipped(packed), c.input);
    }
  }
}

TEST(GzipTest, EmptyInputGivesEmptyOutputWithoutHeader) {
  EXPECT_TRUE(gzipped(Data{}).empty());
  EXPECT_TRUE(gzipped(Data{}, CompressionLevel::bestCompression, 15).empty());
  EXPECT_TRUE(gunzipped(Data{}).empty());
  EXPECT_TRUE(decompressed(Data{}).empty());
}

TEST(GzipTest, SignatureNeedsBothBytes) {
  struct Case {
    const char* name;
    Data data;
    bool gzipped;
  };
  const Case cases[] = {
      {"first byte only", {0x1F}, false},
      {"signature", {0x1F, 0x8B}, true},
      {"gzip member", gzipped(bytesOf("x")), true},
      {"zlib stream", gzipped(bytesOf("x"), CompressionLevel::defaultCompression, 15), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isGzipped(c.data), c.gzipped);
  }
}

TEST(GzipTest, InteroperatesWithSystemGzip) {
  TempDir dir;
  const Data payload = sampleText(100'000);

  // Ours -> gzip -d.
  const std::string ours = writeData(dir, "ours.gz", gzipped(payload));
  ASSERT_EQ(shell("gzip -dc '" + ours + "' > '" + (dir / "ours.out") + "'"), 0);
  EXPECT_EQ(readData(dir / "ours.out"), payload);

  // gzip -> ours, every level the tool offers at both ends.
  const std::string plain = writeData(dir, "plain", payload);
  for (const char* flag : {"-1", "-6", "-9"}) {
    SCOPED_TRACE(flag);
    ASSERT_EQ(
        shell(std::string("gzip -c ") + flag + " '" + plain + "' > '" + (dir / "theirs.gz") + "'"),
        0);
    EXPECT_EQ(gunzipped(readData(dir / "theirs.gz")), payload);
  }
}

TEST(GzipTest, ConcatenatedMembersDecodeToJoinedPayloads) {
  TempDir dir;
  const std::string a = dir.writeFile("a", "first part\n");
  const std::string b = dir.writeFile("b", std::string(50'000, 'b'));
  const std::string both = dir / "both.gz";
  ASSERT_EQ(shell("gzip -c '" + a + "' > '" + both + "' && gzip -c '" + b + "' >> '" + both + "'"),
            0);
  EXPECT_EQ(string(gunzipped(readData(both))), "first part\n" + std::string(50'000, 'b'));
}

TEST(GzipTest, DefaultWindowBitsAcceptZlibStreams) {
  const Data payload = sampleText(40'000);
  const Data zlibWrapped = gzipped(payload, CompressionLevel::bestSpeed, 15);
  ASSERT_FALSE(isGzipped(zlibWrapped));
  EXPECT_EQ(zlibWrapped[0], 0x78);  // zlib header, deflate with 32K window
  EXPECT_EQ(gunzipped(zlibWrapped), payload);
  // Forced gzip decoding refuses the same bytes.
  try {
    (void)gunzipped(zlibWrapped, 31);
    ADD_FAILURE() << "no error";
  } catch (const GzipError& e) {
    EXPECT_EQ(e.kind(), GzipError::Kind::data);
    EXPECT_EQ(e.message(), "incorrect header check");
  }
}

TEST(GzipTest, DamagedInputThrowsTypedErrors) {
  const Data good = gzipped(sampleText(20'000));
  Data corruptBody = good;
  for (size_t i = 12; i < 40; ++i) corruptBody[i] ^= 0x5A;
  Data badCrc = good;
  badCrc[badCrc.size() - 6] ^= 0xFF;  // inside the CRC-32 of the trailer
  const Data truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
  Data trailingGarbage = good;
  trailingGarbage.insert(trailingGarbage.end(), {'j', 'u', 'n', 'k'});

  struct Case {
    const char* name;
    Data input;
    GzipError::Kind kind;
    int code;
  };
  const Case cases[] = {
      {"corrupt body", corruptBody, GzipError::Kind::data, Z_DATA_ERROR},
      {"wrong checksum", badCrc, GzipError::Kind::data, Z_DATA_ERROR},
      {"truncated member", truncated, GzipError::Kind::buffer, Z_BUF_ERROR},
      {"garbage after a member", trailingGarbage, GzipError::Kind::data, Z_DATA_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      (void)gunzipped(c.input);
      ADD_FAILURE() << "no error";
    } catch (const GzipError& e) {
      EXPECT_EQ(e.kind(), c.kind);
      EXPECT_EQ(e.code(), c.code);
      EXPECT_FALSE(e.message().empty());
    }
  }
}

TEST(GzipTest, InvalidParametersThrowStreamErrors) {
  struct Case {
    const char* name;
    bool compress;
    int level;
    int wBits;
  };
  const Case cases[] = {
      {"level above 9", true, 42, 31},
      {"inflate window bits out of range", false, 0, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      if (c.compress) {
        (void)gzipped(bytesOf("abc"), CompressionLevel(c.level), c.wBits);
      } else {
        (void)gunzipped(gzipped(bytesOf("abc")), c.wBits);
      }
      ADD_FAILURE() << "no error";
    } catch (const GzipError& e) {
      EXPECT_EQ(e.kind(), GzipError::Kind::stream);
      EXPECT_EQ(e.message(), "Unknown gzip error");
    }
  }
}

TEST(DecompressedTest, RawDeflateWithOutputLimit) {
  const Data text = sampleText(500'000);
  struct Case {
    const char* name;
    Data input;
    Data expected;
  };
  const Data overLimit(kDecompressedLimit + 100, 'a');
  const Data atLimit(kDecompressedLimit, 'b');
  const Data raw = gzipped(text, CompressionLevel::defaultCompression, -15);
  const Case cases[] = {
      {"raw deflate", raw, text},
      {"exactly at the limit", gzipped(atLimit, CompressionLevel::bestSpeed, -15), atLimit},
      {"over the limit: cut", gzipped(overLimit, CompressionLevel::bestSpeed, -15),
       Data(kDecompressedLimit, 'a')},
      {"garbage", bytesOf("\xff\xff\xff\xff not deflate"), {}},
      {"truncated", Data(raw.begin(), raw.begin() + 100), {}},
      {"gzip member (has a header)", gzipped(text), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Data out = decompressed(c.input);
    EXPECT_EQ(out.size(), c.expected.size());
    EXPECT_TRUE(out == c.expected);
  }
}

}  // namespace
}  // namespace orvexa
