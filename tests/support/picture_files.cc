#include "support/picture_files.h"

#include <cstdio>  // jpeglib.h needs FILE and size_t first

#include <jpeglib.h>
#include <png.h>

#include <cstdlib>

namespace orvexa::testing {

std::vector<uint8_t> pngBytes(int width, int height, const PixelFn& pixel) {
  std::vector<uint8_t> rgba;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgba p = pixel(x, y);
      rgba.insert(rgba.end(), {p.r, p.g, p.b, p.a});
    }
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  png_image_write_get_memory_size(image, size, 0, rgba.data(), 0, nullptr);
  std::vector<uint8_t> out(size);
  const bool written =
      png_image_write_to_memory(&image, out.data(), &size, 0, rgba.data(), 0, nullptr) != 0;
  out.resize(written ? size : 0);
  png_image_free(&image);
  return out;
}

std::vector<uint8_t> jpegBytes(int width, int height, const PixelFn& pixel, int quality,
                               bool grayscale) {
  // The inputs are always valid here: libjpeg's default error handler
  // (which ends the process) is good enough for a test fixture.
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = grayscale ? 1 : 3;
  cinfo.in_color_space = grayscale ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<uint8_t> row;
  for (int y = 0; y < height; ++y) {
    row.clear();
    for (int x = 0; x < width; ++x) {
      const Rgba p = pixel(x, y);
      const uint8_t rgb[] = {p.r, p.g, p.b};
      row.insert(row.end(), rgb, rgb + (grayscale ? 1 : 3));
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<uint8_t> out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

}  // namespace orvexa::testing
