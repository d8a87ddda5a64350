#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "orvexa/platform/paths.h"
#include "orvexa/toolkits/free_up_ram_service.h"
#include "orvexa/toolkits/login_items_and_lauch_agents_service.h"
#include "orvexa/toolkits/optimization_service.h"
#include "orvexa/units/main_queue.h"
#include "support/browser_store_fixture.h"
#include "support/features.h"
#include "support/helper_fixture.h"
#include "support/launchctl_fixture.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"
#include "support/signal.h"
#include "support/temp_dir.h"
#include "toolkits/finish.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::attachmentText;
using ::testing::FieldsAre;
using testing::readFile;
using ::testing::StartsWith;

// A launchctl (in the paths table) whose print-disabled listing has these lines.
void useLaunchctl(const testing::Sandbox& sb, const std::string& disabled) {
  Paths::shared().setTool("launchctl",
                          testing::fakeLaunchctl(sb, testing::printDisabledListing(disabled, "")));
}

// Runs one task and waits for what its finish receives.
template <typename... Args>
auto answerOf(void (*task)(std::function<void(bool, Args...)>)) {
  return testing::awaitFinish<bool, Args...>(task);
}

class OptimizationServiceTest : public testing::HelperUsingTest {
 protected:
  void TearDown() override {
    HelperUsingTest::TearDown();
    OptimizationService::setPurgeableReserve(int64_t{2} << 30);
    FreeUpRamService::setMaximumBlockSize(0);
  }
  // What launchctl was asked since the last call, with the user's id as "U".
  std::string takeLaunchctlLog() {
    const std::string log = readFile(sb_.path("/launchctl.log"));
    fs::remove(sb_.path("/launchctl.log"));
    return std::regex_replace(log, std::regex("user/" + std::to_string(::getuid()) + "/"),
                              "user/U/");
  }

  testing::Sandbox sb_;
};

// ---- Login items -------------------------------------------------------------

TEST_F(OptimizationServiceTest, LoginItemsAreListedPerApplicationAndSwitched) {
  useLaunchctl(sb_, "\t\"com.example.agent\" => false\n\t\"com.example.sync\" => true\n");
  const std::string app = testing::installApplication(sb_, "Example", "com.example.app");
  auto category = std::make_shared<CategoryInformation>();
  int finished = 0;
  OptimizationService::shard().scanLoginItem(category, [&finished] { ++finished; });
  ASSERT_EQ(category->childrens.size(), 1u);
  const FilePtr entry = category->childrens[0];
  EXPECT_EQ(entry->url, Url::fromPath(app, true));
  ASSERT_EQ(entry->childrens.size(), 2u);
  const FilePtr agent = entry->childrens[0], sync = entry->childrens[1];
  EXPECT_EQ(agent->parentFileInfo.lock(), entry);
  for (const FilePtr& item : {entry, agent}) EXPECT_TRUE(!item->canDelete && item->removeCategory);
  // "application: service=state service=state"
  const auto states = [&] {
    return entry->title + "=" + attachmentText(entry) + ": " + agent->title + "=" +
           attachmentText(agent) + " " + sync->title + "=" + attachmentText(sync);
  };
  EXPECT_EQ(states(), "Example=Start: com.example.agent=Start com.example.sync=Close");
  takeLaunchctlLog();
  // Off: every service of the application, in order; on again the same way.
  OptimizationService::shard().updateLoginItem(entry, [&finished] { ++finished; });
  EXPECT_EQ(takeLaunchctlLog(),
            "disable user/U/com.example.agent\ndisable user/U/com.example.sync\n");
  EXPECT_EQ(states(), "Example=Close: com.example.agent=Close com.example.sync=Close");
  OptimizationService::shard().updateLoginItem(entry, [&finished] { ++finished; });
  EXPECT_EQ(finished, 3);
  EXPECT_EQ(takeLaunchctlLog(),
            "enable user/U/com.example.agent\nenable user/U/com.example.sync\n");
  EXPECT_EQ(states(), "Example=Start: com.example.agent=Start com.example.sync=Start");
  // One service alone; the application shows whether any still runs.
  OptimizationService::shard().updateLoginItem(sync, nullptr);
  EXPECT_EQ(takeLaunchctlLog(), "disable user/U/com.example.sync\n");
  EXPECT_EQ(states(), "Example=Start: com.example.agent=Start com.example.sync=Close");
}

// Switching off asks the running application to quit; switching on starts it.
TEST_F(OptimizationServiceTest, SwitchingQuitsAndLaunchesTheApplication) {
  useLaunchctl(sb_, "\t\"com.example.agent\" => false\n");
  std::string program = testing::installApplication(sb_, "Sleeper", "com.example.sleeper") +
                        "/Contents/MacOS/Sleeper";
  fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing);  // stays executable
  pid_t pid = -1;
  std::vector<char*> argv = {program.data(), const_cast<char*>("30"), nullptr};
  ASSERT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  // The instance is known by its executable once the exec has happened.
  ASSERT_TRUE(testing::waitFor([&] {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == fs::path(program);
  }));
  auto category = std::make_shared<CategoryInformation>();
  OptimizationService::shard().scanLoginItem(category, nullptr);
  const FilePtr entry = category->childrens.at(0);
  OptimizationService::shard().updateLoginItem(entry, nullptr);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;

  // An application whose executable leaves a mark at the sandbox root when started.
  const std::string app =
      testing::installApplication(sb_, "Marker", "com.example.marker",
                                  "#!/bin/sh\necho started > \"${0%/Applications/*}/launched\"\n");
  entry->url = Url::fromPath(app, true);
  OptimizationService::shard().updateLoginItem(entry, nullptr);
  EXPECT_EQ(attachmentText(entry), "Start");
  EXPECT_TRUE(testing::waitFor([&] { return readFile(sb_.path("/launched")) == "started\n"; }));
}

// ---- Mail ------------------------------------------------------------------------

TEST_F(OptimizationServiceTest, SpeedUpMailMovesTheIndexIntoAFreshBackup) {
  const std::string data = "~/Library/Mail/V10/MailData/";
  const std::string backup = "~/Library/Application Support/org.orvexa.tests/SpeeUp";
  sb_.layout(
      {data + "Other.plist:3", "~/Library/Mail/V10/Messages/", "~/Library/Mail/loose.txt:1"});
  EXPECT_EQ(OptimizationService::speedUpMail(), (std::pair<bool, std::string>(false, "Empty")));
  EXPECT_FALSE(fs::exists(sb_.path(backup)));

  // The backup folder's place is taken by a file.
  sb_.layout({data + "Envelope Index:100", backup + ":1"});
  EXPECT_THAT(OptimizationService::speedUpMail(),
              FieldsAre(false, StartsWith("Create Directory Fail:")));
  EXPECT_TRUE(fs::exists(sb_.path(data + "Envelope Index")));

  fs::remove(sb_.path(backup));
  sb_.layout({data + "Envelope Index-wal:50", "~/Library/Mail/V9/MailData/Envelope Index-shm:7",
              backup + "/old backup:9", backup + "/old folder/x:1"});
  EXPECT_EQ(OptimizationService::speedUpMail(), std::make_pair(true, std::string()));
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(sb_.path(backup)))
    names.insert(entry.path().filename());
  EXPECT_EQ(names,
            (std::set<std::string>{"Envelope Index", "Envelope Index-shm", "Envelope Index-wal"}));
  EXPECT_EQ(fs::file_size(sb_.path(backup + "/Envelope Index")), 100u);
  EXPECT_FALSE(fs::exists(sb_.path(data + "Envelope Index")));
  EXPECT_TRUE(fs::exists(sb_.path(data + "Other.plist")));

  // The same name from two mail folders: the second cannot be moved.
  sb_.layout({data + "Envelope Index:5", "~/Library/Mail/V9/MailData/Envelope Index:5"});
  EXPECT_THAT(OptimizationService::speedUpMail(),
              FieldsAre(false, StartsWith("Create Directory Fail:")));
}

// ---- The helper tasks ------------------------------------------------------------

TEST_F(OptimizationServiceTest, HelperTasksWithoutAndThroughTheHelper) {
  using Answer = std::tuple<bool, std::string>;
  // Tools in <root>/usr/bin that log their names and arguments to <root>/tools.log.
  for (std::string tool : {"dscacheutil", "killall", "mdutil"})
    ::chmod(sb_.file("/usr/bin/" + tool, testing::testData("toolkits/logging-tool.sh")).c_str(),
            0755);
  {
    testing::NoHelper noHelper;
    EXPECT_EQ(answerOf(&OptimizationService::rebuildSpotlight),
              Answer(false, "Privilege Install Fail!"));
  }
  testing::RunningHelper helper;
  EXPECT_EQ(answerOf(&OptimizationService::cleanDNS), Answer(true, ""));
  EXPECT_EQ(answerOf(&OptimizationService::rebuildSpotlight), Answer(true, ""));
  // Only these, so nothing went out without the helper.
  EXPECT_EQ(readFile(sb_.path("/tools.log")),
            "dscacheutil -flushcache\nkillall -HUP mDNSResponder\nmdutil -E /\n");
  // The helper cannot run the indexer's tool: its code comes back, with its words.
  fs::remove(sb_.path("/usr/bin/mdutil"));
  EXPECT_EQ(answerOf(&OptimizationService::rebuildSpotlight),
            Answer(false, "error code:" + std::to_string(raw(HelperEventErrorID::NoCause)) +
                              " (mdutil is not available at " + sb_.path("/usr/bin/mdutil") + ")"));
}

// ---- Purgeable space and memory --------------------------------------------------

using PurgeableAnswer = std::tuple<bool, std::optional<std::string>>;

TEST_F(OptimizationServiceTest, CleanPurgeableWritesWithinTheReserveAndRemovesItsFile) {
  // A dd that records its arguments in <root>/dd.log and writes a few bytes to its "of=".
  const std::string dd = sb_.file("/fake-tools/dd", testing::testData("toolkits/dd.sh"));
  ::chmod(dd.c_str(), 0755);
  Paths::shared().setTool("dd", dd);
  const std::string folder = sb_.dir("~/Library/Application Support/org.orvexa.tests");
  const int64_t block = OptimizationService::kPurgeableBlockSize;
  // Room beyond the reserve in halves of a block: the free space moves a
  // little while others write, so half a block of slack either way keeps
  // the expected count.
  for (const auto& [halves, count] : {std::pair{-2, 0}, {3, 1}, {7, 3}}) {
    SCOPED_TRACE(halves);
    fs::remove(sb_.path("/dd.log"));
    OptimizationService::setPurgeableReserve(static_cast<int64_t>(fs::space(folder).available) -
                                             halves * block / 2);
    const PurgeableAnswer answer = answerOf(&OptimizationService::cleanPurgeable);
    if (count == 0) {  // not one block fits: the tool does not run, and says so
      EXPECT_EQ(std::get<1>(answer).value_or("").rfind("skipped: ", 0), 0u);
      EXPECT_TRUE(std::get<0>(answer) && !fs::exists(sb_.path("/dd.log")));
      continue;
    }
    EXPECT_EQ(answer, PurgeableAnswer(true, std::nullopt));
    EXPECT_FALSE(fs::exists(folder + "/largefile")) << "the file the tool wrote was removed";
    EXPECT_EQ(
        readFile(sb_.path("/dd.log")),
        "if=/dev/zero of=" + folder + "/largefile bs=512M count=" + std::to_string(count) + "\n");
  }
  // The tool wrote nothing: there is no file to remove.
  Paths::shared().setTool("dd", testing::fakeTool(sb_, "dd", sb_.path("/dd.log"), ""));
  EXPECT_THAT(
      answerOf(&OptimizationService::cleanPurgeable),
      FieldsAre(false, ::testing::Optional(::testing::HasSubstr("No such file or directory"))));
  // The work folder cannot be made: the tool never runs.
  fs::remove_all(sb_.path("~/Library/Application Support"));
  sb_.file("~/Library/Application Support", "x");
  fs::remove(sb_.path("/dd.log"));
  EXPECT_THAT(answerOf(&OptimizationService::cleanPurgeable),
              FieldsAre(false, ::testing::Optional(::testing::Not(::testing::IsEmpty()))));
  EXPECT_FALSE(fs::exists(sb_.path("/dd.log")));
}

// ---- Permissions -----------------------------------------------------------------

TEST_F(OptimizationServiceTest, SingleApplicationPermissionsAreListedAndReset) {
  testing::makePermissionDatabases(sb_);
  using Table = std::map<std::string, std::set<std::string>>;
  const auto listed = &OptimizationService::singleApplicationPermission;
  EXPECT_EQ(listed("com.example.cam"),
            (Table{{"com.example.cam", {"kTCCServiceCamera", "kTCCServiceMicrophone"}}}));
  EXPECT_EQ(listed("com.example.rec"), (Table{{"com.example.rec", {"kTCCServiceScreenCapture"}}}));
  for (const char* id : {"com.example.loc", "com.example"}) EXPECT_EQ(listed(id), Table{}) << id;

  // Resetting one reads the tool's answer.
  // permission, the tool's output, the answer, the tool's arguments before the identifier
  const std::tuple<AppPermissionsName, const char*, bool, const char*> cases[] = {
      {AppPermissionsName::kTCCServiceCamera,
       "Successfully reset Camera approval status for com.example.cam", true, "reset Camera"},
      {AppPermissionsName::kTCCServiceMicrophone, "TRUE", true, "reset Microphone"},
      {AppPermissionsName::kTCCServiceLocation, "Failed", false, "reset "},  // no reset name
  };
  for (const auto& [permission, output, expected, logged] : cases) {
    SCOPED_TRACE(output);
    const std::string log = sb_.path("/tccutil.log");
    fs::remove(log);
    Paths::shared().setTool("tccutil", testing::fakeTool(sb_, "tccutil", log, output));
    EXPECT_EQ(OptimizationService::cleanSinglePermission(permission, "com.example.cam"), expected);
    EXPECT_EQ(readFile(log), std::string(logged) + " com.example.cam\n");
  }
}

using OptimizationConcurrencyTest = OptimizationServiceTest;

// The scan's categories and items (index, title, size, kinds); {0} and {1}
// are the descriptions only the first feature's file gives.
constexpr const char* kScanSummary = R"(0 Free Up RAM ({0}) 0 1 8
1 Free Up Purgeable Space () 0 1 9
2 Speed Up Mail () 0 1 10
3 Clean DNS Cache () 0 1 11
4 Login Item ({1}) 0 1 12
  0 /Applications/Example.app Start 0 4
)";

// Scans of several features at once, each on its own queue, with the memory
// task running beside them: each feature gets one completion (total 0) and
// its own five task categories, in order and numbered, in place of its
// old ones, with the descriptions given to it; the login items fill the
// last. Each reports its progress. The memory task reports on the
// main queue (the amount freed is left alone: memory use of a shared machine
// moves either way).
TEST_F(OptimizationConcurrencyTest, ScansSideBySide) {
  useLaunchctl(sb_, "\t\"com.example.agent\" => false\n");
  testing::installApplication(sb_, "Example", "com.example.app");
  FreeUpRamService::setMaximumBlockSize(uint64_t{4} << 20);
  constexpr int kScans = 4;
  std::vector<ModulePtr> modules;
  std::vector<std::shared_ptr<SerialGCDService>> queues;
  testing::Signal done;
  std::mutex mu;
  std::map<FeaturePtr, std::string> reports;  // per feature: its percents, then its totals
  for (int i = 0; i < kScans; ++i) {
    modules.push_back(
        testing::makeModule(100 + i, {{"stale", CategoryInfomationKind::Common, {}}}));
    const FeaturePtr feature = testing::featureOf(modules.back());
    queues.push_back(std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::utility));
    std::map<OptimizationSting, std::string> descriptions;
    if (i == 0)
      descriptions = {{OptimizationSting::FreeUpRAM, "ram"}, {OptimizationSting::LoginItem, "li"}};
    OptimizationService::scan(
        feature, descriptions, nullptr,
        [&, feature](float p) {
          std::lock_guard lock(mu);
          reports[feature] += fmt::format("{} ", p);
        },
        nullptr,
        [&](const FeaturePtr& f, int64_t total) {
          std::lock_guard lock(mu);
          reports[f] += "done " + std::to_string(total);
          done.notify();
        },
        queues.back());
  }
  testing::Signal ram;
  std::atomic<bool> ramAnswer{false};
  OptimizationService::freeUpRam([&](bool ok, float, std::optional<std::string> text) {
    ramAnswer = ok && MainQueue::isMainThread() && text == "";
    ram.notify();
  });
  ASSERT_TRUE(done.wait(std::chrono::seconds(30), kScans));
  ASSERT_TRUE(ram.wait());
  EXPECT_TRUE(ramAnswer);
  for (auto& queue : queues) queue->waitUntilIdle();
  std::lock_guard lock(mu);
  for (const ModulePtr& module : modules) {
    const FeaturePtr feature = testing::featureOf(module);
    const bool first = module == modules[0];
    EXPECT_EQ(reports[feature], "0.3 0.7 done 0");
    // The five categories and their kinds as the file lists them, with
    // this feature's descriptions.
    EXPECT_EQ(testing::summary(feature, sb_),
              fmt::format(fmt::runtime(kScanSummary), first ? "ram" : "", first ? "li" : ""));
  }
}

TEST(FreeUpRamStatisticsTest, CountersAndMeminfoFieldsMapToTheHostFigures) {
  const std::string data = ORVEXA_TEST_DATA_DIR "/toolkits/";
  const uint64_t page = FreeUpRamService::pageSize();
  // free, active, inactive, speculative, wired, compressor pages (none: no
  // statistics); the kernel stacks are counted in kB, the slab in bytes when
  // both are given.
  const std::pair<const char*, std::vector<uint64_t>> cases[] = {
      {"vmstat", {100, 60, 40, 0, 5 + 6 + 12 * 1024 / page + 2, 9}},
      {"vmstat-slab-in-bytes", {1, 0, 0, 0, 65536 / page, 0}},
      {"vmstat-stray-lines", {3, 0, 0, 0, 0, 0}},
      {"vmstat-empty", {}},
      {"missing", {}}};
  for (const auto& [name, expected] : cases) {
    std::optional<VMStatistics> s = FreeUpRamService::readStatistics(data + name);
    const std::vector<uint64_t> got =
        s ? std::vector{s->freeCount,        s->activeCount, s->inactiveCount,
                        s->speculativeCount, s->wireCount,   s->compressorPageCount}
          : std::vector<uint64_t>{};
    EXPECT_EQ(got, expected) << name;
  }
  const std::string meminfo = data + "meminfo";
  EXPECT_EQ(FreeUpRamService::readMeminfoBytes(meminfo, "MemTotal"), 2048u * 1024);
  EXPECT_EQ(FreeUpRamService::readMeminfoBytes(meminfo, "HugePages_Total"), 4u);
  EXPECT_EQ(FreeUpRamService::readMeminfoBytes(meminfo, "Mem"), std::nullopt);
  EXPECT_EQ(FreeUpRamService::readMeminfoBytes(data + "missing", "MemTotal"), std::nullopt);
}

// The figures of this machine hang together (in use is part of the whole,
// the whole no more than the physical memory); the block stays within the
// cap, or without one within the kernel's available memory.
TEST(FreeUpRamServiceTest, TheMachinesFiguresAndTheBlockSize) {
  FreeUpRamService service;
  const float inUse = service.getMemory();
  EXPECT_GT(inUse, 0.0f);
  EXPECT_LE(inUse, service.getAllMemory());
  EXPECT_LE(service.getAllMemory(), static_cast<float>(FreeUpRamService::physicalMemory()) * 1.01f);
  for (uint64_t cap : {uint64_t{1}, uint64_t{3} << 20, FreeUpRamService::kChunkSize + 4096}) {
    FreeUpRamService::setMaximumBlockSize(cap);
    EXPECT_LE(service.blockSize(), cap);
    EXPECT_TRUE(service.freeUpRam("unused", 0));
  }
  FreeUpRamService::setMaximumBlockSize(0);
  EXPECT_LE(service.blockSize(),
            FreeUpRamService::readMeminfoBytes("/proc/meminfo", "MemAvailable").value_or(0));
}

using Service = LoginItemsAndLauchAgentsService;
using States = Service::ServiceStates;

TEST(LoginItemsParseTest, BlocksLinesAndStates) {
  Service::DisableServiceInfo info =
      Service::parseDisableServiceInfo(testing::testData("toolkits/print-disabled-odd-lines"));
  EXPECT_EQ(info[LoginItemDisableStatus::disabledServices], (States{{"com.example.agent", "Start"},
                                                                    {"com.example.other", "Start"},
                                                                    {"org.sample.tool", "Close"}}));
  EXPECT_EQ(info[LoginItemDisableStatus::associations], (States{{"com.example.helper", "Close"}}));
  // A block that never closes is no block.
  EXPECT_EQ(Service::parseDisableServiceInfo(testing::testData("toolkits/print-disabled-unclosed")),
            (Service::DisableServiceInfo{{LoginItemDisableStatus::disabledServices, {}},
                                         {LoginItemDisableStatus::associations, {}}}));
}

// Services pair with the applications whose identifiers share their
// two-part prefix (Apple's and undotted ones with none).
TEST_F(OptimizationServiceTest, LoginServicesPairWithTheApplicationsOfTheirPrefix) {
  Paths::shared().setTool(
      "launchctl",
      testing::fakeLaunchctl(sb_, testing::testData("toolkits/print-disabled-prefixes")));
  const std::string example = testing::installApplication(sb_, "Example", "com.example.app");
  const std::string second =
      testing::installApplication(sb_, "Tools/Example Lite", "com.example.lite");
  testing::installApplication(sb_, "Safari", "com.apple.Safari");
  testing::installApplication(sb_, "Single", "single");
  std::vector<Service::AssociationTable> tables;
  Service::getAllAssociationApp([&](Service::AssociationTable found) { tables.push_back(found); });
  const std::vector<Service::LabelState> expected = {{"com.example.agent", "Start"},
                                                     {"com.example.updater", "Close"}};
  EXPECT_EQ(tables,
            (std::vector<Service::AssociationTable>{{{Url::fromPath(example, true), expected},
                                                     {Url::fromPath(second, true), expected}}}));
  // Without the tool: nothing.
  Paths::shared().setTool("launchctl", sb_.path("/missing/launchctl"));
  Service::getAllAssociationApp([&](Service::AssociationTable found) { tables = {found}; });
  EXPECT_EQ(tables, std::vector<Service::AssociationTable>{{}});

  // With the metadata index, the applications are those it finds, wherever.
  const std::string elsewhere = sb_.path("/Other/Place/Tool.app");
  testing::installApplication(sb_, "Tool", "org.sample.tool");
  sb_.dir("/Other/Place");
  fs::rename(sb_.path("/Applications/Tool.app"), elsewhere);
  Paths::shared().setTool("mdfind", testing::fakeTool(sb_, "mdfind", sb_.path("/mdfind.log"),
                                                      example + "\n" + elsewhere + "\n" +
                                                          sb_.path("/not/a/bundle.app") + "\n\n"));
  Service::AppTable apps;
  Service::getApp([&apps](Service::AppTable found) { apps = std::move(found); });
  EXPECT_EQ(apps, (Service::AppTable{{"com.example", {Url::fromPath(example, true)}},
                                     {"org.sample", {Url::fromPath(elsewhere, true)}}}));
  EXPECT_EQ(readFile(sb_.path("/mdfind.log")), "kMDItemContentType=com.apple.application-bundle\n");
}

}  // namespace
}  // namespace orvexa
