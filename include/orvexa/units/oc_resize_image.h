// OCResizeImage: the tiny thumbnail a perceptual fingerprint is made from.
// A picture file is decoded (platform/image_decode.h; a JPEG is shrunk in
// the DCT domain first, down to 1/8, as long as it keeps at least 8 pixels
// per thumbnail pixel along each side) and stretched to exactly
// W x H with an area-averaging filter over premultiplied RGBA, so transparent
// areas read as black. Pixels are then read row by row from the top, left to
// right, into two lists:
//   "GRAY": trunc(R * 0.3) + trunc(G * 0.59) + trunc(B * 0.11), each product
//           in double precision truncated on its own (white gives 254);
//   "MEAN": (R + G + B) / 3 in integer division.
//
// Thread-safety: stateless; safe for concurrent use.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "orvexa/platform/image_decode.h"

namespace orvexa {

class OCResizeImage {
 public:
  using Lists = std::map<std::string, std::vector<int>>;

  static constexpr const char* kGrayKey = "GRAY";
  static constexpr const char* kMeanKey = "MEAN";

  // Despite its name, returns the pixel lists of the picture at `path`, not
  // a path. Always holds exactly the two keys; both lists are empty when the
  // file cannot be read or decoded (missing, truncated, not a JPEG or PNG
  // whatever its name says, too large) or the size is not positive.
  static Lists imagePath(const std::string& path, int32_t imageWidth, int32_t imageHeight);

  // The same for a picture already decoded.
  static Lists fromPicture(const PixelBuffer& picture, int32_t imageWidth, int32_t imageHeight);

  OCResizeImage() = delete;
};

}  // namespace orvexa
