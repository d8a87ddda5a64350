// Perceptual fingerprints of pictures: difference, average and
// cosine-transform hashes over tiny gray thumbnails.
#include <atomic>
#include <cmath>
#include <map>
#include <numbers>

#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/content_type.h"
#include "orvexa/platform/image_decode.h"
#include "orvexa/scan/similar_image/similar_scan_service.h"
#include "orvexa/tree/inverted_sort.h"
#include "orvexa/units/oc_resize_image.h"

namespace orvexa {
namespace {

std::atomic<double> gResizeImgWidth{40.0};
std::atomic<double> gResizeImgHeight{40.0};

constexpr int kDhaWidth = 7;
constexpr int kDhaHeight = 6;
constexpr int kAhaSide = 6;
constexpr int kPhaSide = 12;
constexpr int kPhaSize = 6;
constexpr int kRoundTripJpegQuality = 75;

}  // namespace

double SimilarScanService::resizeImgWidth() { return gResizeImgWidth.load(); }
void SimilarScanService::setResizeImgWidth(double width) { gResizeImgWidth.store(width); }
double SimilarScanService::resizeImgHeight() { return gResizeImgHeight.load(); }
void SimilarScanService::setResizeImgHeight(double height) { gResizeImgHeight.store(height); }

int64_t SimilarScanService::stringBinary2Dec(const std::string& num) {
  return InvertedSort::stringBinary2Dec(num);
}

std::vector<int> SimilarScanService::DHAAlgorithm(const std::vector<int>& data, int skipValue) {
  std::vector<int> bits;
  for (size_t i = 1; i < data.size(); ++i) {
    // Skips the pair that would join the end of one row to the next row.
    if (skipValue > 0 && i % static_cast<size_t>(skipValue) == 0) continue;
    bits.push_back(data[i - 1] > data[i] ? 1 : 0);
  }
  return bits;
}

std::vector<int> SimilarScanService::AHAAlgorithm(int arrayLength, const std::vector<int>& data) {
  int64_t sum = 0;
  for (int v : data) sum += v;
  const int64_t mean =
      arrayLength == 0
          ? 0
          : static_cast<int64_t>(static_cast<double>(sum) / static_cast<double>(arrayLength));
  std::vector<int> bits;
  bits.reserve(data.size());
  for (int v : data) bits.push_back(v > mean ? 1 : 0);
  return bits;
}

std::vector<int> SimilarScanService::PHAAlgorithm(const std::vector<int>& sourceData, int width,
                                                  int height, int fingerprintSize) {
  if (width <= 0 || height <= 0 || fingerprintSize <= 0) return {};
  const double pi = std::numbers::pi;
  auto source = [&](int x, int y) -> double {
    const size_t index =
        static_cast<size_t>(x) * static_cast<size_t>(width) + static_cast<size_t>(y);
    return index < sourceData.size() ? static_cast<double>(sourceData[index]) : 0.0;
  };
  std::map<int, double> coefficients;
  for (int u = 0; u < width; ++u) {
    for (int v = 0; v < height; ++v) {
      double f = 0;
      for (int x = 0; x < width; ++x) {
        const double cx = std::cos((x + 0.5) * pi * u / width);
        for (int y = 0; y < height; ++y) {
          f += source(x, y) * cx * std::cos((y + 0.5) * pi * v / height);
        }
      }
      coefficients[u * width + v] = f;
    }
  }
  auto coefficient = [&](int i, int j) {
    auto it = coefficients.find(i * width + j);
    return it == coefficients.end() ? 0.0 : it->second;
  };
  double sum = 0;
  for (int i = 0; i < fingerprintSize; ++i) {
    for (int j = 0; j < fingerprintSize; ++j) sum += coefficient(i, j);
  }
  const double average = sum / (fingerprintSize * fingerprintSize);
  std::vector<int> bits;
  for (int i = 0; i < fingerprintSize; ++i) {
    for (int j = 0; j < fingerprintSize; ++j) bits.push_back(coefficient(i, j) >= average ? 1 : 0);
  }
  return bits;
}

std::optional<SimilarScanService::FingerprintLists> SimilarScanService::getFingerprint(
    const Url& inputImg, AlgorithmEnum algorithmEnum) {
  int width = kDhaWidth;
  int height = kDhaHeight;
  if (algorithmEnum == AlgorithmEnum::AHA) width = height = kAhaSide;
  if (algorithmEnum == AlgorithmEnum::PHA) width = height = kPhaSide;
  OCResizeImage::Lists lists = OCResizeImage::imagePath(inputImg.path(), width, height);
  auto gray = lists.find(OCResizeImage::kGrayKey);
  auto mean = lists.find(OCResizeImage::kMeanKey);
  if (gray == lists.end() || mean == lists.end() || gray->second.empty()) return std::nullopt;
  std::vector<int> bits;
  switch (algorithmEnum) {
    case AlgorithmEnum::DHA:
      bits = DHAAlgorithm(gray->second, kDhaWidth);
      break;
    case AlgorithmEnum::AHA:
      bits = AHAAlgorithm(static_cast<int>(gray->second.size()), gray->second);
      break;
    case AlgorithmEnum::PHA:
      bits = PHAAlgorithm(gray->second, kPhaSide, kPhaSide, kPhaSize);
      break;
  }
  return FingerprintLists{std::move(bits), std::move(gray->second), std::move(mean->second)};
}

std::optional<std::vector<int>> SimilarScanService::getPHashFingerprint(const Url& inputImg,
                                                                        int row, int column,
                                                                        int fingerprintSize,
                                                                        std::string* why) {
  const auto refuse = [&](std::string reason) -> std::optional<std::vector<int>> {
    if (why) *why = std::move(reason) + ": " + inputImg.path();
    return std::nullopt;
  };
  if (row <= 0 || column <= 0 || fingerprintSize <= 0) {
    return refuse("the picture and fingerprint sizes must be positive");
  }
  const std::string extension = asciiLower(pathExtension(inputImg.lastPathComponent()));
  const bool jpeg = extension == "jpeg" || extension == "jpg";
  if (extension == "tiff") return refuse(kTiffNotSupportedText);
  if (!jpeg && extension != "png") return refuse("only JPEG and PNG pictures are fingerprinted");

  DecodeRequest request;
  request.minWidth = row;
  request.minHeight = column;
  std::optional<PixelBuffer> picture = decodePictureFile(inputImg.path(), request);
  if (!picture) return refuse("the picture cannot be read or decoded");
  const OCResizeImage::Lists lists = OCResizeImage::fromPicture(*picture, row, column);
  const std::vector<int>& gray = lists.at(OCResizeImage::kGrayKey);
  if (gray.empty()) return refuse("the picture cannot be read or decoded");

  std::vector<int> bytes = gray;
  if (jpeg) {
    // The gray picture goes through the file type's encoder and back.
    PixelBuffer grayPicture;
    grayPicture.width = row;
    grayPicture.height = column;
    grayPicture.rgba.resize(gray.size() * 4);
    for (size_t i = 0; i < gray.size(); ++i) {
      const auto level = static_cast<uint8_t>(gray[i]);
      grayPicture.rgba[i * 4] = grayPicture.rgba[i * 4 + 1] = grayPicture.rgba[i * 4 + 2] = level;
      grayPicture.rgba[i * 4 + 3] = 255;
    }
    const std::vector<uint8_t> encoded = encodeJpeg(grayPicture, kRoundTripJpegQuality, true);
    std::optional<PixelBuffer> decoded = decodePictureData(encoded);
    if (!decoded || decoded->width != row || decoded->height != column) {
      return refuse("the JPEG round trip failed");
    }
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = decoded->rgba[i * 4];
  }
  return PHAAlgorithm(bytes, row, column, fingerprintSize);
}

}  // namespace orvexa
