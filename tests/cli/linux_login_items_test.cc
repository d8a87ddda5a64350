// Login items under the Linux layout: autostart entries (system and user)
// switched through a user copy with Hidden=, systemd user units switched
// through a stand-in systemctl.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using nlohmann::json;

class LinuxLoginItemsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Paths::shared().setLayout(Layout::Linux);
    sb_ = std::make_unique<testing::Sandbox>(accountNameOf(geteuid()));
    sb_->file("/etc/xdg/autostart/sys.desktop", kSystemEntry);
    sb_->file("~/.config/autostart/mine.desktop",
              "[Desktop Entry]\r\nName=Mine\r\nHidden=true\r\n");
    sb_->file("~/.config/autostart/junk.desktop", "no group\n");  // never started: not listed
    const std::string state = sb_->dir("/units");
    systemctl_ = sb_->file(
        "/fake/systemctl",
        "#!/bin/sh\necho \"$@\" >> " + state +
            "/log\ncase \"$2\" in\n"
            "list-unit-files) printf 'a.service enabled enabled\\nb.service disabled enabled\\n"
            "c.service static -\\n' ;;\n"
            "enable) touch " +
            state + "/$4 ;;\ndisable) rm -f " + state +
            "/$4 ;;\n"
            "is-enabled) if [ -e " +
            state +
            "/$4 ]; then echo enabled; else echo disabled; fi ;;\n"
            "esac\n");
    std::filesystem::permissions(systemctl_, std::filesystem::perms::owner_all);
  }
  void TearDown() override {
    sb_.reset();
    Paths::shared().setLayout(Layout::macOS);
  }

  json run(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {testing::orvexaProgram(),
                                     "--layout",
                                     "linux",
                                     "login-items",
                                     "--root",
                                     sb_->root(),
                                     "--tool",
                                     "systemctl=" + systemctl_,
                                     "--quiet",
                                     "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto r = testing::runProgram(argv);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    return json::parse(r.out, nullptr, false);
  }
  std::string toggled(const std::string& label) {
    json doc = run({"--toggle", label});
    return doc["before"].get<std::string>() + "->" + doc["after"].get<std::string>();
  }

  static constexpr const char* kSystemEntry = "[Desktop Entry]\nType=Application\nExec=sys\n";
  std::unique_ptr<testing::Sandbox> sb_;
  std::string systemctl_;
};

TEST_F(LinuxLoginItemsTest, ListsAndSwitchesAutostartEntriesAndUserUnits) {
  std::map<std::string, std::string> listed;
  const json doc = run();
  for (const json& category : doc["feature"]["categoryInfo"]) {
    for (const json& group : category["childrens"]) {
      if (group["title"] == "systemd user units")
        EXPECT_EQ(group["url"], "file://" + sb_->path("~/.config/systemd/user"));
      for (const json& item : group["childrens"]) {
        listed[group["title"].get<std::string>() + "/" + item["title"].get<std::string>()] =
            item["attachInformation"];
      }
    }
  }
  EXPECT_EQ(listed,
            (std::map<std::string, std::string>{{"Autostart/mine.desktop", "Close"},
                                                {"Autostart/sys.desktop", "Start"},
                                                {"systemd user units/a.service", "Start"},
                                                {"systemd user units/b.service", "Close"}}));

  const std::string copy = sb_->path("~/.config/autostart/sys.desktop");
  EXPECT_EQ(toggled("sys.desktop"), "Start->Close");
  EXPECT_EQ(testing::readFile(copy), "[Desktop Entry]\nHidden=true\nType=Application\nExec=sys\n");
  EXPECT_EQ(toggled("sys.desktop"), "Close->Start");
  EXPECT_FALSE(std::filesystem::exists(copy));
  EXPECT_EQ(testing::readFile(sb_->path("/etc/xdg/autostart/sys.desktop")), kSystemEntry);
  EXPECT_EQ(toggled("mine.desktop"), "Close->Start");
  EXPECT_EQ(testing::readFile(sb_->path("~/.config/autostart/mine.desktop")),
            "[Desktop Entry]\r\nName=Mine\r\nHidden=false\r\n");

  EXPECT_EQ(toggled("b.service"), "Close->Start");
  EXPECT_NE(testing::readFile(sb_->path("/units/log")).find("--user enable -- b.service"),
            std::string::npos);
}

}  // namespace
}  // namespace orvexa
