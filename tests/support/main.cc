#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/sqlite_tool.h"

namespace {

// Tests that hold a store's lock on purpose shorten the process-wide wait
// for locks; every test after them gets the library's own wait back, or a
// brief lock of its own (a journal's checkpoint on a loaded machine) fails it.
class RestoreBusyTimeout : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo&) override {
    orvexa::SqliteTool::setBusyTimeout(initial_);
  }
  const std::chrono::milliseconds initial_ = orvexa::SqliteTool::busyTimeout();
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new RestoreBusyTimeout);
  // Tests are written for the macOS layout of the paths table, whatever the
  // host; those of the Linux layout set it themselves (reset() keeps it).
  orvexa::Paths::shared().setLayout(orvexa::Layout::macOS);

  // The shared log fixes its path on first use: put it in a folder of its own
  // for this run, so tests never write into the real home.
  std::string tmpl = (std::filesystem::temp_directory_path() / "orvexa-log-XXXXXX").string();
  if (mkdtemp(tmpl.data()) != nullptr) {
    orvexa::Paths::shared().setRoot(tmpl);
    orvexa::Identity::shared().setBundleIdentifier("org.orvexa.tests");
    orvexa::LogService::shard();
    orvexa::Paths::shared().reset();
    orvexa::Identity::shared().reset();
  }

  int rc = RUN_ALL_TESTS();
  orvexa::LogService::shard().flush();
  std::error_code ec;
  if (rc == 0) std::filesystem::remove_all(tmpl, ec);  // kept for a look when a test failed
  // LeakSanitizer _exit()s on a leak: flush first so redirected output survives.
  std::fflush(stdout);
  return rc;
}
