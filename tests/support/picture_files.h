// Picture files for tests, written with libjpeg and libpng directly (not
// with the library's own encoders), plus helpers for damaged variants.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
std::string writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::string writePng(const std::string& path, int width, int height, const PixelFn& pixel);
std::string writeJpeg(const std::string& path, int width, int height, const PixelFn& pixel,
                      int quality = 92);

std::vector<uint8_t> readBytes(const std::string& path);

// A picture of 8 x 6 cells of random gray-brown levels drawn from `seed`:
// distinct seeds give pictures that look nothing alike.
PixelFn blocks(uint32_t seed, int width, int height);
// The same picture with every channel raised by `delta` (clamped).
PixelFn brightened(PixelFn pixel, int delta);

// A PNG whose header announces width x height (with a correct checksum)
// and whose image data is a few bytes.
std::vector<uint8_t> pngWithDeclaredSize(uint32_t width, uint32_t height);

}  // namespace orvexa::testing
