// The library step of the similar-image scan: a Photos library's masters,
// each with the derivative files the library's database ties to it.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/resource_values.h"
#include "orvexa/units/sqlite_tool.h"
#include "scan/similar_image/similar_scan_internal.h"

namespace orvexa::similar_image {
namespace {

constexpr const char* kDatabase = "/database/photos.db";
constexpr const char* kMasters = "/Masters/";
constexpr const char* kDerivatives = "/resources/proxies/derivatives/";
constexpr const char* kProbe = "select * from RKMaster;";
constexpr const char* kMasterLookup = "select modelId from RKMaster where imagePath = ?";
constexpr const char* kVersionLookup = "select modelId from RKVersion where masterId = ?";
constexpr const char* kIdColumn = "modelId";

std::optional<int64_t> parseId(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end) return std::nullopt;
  return value;
}

std::string hexText(uint64_t value, bool upper, int width = 0) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, upper ? "%0*llX" : "%0*llx", width,
                static_cast<unsigned long long>(value));
  return buffer;
}

// The derivative folder of a version id: XX/YY/H with XX and YY the second
// and third bytes of the id, so ids of one or two digits land in 00/00/H.
std::string derivativeFolder(const std::string& root, uint64_t id, bool upper) {
  return root + kDerivatives + hexText((id >> 8) & 0xFF, upper, 2) + "/" +
         hexText((id >> 16) & 0xFF, upper, 2) + "/" + hexText(id, upper);
}

// The picture files of a derivative folder, by name.
std::vector<std::string> derivativeFiles(const std::string& root, uint64_t id) {
  std::string folder = derivativeFolder(root, id, true);
  if (!isDirectory(folder)) {
    const std::string lower = derivativeFolder(root, id, false);
    if (!isDirectory(lower)) return {};
    folder = lower;
  }
  std::vector<std::string> files;
  for (const std::string& name : contentsOfDirectory(folder)) {
    const std::string path = folder + "/" + name;
    if (!isPictureCandidate(name)) continue;
    std::optional<ResourceValues> values = resourceValues(path, ResourceFetch::basic);
    if (values && values->isRegularFile) files.push_back(path);
  }
  return files;
}

// The version ids of the master at `relativePath`, from the database.
std::vector<uint64_t> versionIds(SqliteTool& db, const std::string& relativePath) {
  std::vector<uint64_t> ids;
  for (const SqlRow& master : db.queryDBData(kMasterLookup, {relativePath})) {
    auto masterId = master.find(kIdColumn);
    if (masterId == master.end()) continue;
    SqlValue key = masterId->second;
    if (std::optional<int64_t> number = parseId(masterId->second)) key = *number;
    for (const SqlRow& version : db.queryDBData(kVersionLookup, {key})) {
      auto versionId = version.find(kIdColumn);
      if (versionId == version.end()) continue;
      std::optional<int64_t> number = parseId(versionId->second);
      if (number && *number >= 0) ids.push_back(static_cast<uint64_t>(*number));
    }
  }
  return ids;
}

}  // namespace

SimilarScanService::KeyMap fileLibraryPictures(const std::string& libraryRoot,
                                               const std::vector<std::string>& pictures) {
  SimilarScanService::KeyMap keys;
  const std::string masters = libraryRoot + kMasters;
  std::vector<std::string> masterPaths;
  for (const std::string& path : pictures) {
    if (path.size() > masters.size() && path.compare(0, masters.size(), masters) == 0) {
      masterPaths.push_back(path);
    }
  }
  std::sort(masterPaths.begin(), masterPaths.end());
  masterPaths.erase(std::unique(masterPaths.begin(), masterPaths.end()), masterPaths.end());

  // Opening creates a missing file: only an existing database is opened.
  const std::string dbPath = libraryRoot + kDatabase;
  SqliteTool db;
  std::optional<ResourceValues> dbValues = resourceValues(dbPath, ResourceFetch::basic);
  const bool usable =
      dbValues && dbValues->isRegularFile && db.openDB(dbPath) && db.executionSQL(kProbe).first;

  for (const std::string& master : masterPaths) {
    std::vector<Url>& urls = keys[pathWithoutExtension(master)];
    if (usable) {
      std::vector<std::string> derivatives;
      for (uint64_t id : versionIds(db, master.substr(masters.size()))) {
        for (std::string& file : derivativeFiles(libraryRoot, id)) {
          if (std::find(derivatives.begin(), derivatives.end(), file) == derivatives.end()) {
            derivatives.push_back(std::move(file));
          }
        }
      }
      for (const std::string& file : derivatives) urls.push_back(Url::fromPath(file, false));
    }
    urls.push_back(Url::fromPath(master, false));  // last: the one fingerprinted
  }
  if (db.isOpen()) db.closeDB(dbPath);
  return keys;
}

}  // namespace orvexa::similar_image
