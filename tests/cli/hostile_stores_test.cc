// Named pipes where the scans expect other programs' stores:
// every scan command still ends in time, exits 0 and prints one JSON
// document, and the privacy listing says which store it could not read.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

TEST(HostileStoresTest, ScansEndInTimeAndSayWhatTheySkipped) {
  const passwd* user = ::getpwuid(::geteuid());
  ASSERT_NE(user, nullptr);
  testing::Sandbox sb(user->pw_name);  // the program's own home in the sandbox
  const std::string fifos[] = {
      "/Applications/Evil.app/Contents/Info.plist",
      "~/Library/Application Support/com.apple.sharedfilelist/recent.sfl",
      "~/Library/Preferences/com.apple.finder.plist",
      "~/Library/Safari/Downloads.plist",
      "~/Library/Safari/History.db",
      "~/Library/Application Support/Firefox/profiles/p.default/logins.json",
      "~/Library/Application Support/Google/Chrome/Default/History",
  };
  for (const std::string& fifo : fifos) {
    const std::string path = sb.path(fifo);
    sb.dir(fifo.substr(0, fifo.rfind('/')));
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
  }
  const std::vector<std::string> commands[] = {
      {"apps"},        {"leftovers"},
      {"unused-apps"}, {"login-items"},
      {"privacy"},     {"privacy", "--clean", "safari:*", "--clean", "firefox:*", "--yes"}};
  for (const std::vector<std::string>& command : commands) {
    SCOPED_TRACE(command.back());
    // timeout(1) ends a hung program with status 137.
    std::vector<std::string> argv = {
        "/usr/bin/timeout", "-s",      "KILL",    "20",    testing::orvexaProgram(),
        "--root",           sb.root(), "--quiet", "--json"};
    argv.insert(argv.end(), command.begin(), command.end());
    testing::ProgramResult run = testing::runProgram(argv);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << run.out;
    if (command[0] != "privacy") continue;
    const std::string out = document.dump();
    for (const std::string& store : {fifos[4], fifos[6]}) {
      EXPECT_NE(out.find(sb.path(store) + ": not a regular file"), std::string::npos) << store;
    }
  }
}

}  // namespace
}  // namespace orvexa
