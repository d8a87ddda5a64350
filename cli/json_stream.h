// JSON written as it is produced: the result tree of a scan (any number of
// records) goes to standard output in 64 KiB pieces instead of being built as
// a document first, which cost as much time and memory as the scan's own
// records on large results.
//
// The text has the layout of printJson: two spaces of indentation, the keys
// of the records in sorted order; strings are quoted as units/json_text.h
// does (U+FFFD for each byte that is not UTF-8). Callers write keys and
// values in a valid order; nothing is checked.
//
// Errors: writing standard output throws OutputError (output.h), as
// writeOutput does. Not thread-safe; one stream per document.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "orvexa/model/records.h"

namespace orvexa::cli {

class JsonStream {
 public:
  // To standard output, or appended to `*text` when given.
  explicit JsonStream(std::string* text = nullptr);
  ~JsonStream();  // hands on what is buffered; never throws (call finish)
  JsonStream(const JsonStream&) = delete;
  JsonStream& operator=(const JsonStream&) = delete;

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  // Inside an object: the key of the next value.
  void key(std::string_view name);
  void value(std::string_view text);
  void value(const char* text) { value(std::string_view(text)); }
  void value(const std::string& text) { value(std::string_view(text)); }
  void value(int64_t number);
  void value(int number) { value(static_cast<int64_t>(number)); }
  void value(bool flag);
  // Any small document, laid out at the current depth.
  void value(const nlohmann::json& document);
  // Inside an object: a key and its value.
  template <typename T>
  void member(std::string_view name, const T& v) {
    key(name);
    value(v);
  }

  // Writes a line end and hands everything on; throws OutputError.
  void finish();

 private:
  void open(char bracket);
  void close(char bracket);
  void beforeValue();
  void quoted(std::string_view text);
  void spill();

  std::string* text_;
  std::string buffer_;
  std::vector<size_t> counts_;  // values so far in each open container
  bool afterKey_ = false;
};

// The feature and its records as printJson shows them (featureToJson's
// document).
void writeFeature(JsonStream& out, const FeatureInformation& feature);

}  // namespace orvexa::cli
