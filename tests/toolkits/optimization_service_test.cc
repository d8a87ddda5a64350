#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "orvexa/toolkits/free_up_ram_service.h"
#include "orvexa/toolkits/optimization_service.h"
#include "orvexa/units/main_queue.h"
#include "support/browser_store_fixture.h"
#include "support/features.h"
#include "support/helper_fixture.h"
#include "support/launchctl_fixture.h"
#include "support/sandbox.h"
#include "support/signal.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::readFile;

std::string textOf(const std::any& attachment) {
  const auto* text = std::any_cast<std::string>(&attachment);
  return text != nullptr ? *text : "<none>";
}

bool waitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

class OptimizationServiceTest : public testing::HelperUsingTest {
 protected:
  void TearDown() override {
    HelperUsingTest::TearDown();
    OptimizationService::setPurgeableReserve(int64_t{2} << 30);
    FreeUpRamService::setMaximumBlockSize(0);
  }

  std::string launchctlLog() const { return readFile(sb_.path("/launchctl.log")); }
  std::string uid() const { return std::to_string(::getuid()); }

  testing::Sandbox sb_;
};

// ---- Login items -------------------------------------------------------------

TEST_F(OptimizationServiceTest, LoginItemsAreListedPerApplicationAndSwitched) {
  Paths::shared().setTool(
      "launchctl", testing::fakeLaunchctl(
                       sb_, testing::printDisabledListing("\t\"com.example.agent\" => false\n"
                                                          "\t\"com.example.sync\" => true\n"
                                                          "\t\"com.apple.example\" => false\n",
                                                          "")));
  const std::string app = testing::installApplication(sb_, "Example", "com.example.app");

  auto category = std::make_shared<CategoryInformation>();
  category->setFinderID(4);
  int finished = 0;
  OptimizationService::shard().scanLoginItem(category, [&finished] { ++finished; });
  EXPECT_EQ(finished, 1);
  ASSERT_EQ(category->childrens.size(), 1u);
  const FilePtr entry = category->childrens[0];
  EXPECT_EQ(entry->title, "Example");
  EXPECT_EQ(entry->url, Url::fromPath(app, true));
  EXPECT_EQ(textOf(entry->attachInformation), "Start");
  EXPECT_FALSE(entry->canDelete);
  EXPECT_TRUE(entry->removeCategory);
  EXPECT_EQ(entry->parentFinderID, 4);
  ASSERT_EQ(entry->childrens.size(), 2u);
  const FilePtr agent = entry->childrens[0];
  const FilePtr sync = entry->childrens[1];
  EXPECT_EQ(agent->title, "com.example.agent");
  EXPECT_EQ(textOf(agent->attachInformation), "Start");
  EXPECT_EQ(sync->title, "com.example.sync");
  EXPECT_EQ(textOf(sync->attachInformation), "Close");
  EXPECT_FALSE(agent->canDelete);
  EXPECT_TRUE(agent->removeCategory);
  EXPECT_EQ(agent->parentFileInfo.lock(), entry);

  // Off: every service of the application, in order.
  fs::remove(sb_.path("/launchctl.log"));
  finished = 0;
  OptimizationService::shard().updateLoginItem(entry, [&finished] { ++finished; });
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(launchctlLog(), "disable user/" + uid() + "/com.example.agent\ndisable user/" + uid() +
                                "/com.example.sync\n");
  EXPECT_EQ(textOf(entry->attachInformation), "Close");
  EXPECT_EQ(textOf(agent->attachInformation), "Close");
  EXPECT_EQ(textOf(sync->attachInformation), "Close");

  // On again: enable with the same targets.
  fs::remove(sb_.path("/launchctl.log"));
  OptimizationService::shard().updateLoginItem(entry, [&finished] { ++finished; });
  EXPECT_EQ(finished, 2);
  EXPECT_EQ(launchctlLog(), "enable user/" + uid() + "/com.example.agent\nenable user/" + uid() +
                                "/com.example.sync\n");
  EXPECT_EQ(textOf(entry->attachInformation), "Start");
  EXPECT_EQ(textOf(sync->attachInformation), "Start");

  // One service alone; the application shows whether any still runs.
  fs::remove(sb_.path("/launchctl.log"));
  OptimizationService::shard().updateLoginItem(sync, nullptr);
  EXPECT_EQ(launchctlLog(), "disable user/" + uid() + "/com.example.sync\n");
  EXPECT_EQ(textOf(sync->attachInformation), "Close");
  EXPECT_EQ(textOf(agent->attachInformation), "Start");
  EXPECT_EQ(textOf(entry->attachInformation), "Start");
}

// Switching off asks the running application to quit; switching on starts it.
TEST_F(OptimizationServiceTest, SwitchingQuitsAndLaunchesTheApplication) {
  Paths::shared().setTool(
      "launchctl", testing::fakeLaunchctl(sb_, testing::printDisabledListing(
                                                   "\t\"com.example.agent\" => false\n", "")));
  const std::string sleeper = testing::installApplication(sb_, "Sleeper", "com.example.sleeper");
  const std::string program = sleeper + "/Contents/MacOS/Sleeper";
  fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing);
  ::chmod(program.c_str(), 0755);
  pid_t pid = -1;
  std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("30"), nullptr};
  ASSERT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  // The instance is known by its executable once the exec has happened.
  ASSERT_TRUE(waitFor([&] {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == fs::path(program);
  }));

  auto category = std::make_shared<CategoryInformation>();
  OptimizationService::shard().scanLoginItem(category, nullptr);
  ASSERT_EQ(category->childrens.size(), 1u);
  const FilePtr entry = category->childrens[0];
  OptimizationService::shard().updateLoginItem(entry, nullptr);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);

  // An application whose executable leaves a mark when started.
  const std::string marker = sb_.path("/launched");
  entry->url =
      Url::fromPath(testing::installApplication(sb_, "Marker", "com.example.marker",
                                                "#!/bin/sh\necho started > '" + marker + "'\n"),
                    true);
  OptimizationService::shard().updateLoginItem(entry, nullptr);
  EXPECT_EQ(textOf(entry->attachInformation), "Start");
  EXPECT_TRUE(waitFor([&] { return readFile(marker) == "started\n"; }));
}

TEST_F(OptimizationServiceTest, ScanBuildsTheTaskCategoriesThenTheLoginItems) {
  Paths::shared().setTool(
      "launchctl", testing::fakeLaunchctl(sb_, testing::printDisabledListing(
                                                   "\t\"com.example.agent\" => false\n", "")));
  testing::installApplication(sb_, "Example", "com.example.app");
  ModulePtr module = testing::makeModule(13, {{"stale", CategoryInfomationKind::Common, {}}});
  FeaturePtr feature = testing::featureOf(module);
  auto queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);

  std::mutex mu;
  std::vector<float> percents;
  int doneCalls = 0;
  int64_t total = -1;
  testing::Signal done;
  OptimizationService::scan(
      feature, {{OptimizationSting::FreeUpRAM, "ram text"}, {OptimizationSting::LoginItem, "li"}},
      nullptr,
      [&](float p) {
        std::lock_guard lock(mu);
        percents.push_back(p);
      },
      nullptr,
      [&](const FeaturePtr& f, int64_t t) {
        {
          std::lock_guard lock(mu);
          EXPECT_EQ(f, feature);
          ++doneCalls;
          total = t;
        }
        done.notify();
      },
      queue);
  ASSERT_TRUE(done.wait());
  queue->waitUntilIdle();
  std::lock_guard lock(mu);
  EXPECT_EQ(doneCalls, 1);
  EXPECT_EQ(total, 0);
  EXPECT_EQ(percents, (std::vector<float>{0.3f, 0.7f}));
  const struct {
    const char* title;
    CategoryInfomationKind kind;
    const char* description;
  } expected[] = {
      {"Free Up RAM", CategoryInfomationKind::FreeUpRAM, "ram text"},
      {"Free Up Purgeable Space", CategoryInfomationKind::FreeUpPurgeableSpace, ""},
      {"Speed Up Mail", CategoryInfomationKind::SpeedUpMail, ""},
      {"Clean DNS Cache", CategoryInfomationKind::CleanDNS, ""},
      {"Login Item", CategoryInfomationKind::LoginItem, "li"},
  };
  ASSERT_EQ(feature->categoryInfo.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(expected[i].title);
    const CategoryPtr& c = feature->categoryInfo[i];
    EXPECT_EQ(c->title, expected[i].title);
    EXPECT_EQ(c->kind, raw(expected[i].kind));
    EXPECT_EQ(c->description, expected[i].description);
    EXPECT_EQ(c->finderID(), static_cast<int>(i));
    EXPECT_EQ(c->state, 1);
    EXPECT_EQ(c->size, 0);
    EXPECT_TRUE(c->urls.empty());
    EXPECT_EQ(c->featureInfo.lock(), feature);
    EXPECT_EQ(c->childrens.size(), i == 4 ? 1u : 0u);
  }
}

// ---- Mail ------------------------------------------------------------------------

TEST_F(OptimizationServiceTest, SpeedUpMailWithoutIndexFiles) {
  EXPECT_EQ(OptimizationService::speedUpMail(), std::make_pair(false, std::string("Empty")));
  sb_.layout({"~/Library/Mail/V10/MailData/Other.plist:3", "~/Library/Mail/V10/Messages/",
              "~/Library/Mail/loose.txt:1"});
  EXPECT_EQ(OptimizationService::speedUpMail(), std::make_pair(false, std::string("Empty")));
  EXPECT_FALSE(fs::exists(sb_.path("~/Library/Application Support/org.orvexa.tests/SpeeUp")));
}

TEST_F(OptimizationServiceTest, SpeedUpMailMovesTheIndexIntoAFreshBackup) {
  sb_.layout({"~/Library/Mail/V10/MailData/Envelope Index:100",
              "~/Library/Mail/V10/MailData/Envelope Index-wal:50",
              "~/Library/Mail/V10/MailData/Other.plist:3",
              "~/Library/Mail/V9/MailData/Envelope Index-shm:7",
              "~/Library/Application Support/org.orvexa.tests/SpeeUp/old backup:9",
              "~/Library/Application Support/org.orvexa.tests/SpeeUp/old folder/x:1"});
  EXPECT_EQ(OptimizationService::speedUpMail(), std::make_pair(true, std::string()));
  const std::string backup = sb_.path("~/Library/Application Support/org.orvexa.tests/SpeeUp");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(backup)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Envelope Index", "Envelope Index-shm",
                                             "Envelope Index-wal"}));
  EXPECT_EQ(fs::file_size(backup + "/Envelope Index"), 100u);
  EXPECT_FALSE(fs::exists(sb_.path("~/Library/Mail/V10/MailData/Envelope Index")));
  EXPECT_TRUE(fs::exists(sb_.path("~/Library/Mail/V10/MailData/Other.plist")));
}

TEST_F(OptimizationServiceTest, SpeedUpMailFailures) {
  sb_.layout({"~/Library/Mail/V10/MailData/Envelope Index:100"});
  // The backup folder's place is taken by a file.
  sb_.file("~/Library/Application Support/org.orvexa.tests/SpeeUp", "x");
  std::pair<bool, std::string> blocked = OptimizationService::speedUpMail();
  EXPECT_FALSE(blocked.first);
  EXPECT_EQ(blocked.second.rfind("Create Directory Fail:", 0), 0u) << blocked.second;
  EXPECT_TRUE(fs::exists(sb_.path("~/Library/Mail/V10/MailData/Envelope Index")));

  // The same name from two mail folders: the second cannot be moved.
  fs::remove(sb_.path("~/Library/Application Support/org.orvexa.tests/SpeeUp"));
  sb_.layout({"~/Library/Mail/V9/MailData/Envelope Index:5"});
  std::pair<bool, std::string> twice = OptimizationService::speedUpMail();
  EXPECT_FALSE(twice.first);
  EXPECT_EQ(twice.second.rfind("Create Directory Fail:", 0), 0u) << twice.second;
}

// ---- The helper tasks ------------------------------------------------------------

// Runs one task and waits for what its finish receives.
template <typename Text>
std::pair<bool, Text> answerOf(void (*task)(std::function<void(bool, Text)>)) {
  struct Answer {
    testing::Signal signal;
    std::mutex mu;
    std::pair<bool, Text> got{false, Text("<none>")};
  };
  auto answer = std::make_shared<Answer>();
  task([answer](bool ok, Text text) {
    {
      std::lock_guard lock(answer->mu);
      answer->got = {ok, std::move(text)};
    }
    answer->signal.notify();
  });
  EXPECT_TRUE(answer->signal.wait());
  std::lock_guard lock(answer->mu);
  return answer->got;
}

std::string toolScript(const testing::Sandbox& sb, const char* name) {
  const std::string program =
      sb.file(std::string("/usr/bin/") + name, "#!/bin/sh\necho " + std::string(name) +
                                                   " \"$@\" >> '" + sb.path("/tools.log") + "'\n");
  ::chmod(program.c_str(), 0755);
  return program;
}

TEST_F(OptimizationServiceTest, HelperTasksWithoutAnInstallableHelper) {
  toolScript(sb_, "dscacheutil");
  toolScript(sb_, "mdutil");
  testing::NoHelper noHelper;
  for (auto task : {&OptimizationService::cleanDNS, &OptimizationService::rebuildSpotlight}) {
    EXPECT_EQ(answerOf(task), std::make_pair(false, std::string("Privilege Install Fail!")));
  }
  EXPECT_EQ(readFile(sb_.path("/tools.log")), "") << "nothing may be sent";
}

TEST_F(OptimizationServiceTest, HelperTasksThroughTheHelper) {
  for (const char* tool : {"dscacheutil", "killall", "mdutil"}) toolScript(sb_, tool);
  testing::RunningHelper helper;
  EXPECT_EQ(answerOf(&OptimizationService::cleanDNS), std::make_pair(true, std::string()));
  EXPECT_EQ(answerOf(&OptimizationService::rebuildSpotlight), std::make_pair(true, std::string()));
  EXPECT_EQ(readFile(sb_.path("/tools.log")),
            "dscacheutil -flushcache\nkillall -HUP mDNSResponder\nmdutil -E /\n");

  // The helper cannot run the indexer's tool: its code comes back, with its words.
  fs::remove(sb_.path("/usr/bin/mdutil"));
  EXPECT_EQ(answerOf(&OptimizationService::rebuildSpotlight),
            std::make_pair(false, "error code:" + std::to_string(raw(HelperEventErrorID::NoCause)) +
                                      " (mdutil is not available at " +
                                      sb_.path("/usr/bin/mdutil") + ")"));
}

// ---- Purgeable space and memory --------------------------------------------------

using PurgeableAnswer = std::pair<bool, std::optional<std::string>>;
PurgeableAnswer cleanPurgeableAndWait() { return answerOf(&OptimizationService::cleanPurgeable); }

// A dd that records its arguments and writes a few bytes to its "of=".
std::string fakeDd(const testing::Sandbox& sb, bool writes) {
  std::string script = "#!/bin/sh\necho \"$@\" >> '" + sb.path("/dd.log") + "'\n";
  if (writes) {
    script +=
        "for a in \"$@\"; do case \"$a\" in of=*) printf zeros > \"${a#of=}\"; cp \"${a#of=}\" '" +
        sb.path("/dd.copy") + "';; esac; done\n";
  }
  const std::string program = sb.file("/fake-tools/dd", script);
  ::chmod(program.c_str(), 0755);
  return program;
}

TEST_F(OptimizationServiceTest, CleanPurgeableWritesWithinTheReserveAndRemovesItsFile) {
  Paths::shared().setTool("dd", fakeDd(sb_, true));
  const std::string folder = sb_.dir("~/Library/Application Support/org.orvexa.tests");
  const std::string largeFile = folder + "/largefile";
  const int64_t block = OptimizationService::kPurgeableBlockSize;
  const struct {
    const char* name;
    int64_t blocksBeyondReserve;  // in halves of a block
    int64_t count;
  } cases[] = {{"reserve beyond the free space", -2, 0},
               {"room for one and a half blocks", 3, 1},
               {"room for three and a half blocks", 7, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(sb_.path("/dd.log"));
    fs::remove(sb_.path("/dd.copy"));
    // The free space moves a little while others write: half a block of
    // slack either way keeps the expected count.
    const int64_t available = static_cast<int64_t>(fs::space(folder).available);
    OptimizationService::setPurgeableReserve(available - c.blocksBeyondReserve * block / 2);
    const PurgeableAnswer answer = cleanPurgeableAndWait();
    if (c.count == 0) {  // not one block fits: the tool does not run, and says so
      EXPECT_EQ(answer.second.value_or("").rfind("skipped: ", 0), 0u);
      EXPECT_TRUE(answer.first && !fs::exists(sb_.path("/dd.log")));
      continue;
    }
    EXPECT_EQ(answer, PurgeableAnswer(true, std::nullopt));
    EXPECT_EQ(readFile(sb_.path("/dd.copy")), "zeros") << "the tool wrote its file";
    EXPECT_FALSE(fs::exists(largeFile)) << "and it was removed";
    EXPECT_EQ(readFile(sb_.path("/dd.log")),
              "if=/dev/zero of=" + largeFile + " bs=512M count=" + std::to_string(c.count) + "\n");
  }
}

TEST_F(OptimizationServiceTest, CleanPurgeableFailures) {
  // The tool wrote nothing: there is no file to remove.
  Paths::shared().setTool("dd", fakeDd(sb_, false));
  const PurgeableAnswer nothing = cleanPurgeableAndWait();
  EXPECT_FALSE(nothing.first);
  EXPECT_NE(nothing.second.value_or("").find("No such file or directory"), std::string::npos);
  // The work folder cannot be made: the tool never runs.
  fs::remove_all(sb_.path("~/Library/Application Support"));
  sb_.file("~/Library/Application Support", "x");
  fs::remove(sb_.path("/dd.log"));
  const PurgeableAnswer blocked = cleanPurgeableAndWait();
  EXPECT_FALSE(blocked.first);
  EXPECT_FALSE(blocked.second.value_or("").empty());
  EXPECT_FALSE(fs::exists(sb_.path("/dd.log")));
}

TEST_F(OptimizationServiceTest, FreeUpRamReportsOnTheMainQueue) {
  FreeUpRamService::setMaximumBlockSize(uint64_t{8} << 20);
  testing::Signal signal;
  std::mutex mu;
  bool result = false;
  bool onMain = false;
  std::optional<std::string> text;
  OptimizationService::freeUpRam([&](bool ok, float freed, std::optional<std::string> t) {
    std::lock_guard lock(mu);
    result = ok;
    onMain = MainQueue::isMainThread();
    text = std::move(t);
    (void)freed;  // memory use of a shared machine moves either way
    signal.notify();
  });
  ASSERT_TRUE(signal.wait());
  std::lock_guard lock(mu);
  EXPECT_TRUE(result);
  EXPECT_TRUE(onMain);
  EXPECT_EQ(text, std::optional<std::string>(""));
}

// ---- Permissions -----------------------------------------------------------------

TEST_F(OptimizationServiceTest, SingleApplicationPermissions) {
  testing::makePermissionDatabases(sb_);
  using Table = std::map<std::string, std::set<std::string>>;
  EXPECT_EQ(OptimizationService::singleApplicationPermission("com.example.cam"),
            (Table{{"com.example.cam", {"kTCCServiceCamera", "kTCCServiceMicrophone"}}}));
  EXPECT_EQ(OptimizationService::singleApplicationPermission("com.example.rec"),
            (Table{{"com.example.rec", {"kTCCServiceScreenCapture"}}}));
  EXPECT_EQ(OptimizationService::singleApplicationPermission("com.example.loc"), Table{});
  EXPECT_EQ(OptimizationService::singleApplicationPermission("com.example"), Table{});
}

TEST_F(OptimizationServiceTest, CleanSinglePermissionReadsTheToolsAnswer) {
  const struct {
    const char* name;
    AppPermissionsName permission;
    const char* output;
    bool expected;
    const char* logged;
  } cases[] = {
      {"reset", AppPermissionsName::kTCCServiceCamera,
       "Successfully reset Camera approval status for com.example.cam", true,
       "reset Camera com.example.cam\n"},
      {"true in any case", AppPermissionsName::kTCCServiceMicrophone, "TRUE", true,
       "reset Microphone com.example.cam\n"},
      {"refused", AppPermissionsName::kTCCServiceCamera, "tccutil: No such bundle identifier",
       false, "reset Camera com.example.cam\n"},
      {"service without reset name", AppPermissionsName::kTCCServiceLocation, "Failed", false,
       "reset  com.example.cam\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string log = sb_.path(std::string("/tccutil-") + c.name + ".log");
    Paths::shared().setTool("tccutil", testing::fakeTool(sb_, "tccutil", log, c.output));
    EXPECT_EQ(OptimizationService::cleanSinglePermission(c.permission, "com.example.cam"),
              c.expected);
    EXPECT_EQ(readFile(log), c.logged);
  }
}

// Scans of several features at once, each on its own queue, with the memory
// task running beside them: each feature gets its own five categories and
// one completion.
TEST(OptimizationConcurrencyTest, ScansSideBySide) {
  testing::Sandbox sb;
  Paths::shared().setTool(
      "launchctl", testing::fakeLaunchctl(sb, testing::printDisabledListing(
                                                  "\t\"com.example.agent\" => false\n", "")));
  testing::installApplication(sb, "Example", "com.example.app");
  FreeUpRamService::setMaximumBlockSize(uint64_t{4} << 20);
  constexpr int kScans = 4;
  std::vector<ModulePtr> modules;
  std::vector<std::shared_ptr<SerialGCDService>> queues;
  testing::Signal done;
  std::mutex mu;
  std::map<FeaturePtr, int> completions;
  for (int i = 0; i < kScans; ++i) {
    modules.push_back(testing::makeModule(100 + i, {}));
    queues.push_back(std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::utility));
    OptimizationService::scan(
        testing::featureOf(modules.back()), {}, nullptr, nullptr, nullptr,
        [&](const FeaturePtr& feature, int64_t) {
          {
            std::lock_guard lock(mu);
            ++completions[feature];
          }
          done.notify();
        },
        queues.back());
  }
  testing::Signal ram;
  OptimizationService::freeUpRam([&ram](bool, float, std::optional<std::string>) { ram.notify(); });
  ASSERT_TRUE(done.wait(std::chrono::seconds(30), kScans));
  ASSERT_TRUE(ram.wait());
  for (auto& queue : queues) queue->waitUntilIdle();
  FreeUpRamService::setMaximumBlockSize(0);
  std::lock_guard lock(mu);
  ASSERT_EQ(completions.size(), static_cast<size_t>(kScans));
  for (const ModulePtr& module : modules) {
    const FeaturePtr feature = testing::featureOf(module);
    EXPECT_EQ(completions[feature], 1);
    ASSERT_EQ(feature->categoryInfo.size(), 5u);
    EXPECT_EQ(feature->categoryInfo[4]->childrens.size(), 1u);
  }
}

}  // namespace
}  // namespace orvexa
