#include "orvexa/units/oc_resize_image.h"

namespace orvexa {
namespace {

constexpr int32_t kOversample = 8;
constexpr int32_t kMaxSide = 1 << 20;

OCResizeImage::Lists emptyLists() {
  return {{OCResizeImage::kGrayKey, {}}, {OCResizeImage::kMeanKey, {}}};
}

}  // namespace

OCResizeImage::Lists OCResizeImage::fromPicture(const PixelBuffer& picture, int32_t imageWidth,
                                                int32_t imageHeight) {
  Lists lists = emptyLists();
  const PixelBuffer thumb = resampleArea(picture, imageWidth, imageHeight);
  if (thumb.empty()) return lists;
  std::vector<int>& gray = lists[kGrayKey];
  std::vector<int>& mean = lists[kMeanKey];
  const size_t count = static_cast<size_t>(thumb.width) * static_cast<size_t>(thumb.height);
  gray.reserve(count);
  mean.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const unsigned r = thumb.rgba[i * 4];
    const unsigned g = thumb.rgba[i * 4 + 1];
    const unsigned b = thumb.rgba[i * 4 + 2];
    const unsigned weighted = static_cast<unsigned>(r * 0.3) + static_cast<unsigned>(g * 0.59) +
                              static_cast<unsigned>(b * 0.11);
    gray.push_back(static_cast<int>(weighted));
    mean.push_back(static_cast<int>((r + g + b) / 3));
  }
  return lists;
}

OCResizeImage::Lists OCResizeImage::imagePath(const std::string& path, int32_t imageWidth,
                                              int32_t imageHeight) {
  if (imageWidth <= 0 || imageHeight <= 0) return emptyLists();
  // The JPEG decoder may shrink in the DCT domain, but only while the picture
  // keeps kOversample pixels per thumbnail pixel along each side: at 1/8 a
  // decoded pixel is the mean of an 8 x 8 block, and a block that straddles
  // a thumbnail pixel's edge is weighed by the part it covers as if it were
  // uniform. With that many pixels per thumbnail pixel the error stays
  // within a level or two; large photos are still decoded at 1/8.
  DecodeRequest request;
  request.minWidth = imageWidth > kMaxSide / kOversample ? imageWidth : imageWidth * kOversample;
  request.minHeight =
      imageHeight > kMaxSide / kOversample ? imageHeight : imageHeight * kOversample;
  std::optional<PixelBuffer> picture = decodePictureFile(path, request);
  if (!picture) return emptyLists();
  return fromPicture(*picture, imageWidth, imageHeight);
}

}  // namespace orvexa
