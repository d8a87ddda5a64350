// Reading picture files, telling their format from their content, and the
// area-averaging resampler.
#include "orvexa/platform/image_decode.h"

#include <algorithm>
#include <cmath>

#include "orvexa/platform/file_reader.h"
#include "platform/image_decode_codecs.h"

namespace orvexa {
namespace {

// The source pixels one output pixel covers along one axis, with their
// coverage as weights that add up to 1.
struct Coverage {
  int first = 0;
  std::vector<double> weights;
};

std::vector<Coverage> coverages(int source, int target) {
  std::vector<Coverage> out(static_cast<size_t>(target));
  const double s = static_cast<double>(source);
  const double t = static_cast<double>(target);
  for (int i = 0; i < target; ++i) {
    const double lo = static_cast<double>(i) * s / t;
    const double hi = static_cast<double>(i + 1) * s / t;
    const int first = std::clamp(static_cast<int>(std::floor(lo)), 0, source - 1);
    const int last = std::clamp(static_cast<int>(std::ceil(hi)) - 1, first, source - 1);
    Coverage& c = out[static_cast<size_t>(i)];
    c.first = first;
    double total = 0;
    for (int k = first; k <= last; ++k) {
      const double w =
          std::min(hi, static_cast<double>(k + 1)) - std::max(lo, static_cast<double>(k));
      c.weights.push_back(std::max(w, 0.0));
      total += std::max(w, 0.0);
    }
    if (total <= 0) {
      c.weights.assign(1, 1.0);
    } else {
      for (double& w : c.weights) w /= total;
    }
  }
  return out;
}

}  // namespace

PictureFormat sniffPictureFormat(std::span<const uint8_t> b) {
  if (b.size() >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return PictureFormat::jpeg;
  static constexpr uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (b.size() >= 8 && std::equal(kPng, kPng + 8, b.begin())) return PictureFormat::png;
  return PictureFormat::unknown;
}

std::optional<PixelBuffer> decodePictureData(std::span<const uint8_t> data,
                                             const DecodeRequest& request, PictureInfo* info) {
  switch (sniffPictureFormat(data)) {
    case PictureFormat::jpeg:
      return detail::decodeJpeg(data, request, info);
    case PictureFormat::png:
      return detail::decodePng(data, request, info);
    case PictureFormat::unknown:
      break;
  }
  return std::nullopt;
}

std::optional<PixelBuffer> decodePictureFile(const std::string& path, const DecodeRequest& request,
                                             PictureInfo* info) {
  std::optional<std::string> bytes = readRegularFile(path, request.maxFileBytes);
  if (!bytes || bytes->empty()) return std::nullopt;
  return decodePictureData(
      std::span(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()), request, info);
}

PixelBuffer resampleArea(const PixelBuffer& source, int width, int height) {
  PixelBuffer out;
  if (source.empty() || width <= 0 || height <= 0 ||
      source.rgba.size() !=
          static_cast<size_t>(source.width) * static_cast<size_t>(source.height) * 4) {
    return out;
  }
  const std::vector<Coverage> across = coverages(source.width, width);
  const std::vector<Coverage> down = coverages(source.height, height);
  const size_t w = static_cast<size_t>(width);
  const size_t sw = static_cast<size_t>(source.width);

  // Rows first: every source row shrunk (or stretched) to `width` pixels.
  std::vector<double> rows(static_cast<size_t>(source.height) * w * 4);
  for (size_t y = 0; y < static_cast<size_t>(source.height); ++y) {
    const uint8_t* in = source.rgba.data() + y * sw * 4;
    double* row = rows.data() + y * w * 4;
    for (size_t x = 0; x < w; ++x) {
      const Coverage& c = across[x];
      double acc[4] = {0, 0, 0, 0};
      for (size_t k = 0; k < c.weights.size(); ++k) {
        const uint8_t* p = in + (static_cast<size_t>(c.first) + k) * 4;
        for (size_t ch = 0; ch < 4; ++ch) acc[ch] += c.weights[k] * p[ch];
      }
      for (size_t ch = 0; ch < 4; ++ch) row[x * 4 + ch] = acc[ch];
    }
  }

  out.width = width;
  out.height = height;
  out.rgba.resize(w * static_cast<size_t>(height) * 4);
  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    const Coverage& c = down[y];
    for (size_t x = 0; x < w; ++x) {
      double acc[4] = {0, 0, 0, 0};
      for (size_t k = 0; k < c.weights.size(); ++k) {
        const double* p = rows.data() + ((static_cast<size_t>(c.first) + k) * w + x) * 4;
        for (size_t ch = 0; ch < 4; ++ch) acc[ch] += c.weights[k] * p[ch];
      }
      uint8_t* o = out.rgba.data() + (y * w + x) * 4;
      for (size_t ch = 0; ch < 4; ++ch) {
        o[ch] = static_cast<uint8_t>(std::clamp(std::floor(acc[ch] + 0.5), 0.0, 255.0));
      }
    }
  }
  return out;
}

void fitWithin(int width, int height, int maxWidth, int maxHeight, int* outWidth, int* outHeight) {
  int w = std::max(width, 1);
  int h = std::max(height, 1);
  maxWidth = std::max(maxWidth, 1);
  maxHeight = std::max(maxHeight, 1);
  if (w > maxWidth || h > maxHeight) {
    const double scale =
        std::min(static_cast<double>(maxWidth) / w, static_cast<double>(maxHeight) / h);
    w = std::max(1, static_cast<int>(std::lround(w * scale)));
    h = std::max(1, static_cast<int>(std::lround(h * scale)));
  }
  *outWidth = std::min(w, maxWidth);
  *outHeight = std::min(h, maxHeight);
}

namespace detail {

void premultiply(std::vector<uint8_t>& rgba) {
  for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
    const unsigned a = rgba[i + 3];
    if (a == 255) continue;
    for (size_t ch = 0; ch < 3; ++ch) {
      rgba[i + ch] = static_cast<uint8_t>((rgba[i + ch] * a + 127) / 255);
    }
  }
}

}  // namespace detail
}  // namespace orvexa
