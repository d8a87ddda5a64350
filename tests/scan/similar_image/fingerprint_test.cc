#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "orvexa/platform/image_decode.h"
#include "orvexa/scan/similar_image/similar_scan_service.h"
#include "orvexa/tree/bk_tree_service.h"
#include "orvexa/units/new_metal_scale_image_service.h"
#include "orvexa/units/oc_resize_image.h"
#include "support/picture_files.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::Rgba;
using Algorithm = SimilarScanService::AlgorithmEnum;

testing::PixelFn solid(Rgba colour) {
  return [colour](int, int) { return colour; };
}

// Gray levels falling (or rising) by 3 per column, the same in every row.
testing::PixelFn gradient(bool darkening) {
  return [darkening](int x, int) {
    const auto v = static_cast<uint8_t>(darkening ? 250 - 3 * x : 40 + 3 * x);
    return Rgba{v, v, v, 255};
  };
}

std::vector<int> repeated(int value, size_t count) { return std::vector<int>(count, value); }

Url urlOf(const std::string& path) { return Url::fromPath(path, false); }

class FingerprintTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
};

// GRAY truncates each weighted channel on its own (250 gives 75 + 147 + 27,
// although the weighted sum is 250); transparency reads as black through
// premultiplied alpha.
TEST_F(FingerprintTest, SolidPicturesGiveTheirGrayAndMeanLevels) {
  const Rgba white{255, 255, 255, 255};
  // File, bytes, gray and mean level.
  const std::tuple<const char*, std::vector<uint8_t>, int, int> cases[] = {
      {"white.png", testing::pngBytes(70, 60, solid(white)), 254, 255},
      {"white.jpg", testing::jpegBytes(70, 60, solid(white), 95), 254, 255},
      {"white-gray.jpg", testing::jpegBytes(500, 400, solid(white), 95, true), 254, 255},
      {"clear.png", testing::pngBytes(20, 20, solid({255, 255, 255, 0})), 0, 0},
      {"half.png", testing::pngBytes(14, 12, solid({255, 0, 0, 128})), 38, 42},  // R = 128
      {"mixed.png", testing::pngBytes(7, 6, solid({10, 200, 31, 255})), 3 + 118 + 3, 80},
  };
  for (const auto& [name, bytes, gray, mean] : cases)
    EXPECT_EQ(OCResizeImage::imagePath(testing::writeBytes(dir_ / name, bytes), 7, 6),
              (OCResizeImage::Lists{{"GRAY", repeated(gray, 42)}, {"MEAN", repeated(mean, 42)}}))
        << name;
}

// Flat pictures also give an all-zero average hash.
TEST_F(FingerprintTest, FlatAndGradientPicturesGiveUniformHashes) {
  // Name, pixels, every bit of the difference hash, whether flat.
  const std::tuple<const char*, testing::PixelFn, int, bool> cases[] = {
      {"black", solid({0, 0, 0, 255}), 0, true},
      {"darkening", gradient(true), 1, false},
      {"brightening", gradient(false), 0, false},
  };
  for (const auto& [name, pixels, bit, flat] : cases) {
    // Large enough for the JPEG to be decoded at 1/8 of its size.
    for (const std::string& path : {testing::writePng(dir_ / "c.png", 70, 60, pixels),
                                    testing::writeJpeg(dir_ / "c.jpg", 70, 60, pixels, 95)}) {
      SCOPED_TRACE(std::string(name) + " " + path);
      auto dha = SimilarScanService::getFingerprint(urlOf(path), Algorithm::DHA);
      auto aha = SimilarScanService::getFingerprint(urlOf(path), Algorithm::AHA);
      ASSERT_TRUE(dha && aha);
      EXPECT_EQ(std::make_pair(std::get<0>(*dha), std::get<1>(*dha).size()),
                std::make_pair(repeated(bit, 36), size_t{42}));
      if (flat) {
        EXPECT_EQ(std::make_pair(std::get<0>(*aha), std::get<1>(*aha).size()),
                  std::make_pair(repeated(0, 36), size_t{36}));
      }
    }
  }
}

TEST_F(FingerprintTest, UnreadablePicturesGiveTwoEmptyLists) {
  const std::vector<uint8_t> jpeg = testing::jpegBytes(300, 200, testing::blocks(1, 300, 200));
  const std::vector<uint8_t> png = testing::pngBytes(300, 200, testing::blocks(2, 300, 200));
  const std::pair<const char*, std::vector<uint8_t>> cases[] = {
      {"empty.jpg", {}},
      {"truncated.jpg", std::vector(jpeg.begin(), jpeg.begin() + std::ssize(jpeg) / 2)},
      {"truncated.png", std::vector(png.begin(), png.begin() + std::ssize(png) / 2)},
      {"garbage.png", std::vector<uint8_t>(5000, 0x5A)},
      // Headers announcing these sizes over the image data of one pixel.
      {"huge.png", testing::readBytes(ORVEXA_TEST_DATA_DIR "/pictures/huge-100000x100000.png")},
      {"wide.png", testing::readBytes(ORVEXA_TEST_DATA_DIR "/pictures/wide-2000000x1.png")},
  };
  const OCResizeImage::Lists none{{"GRAY", {}}, {"MEAN", {}}};
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    const std::string path = testing::writeBytes(dir_ / name, bytes);
    EXPECT_EQ(OCResizeImage::imagePath(path, 7, 6), none);
    for (Algorithm algorithm : {Algorithm::DHA, Algorithm::AHA, Algorithm::PHA})
      EXPECT_FALSE(SimilarScanService::getFingerprint(urlOf(path), algorithm).has_value());
  }
  // Nothing there, a folder named like a picture, a size that is no size.
  const std::string good = testing::writeBytes(dir_ / "good.jpg", jpeg);
  EXPECT_EQ(std::tuple(OCResizeImage::imagePath(dir_ / "missing.jpg", 7, 6),
                       OCResizeImage::imagePath(dir_.makeDir("folder.jpg"), 7, 6),
                       OCResizeImage::imagePath(good, 0, 6),
                       OCResizeImage::imagePath(good, 7, 6).at("GRAY").size()),
            std::tuple(none, none, none, 42u));
}

TEST_F(FingerprintTest, ContentDecidesTheFormatNotTheName) {
  const auto jpeg = testing::jpegBytes(120, 90, testing::blocks(3, 120, 90));
  const auto png = testing::pngBytes(120, 90, testing::blocks(4, 120, 90));
  for (const auto& [bytes, right, lie] :
       {std::tuple{jpeg, "right.jpg", "lie.png"}, std::tuple{png, "right.png", "lie.jpeg"}}) {
    SCOPED_TRACE(right);
    const auto asNamed = OCResizeImage::imagePath(testing::writeBytes(dir_ / right, bytes), 7, 6);
    EXPECT_EQ(asNamed.at("GRAY").size(), 42u);
    EXPECT_EQ(OCResizeImage::imagePath(testing::writeBytes(dir_ / lie, bytes), 7, 6), asNamed);
  }
}

// The JPEG decoder shrinks large pictures in the DCT domain (8 x 8 block
// means at 1/8) before the final resample; the thumbnail stays what a full
// decode would give, within rounding.
TEST_F(FingerprintTest, ShrinkingInTheDctDomainKeepsTheThumbnail) {
  auto smooth = [](int x, int y) {
    const double fx = x / 800.0;
    const double fy = y / 600.0;
    return Rgba{static_cast<uint8_t>(40 + 180 * fx), static_cast<uint8_t>(200 - 150 * fy),
                static_cast<uint8_t>(100 + 100 * fx * fy), 255};
  };
  const std::vector<uint8_t> bytes = testing::jpegBytes(800, 600, smooth, 90);
  auto size = [](const std::optional<PixelBuffer>& p) {
    return p ? std::to_string(p->width) + "x" + std::to_string(p->height) : "none";
  };
  const auto small = decodePictureData(bytes, {.minWidth = 7, .minHeight = 6});
  const auto full = decodePictureData(bytes);
  ASSERT_EQ(size(small) + " " + size(full), "100x75 800x600");
  const auto viaSmall = OCResizeImage::fromPicture(*small, 7, 6).at("GRAY");
  const auto viaFull = OCResizeImage::fromPicture(*full, 7, 6).at("GRAY");
  ASSERT_EQ(viaSmall.size(), viaFull.size());
  for (size_t i = 0; i < viaSmall.size(); ++i) EXPECT_NEAR(viaSmall[i], viaFull[i], 2) << i;

  // The pixel limit applies to what is decoded, after shrinking. A picture
  // smaller than the target is not shrunk; 7/8 is the smallest scale that
  // keeps 500 rows.
  EXPECT_EQ(size(decodePictureData(bytes, {.minWidth = 7, .minHeight = 6, .maxPixels = 100 * 75})) +
                size(decodePictureData(bytes, {.minWidth = 7, .minHeight = 6, .maxPixels = 7499})) +
                size(decodePictureData(bytes, {.maxPixels = 800 * 600 - 1})) +
                size(decodePictureData(bytes, {.minWidth = 400, .minHeight = 500})),
            "100x75nonenone700x525");
}

TEST_F(FingerprintTest, AreaAveragingWeighsPartialCoverage) {
  // Gray levels of a one-row source, output width, output levels.
  const std::tuple<std::vector<uint8_t>, int, std::vector<int>> cases[] = {
      {{0, 90, 180}, 2, {30, 150}},        // 1.5 source pixels per output pixel
      {{0, 100, 200, 255}, 2, {50, 228}},  // 227.5 rounds up
      {{10, 20}, 4, {10, 10, 20, 20}},     // enlarging replicates
  };
  for (const auto& [row, width, expected] : cases) {
    PixelBuffer source{static_cast<int>(row.size()), 1, {}};
    for (uint8_t v : row) source.rgba.insert(source.rgba.end(), {v, v, v, 255});
    const PixelBuffer out = resampleArea(source, width, 1);
    std::vector<int> levels;
    for (size_t x = 0; x < out.rgba.size(); x += 4) levels.push_back(out.rgba[x]);
    EXPECT_EQ(std::pair(out.width, levels), std::pair(width, expected));
  }
  EXPECT_TRUE(resampleArea(PixelBuffer{}, 7, 6).empty());
}

TEST_F(FingerprintTest, CosineHashAndItsPictureForm) {
  // A constant block has only the zero-frequency coefficient.
  std::vector<int> expected = repeated(0, 36);
  expected[0] = 1;
  EXPECT_EQ(SimilarScanService::PHAAlgorithm(repeated(100, 144), 12, 12, 6), expected);
  const std::string white =
      testing::writePng(dir_ / "white.png", 48, 48, solid({255, 255, 255, 255}));
  auto pha = SimilarScanService::getFingerprint(urlOf(white), Algorithm::PHA);
  ASSERT_TRUE(pha.has_value());
  EXPECT_EQ(std::make_pair(std::get<0>(*pha), std::get<1>(*pha).size()),
            std::make_pair(expected, size_t{144}));

  // The picture form: by extension, and lossy only for JPEG.
  const auto pattern = testing::blocks(9, 96, 96);
  const std::string png = testing::writePng(dir_ / "p.png", 96, 96, pattern);
  const std::string tiffNamed = testing::writePng(dir_ / "p.tiff", 96, 96, pattern);
  const std::string gif = testing::writePng(dir_ / "p.gif", 96, 96, pattern);
  const std::string jpg = testing::writeBytes(dir_ / "p.jpg", testing::readBytes(png));
  auto fromPng = SimilarScanService::getPHashFingerprint(urlOf(png), 16, 16, 8);
  auto fromJpg = SimilarScanService::getPHashFingerprint(urlOf(jpg), 16, 16, 8);
  ASSERT_TRUE(fromJpg && fromPng);
  EXPECT_EQ(fromPng->size(), 64u);
  EXPECT_LE(BKTreeService::calculateGrayHamming(*fromPng, *fromJpg, 0), 6);
  std::string why;
  EXPECT_FALSE(SimilarScanService::getPHashFingerprint(urlOf(tiffNamed), 16, 16, 8, &why));
  EXPECT_EQ(why, std::string(SimilarScanService::kTiffNotSupportedText) + ": " + tiffNamed);
  EXPECT_FALSE(SimilarScanService::getPHashFingerprint(urlOf(gif), 16, 16, 8) ||
               SimilarScanService::getPHashFingerprint(urlOf(dir_ / "none.png"), 32, 32, 8));
}

// No scan uses the scaler; a host may (it is part of the public interface).
TEST_F(FingerprintTest, LanczosScalerGivesGrayLevelsOfTheOutputSize) {
  const std::string path = testing::writePng(dir_ / "halves.png", 64, 32, [](int x, int) {
    return x < 32 ? Rgba{0, 0, 0, 255} : Rgba{255, 255, 255, 255};
  });
  NewMetalScaleImageService scaler(MTLDevice{}, urlOf(path), ImageSize{8.9, 4.2});
  auto gray = scaler.getGray();
  ASSERT_EQ(gray.value_or(std::vector<int>{}).size(), 32u);  // 8 x 4
  for (size_t row = 0; row < 4; ++row) {
    EXPECT_EQ((*gray)[row * 8], 0);
    EXPECT_GE((*gray)[row * 8 + 7], 254);
    EXPECT_LT((*gray)[row * 8 + 2], (*gray)[row * 8 + 5]);
  }
  EXPECT_FALSE(
      NewMetalScaleImageService(MTLDevice{}, urlOf(dir_ / "none.png"), ImageSize{8, 4}).getGray() ||
      NewMetalScaleImageService(MTLDevice{}, urlOf(path), ImageSize{0, 4}).getGray());
}

}  // namespace
}  // namespace orvexa
