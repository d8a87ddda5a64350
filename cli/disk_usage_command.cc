// orvexa disk-usage PATH: where the space under a folder went, as the
// largest folders and files (text), the tree (--json) and a treemap page
// (--html FILE); --clean --select GLOB deletes the matching items of the
// tree.
#include <fmt/core.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "command_registry.h"
#include "orvexa/platform/posix_error.h"
#include "orvexa/scan/disk_analysis/disk_analysis_service.h"
#include "orvexa/scan/disk_analysis/disk_tree_report.h"
#include "output.h"
#include "scan_session.h"

namespace orvexa::cli {
namespace {

constexpr int kBarWidth = 20;

struct DiskUsageOptions {
  std::vector<std::string> paths;
  int top = 20;
  int depth = 3;
  std::string html;
};
DiskUsageOptions gOptions;

// The whole tree is never what a clean means: it takes --select.
constexpr CleanTicking kTicking{.requireSelect = true};

std::string bar(double share) {
  int filled = static_cast<int>(share * kBarWidth + 0.5);
  filled = filled < 0 ? 0 : (filled > kBarWidth ? kBarWidth : filled);
  return "[" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(kBarWidth - filled), ' ') + "]";
}

std::string grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

void printSection(const char* title, const std::vector<FilePtr>& records, int64_t total) {
  fmt::print("\n{} (size, on disk)\n", title);
  if (records.empty()) {
    fmt::print("  (none)\n");
    return;
  }
  for (const FilePtr& r : records) {
    double share = total > 0 ? static_cast<double>(r->size) / static_cast<double>(total) : 0.0;
    fmt::print("{:>10} {:>10} {:>6.1f}% {}  {}\n", humanSize(r->size),
               humanSize(r->allocatedSize()), share * 100.0, bar(share), r->fileUrl().path());
  }
}

void printText(const FilePtr& root, size_t top) {
  DiskTreeSummary summary = summarizeDiskTree(root, top);
  const int64_t onDisk = root->allocatedSize();
  fmt::print(
      "Disk usage of {}\n{} ({} bytes), {} ({} bytes) on disk, in {} file{} and {} folder{}\n",
      root->url.path(), humanSize(summary.size), grouped(static_cast<uint64_t>(summary.size)),
      humanSize(onDisk), grouped(static_cast<uint64_t>(onDisk)), grouped(summary.fileCount),
      summary.fileCount == 1 ? "" : "s", grouped(summary.folderCount),
      summary.folderCount == 1 ? "" : "s");
  printSection("Largest folders", summary.largestFolders, summary.size);
  printSection("Largest files", summary.largestFiles, summary.size);
  if (!summary.unreadFolders.empty()) {
    const size_t n = summary.unreadFolders.size();
    fmt::print("\n{} folder{} could not be read, so the sizes above leave out what {} hold{}:\n",
               grouped(n), n == 1 ? "" : "s", n == 1 ? "it" : "they", n == 1 ? "s" : "");
    for (const FilePtr& f : summary.unreadFolders) {
      fmt::print("  {}  ({})\n", f->fileUrl().path(), f->scanErrorDesc.str());
    }
  }
  flushOutput();
}

bool writeHtml(const std::string& file, const FilePtr& root) {
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) {
    printError(file + ": " + posixErrorText(errno));
    return false;
  }
  bool ok = true;
  writeDiskTreemapPage(root, DiskTreemapOptions{}, [&](std::string_view chunk) {
    if (ok && std::fwrite(chunk.data(), 1, chunk.size(), out) != chunk.size()) ok = false;
  });
  if (std::fclose(out) != 0) ok = false;
  if (!ok) printError(file + ": the page could not be written completely");
  return ok;
}

// Writes the tree's document to standard output, the clean's report added
// as its last member when there is one.
void printTreeJson(const FeatureInformation& feature, int64_t total, const DiskUsageOptions& o,
                   const nlohmann::json* clean) {
  const DiskTreeJsonLimits limits{static_cast<size_t>(o.depth), static_cast<size_t>(o.top)};
  if (clean == nullptr) {
    writeDiskTreeJson(feature, total, limits, [](std::string_view chunk) { writeOutput(chunk); });
    flushOutput();
    noteDocumentPrinted();
    return;
  }
  // The document is one object: hold back its end to put the report before
  // the closing brace.
  constexpr size_t kHeldBack = 16;
  std::string pending;
  writeDiskTreeJson(feature, total, limits, [&pending](std::string_view chunk) {
    pending += chunk;
    if (pending.size() > kHeldBack) {
      const size_t ready = pending.size() - kHeldBack;
      writeOutput(std::string_view(pending).substr(0, ready));
      pending.erase(0, ready);
    }
  });
  while (!pending.empty() && std::isspace(static_cast<unsigned char>(pending.back())) != 0) {
    pending.pop_back();
  }
  if (!pending.empty() && pending.back() == '}') pending.pop_back();
  pending += ",\"clean\":" + clean->dump() + "}\n";
  writeOutput(pending);
  flushOutput();
  noteDocumentPrinted();
}

// The category this scan appended (the last "All" of kind AnalysisDisk).
CategoryPtr analysisCategory(const FeatureInformation& feature) {
  for (auto it = feature.categoryInfo.rbegin(); it != feature.categoryInfo.rend(); ++it) {
    const CategoryPtr& c = *it;
    if (c && c->kind == raw(CategoryInfomationKind::AnalysisDisk) &&
        c->title == DiskAnalysisService::kCategoryTitle && !c->childrens.empty()) {
      return c;
    }
  }
  return nullptr;
}

int runDiskUsage(const CommonOptions& options) {
  const DiskUsageOptions o = gOptions;
  if (o.paths.size() != 1) {
    printError("disk-usage takes exactly one folder");
    return 2;
  }
  if (o.top < 0 || o.depth < 0) {
    printError("--top and --depth take 0 (no limit) or a positive number");
    return 2;
  }
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(o.paths.front(), ec).lexically_normal();
  std::string folder = path.string();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!std::filesystem::is_directory(folder, ec)) {
    printError(folder + ": " + (ec ? ec.message() : std::string("not a folder")));
    return 1;
  }

  if (!cleanSelectionGiven(options, kTicking)) return 2;

  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, "DiskAnalysis");
  if (!feature) return featureMissingStatus(options);

  ScanSession session(options, feature);
  DiskAnalysisService::scan(
      feature, folder, nullptr, session.showPercent(), nullptr,
      [&session](const FeaturePtr&, int64_t) { session.finish(); }, session.queue());
  const bool interrupted = session.wait([&feature, &session] {
    DiskAnalysisService::stopDsik(feature,
                                  [&session](const FeaturePtr&, int64_t) { session.finish(); });
  });
  CategoryPtr category = analysisCategory(*feature);
  if (interrupted || !category) {
    printError(options.clean.enabled ? "interrupted: no result, nothing was deleted"
                                     : "interrupted: no result");
    return 130;
  }
  // Deep trees must not be freed by recursive destructors, also when a
  // failed write on standard output ends the command early.
  struct Release {
    CategoryPtr category;
    ~Release() { DiskAnalysisService::releaseCategory(category); }
  } release{category};
  const FilePtr root = category->childrens.front();
  const size_t top = static_cast<size_t>(o.top);

  int rc = 0;
  if (!o.html.empty() && !writeHtml(o.html, root)) rc = 1;
  if (options.json && !options.clean.enabled) {
    printTreeJson(*feature, root->size, o, nullptr);
  } else if (!options.json) {
    printText(root, top);
  }
  if (!o.html.empty() && rc == 0 && !options.quiet) {
    std::fprintf(stderr, "treemap written to %s\n", o.html.c_str());
  }
  if (options.clean.enabled) {
    const int cleaned = cleanFeature(options, feature, CleanServiceType::AnalysisDisk, {category},
                                     kTicking, [&](const nlohmann::json& clean) {
                                       // The removed records are taken off the category's size, as
                                       // off every folder above them; the root itself may be gone.
                                       printTreeJson(*feature, category->size, o, &clean);
                                     });
    if (rc == 0) rc = cleaned;
  }
  return rc;
}

const CommandRegistrar kDiskUsage(
    {"disk-usage",
     "Where the space under a folder went: largest folders and files, the tree as JSON, a "
     "treemap page (module type \"DiskAnalysis\")",
     {OptionSpec::positional("PATH", "The folder to measure", &gOptions.paths, true),
      OptionSpec::number("--top", "N",
                         "Show the N largest folders and files; in JSON, the N largest "
                         "children of each folder (0: all; default 20)",
                         &gOptions.top, 0, std::numeric_limits<int>::max()),
      OptionSpec::number("--depth", "D",
                         "JSON: levels below the folder that are written (0: all; default 3)",
                         &gOptions.depth, 0, std::numeric_limits<int>::max()),
      OptionSpec::option("--html", "FILE",
                         "Also write a self-contained treemap page (zoomable, coloured by "
                         "kind) to FILE",
                         &gOptions.html)},
     [](const CommonOptions& o) { return runDiskUsage(o); },
     /*acceptsClean=*/true});

}  // namespace
}  // namespace orvexa::cli
