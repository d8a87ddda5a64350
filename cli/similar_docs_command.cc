// orvexa similar-docs: groups of documents with nearly the same text, with
// the compression distance that links each document to its group; --clean
// removes the selected documents, never a whole group.
#include <fmt/core.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "orvexa/scan/similar_text/similar_text_service.h"
#include "output.h"
#include "scan_session.h"

namespace orvexa::cli {
namespace {

// Looking alike is no reason to delete anything: --clean deletes only what
// --select names, and of a group whose members are all selected the first
// one stays.
constexpr CleanTicking kTicking{.requireSelect = true, .keepOneOfEachGroup = true};

constexpr const char* kModuleType = "SimilarDocument";

std::vector<std::string> paths;
int threshold = SimilarTextService::kDefaultThreshold;
bool exhaustive = false;

struct Examined {
  size_t documents = 0;
  size_t withoutText = 0;
};

const SimilarTextMatch* matchOf(const FileInformation& member) {
  return std::any_cast<SimilarTextMatch>(&member.attachInformation);
}

std::string percentText(double distance) { return fmt::format("{:.1f} %", distance * 100); }

void printGroups(const FeatureInformation& feature, const Examined& examined, int64_t total) {
  fmt::print("{}\n", feature.title);
  fmt::print("Examined {} document{} ({} without text), threshold {} %\n", examined.documents,
             examined.documents == 1 ? "" : "s", examined.withoutText, threshold);
  size_t groups = 0;
  size_t grouped = 0;
  for (const CategoryPtr& category : feature.categoryInfo) {
    for (const FilePtr& group : category->childrens) {
      ++groups;
      grouped += group->childrens.size();
      fmt::print("Group {} ({} documents, {})\n", groups, group->childrens.size(),
                 humanSize(group->size));
      for (const FilePtr& member : group->childrens) {
        const SimilarTextMatch* match = matchOf(*member);
        fmt::print("  {:>10}  {}\n", humanSize(member->size), member->url.path());
        if (match != nullptr) {
          fmt::print("              closest: {} to {}\n", percentText(match->distance),
                     match->nearest.lastPathComponent());
        }
      }
    }
  }
  if (groups == 0) fmt::print("No similar documents.\n");
  fmt::print("Total: {} group{}, {} document{}, {} ({} bytes)\n", groups, groups == 1 ? "" : "s",
             grouped, grouped == 1 ? "" : "s", humanSize(total), total);
}

// The feature as every command renders it, with each member's closest
// document and distance added.
nlohmann::json resultJson(const FeatureInformation& feature, const Examined& examined,
                          int64_t total) {
  nlohmann::json out{{"feature", featureToJson(feature)},
                     {"total", total},
                     {"threshold", threshold},
                     {"documents", examined.documents},
                     {"documentsWithoutText", examined.withoutText}};
  nlohmann::json& categories = out["feature"]["categoryInfo"];
  for (size_t c = 0; c < feature.categoryInfo.size(); ++c) {
    const CategoryInformation& category = *feature.categoryInfo[c];
    for (size_t g = 0; g < category.childrens.size(); ++g) {
      const FileInformation& group = *category.childrens[g];
      for (size_t m = 0; m < group.childrens.size(); ++m) {
        const SimilarTextMatch* match = matchOf(*group.childrens[m]);
        if (match == nullptr) continue;
        nlohmann::json& member = categories[c]["childrens"][g]["childrens"][m];
        member["nearest"] = match->nearest.absoluteString();
        member["distance"] = match->distance;
      }
    }
  }
  return out;
}

int runSimilarDocs(const CommonOptions& options) {
  if (!cleanSelectionGiven(options, kTicking)) return 2;
  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, kModuleType);
  if (!feature) return featureMissingStatus(options);

  std::vector<Url> locations;
  for (const std::string& p : paths) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(p, ec);
    if (ec || !std::filesystem::is_directory(absolute, ec)) {
      printError("not a folder: " + p);
      return 1;
    }
    locations.push_back(Url::fromPath(absolute.lexically_normal().string(), true));
  }

  // Standard output carries the result only.
  SimilarTextService::setTraceOutput(nullptr);
  int64_t total = 0;
  Examined examined;
  bool interrupted = false;
  {
    ScanSession session(options, feature);
    SimilarTextService::scan(
        feature, locations, threshold, nullptr, session.showPercent(),
        [&examined](int, const std::shared_ptr<const SimilarTextMeasurement>& m) {
          examined.documents = m->urls.size();
          for (const std::string& text : m->texts) {
            if (text.empty()) ++examined.withoutText;
          }
        },
        [&session, &total](const FeaturePtr&, int64_t t) {
          total = t;
          session.finish();
        },
        session.queue(), DispatchQoS::default_, SimilarTextOptions{.exhaustive = exhaustive});
    interrupted = session.wait();
  }
  const bool cleaning = options.clean.enabled && !interrupted;
  if (options.json && !cleaning) {
    printJson(resultJson(*feature, examined, total));
  } else if (!options.json) {
    printGroups(*feature, examined, total);
  }
  if (options.clean.enabled && interrupted) return noCleanAfterInterrupt();
  if (!cleaning) return 0;
  // The result is one category of groups, the shape the similar-picture
  // rebuild works on. Nearly the same text is not the same document: of each
  // group whose documents are all selected, the first one stays.
  const CategoryPtr all = feature->categoryInfo.empty() ? nullptr : feature->categoryInfo.front();
  return cleanFeature(options, feature, CleanServiceType::Similar, {all}, kTicking,
                      [&](const nlohmann::json& clean) {
                        int64_t left = 0;
                        for (const CategoryPtr& c : feature->categoryInfo) left += c->size;
                        nlohmann::json document = resultJson(*feature, examined, left);
                        document["clean"] = clean;
                        printJson(document);
                      });
}

const CommandRegistrar kSimilarDocs(
    {"similar-docs",
     std::string("Documents (docx, pdf, ...) with nearly the same text (module type \"") +
         kModuleType + "\")",
     {OptionSpec::positional("PATH", "Folders to search", &paths, true),
      OptionSpec::number("--threshold", "PERCENT",
                         "Largest compression distance that makes two documents similar, in "
                         "percent from 0 (the same text) to 100 (default " +
                             std::to_string(SimilarTextService::kDefaultThreshold) + " %)",
                         &threshold, 0, 100),
      OptionSpec::flag("--exhaustive",
                       "Compare every pair of documents, not only those that share word "
                       "sequences (slow for thousands of documents)",
                       &exhaustive)},
     [](const CommonOptions& o) { return runSimilarDocs(o); },
     /*acceptsClean=*/true});

}  // namespace
}  // namespace orvexa::cli
