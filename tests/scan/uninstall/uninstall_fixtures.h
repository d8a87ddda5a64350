// Application bundles, fake metadata tools and the uninstaller feature for
// the uninstaller tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"
#include "orvexa/units/main_queue.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"
#include "support/signal.h"

namespace orvexa::testing {

// Writes <bundle>/Contents/Info.plist (with "CFBundleDisplayName" when
// `displayName` is not empty) and a 100-byte executable Contents/MacOS/main;
// returns the bundle's real path.
inline std::string makeApp(const Sandbox& sb, std::string_view sandboxPath,
                           const std::string& identifier, PlistFormat format = PlistFormat::Binary,
                           const std::string& displayName = "") {
  const std::string bundle = sb.dir(sandboxPath);
  sb.dir(std::string(sandboxPath) + "/Contents/MacOS");
  PlistValue info = PlistValue::dictionary();
  info.set("CFBundleIdentifier", identifier);
  info.set("CFBundleExecutable", "main");
  if (!displayName.empty()) info.set("CFBundleDisplayName", displayName);
  std::string error;
  EXPECT_TRUE(writePlistFile(bundle + "/Contents/Info.plist", info, format, &error)) << error;
  sb.file(std::string(sandboxPath) + "/Contents/MacOS/main", 100);
  return bundle;
}

// A shell script /fake/<tool> (`body` after "#!/bin/sh") set as `tool` in
// the paths table.
inline std::string fakeTool(const Sandbox& sb, const std::string& tool, const std::string& body) {
  const std::string path = sb.file("/fake/" + tool, "#!/bin/sh\n" + body);
  EXPECT_EQ(::chmod(path.c_str(), 0755), 0) << path;
  Paths::shared().setTool(tool, path);
  return path;
}

inline CategoryPtr listedApp(const FeaturePtr& feature, const std::string& title) {
  for (const CategoryPtr& app :
       feature->categoryInfo.front()->childrenCateogry.value_or(std::vector<CategoryPtr>{}))
    if (app->title == title) return app;
  return nullptr;
}

inline std::vector<std::string> childPaths(const CategoryPtr& category) {
  std::vector<std::string> paths;
  for (const FilePtr& f : category->childrens) paths.push_back(f->url.path());
  return paths;
}

// What `du -b` counts of an item, less the folders' own sizes.
inline int64_t filesSize(const std::string& path) {
  namespace fs = std::filesystem;
  if (fs::is_symlink(path)) return static_cast<int64_t>(fs::read_symlink(path).string().size());
  if (!fs::is_directory(path)) return static_cast<int64_t>(fs::file_size(path));
  int64_t size = 0;
  for (const auto& e : fs::recursive_directory_iterator(path)) {
    if (e.is_regular_file()) size += static_cast<int64_t>(e.file_size());
  }
  return size;
}

// `path` as the tests write it: "~" for the sandbox's home, nothing for its
// root.
inline std::string sandboxed(const Sandbox& sb, const std::string& path) {
  if (path.starts_with(sb.home())) return "~" + path.substr(sb.home().size());
  return path.starts_with(sb.root()) ? path.substr(sb.root().size()) : path;
}

template <typename Paths>
std::string joined(const Sandbox& sb, const Paths& paths) {
  std::string out;
  for (const std::string& path : paths) out += (out.empty() ? "" : ", ") + sandboxed(sb, path);
  return out;
}

// The applications under the feature's "All" category, one a line:
// "title: the paths of its records"; a copy indented below its first.
inline std::string listing(const FeaturePtr& feature, const Sandbox& sb) {
  std::string out;
  const CategoryPtr all = feature->categoryInfo.front();
  for (const CategoryPtr& app : all->childrenCateogry.value_or(std::vector<CategoryPtr>{})) {
    out += app->title + ": " + joined(sb, childPaths(app)) + "\n";
    for (const CategoryPtr& copy : app->childrenCateogry.value_or(std::vector<CategoryPtr>{}))
      out += "  " + copy->title + ": " + joined(sb, childPaths(copy)) + "\n";
  }
  return out;
}

struct ScanOutcome {
  bool finished = false;
  int64_t total = -1;
  bool onMainQueue = false;
  std::vector<std::pair<int, int64_t>> singles;
};

// The uninstaller feature of the built-in catalogue (All, Unused,
// Leftovers) in a sandbox, with a fresh scan state and no host black list.
class UninstallFeatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    modules_ = ModuleInformation::getDefault();
    feature_ = findFeatureByModuleType(modules_, "Uninstaller");
    ASSERT_TRUE(feature_);
    ScanStatusTable::erase(feature_->finderID);
    UninstallScanService::setBlackList(std::nullopt);
  }
  void TearDown() override {
    if (feature_) ScanStatusTable::erase(feature_->finderID);
    UninstallScanService::setBlackList(std::nullopt);
  }
  // Runs the scan and waits for `done`.
  ScanOutcome scan() {
    ScanOutcome outcome;
    Signal done;
    UninstallScanService::scanUninstallerSoftware(
        feature_, nullptr, nullptr,
        [&](int position, int64_t size) { outcome.singles.emplace_back(position, size); },
        [&](const FeaturePtr&, int64_t total) {
          outcome.total = total;
          outcome.onMainQueue = MainQueue::isMainThread();
          done.notify();
        },
        queue_);
    outcome.finished = done.wait();
    queue_->waitUntilIdle();
    return outcome;
  }

  Sandbox sb_;
  std::vector<ModulePtr> modules_;
  FeaturePtr feature_;
  std::shared_ptr<SerialGCDService> queue_ =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
};

// The unused applications of `categories`, from the one answer (a second
// one would fail the check).
inline std::vector<CategoryPtr> unusedOf(const std::vector<CategoryPtr>& categories) {
  Signal finished;
  std::vector<CategoryPtr> unused;
  UninstallScanService::getUnusedAppPath(categories, [&](std::vector<CategoryPtr> list) {
    unused = std::move(list);
    finished.notify();
  });
  EXPECT_TRUE(finished.wait());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // time for a second answer
  EXPECT_EQ(finished.count(), 1);
  return unused;
}

}  // namespace orvexa::testing
