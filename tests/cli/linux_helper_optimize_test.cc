// The Linux layout's optimisation tasks and helper service, in a sandbox
// root with stand-in tools that log their arguments.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "orvexa/platform/identity.h"
#include "support/run_as.h"
#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::readFile;

class LinuxSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root";
  }
  // Every tool appends "NAME ARGS" to tools.log; systemctl also starts what
  // it enables, as systemd would.
  testing::ProgramResult run(std::vector<std::string> arguments) {
    std::vector<std::string> argv = {testing::orvexaProgram(), "--layout", "linux", "--root",
                                     sb_.root()};
    for (std::string name : {"sync", "resolvectl", "systemctl"}) {
      const std::string start =
          "[ \"$1\" != enable ] || eval \"setsid $(sed -n 's/^ExecStart=//p' '" +
          sb_.path("/etc/systemd/system/") + "'$3) >/dev/null 2>&1 &\"\n";
      const std::string tool =
          sb_.file("/fake/" + name, "#!/bin/sh\necho " + name + " \"$@\" >> '" +
                                        sb_.path("/tools.log") + "'\n" + start);
      ::chmod(tool.c_str(), 0755);
      argv.insert(argv.end(), {"--tool", name + "=" + tool});
    }
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testing::runProgram(argv);
  }
  testing::Sandbox sb_{accountNameOf(geteuid())};
};

TEST_F(LinuxSystemTest, OptimizeFreesMemoryAndFlushesDnsAndRefusesTheRest) {
  const std::string drop = sb_.file("/proc/sys/vm/drop_caches", "");
  EXPECT_EQ(run({"optimize", "free-ram"}).exitCode, 0);
  EXPECT_EQ(readFile(drop), "3\n");
  EXPECT_EQ(run({"optimize", "flush-dns"}).out, "Clean DNS Cache: done\n");
  EXPECT_EQ(readFile(sb_.path("/tools.log")), "sync\nresolvectl flush-caches\n");
  EXPECT_EQ(run({"optimize", "speed-up-mail"}).err,
            "orvexa: \"speed-up-mail\" has no counterpart on Linux; the tasks there are free-ram "
            "and flush-dns\n");
}

TEST_F(LinuxSystemTest, HelperInstallsAsSystemdServiceAndUninstalls) {
  const std::string label = "org.orvexa.cliHelper";
  std::filesystem::create_directories(sb_.path("/run/systemd/system"));
  std::shared_ptr<void> stopAtEnd(nullptr, [this](void*) { (void)run({"helper", "stop"}); });
  const std::string files[] = {sb_.path("/usr/local/libexec/orvexa/" + label),
                               sb_.path("/etc/systemd/system/" + label + ".service"),
                               sb_.path("/run/" + label + ".socket")};
  auto installed = run({"helper", "install"});
  ASSERT_EQ(installed.exitCode, 0) << installed.err;
  for (const std::string& file : files) EXPECT_TRUE(std::filesystem::exists(file)) << file;
  EXPECT_NE(readFile(files[1]).find("ExecStart=" + files[0] + " --launchd-plist " + files[0] +
                                    ".plist\n"),
            std::string::npos);
  EXPECT_EQ(run({"helper", "uninstall"}).exitCode, 0);
  for (const std::string& file : files) EXPECT_FALSE(std::filesystem::exists(file)) << file;
  EXPECT_EQ(readFile(sb_.path("/tools.log")), "systemctl daemon-reload\nsystemctl enable --now " +
                                                  label + ".service\nsystemctl disable --now " +
                                                  label + ".service\nsystemctl daemon-reload\n");
}

}  // namespace
}  // namespace orvexa
