#include "orvexa/platform/user_defaults.h"

#include <gtest/gtest.h>

#include "orvexa/platform/identity.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

// Another object reads what one wrote (a binary list); a file that is not a
// property list reads as empty and is replaced. Setting, removing and the
// host's file: privilege_helper_test.
TEST(UserDefaultsTest, ValuesLiveInTheHostsPreferencesFile) {
  testing::Sandbox sb;
  Identity::shared().setBundleIdentifier("org.example.host");
  UserDefaults& defaults = UserDefaults::standard();
  ASSERT_TRUE(defaults.set("helper-Install", "1.2") && defaults.set("count", 3) &&
              defaults.set("helper-Install", "1.3"));
  EXPECT_EQ(testing::readFile(defaults.path()).substr(0, 8), "bplist00");
  EXPECT_EQ(UserDefaults(defaults.path()).string("helper-Install"), "1.3");
  EXPECT_FALSE(defaults.string("count")) << "not a text";
  EXPECT_EQ(defaults.object("count")->asInteger(), 3);

  UserDefaults broken(sb.file("/broken.plist", "not a plist"));
  EXPECT_FALSE(broken.object("count"));
  ASSERT_TRUE(broken.set("count", 1));
  EXPECT_EQ(broken.object("count")->asInteger(), 1);

  Identity::shared().setBundleIdentifier("");
  EXPECT_EQ(defaults.path(), sb.path("~/Library/Preferences/Defaults.plist"));
}

}  // namespace
}  // namespace orvexa
