// Small pieces the disk tree reports share: JSON string quoting and a
// buffer that hands full chunks to a sink.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "orvexa/model/forward.h"
#include "orvexa/platform/url.h"
#include "orvexa/scan/disk_analysis/disk_tree_report.h"

namespace orvexa::disk_analysis {

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
std::string isoDate(Timestamp date);

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

}  // namespace orvexa::disk_analysis
