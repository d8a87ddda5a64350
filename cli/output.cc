#include "output.h"

#include "context.h"
#include "json_stream.h"

#include <fmt/core.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "orvexa/platform/posix_error.h"

namespace orvexa::cli {

using nlohmann::json;

json featureToJson(const FeatureInformation& feature) {
  std::string text;
  JsonStream out(&text);
  writeFeature(out, feature);
  out.finish();
  return json::parse(text);
}

json moduleToJson(const ModuleInformation& module) {
  json features = json::array();
  for (const FeaturePtr& f : module.featureInfo) features.push_back(featureToJson(*f));
  return json{{"finderID", module.finderID},
              {"title", module.title},
              {"type", module.type},
              {"version", module.version},
              {"featureInfo", std::move(features)}};
}

namespace {

void printFile(const FileInformation& file, int depth) {
  // A web address (a visited page) is shown whole: its path names no file.
  const Url url = file.fileUrl();
  fmt::print("{:{}}{:>10}  {}\n", "", depth * 2, humanSize(file.size),
             url.isFileURL() ? url.path() : url.absoluteString());
  std::vector<FilePtr> children = file.childrens;
  std::stable_sort(children.begin(), children.end(),
                   [](const FilePtr& a, const FilePtr& b) { return a->size > b->size; });
  for (const FilePtr& c : children) printFile(*c, depth + 1);
}

void printCategory(const CategoryInformation& category, int depth) {
  fmt::print("{:{}}{} ({}, {} item{})\n", "", depth * 2, category.title, humanSize(category.size),
             category.childrens.size(), category.childrens.size() == 1 ? "" : "s");
  std::vector<FilePtr> files = category.childrens;
  std::stable_sort(files.begin(), files.end(),
                   [](const FilePtr& a, const FilePtr& b) { return a->size > b->size; });
  for (const FilePtr& f : files) printFile(*f, depth + 1);
  if (category.childrenCateogry) {
    for (const CategoryPtr& c : *category.childrenCateogry) printCategory(*c, depth + 1);
  }
}

}  // namespace

void printFeatureTree(const FeatureInformation& feature, int64_t total) {
  fmt::print("{}\n", feature.title);
  for (const CategoryPtr& c : feature.categoryInfo) printCategory(*c, 1);
  fmt::print("Total: {} ({} bytes)\n", humanSize(total), total);
}

void printJson(const json& document) {
  // File names need not be UTF-8: a byte that is not shows as U+FFFD rather
  // than ending the program.
  fmt::print("{}\n", document.dump(2, ' ', false, json::error_handler_t::replace));
  flushOutput();
  noteDocumentPrinted();
}

void printFeatureJson(const FeatureInformation& feature, const json& more) {
  JsonStream out;
  out.beginObject();
  auto writeMore = [&](bool beforeFeature) {
    for (const auto& [key, value] : more.items()) {
      if ((key < "feature") != beforeFeature) continue;
      out.key(key);
      out.value(value);
    }
  };
  writeMore(true);
  out.key("feature");
  writeFeature(out, feature);
  writeMore(false);
  out.endObject();
  out.finish();
  noteDocumentPrinted();
}

void writeOutput(std::string_view bytes) {
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
    throw OutputError(posixErrorText(errno));
  }
}

void flushOutput() {
  if (std::fflush(stdout) != 0) throw OutputError(posixErrorText(errno));
  // An earlier write may have failed without anyone asking.
  if (std::ferror(stdout) != 0) throw OutputError("an earlier write failed");
}

bool askedYes(std::string_view question) {
  fmt::print(stderr, "{} [y/N] ", question);
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  std::string word;
  for (char c : answer) {
    if (c != ' ' && c != '\t' && c != '\r') {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return word == "y" || word == "yes";
}

}  // namespace orvexa::cli
