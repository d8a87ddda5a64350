// NewMetalScaleImageService: a picture scaled to a given size with a Lanczos
// filter, and the gray levels of the result.
//
// On the system this library was designed for, the scaling runs on the GPU
// (a Metal device, a texture loader and a Lanczos scaling kernel). There is
// no GPU interface on this platform: the same steps run on the CPU here. The
// device argument is a placeholder that carries nothing, the "texture" is the
// decoded picture (platform/image_decode.h, premultiplied RGBA, so
// transparent areas read as black), and there is no command queue. The
// contract of getGray() is the same as on the GPU.
//
// Header location: units/, beside the other shared services.
//
// Thread-safety: an instance belongs to one thread; instances are
// independent.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "orvexa/platform/image_decode.h"
#include "orvexa/platform/url.h"

namespace orvexa {

// Stands in for the GPU device of the original design.
struct MTLDevice {};

struct ImageSize {
  double width = 0;
  double height = 0;
};

// A Lanczos scaler that runs on the CPU (the name is the GPU service's it
// replaces; no Metal here).
class NewMetalScaleImageService {
 public:
  // Stores the three values and loads the picture at once (configure()); a
  // picture that cannot be loaded leaves the source empty.
  NewMetalScaleImageService(MTLDevice device, Url imageURL, ImageSize outputSize);

  // The gray list of the picture scaled to the integer parts of outputSize:
  // for each pixel in row order (top row first), with its bytes r, g, b,
  // trunc(r * 0.3f + g * 0.59f + b * 0.11f) in single precision, truncated
  // once. Nothing when the source is empty or the size is not positive.
  std::optional<std::vector<int>> getGray() const;

 private:
  // Destination = source * scale + translate, per axis.
  struct ScaleTransform {
    double scaleX = 1;
    double scaleY = 1;
    double translateX = 0;
    double translateY = 0;
  };

  void configure();
  static ScaleTransform scaleTransform(const PixelBuffer& from, const PixelBuffer& to);
  // The source scaled to the output size with a Lanczos (a = 3) filter,
  // widened when shrinking so every source pixel contributes.
  std::optional<PixelBuffer> scale() const;

  MTLDevice device_;
  Url imageURL_;
  ImageSize outputSize_;
  std::optional<PixelBuffer> originalTexture_;
};

}  // namespace orvexa
