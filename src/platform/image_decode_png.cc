// PNG through libpng's simplified API (it keeps its own error jumps inside
// libpng, so nothing here needs setjmp).
#include <png.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/image_decode_codecs.h"

namespace orvexa::detail {

std::optional<PixelBuffer> decodePng(std::span<const uint8_t> data, const DecodeRequest& request,
                                     PictureInfo* info) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&image, data.data(), data.size()) == 0) {
    png_image_free(&image);
    return std::nullopt;
  }
  const uint64_t pixels = static_cast<uint64_t>(image.width) * static_cast<uint64_t>(image.height);
  if (pixels == 0 || pixels > request.maxPixels) {
    png_image_free(&image);
    return std::nullopt;
  }
  // 8-bit sRGB with straight alpha; premultiplied below.
  image.format = PNG_FORMAT_RGBA;
  PixelBuffer out;
  try {
    out.rgba.resize(PNG_IMAGE_SIZE(image));
  } catch (const std::bad_alloc&) {
    png_image_free(&image);
    return std::nullopt;
  }
  // A warning (an ancillary chunk that is damaged) still gives the pixels;
  // missing or damaged image data is an error and gives nothing.
  if (png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr) == 0 ||
      (image.warning_or_error & PNG_IMAGE_ERROR) != 0) {
    png_image_free(&image);
    return std::nullopt;
  }
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  png_image_free(&image);
  premultiply(out.rgba);
  if (info) *info = PictureInfo{PictureFormat::png, out.width, out.height};
  return out;
}

}  // namespace orvexa::detail

namespace orvexa {

std::vector<uint8_t> encodePng(const PixelBuffer& picture) {
  if (picture.empty() || picture.rgba.size() != static_cast<size_t>(picture.width) *
                                                    static_cast<size_t>(picture.height) * 4) {
    return {};
  }
  bool opaque = true;
  for (size_t i = 3; i < picture.rgba.size(); i += 4) opaque = opaque && picture.rgba[i] == 255;
  const size_t pixels = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
  const size_t channels = opaque ? 3 : 4;
  std::vector<uint8_t> straight(pixels * channels);
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t* p = picture.rgba.data() + i * 4;
    uint8_t* o = straight.data() + i * channels;
    const unsigned a = p[3];
    for (size_t ch = 0; ch < 3; ++ch) {
      o[ch] = (opaque || a == 255) ? p[ch]
              : a == 0             ? 0
                       : static_cast<uint8_t>(std::min(255u, (p[ch] * 255u + a / 2) / a));
    }
    if (!opaque) o[3] = p[3];
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(picture.width);
  image.height = static_cast<png_uint_32>(picture.height);
  image.format = opaque ? PNG_FORMAT_RGB : PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  if (png_image_write_get_memory_size(image, size, 0, straight.data(), 0, nullptr) == 0) {
    png_image_free(&image);
    return {};
  }
  std::vector<uint8_t> out(size);
  if (png_image_write_to_memory(&image, out.data(), &size, 0, straight.data(), 0, nullptr) == 0) {
    png_image_free(&image);
    return {};
  }
  png_image_free(&image);
  out.resize(size);
  return out;
}

}  // namespace orvexa
