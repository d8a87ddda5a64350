// Picture files for tests, written with libjpeg and libpng directly (not
// with the library's own encoders), plus helpers for damaged variants.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace orvexa::testing {

struct Rgba {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  uint8_t a = 255;
};

// A picture given pixel by pixel.
using PixelFn = std::function<Rgba(int x, int y)>;

std::vector<uint8_t> pngBytes(int width, int height, const PixelFn& pixel);
// Alpha is ignored. `grayscale` writes one component (the red channel).
std::vector<uint8_t> jpegBytes(int width, int height, const PixelFn& pixel, int quality = 92,
                               bool grayscale = false);

// Writes bytes to `path` (folders are created); returns the path.
inline std::string writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  return writeFileAt(path,
                     std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}
inline std::string writePng(const std::string& path, int width, int height, const PixelFn& pixel) {
  return writeBytes(path, pngBytes(width, height, pixel));
}
inline std::string writeJpeg(const std::string& path, int width, int height, const PixelFn& pixel,
                             int quality = 92) {
  return writeBytes(path, jpegBytes(width, height, pixel, quality));
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
  const std::string bytes = readFile(path);
  return {bytes.begin(), bytes.end()};
}

// A picture of 8 x 6 cells of random gray-brown levels drawn from `seed`:
// distinct seeds give pictures that look nothing alike.
inline PixelFn blocks(uint32_t seed, int width, int height) {
  std::mt19937 random(seed);
  std::vector<Rgba> cells(48);
  for (Rgba& c : cells) {
    const auto level = static_cast<uint8_t>(random() % 256);
    c = Rgba{level, static_cast<uint8_t>(level * 3 / 4), static_cast<uint8_t>(level / 2), 255};
  }
  return [cells, width, height](int x, int y) {
    return cells[static_cast<size_t>(y * 6 / height * 8 + x * 8 / width)];
  };
}
// The same picture with every channel raised by `delta` (clamped).
inline PixelFn brightened(PixelFn pixel, int delta) {
  return [pixel, delta](int x, int y) {
    Rgba p = pixel(x, y);
    auto up = [delta](uint8_t v) { return static_cast<uint8_t>(std::min(255, v + delta)); };
    return Rgba{up(p.r), up(p.g), up(p.b), p.a};
  };
}

}  // namespace orvexa::testing
