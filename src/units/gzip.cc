#include "orvexa/units/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstddef>

namespace orvexa {
namespace {

// Growth step of the compression output.
constexpr size_t kChunk = size_t{1} << 14;

GzipError::Kind kindOf(int code) {
  switch (code) {
    case Z_STREAM_ERROR:
      return GzipError::Kind::stream;
    case Z_DATA_ERROR:
      return GzipError::Kind::data;
    case Z_MEM_ERROR:
      return GzipError::Kind::memory;
    case Z_BUF_ERROR:
      return GzipError::Kind::buffer;
    case Z_VERSION_ERROR:
      return GzipError::Kind::version;
    default:
      return GzipError::Kind::unknown;
  }
}

// zlib counts in uInt; larger buffers are handed over in pieces.
uInt clampToUInt(size_t n) { return static_cast<uInt>(std::min<size_t>(n, UINT_MAX)); }

// Owns an initialised z_stream and ends it however the scope is left.
class Stream {
 public:
  enum class Mode { deflate, inflate };

  Stream(Mode mode, int level, int wBits) : mode_(mode) {
    const int rc = mode == Mode::deflate
                       ? deflateInit2(&zs_, level, Z_DEFLATED, wBits, 9, Z_DEFAULT_STRATEGY)
                       : inflateInit2(&zs_, wBits);
    if (rc != Z_OK) throw GzipError(rc, zs_.msg);
    live_ = true;
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream() {
    if (live_) (void)(mode_ == Mode::deflate ? deflateEnd(&zs_) : inflateEnd(&zs_));
  }

  // Ends the stream, reporting a failure of the end itself.
  void end() {
    live_ = false;
    const int rc = mode_ == Mode::deflate ? deflateEnd(&zs_) : inflateEnd(&zs_);
    if (rc != Z_OK) throw GzipError(rc, zs_.msg);
  }

  // One deflate or inflate call from data[consumed..] into out[written..];
  // advances both counts by what zlib took and gave. Returns zlib's code.
  int step(const Data& data, size_t& consumed, Data& out, size_t& written, int flush) {
    zs_.next_in = data.data() + consumed;
    zs_.avail_in = clampToUInt(data.size() - consumed);
    zs_.next_out = out.data() + written;
    zs_.avail_out = clampToUInt(out.size() - written);
    const uInt inBefore = zs_.avail_in;
    const uInt outBefore = zs_.avail_out;
    const int rc = mode_ == Mode::deflate ? deflate(&zs_, flush) : inflate(&zs_, flush);
    consumed += inBefore - zs_.avail_in;
    written += outBefore - zs_.avail_out;
    return rc;
  }

  const char* message() const { return zs_.msg; }

 private:
  z_stream zs_{};
  Mode mode_;
  bool live_ = false;
};

}  // namespace

GzipError::GzipError(int code, const char* msg)
    : std::runtime_error(msg != nullptr ? msg : "Unknown gzip error"),
      kind_(kindOf(code)),
      code_(code) {}

bool isGzipped(const Data& data) { return data.size() >= 2 && data[0] == 0x1F && data[1] == 0x8B; }

Data gzipped(const Data& data, CompressionLevel level, int wBits) {
  if (data.empty()) return {};
  Stream stream(Stream::Mode::deflate, level.rawValue, wBits);
  Data output(kChunk);
  size_t consumed = 0;
  size_t written = 0;
  for (;;) {
    if (written == output.size()) output.resize(output.size() + kChunk);
    const bool lastInput = data.size() - consumed <= UINT_MAX;
    const int rc = stream.step(data, consumed, output, written, lastInput ? Z_FINISH : Z_NO_FLUSH);
    if (rc == Z_STREAM_END) break;
    // Z_BUF_ERROR only says no progress was possible with this much room;
    // the next round brings more.
    if (rc != Z_OK && rc != Z_BUF_ERROR) throw GzipError(rc, stream.message());
  }
  stream.end();
  output.resize(written);
  return output;
}

Data gunzipped(const Data& data, int wBits) {
  if (data.empty()) return {};
  const size_t growth = std::max<size_t>(data.size() / 2, 1);
  Data output(data.size() * 2);
  size_t consumed = 0;
  size_t written = 0;
  while (consumed < data.size()) {  // one gzip member per round
    Stream stream(Stream::Mode::inflate, 0, wBits);
    int rc = Z_OK;
    do {
      if (written == output.size()) output.resize(output.size() + growth);
      rc = stream.step(data, consumed, output, written, Z_SYNC_FLUSH);
    } while (rc == Z_OK);
    // Anything but the member's end, a truncated member (Z_BUF_ERROR)
    // included, is an error: a partial payload is never returned.
    if (rc != Z_STREAM_END) throw GzipError(rc, stream.message());
    stream.end();
  }
  output.resize(written);
  return output;
}

Data decompressed(const Data& data) {
  if (data.empty()) return {};
  try {
    Stream stream(Stream::Mode::inflate, 0, -MAX_WBITS);
    Data output(kDecompressedLimit);
    size_t consumed = 0;
    size_t written = 0;
    int rc = Z_OK;
    while (rc == Z_OK && written < output.size()) {
      rc = stream.step(data, consumed, output, written, Z_NO_FLUSH);
    }
    // A full buffer is the documented cut-off, whatever the rest would be;
    // short of that only a finished stream counts (a truncated one is
    // undecodable, not a shorter result).
    if (rc != Z_STREAM_END && written < output.size()) return {};
    output.resize(written);
    output.shrink_to_fit();
    return output;
  } catch (const GzipError&) {
    return {};
  }
}

std::string string(const Data& data) { return std::string(data.begin(), data.end()); }

}  // namespace orvexa
