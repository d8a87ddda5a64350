// orvexa similar-images PATH...: groups of pictures that look alike, as
// text, JSON, or a self-contained HTML page with a thumbnail of every
// picture so that a person can judge the matches at a glance; --clean
// removes the selected pictures, never a whole group.
#include <fmt/core.h>
#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "orvexa/platform/image_decode.h"
#include "orvexa/scan/similar_image/similar_scan_service.h"
#include "output.h"
#include "scan_session.h"

namespace orvexa::cli {
namespace {

// Looking alike is no reason to delete anything: --clean deletes only what
// --select names, and of a group whose members are all selected the first
// one stays.
constexpr CleanTicking kTicking{.requireSelect = true, .keepOneOfEachGroup = true};

constexpr const char* kModuleType = "SimilarImage";
constexpr int kDefaultThreshold = 5;
constexpr int kThumbnailSide = 160;

std::vector<std::string> paths;
int threshold = kDefaultThreshold;
bool ignoreBrightness = false;
std::string htmlFile;

// A thumbnail's bytes as base64 text (thumbnails are far below INT_MAX bytes).
std::string base64(const std::vector<uint8_t>& bytes) {
  std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(length));
  return out;
}

std::string escapeHtml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A small PNG of the picture as a data URI (never larger than the picture),
// shown at kThumbnailSide in proportion so that every picture of a group
// appears at the same scale; empty when the picture cannot be decoded.
struct Thumbnail {
  std::string dataUri;
  int displayWidth = 0;
  int displayHeight = 0;
  PictureInfo info;
};

Thumbnail thumbnailOf(const std::string& path) {
  DecodeRequest request;
  request.minWidth = kThumbnailSide;
  request.minHeight = kThumbnailSide;
  Thumbnail t;
  std::optional<PixelBuffer> picture = decodePictureFile(path, request, &t.info);
  if (!picture) return {};
  int width = 0;
  int height = 0;
  fitWithin(picture->width, picture->height, kThumbnailSide, kThumbnailSide, &width, &height);
  const std::vector<uint8_t> png = encodePng(resampleArea(*picture, width, height));
  if (png.empty()) return {};
  const double scale = std::min(static_cast<double>(kThumbnailSide) / picture->width,
                                static_cast<double>(kThumbnailSide) / picture->height);
  t.displayWidth = std::max(1, static_cast<int>(picture->width * scale));
  t.displayHeight = std::max(1, static_cast<int>(picture->height * scale));
  t.dataUri = "data:image/png;base64," + base64(png);
  return t;
}

const char* formatName(PictureFormat format) {
  switch (format) {
    case PictureFormat::jpeg:
      return "JPEG";
    case PictureFormat::png:
      return "PNG";
    case PictureFormat::unknown:
      break;
  }
  return "?";
}

std::string countText(size_t count) {
  return fmt::format("{} picture{}", count, count == 1 ? "" : "s");
}

bool writeHtml(const std::string& file, const CategoryPtr& all, int64_t total) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Similar images</title>\n<style>\n"
      "body{font-family:system-ui,sans-serif;margin:24px;background:#f4f4f6;color:#222}\n"
      "h1{font-size:22px;margin:0 0 4px}\n.summary{color:#555;margin:0 0 20px}\n"
      "section{background:#fff;border-radius:8px;padding:12px 16px;margin:0 0 16px;"
      "box-shadow:0 1px 3px rgba(0,0,0,.12)}\n"
      "h2{font-size:15px;margin:0 0 10px;word-break:break-all}\n"
      ".pictures{display:flex;flex-wrap:wrap;gap:12px}\n"
      "figure{margin:0;width:176px}\n"
      ".frame{width:176px;height:176px;display:flex;align-items:center;justify-content:center;"
      "background:repeating-conic-gradient(#e6e6e6 0 25%,#fff 0 50%) 0 0/16px 16px;"
      "border:1px solid #ccc;border-radius:4px}\n"
      ".missing{color:#a00;font-size:12px}\n"
      "figcaption{font-size:12px;margin-top:4px;word-break:break-all}\n"
      "figcaption .size{color:#666}\n</style>\n</head>\n<body>\n<h1>Similar images</h1>\n";
  const size_t groups = all ? all->childrens.size() : 0;
  page += fmt::format("<p class=\"summary\">{} group{}, {} in all</p>\n", groups,
                      groups == 1 ? "" : "s", escapeHtml(humanSize(total)));
  for (size_t i = 0; i < groups; ++i) {
    const FilePtr& group = all->childrens[i];
    page += fmt::format("<section>\n<h2>Group {}: {} &middot; {} &middot; {}</h2>\n", i + 1,
                        escapeHtml(group->title), countText(group->childrens.size()),
                        escapeHtml(humanSize(group->size)));
    page += "<div class=\"pictures\">\n";
    for (const FilePtr& member : group->childrens) {
      const Thumbnail t = thumbnailOf(member->url.path());
      page += "<figure><div class=\"frame\">";
      if (t.dataUri.empty()) {
        page += "<span class=\"missing\">cannot be shown</span>";
      } else {
        page += fmt::format("<img src=\"{}\" width=\"{}\" height=\"{}\" alt=\"\">", t.dataUri,
                            t.displayWidth, t.displayHeight);
      }
      const std::string details =
          t.dataUri.empty() ? humanSize(member->size)
                            : fmt::format("{} &middot; {} &times; {} {}", humanSize(member->size),
                                          t.info.width, t.info.height, formatName(t.info.format));
      page += fmt::format(
          "</div><figcaption>{}<br><span class=\"size\">{}</span></figcaption></figure>\n",
          escapeHtml(member->url.path()), details);
    }
    page += "</div>\n</section>\n";
  }
  page += "</body>\n</html>\n";
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << page;
  out.close();
  return static_cast<bool>(out);
}

void printGroups(const FeatureInformation& feature, const CategoryPtr& all, int64_t total) {
  fmt::print("{}\n", feature.title);
  const size_t groups = all ? all->childrens.size() : 0;
  for (size_t i = 0; i < groups; ++i) {
    const FilePtr& group = all->childrens[i];
    fmt::print("Group {}: {} ({}, {})\n", i + 1, group->title, countText(group->childrens.size()),
               humanSize(group->size));
    for (const FilePtr& member : group->childrens) {
      fmt::print("  {:>10}  {}\n", humanSize(member->size), member->url.path());
    }
  }
  fmt::print("{} group{}; total: {} ({} bytes)\n", groups, groups == 1 ? "" : "s", humanSize(total),
             total);
}

int runSimilarImages(const CommonOptions& options) {
  if (!cleanSelectionGiven(options, kTicking)) return 2;
  std::vector<Url> locations;
  for (const std::string& path : paths) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec || !std::filesystem::exists(absolute, ec)) {
      printError("no such file or folder: " + path);
      return 2;
    }
    locations.push_back(Url::fromPath(absolute.lexically_normal().string()));
  }
  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, kModuleType);
  if (!feature) return featureMissingStatus(options);

  int64_t total = 0;
  bool interrupted = false;
  SimilarScanService::ignoreBrightness = ignoreBrightness;
  {
    ScanSession session(options, feature);
    SimilarScanService::scan(
        feature, locations, threshold, session.showPercent(), nullptr, nullptr,
        [&session, &total](const FeaturePtr&, int64_t t) {
          total = t;
          session.finish();
        },
        session.queue(), DispatchQoS::userInitiated);
    interrupted = session.wait();
  }
  const CategoryPtr all = feature->categoryInfo.empty() ? nullptr : feature->categoryInfo.front();
  if (!htmlFile.empty() && !writeHtml(htmlFile, all, total)) {
    printError("cannot write " + htmlFile);
    return 1;
  }
  const bool cleaning = options.clean.enabled && !interrupted;
  if (options.json && !cleaning) {
    printFeatureJson(*feature, {{"total", total}});
  } else if (!options.json) {
    printGroups(*feature, all, total);
  }
  if (options.clean.enabled && interrupted) return noCleanAfterInterrupt();
  if (!cleaning) return 0;
  // Alike is not identical: of each group whose pictures are all selected,
  // the first one stays.
  return cleanFeature(options, feature, CleanServiceType::Similar, {all}, kTicking);
}

const CommandRegistrar kSimilarImages(
    {"similar-images",
     std::string("Groups of pictures that look alike (module type \"") + kModuleType + "\")",
     {OptionSpec::positional("PATH", "Folders (or pictures) to compare", &paths, true),
      OptionSpec::number("--threshold", "N",
                         "Largest fingerprint distance that still counts as alike, in bits of "
                         "36 (default 5)",
                         &threshold, 0, 36),
      OptionSpec::flag("--ignore-brightness",
                       "Also count as alike pictures that differ only in overall brightness "
                       "(gray levels compared after taking out each picture's mean level)",
                       &ignoreBrightness),
      OptionSpec::option("--html", "FILE",
                         "Also write a self-contained page showing every group's pictures",
                         &htmlFile)},
     [](const CommonOptions& o) { return runSimilarImages(o); },
     /*acceptsClean=*/true});

}  // namespace
}  // namespace orvexa::cli
