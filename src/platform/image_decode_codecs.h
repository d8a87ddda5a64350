// The codec halves of image_decode.h: each decodes or encodes one format.
// Internal to the platform folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "orvexa/platform/image_decode.h"

namespace orvexa::detail {

// Both return nothing on any error or warning, or when the picture exceeds
// request.maxPixels (checked before the pixels are allocated).
// `info` (may be null) receives the full size on success.
std::optional<PixelBuffer> decodeJpeg(std::span<const uint8_t> data, const DecodeRequest& request,
                                      PictureInfo* info);
std::optional<PixelBuffer> decodePng(std::span<const uint8_t> data, const DecodeRequest& request,
                                     PictureInfo* info);

// Premultiplies straight RGBA in place, rounding to nearest.
void premultiply(std::vector<uint8_t>& rgba);

}  // namespace orvexa::detail
