// JPEG through the libjpeg API of libjpeg-turbo.
//
// libjpeg reports errors by calling error_exit, which must not return; it
// jumps back (longjmp) to the frame that set the jump. The functions that
// set a jump therefore hold no object with a destructor: whatever needs one
// lives in their caller.
#include <cstdio>  // jpeglib.h needs FILE and size_t first

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/image_decode_codecs.h"

namespace orvexa::detail {
namespace {

// Working memory libjpeg may use beyond the output rows (the coefficient
// buffer of a progressive picture is the big one); past it a decode fails
// instead of allocating without bound.
constexpr long kJpegWorkMemory = 512L << 20;

struct ErrorManager {
  jpeg_error_mgr pub;  // first, so libjpeg's pointer is also ours
  std::jmp_buf jump;
};

[[noreturn]] void jumpOnError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

// Warnings (level -1) mean damaged data, such as a truncated file that
// libjpeg would otherwise finish with gray: the picture counts as undecodable.
// Trace messages (level >= 0) are ignored.
void jumpOnWarning(j_common_ptr cinfo, int level) {
  if (level < 0) std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 2);
}

// Sets `err` up to jump back on errors and warnings; the caller's setjmp
// must follow in its own frame.
jpeg_error_mgr* jumpingErrors(ErrorManager& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = jumpOnError;
  err.pub.emit_message = jumpOnWarning;
  return &err.pub;
}

// The smallest scale n/8 that keeps the picture at least minW x minH.
unsigned scaleNumerator(unsigned width, unsigned height, int minW, int minH) {
  if (minW <= 0 && minH <= 0) return 8;
  for (unsigned n = 1; n < 8; ++n) {
    const unsigned w = (width * n + 7) / 8;
    const unsigned h = (height * n + 7) / 8;
    if (w >= static_cast<unsigned>(std::max(minW, 0)) &&
        h >= static_cast<unsigned>(std::max(minH, 0))) {
      return n;
    }
  }
  return 8;
}

// CMYK rows as libjpeg gives them (4 bytes a pixel) become opaque RGBA in
// place. Adobe files store the inks inverted.
void cmykToRgba(uint8_t* row, size_t pixels, bool inverted) {
  for (size_t i = 0; i < pixels; ++i) {
    uint8_t* p = row + i * 4;
    unsigned c = p[0], m = p[1], y = p[2], k = p[3];
    if (!inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    p[0] = static_cast<uint8_t>((c * k + 127) / 255);
    p[1] = static_cast<uint8_t>((m * k + 127) / 255);
    p[2] = static_cast<uint8_t>((y * k + 127) / 255);
    p[3] = 255;
  }
}

// Decodes into `out`. Holds only plain data (see the file comment).
bool decodeInto(const uint8_t* data, unsigned long size, const DecodeRequest* request,
                PixelBuffer* out, PictureInfo* info) {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jumpingErrors(err);
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  cinfo.mem->max_memory_to_use = kJpegWorkMemory;
  jpeg_mem_src(&cinfo, data, size);
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
  cinfo.scale_num =
      scaleNumerator(cinfo.image_width, cinfo.image_height, request->minWidth, request->minHeight);
  cinfo.scale_denom = 8;
  jpeg_calc_output_dimensions(&cinfo);
  const uint64_t pixels =
      static_cast<uint64_t>(cinfo.output_width) * static_cast<uint64_t>(cinfo.output_height);
  if (pixels == 0 || pixels > request->maxPixels || cinfo.output_components != 4) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  try {
    out->rgba.resize(static_cast<size_t>(pixels) * 4);
  } catch (const std::bad_alloc&) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  out->width = static_cast<int>(cinfo.output_width);
  out->height = static_cast<int>(cinfo.output_height);
  info->format = PictureFormat::jpeg;
  info->width = static_cast<int>(cinfo.image_width);
  info->height = static_cast<int>(cinfo.image_height);
  jpeg_start_decompress(&cinfo);
  const size_t stride = static_cast<size_t>(cinfo.output_width) * 4;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[8];
    JDIMENSION want = 0;
    for (; want < 8 && cinfo.output_scanline + want < cinfo.output_height; ++want) {
      rows[want] = out->rgba.data() + (cinfo.output_scanline + want) * stride;
    }
    const JDIMENSION before = cinfo.output_scanline;
    if (jpeg_read_scanlines(&cinfo, rows, want) == 0) break;
    if (cmyk) {
      for (JDIMENSION y = before; y < cinfo.output_scanline; ++y) {
        cmykToRgba(out->rgba.data() + y * stride, cinfo.output_width, cinfo.saw_Adobe_marker);
      }
    }
  }
  const bool complete = cinfo.output_scanline == cinfo.output_height;
  if (complete) jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return complete;
}

// Encodes `rows` (already in the component layout of `components`) into a
// buffer libjpeg allocates in *buffer. Holds only plain data.
bool encodeInto(const uint8_t* rows, int width, int height, int components, int quality,
                unsigned char** buffer, unsigned long* size) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jumpingErrors(err);
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, buffer, size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = components;
  cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(components);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(rows + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

std::optional<PixelBuffer> decodeJpeg(std::span<const uint8_t> data, const DecodeRequest& request,
                                      PictureInfo* info) {
  PixelBuffer out;
  PictureInfo header;
  if (data.empty() ||
      !decodeInto(data.data(), static_cast<unsigned long>(data.size()), &request, &out, &header)) {
    return std::nullopt;
  }
  if (info) *info = header;
  return out;
}

}  // namespace orvexa::detail

namespace orvexa {

std::vector<uint8_t> encodeJpeg(const PixelBuffer& picture, int quality, bool grayscale) {
  if (picture.empty() || picture.rgba.size() != static_cast<size_t>(picture.width) *
                                                    static_cast<size_t>(picture.height) * 4) {
    return {};
  }
  const int components = grayscale ? 1 : 3;
  const size_t pixels = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
  std::vector<uint8_t> rows(pixels * static_cast<size_t>(components));
  for (size_t i = 0; i < pixels; ++i) {
    for (size_t ch = 0; ch < static_cast<size_t>(components); ++ch) {
      rows[i * static_cast<size_t>(components) + ch] = picture.rgba[i * 4 + ch];
    }
  }
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const bool ok = detail::encodeInto(rows.data(), picture.width, picture.height, components,
                                     std::clamp(quality, 1, 100), &buffer, &size);
  std::vector<uint8_t> out;
  if (ok && buffer != nullptr) out.assign(buffer, buffer + size);
  std::free(buffer);
  return out;
}

}  // namespace orvexa
