#include "orvexa/units/new_metal_scale_image_service.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace orvexa {
namespace {

constexpr double kLobes = 3.0;

double lanczos(double x) {
  x = std::abs(x);
  if (x < 1e-12) return 1.0;
  if (x >= kLobes) return 0.0;
  const double px = std::numbers::pi * x;
  return kLobes * std::sin(px) * std::sin(px / kLobes) / (px * px);
}

// The weights of one output pixel along one axis.
struct Taps {
  int first = 0;
  std::vector<double> weights;
};

// Output pixel i sits at source coordinate (i + 0.5 - translate) / scale -
// 0.5; the filter is stretched by 1 / scale when shrinking.
std::vector<Taps> taps(int target, double scale, double translate) {
  std::vector<Taps> out(static_cast<size_t>(target));
  const double stretch = std::max(1.0, 1.0 / scale);
  const double support = kLobes * stretch;
  for (int i = 0; i < target; ++i) {
    const double center = (static_cast<double>(i) + 0.5 - translate) / scale - 0.5;
    const int lo = static_cast<int>(std::floor(center - support)) + 1;
    const int hi = static_cast<int>(std::ceil(center + support)) - 1;
    Taps& t = out[static_cast<size_t>(i)];
    t.first = lo;
    double total = 0;
    for (int k = lo; k <= hi; ++k) {
      const double w = lanczos((static_cast<double>(k) - center) / stretch);
      t.weights.push_back(w);
      total += w;
    }
    if (std::abs(total) > 1e-12) {
      for (double& w : t.weights) w /= total;
    }
  }
  return out;
}

}  // namespace

NewMetalScaleImageService::NewMetalScaleImageService(MTLDevice device, Url imageURL,
                                                     ImageSize outputSize)
    : device_(device), imageURL_(std::move(imageURL)), outputSize_(outputSize) {
  configure();
}

void NewMetalScaleImageService::configure() {
  DecodeRequest request;
  // The JPEG decoder may shrink first, keeping twice the output size so the
  // Lanczos filter still has detail to work on.
  if (outputSize_.width >= 1 && outputSize_.height >= 1) {
    request.minWidth = static_cast<int>(std::min(outputSize_.width * 2, 65535.0));
    request.minHeight = static_cast<int>(std::min(outputSize_.height * 2, 65535.0));
  }
  originalTexture_ = decodePictureFile(imageURL_.path(), request);
}

NewMetalScaleImageService::ScaleTransform NewMetalScaleImageService::scaleTransform(
    const PixelBuffer& from, const PixelBuffer& to) {
  ScaleTransform t;
  t.scaleX = static_cast<double>(to.width) / static_cast<double>(from.width);
  t.scaleY = static_cast<double>(to.height) / static_cast<double>(from.height);
  t.translateX = (static_cast<double>(to.width) - static_cast<double>(from.width) * t.scaleX) / 2;
  t.translateY = (static_cast<double>(to.height) - static_cast<double>(from.height) * t.scaleY) / 2;
  return t;
}

std::optional<PixelBuffer> NewMetalScaleImageService::scale() const {
  if (!originalTexture_ || originalTexture_->empty()) return std::nullopt;
  if (!(outputSize_.width >= 1 && outputSize_.height >= 1)) return std::nullopt;
  if (outputSize_.width * outputSize_.height > static_cast<double>(kMaxDecodedPixels)) {
    return std::nullopt;
  }
  const PixelBuffer& src = *originalTexture_;
  PixelBuffer dst;
  dst.width = static_cast<int>(outputSize_.width);
  dst.height = static_cast<int>(outputSize_.height);
  const ScaleTransform t = scaleTransform(src, dst);
  const std::vector<Taps> across = taps(dst.width, t.scaleX, t.translateX);
  const std::vector<Taps> down = taps(dst.height, t.scaleY, t.translateY);
  const size_t sw = static_cast<size_t>(src.width);
  const size_t dw = static_cast<size_t>(dst.width);

  std::vector<double> rows(static_cast<size_t>(src.height) * dw * 4);
  for (size_t y = 0; y < static_cast<size_t>(src.height); ++y) {
    for (size_t x = 0; x < dw; ++x) {
      const Taps& tp = across[x];
      double acc[4] = {0, 0, 0, 0};
      for (size_t k = 0; k < tp.weights.size(); ++k) {
        const int sx = std::clamp(tp.first + static_cast<int>(k), 0, src.width - 1);
        const uint8_t* p = src.rgba.data() + (y * sw + static_cast<size_t>(sx)) * 4;
        for (size_t ch = 0; ch < 4; ++ch) acc[ch] += tp.weights[k] * p[ch];
      }
      std::copy(acc, acc + 4, rows.begin() + static_cast<std::ptrdiff_t>((y * dw + x) * 4));
    }
  }
  dst.rgba.resize(dw * static_cast<size_t>(dst.height) * 4);
  for (size_t y = 0; y < static_cast<size_t>(dst.height); ++y) {
    const Taps& tp = down[y];
    for (size_t x = 0; x < dw; ++x) {
      double acc[4] = {0, 0, 0, 0};
      for (size_t k = 0; k < tp.weights.size(); ++k) {
        const int sy = std::clamp(tp.first + static_cast<int>(k), 0, src.height - 1);
        const double* p = rows.data() + (static_cast<size_t>(sy) * dw + x) * 4;
        for (size_t ch = 0; ch < 4; ++ch) acc[ch] += tp.weights[k] * p[ch];
      }
      uint8_t* o = dst.rgba.data() + (y * dw + x) * 4;
      for (size_t ch = 0; ch < 4; ++ch) {
        o[ch] = static_cast<uint8_t>(std::clamp(std::floor(acc[ch] + 0.5), 0.0, 255.0));
      }
    }
  }
  return dst;
}

std::optional<std::vector<int>> NewMetalScaleImageService::getGray() const {
  std::optional<PixelBuffer> scaled = scale();
  if (!scaled) return std::nullopt;
  std::vector<int> gray;
  const size_t count = static_cast<size_t>(scaled->width) * static_cast<size_t>(scaled->height);
  gray.reserve(count);
  for (size_t p = 0; p < count; ++p) {
    const float value = static_cast<float>(scaled->rgba[4 * p]) * 0.3f +
                        static_cast<float>(scaled->rgba[4 * p + 1]) * 0.59f +
                        static_cast<float>(scaled->rgba[4 * p + 2]) * 0.11f;
    gray.push_back(static_cast<int>(value));
  }
  return gray;
}

}  // namespace orvexa
