// gzip and zlib operations on byte buffers.
//
// `Data` is the library's byte buffer: a std::vector<uint8_t> (the same type
// as PlistValue::Data). Texts are carried as UTF-8 bytes.
//
// Errors: gzipped and gunzipped are the library's one exception to "no
// exception crosses the interface": a zlib failure throws GzipError.
// Everything else here is noexcept in practice (only allocation can throw).
//
// Thread-safety: every operation works on its arguments and its own zlib
// stream only, so calls may run on any threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvexa {

using Data = std::vector<uint8_t>;

// A zlib compression level. Any value zlib accepts (-1, 0..9) can be made
// from its raw value; others make gzipped throw kind `stream`.
struct CompressionLevel {
  int32_t rawValue;
  constexpr explicit CompressionLevel(int32_t raw) : rawValue(raw) {}

  static const CompressionLevel noCompression;
  static const CompressionLevel bestSpeed;
  static const CompressionLevel bestCompression;
  static const CompressionLevel defaultCompression;
};
inline constexpr CompressionLevel CompressionLevel::noCompression{0};
inline constexpr CompressionLevel CompressionLevel::bestSpeed{1};
inline constexpr CompressionLevel CompressionLevel::bestCompression{9};
inline constexpr CompressionLevel CompressionLevel::defaultCompression{-1};

// A failed zlib call: its code classified, and zlib's message or
// "Unknown gzip error".
class GzipError : public std::runtime_error {
 public:
  // `unknown` stands for any code without a name; code() keeps it.
  enum class Kind { stream, data, memory, buffer, version, unknown };

  // `code` is zlib's return code (Z_STREAM_ERROR -2 ... Z_VERSION_ERROR -6),
  // `msg` zlib's message, which may be null.
  GzipError(int code, const char* msg);

  Kind kind() const noexcept { return kind_; }
  int code() const noexcept { return code_; }
  std::string message() const { return what(); }
  std::string localizedDescription() const { return what(); }

 private:
  Kind kind_;
  int code_;
};

// True when the buffer starts with the gzip signature 0x1F 0x8B.
bool isGzipped(const Data& data);

// Deflates `data`. wBits 31 writes a gzip member, 15 a zlib stream, -15 raw
// deflate. An empty buffer gives an empty buffer, without any header.
// Throws GzipError.
Data gzipped(const Data& data, CompressionLevel level = CompressionLevel::defaultCompression,
             int wBits = 31);

// Inflates `data`: with the default wBits 47 the header tells gzip from zlib.
// Concatenated members are decoded one after another and their payloads
// joined; the input must end exactly after a member. An empty buffer gives an
// empty buffer. Throws GzipError: kind `data` for a corrupt stream, `buffer`
// for a truncated one.
Data gunzipped(const Data& data, int wBits = 47);

// The largest output decompressed() produces; longer output is cut here.
inline constexpr size_t kDecompressedLimit = 8'000'000;

// Inflates raw deflate data (no header) into at most kDecompressedLimit bytes.
// Undecodable or truncated input gives an empty buffer; input that decodes to
// more than the limit gives its first kDecompressedLimit bytes.
Data decompressed(const Data& data);

// The bytes as text; callers pass UTF-8.
std::string string(const Data& data);

}  // namespace orvexa
