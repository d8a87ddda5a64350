// Picture files as pixels: decoding JPEG (libjpeg-turbo) and PNG (libpng)
// into RGBA buffers, area-averaging resampling, and encoding small buffers
// back to PNG or JPEG. This is the library's substitute for the platform's
// image source and bitmap-context drawing.
//
// Pixel buffers hold 8-bit RGBA with premultiplied alpha, rows top first and
// no padding between rows, as a bitmap context with premultiplied-last alpha
// does: a transparent pixel reads as black.
//
// Decoding never trusts the file: the format comes from the content (a ".png"
// that holds a JPEG decodes as JPEG), a decoder warning (truncated or damaged
// data) counts as a failure, and pictures whose pixels would exceed
// DecodeRequest::maxPixels (or files larger than maxFileBytes) are refused
// before anything large is allocated. Failures yield nothing; nothing is
// thrown.
//
// Thread-safety: every function is safe for concurrent use (each call has
// its own decoder state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvexa {

struct PixelBuffer {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4 bytes, premultiplied

  bool empty() const { return width <= 0 || height <= 0; }
};

enum class PictureFormat { unknown, jpeg, png };

// The format announced by a file's first bytes (at least 8 are needed).
PictureFormat sniffPictureFormat(std::span<const uint8_t> firstBytes);

inline constexpr uint64_t kMaxDecodedPixels = uint64_t{64} << 20;  // 67,108,864
inline constexpr uint64_t kMaxPictureFileBytes = uint64_t{256} << 20;

struct DecodeRequest {
  // The smallest size the caller will resample to. A JPEG may then be
  // decoded at 1/8 .. 8/8 of its size (scaling in the DCT domain, which is
  // an average over 8 x 8 blocks at 1/8) as long as both sides stay at least
  // this large. 0 asks for the full size.
  int minWidth = 0;
  int minHeight = 0;
  // The most pixels a decode may produce; larger pictures are refused.
  uint64_t maxPixels = kMaxDecodedPixels;
  uint64_t maxFileBytes = kMaxPictureFileBytes;
};

// What a picture's header says: its format and full size (before any DCT
// shrinking).
struct PictureInfo {
  PictureFormat format = PictureFormat::unknown;
  int width = 0;
  int height = 0;
};

// Decodes the picture file at `path`. Nothing when it cannot be read, is not
// a JPEG or PNG, is damaged or truncated, or is too large. `info`, when
// given, receives the header's values of a successful decode.
std::optional<PixelBuffer> decodePictureFile(const std::string& path,
                                             const DecodeRequest& request = {},
                                             PictureInfo* info = nullptr);
// The same for bytes in memory.
std::optional<PixelBuffer> decodePictureData(std::span<const uint8_t> data,
                                             const DecodeRequest& request = {},
                                             PictureInfo* info = nullptr);

// Stretches `source` to exactly width x height with an area-averaging (box)
// filter: every output pixel is the coverage-weighted mean of the source
// pixels under it, rounded to nearest. Enlarging replicates pixels. A
// non-positive size or an empty source gives an empty buffer.
PixelBuffer resampleArea(const PixelBuffer& source, int width, int height);

// The largest size of the picture's aspect ratio that fits in maxWidth x
// maxHeight without enlarging it (at least 1 x 1).
void fitWithin(int width, int height, int maxWidth, int maxHeight, int* outWidth, int* outHeight);

// PNG bytes of the buffer (alpha un-premultiplied; RGB when fully opaque).
// Empty on failure.
std::vector<uint8_t> encodePng(const PixelBuffer& picture);

// Baseline JPEG bytes of the buffer's colour values (alpha is dropped, so
// transparent areas come out black) at quality 1..100; with `grayscale` the
// red channel is written as one gray component. Empty on failure.
std::vector<uint8_t> encodeJpeg(const PixelBuffer& picture, int quality, bool grayscale = false);

}  // namespace orvexa
