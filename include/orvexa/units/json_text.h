// JSON text written by hand, for documents too large to build first (a
// scan's records, a disk tree): string quoting, file URLs written straight
// from paths, dates, and a buffer that hands full chunks to a sink.
//
// Thread-safety: the functions are pure; a ChunkedOutput belongs to one
// writer. Errors: none of their own; a sink may throw, and the exception
// reaches the caller of maybeFlush or flush.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "orvexa/platform/url.h"

namespace orvexa {

// Receives output in pieces, in order.
using TextSink = std::function<void(std::string_view)>;

// Appends `text` as a JSON string literal. Bytes that are not valid UTF-8
// become U+FFFD; control characters, '<', '>', '&', U+2028 and U+2029 are
// escaped, so the literal may also stand inside an HTML <script> element.
void appendJsonString(std::string& out, std::string_view text);

// Appends the JSON string literal of url.absoluteString(), written straight
// from the path (records of deep trees have paths of many kilobytes).
void appendJsonFileUrl(std::string& out, const Url& url);
// The same for the file URL of `path`.
void appendJsonFilePath(std::string& out, const std::string& path, bool isDirectory);

// "2024-01-02T03:04:05Z" (UTC).
std::string isoDate(std::chrono::system_clock::time_point date);

// Collects text and passes it on in chunks of about 64 KiB.
class ChunkedOutput {
 public:
  explicit ChunkedOutput(const TextSink& sink) : sink_(sink) { buffer_.reserve(kChunk + 4096); }
  ~ChunkedOutput() { flush(); }
  ChunkedOutput(const ChunkedOutput&) = delete;
  ChunkedOutput& operator=(const ChunkedOutput&) = delete;

  // The buffer to append to; call maybeFlush() after appending.
  std::string& text() { return buffer_; }
  void maybeFlush() {
    if (buffer_.size() >= kChunk) flush();
  }
  void flush() {
    if (!buffer_.empty() && sink_) sink_(buffer_);
    buffer_.clear();
  }

 private:
  static constexpr size_t kChunk = 64 * 1024;
  const TextSink& sink_;
  std::string buffer_;
};

}  // namespace orvexa
