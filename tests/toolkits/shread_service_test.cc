#include "orvexa/toolkits/shread_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "orvexa/platform/identity.h"
#include "orvexa/units/main_queue.h"
#include "support/helper_fixture.h"
#include "support/plist_values.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"
#include "support/signal.h"
#include "support/temp_dir.h"
#include "toolkits/finish.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using Status = ShreadService::ShredStatus;
using Result = ShreadService::ShredResult;

constexpr auto& exists = testing::existsNoFollow;

std::pair<int, std::string> outcome(Status status, std::string text = "") {
  return {static_cast<int>(status), std::move(text)};
}

// The same outcome for each path.
Result each(std::initializer_list<std::string> paths, Status status = Status::Success,
            const std::string& text = "") {
  Result all;
  for (const std::string& p : paths) all[p] = outcome(status, text);
  return all;
}

std::vector<Url> urls(const std::vector<std::string>& paths) {
  std::vector<Url> out;
  for (const std::string& p : paths) out.push_back(Url::fromPath(p));
  return out;
}

// Whether the whole succeeded, and each path's outcome.
using Outcome = std::pair<bool, Result>;

// Runs one shred and waits for its report, which must come once, on the
// main queue.
Outcome shredAndWait(ShreadService& service, const std::vector<std::string>& paths) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto [success, result] =
      testing::awaitFinish<bool, Result>([&](std::function<void(bool, Result)> done) {
        service.shred(urls(paths), [done, calls](bool ok, Result r) {
          EXPECT_TRUE(MainQueue::isMainThread());
          ++*calls;
          done(ok, std::move(r));
        });
      });
  MainQueue::sync([] {});  // a second report would have been queued by now
  EXPECT_EQ(calls->load(), 1);
  return Outcome(success, std::move(result));
}

// Every file progress call, in any order.
struct ProgressLog {
  std::mutex mu;
  std::multiset<std::string> lines;
  void attach(ShreadService& service) {
    service.setFileProgress([this](const std::string& path, Status status, const std::string& t) {
      std::lock_guard lock(mu);
      lines.insert(fs::path(path).filename().string() + " " +
                   ShreadService::statusName(static_cast<int>(status)) +
                   (t.empty() ? "" : " " + t));
    });
  }
};

// The current user owns what the tests write, so everything is shredded
// directly.
class ShreadServiceTest : public ::testing::Test {
 protected:
  testing::Sandbox sb_{accountNameOf(::geteuid())};
  ShreadService service_;
};

// Nothing to shred: each half reports at once on the caller's thread; the
// whole reports success with nothing on the main queue.
TEST_F(ShreadServiceTest, FilesAndFoldersAreShreddedRemovedAndReportedOnTheMainQueue) {
  int called = 0;
  auto check = [&called](bool success, Result result) { called += success && result.empty(); };
  service_.shredFiles({}, check);
  service_.shredFolder({}, check);
  EXPECT_EQ(called, 2);
  EXPECT_EQ(shredAndWait(service_, {sb_.path("~/nothing-here")}), Outcome(true, {}));

  const std::string ten = sb_.file("~/ten.bin", "0123456789");
  const std::string folder = sb_.dir("~/Secrets");
  sb_.layout({"~/Secrets/a.txt:300", "~/Secrets/deep/er/b.txt:5000", "~/Secrets/empty/",
              "~/Secrets/.hidden:7"});
  const std::string emptyFolder = sb_.dir("~/Nothing");
  ProgressLog progress;
  progress.attach(service_);

  // The folder once under its own path, its files not at all; the missing
  // path not at all.
  EXPECT_EQ(shredAndWait(service_, {ten, folder, emptyFolder, sb_.path("~/missing")}),
            Outcome(true, each({ten, folder, emptyFolder})));
  EXPECT_FALSE(exists(ten) || exists(folder) || exists(emptyFolder));
  EXPECT_EQ(progress.lines, (std::multiset<std::string>{".hidden Success", "a.txt Success",
                                                        "b.txt Success", "ten.bin Success"}));
}

// What is refused stays and says why, while what could be shredded beside
// it is gone; a failure of either half fails the whole. A link given is
// refused and kept with its target; links inside a folder go with it.
TEST_F(ShreadServiceTest, WhatIsRefusedStaysAndSaysWhy) {
  testing::TempDir outside;
  const std::string target = outside.writeFile("keep.txt", "outside");
  const std::string linkToFolder = sb_.path("~/folder-link");
  fs::create_symlink(outside.path(), linkToFolder);
  const std::string fine = sb_.dir("~/Fine");
  fs::create_symlink(target, fine + "/inner-link");
  const std::string mixed = sb_.dir("~/Mixed");
  const std::string inner = sb_.file("~/Mixed/linked.txt", "shared");
  fs::create_hard_link(inner, outside / "witness");
  const std::string innerFull = sb_.file("~/Mixed/full.txt", "abc");

  EXPECT_EQ(shredAndWait(service_, {linkToFolder, fine, mixed}),
            Outcome(false,
                    {{linkToFolder,
                      outcome(Status::ShredFail,
                              "a symbolic link: shred does not follow links, so neither it nor "
                              "what it points to was touched (give the path of the file itself)")},
                     {fine, outcome(Status::Success)},
                     {mixed, outcome(Status::ShredFail,
                                     "not removed: some of the files in it "
                                     "were not shredded (each says why)")},
                     {inner, outcome(Status::ShredFail,
                                     "the file has 1 other hard link: not overwritten, so that the "
                                     "content they share survives")}}));
  EXPECT_TRUE(exists(linkToFolder) && exists(inner) && !exists(fine) && !exists(innerFull));
  EXPECT_EQ(testing::readFile(target), "outside");

  // Told, the service overwrites every name of a hard-linked file.
  service_.setOverwriteHardLinks(true);
  EXPECT_EQ(shredAndWait(service_, {mixed}), Outcome(true, each({mixed})));
  EXPECT_EQ(testing::readFile(outside / "witness"), std::string(6, '\0'));
}

PlistValue entry(const std::string& path, HelperEventErrorID status, const std::string& desc) {
  return testing::plistDict({{std::string(kHelperPathKey), path},
                             {std::string(kHelperDeleteStatusKey), static_cast<int>(status)},
                             {std::string(kHelperDeleteDescKey), desc}});
}

// The helper's answer for a request it refused as a whole.
PlistValue refusal(const std::string& text) {
  return testing::plistDict(
      {{std::string(kHelperDeleteStatusKey), 4}, {std::string(kHelperDeleteDescKey), text}});
}

// One Shred event with every waiting path and an empty dictionary each.
std::vector<std::pair<int, PlistValue>> shredEvent(std::initializer_list<std::string> paths) {
  PlistValue sent = PlistValue::dictionary();
  for (const std::string& p : paths) sent.set(p, PlistValue::dictionary());
  return {{static_cast<int>(HelperHanldeEventID::Shred), sent}};
}

// The sandbox's user is "tester", who owns none of the files: they all
// wait for the helper, here a scripted one.
TEST(ShreadHelperAnswerTest, EachAnswerOfTheHelperBecomesTheWaitingPathsResult) {
  testing::Sandbox sb;
  ShreadService service;
  const std::string a = sb.file("/Library/a", "1"), b = sb.file("/Library/b", "2"),
                    c = sb.file("/Library/c", "3"), d = sb.file("/Library/d", "4");
  const std::string lost(kHelperConnectionLostText);
  auto allFour = [&](Status status, const std::string& text = "") {
    return each({a, b, c, d}, status, text);
  };
  // name, the helper's answer (ok, information), the result, whether the proxy is kept
  const std::tuple<const char*, bool, PlistValue, Result, bool> cases[] = {
      {"all done", true, PlistValue::dictionary(), allFour(Status::Success), true},
      {"per path (nothing for d)",
       false,
       testing::plistDict(
           {{a, entry(a, HelperEventErrorID::Success, "")},
            {b, entry(b, HelperEventErrorID::ShreadFail, "b: size error!")},
            {c, entry(c, HelperEventErrorID::DeleteError, "c: Read-only file system")}}),
       {{a, outcome(Status::Success)},
        {b, outcome(Status::ShredFail, "b: size error!")},
        {c, outcome(Status::DeleteFail, "c: Read-only file system")},
        {d, outcome(Status::DeleteFail, "The helper gave no answer for this path.")}},
       true},
      {"refused as a whole", false, refusal("Refused: user id 1000 may not use it."),
       allFour(Status::PrivilegeFail, "Refused: user id 1000 may not use it."), true},
      {"connection lost", false, refusal(lost), allFour(Status::PrivilegeFail, lost), false}};
  for (const auto& [name, ok, information, expected, keepsProxy] : cases) {
    SCOPED_TRACE(name);
    auto helper = std::make_shared<testing::RecordingHelper>(
        [ok = ok, &information = information](const PlistValue&, HelperProtocol::EventReply reply) {
          reply(ok, ok ? 1 : 4, information);
        });
    service.setPrivilegeHelper(helper);
    EXPECT_EQ(shredAndWait(service, {a, b, c, d}), Outcome(ok, expected));
    EXPECT_EQ(service.privilegeHelper() == helper, keepsProxy);
    EXPECT_EQ(helper->events(), shredEvent({a, b, c, d}));
    // The scripted helper touched nothing: the files are all still there.
    for (const std::string& p : {a, b, c, d}) EXPECT_TRUE(exists(p)) << p;
  }
  // Without a helper to connect to, the waiting paths fail with its text.
  Identity::shared().setBundleIdentifier("org.orvexa.tests");
  testing::NoHelper noHelper;
  EXPECT_EQ(shredAndWait(service, {a, b, c, d}),
            Outcome(false, allFour(Status::PrivilegeFail, kHelperNotInstalledText)));
  EXPECT_TRUE(service.privilegeHelper() == nullptr && testing::readFile(a) == "1");
}

using ShreadServiceConcurrencyTest = ShreadServiceTest;

// Overlapping calls on one service, each with many files in parallel.
TEST_F(ShreadServiceConcurrencyTest, OverlappingCallsShredEverythingOnce) {
  constexpr size_t kCalls = 4, kFiles = 24;
  std::vector<std::vector<std::string>> batches(kCalls);
  for (size_t call = 0; call < kCalls; ++call) {
    const std::string n = std::to_string(call);
    for (size_t i = 0; i < kFiles; ++i)
      batches[call].push_back(sb_.file("~/c" + n + "/f" + std::to_string(i), i + 1));
    batches[call].push_back(sb_.dir("~/d" + n));
    sb_.file("~/d" + n + "/x", 9);
  }
  std::mutex mu;
  std::vector<Result> results;
  testing::Signal done;
  for (const auto& batch : batches) {
    service_.shred(urls(batch), [&](bool success, Result result) {
      EXPECT_TRUE(success);
      std::lock_guard lock(mu);
      results.push_back(std::move(result));
      done.notify();
    });
  }
  ASSERT_TRUE(done.wait(std::chrono::seconds(30), static_cast<int>(kCalls)));
  std::lock_guard lock(mu);
  for (const Result& result : results) EXPECT_EQ(result.size(), kFiles + 1);
  for (const auto& batch : batches) {
    for (const std::string& p : batch) EXPECT_FALSE(exists(p)) << p;
  }
}

// Files of nobody's in folders of root's: the current user (root, named
// as such) may delete them but does not own them, so they go to the
// privileged helper, served in-process on its socket in the sandbox.
class ShreadHelperTest : public testing::HelperUsingTest {
 protected:
  void SetUp() override {
    if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to own files as another user";
    HelperUsingTest::SetUp();
    helper_ = std::make_unique<testing::RunningHelper>();
  }
  std::string othersFile(const std::string& sandboxPath, const std::string& content) {
    const std::string file = sb_.file(sandboxPath, content);
    EXPECT_EQ(::chown(file.c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
    return file;
  }

  testing::Sandbox sb_{accountNameOf(::geteuid())};
  std::unique_ptr<testing::RunningHelper> helper_;
  ShreadService service_;
};

// Only the waiting paths go to the helper, in one Shred event; a folder
// holding another user's file is removed and reported once.
// (A lost helper: the "connection lost" row of the scripted answers, and
// PrivilegeHelperTest for connecting again.)
TEST_F(ShreadHelperTest, FilesOfAnotherUserGoToTheHelperAndMineIsShreddedDirectly) {
  const std::string folder = sb_.dir("/Library/Caches/shred/Project");
  const std::string theirs = othersFile("/Library/Caches/shred/Project/sub/theirs.txt", "x");
  EXPECT_EQ(shredAndWait(service_, {folder}), Outcome(true, each({folder})));
  ASSERT_NE(service_.privilegeHelper(), nullptr) << "the service connects and keeps the proxy";
  auto recording = std::make_shared<testing::RecordingHelper>(service_.privilegeHelper());
  service_.setPrivilegeHelper(recording);
  const std::string one = othersFile("/Library/Caches/shred/one", "1");
  const std::string two = othersFile("/Library/Caches/shred/two", "22");
  const std::string mine = sb_.file("~/mine", "333");
  ProgressLog progress;
  progress.attach(service_);
  EXPECT_EQ(shredAndWait(service_, {one, two, mine}), Outcome(true, each({one, two, mine})));
  EXPECT_EQ(recording->events(), shredEvent({one, two}));
  std::lock_guard lock(progress.mu);
  EXPECT_EQ(progress.lines,
            (std::multiset<std::string>{"mine Success", "one Prepare", "one Success", "two Prepare",
                                        "two Success"}));
  for (const std::string& p : {one, two, mine, folder, theirs}) EXPECT_FALSE(exists(p)) << p;
}

}  // namespace
}  // namespace orvexa
