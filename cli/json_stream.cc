#include "json_stream.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "output.h"

namespace orvexa::cli {
namespace {

constexpr size_t kSpillBytes = 64 * 1024;

}  // namespace

JsonStream::JsonStream(std::string* text) : text_(text) {}

JsonStream::~JsonStream() {
  try {
    spill();
  } catch (...) {  // a failed write has been or will be reported by finish
  }
}

void JsonStream::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (counts_.empty()) return;
  buffer_ += counts_.back()++ == 0 ? "\n" : ",\n";
  buffer_.append(2 * counts_.size(), ' ');
}

void JsonStream::open(char bracket) {
  beforeValue();
  buffer_ += bracket;
  counts_.push_back(0);
}

void JsonStream::close(char bracket) {
  const size_t n = counts_.back();
  counts_.pop_back();
  if (n > 0) {
    buffer_ += '\n';
    buffer_.append(2 * counts_.size(), ' ');
  }
  buffer_ += bracket;
  if (buffer_.size() >= kSpillBytes) spill();
}

void JsonStream::key(std::string_view name) {
  beforeValue();
  quoted(name);
  buffer_ += ": ";
  afterKey_ = true;
}

void JsonStream::value(std::string_view text) {
  beforeValue();
  quoted(text);
}

void JsonStream::quoted(std::string_view text) { appendJsonString(buffer_, text); }

void JsonStream::value(int64_t number) {
  beforeValue();
  fmt::format_to(std::back_inserter(buffer_), "{}", number);
}

void JsonStream::value(bool flag) {
  beforeValue();
  buffer_ += flag ? "true" : "false";
}

void JsonStream::value(const nlohmann::json& document) {
  beforeValue();
  // A dumped string holds no raw line end, so every one starts a line.
  const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  const std::string indent(2 * counts_.size(), ' ');
  for (char c : text) {
    buffer_ += c;
    if (c == '\n') buffer_ += indent;
  }
}

void JsonStream::spill() {
  if (text_ != nullptr) {
    *text_ += buffer_;
  } else {
    writeOutput(buffer_);
  }
  buffer_.clear();
}

void JsonStream::finish() {
  buffer_ += '\n';
  spill();
  if (text_ == nullptr) flushOutput();
}

namespace {

void writeFile(JsonStream& out, const FileInformation& file) {
  out.beginObject();
  out.member("allocatedSize", file.allocatedSize());
  out.member("canDelete", file.canDelete);
  out.key("childrens");
  out.beginArray();
  for (const FilePtr& c : file.childrens) writeFile(out, *c);
  out.endArray();
  out.member("date", isoDate(file.date));
  out.member("deleteErrorDesc", file.deleteErrorDesc.str());
  out.member("deleteStatus", file.deleteStatus);
  out.member("fileKind", file.fileKind);
  out.member("finderID", file.finderID());
  out.member("parentFinderID", file.parentFinderID);
  if (!file.scanErrorDesc.empty()) out.member("scanErrorDesc", file.scanErrorDesc.str());
  out.member("size", file.size);
  out.member("state", file.state);
  out.member("title", file.title);
  out.member("url", file.fileUrl().absoluteString());
  out.endObject();
}

void writeCategory(JsonStream& out, const CategoryInformation& category) {
  out.beginObject();
  if (category.childrenCateogry) {
    out.key("childrenCateogry");
    out.beginArray();
    for (const CategoryPtr& c : *category.childrenCateogry) writeCategory(out, *c);
    out.endArray();
  }
  out.key("childrens");
  out.beginArray();
  for (const FilePtr& f : category.childrens) writeFile(out, *f);
  out.endArray();
  out.member("finderID", category.finderID());
  out.member("kind", category.kind);
  out.member("size", category.size);
  out.member("state", category.state);
  out.member("title", category.title);
  out.key("urls");
  out.beginArray();
  for (const Url& u : category.urls) out.value(u.absoluteString());
  out.endArray();
  out.endObject();
}

}  // namespace

void writeFeature(JsonStream& out, const FeatureInformation& feature) {
  out.beginObject();
  out.key("categoryInfo");
  out.beginArray();
  for (const CategoryPtr& c : feature.categoryInfo) writeCategory(out, *c);
  out.endArray();
  out.member("finderID", feature.finderID);
  out.member("state", feature.state);
  out.member("title", feature.title);
  out.endObject();
}

}  // namespace orvexa::cli
