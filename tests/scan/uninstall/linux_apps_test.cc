// The uninstaller on a sandboxed Linux desktop: which desktop entries are
// applications, which files each claims, what is a leftover or unused, and
// what a clean of two applications and a user Flatpak removes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "orvexa/clean/clean_service.h"
#include "orvexa/scan/uninstall/linux_applications.h"
#include "uninstall_fixtures.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::childPaths;

struct Finish : CleanServiceProtocol {
  testing::Signal done;
  void cleanFinish(int, int64_t, std::vector<FilePtr>, int, std::string) override { done.notify(); }
  void cleanProgress(float) override {}
};

struct LinuxLayout {
  LinuxLayout() { Paths::shared().setLayout(Layout::Linux); }
  ~LinuxLayout() { Paths::shared().setLayout(Layout::macOS); }
};

// The layout first: the sandbox's home follows it.
class LinuxAppsTest : LinuxLayout, public testing::UninstallFeatureTest {};

TEST_F(LinuxAppsTest, DesktopApplicationsTheirFilesLeftoversUseAndClean) {
  // Desktop entries (system-wide, the user's, Flatpak's and Snap's; hidden,
  // shadowed and non-application ones; one in a sub-folder, id
  // "kde4-tooladmin"), the programs they start, and the desktop's records of
  // use (which name Editor, Notes and Foo's AppImage).
  const std::string data = ORVEXA_TEST_DATA_DIR "/uninstall/linux";
  fs::copy(data + "/root", sb_.root(), fs::copy_options::recursive);
  fs::copy(data + "/home", sb_.home(), fs::copy_options::recursive);
  // The user's own copy of notes.desktop goes, the program stays. Tool's
  // link makes ~/opt/tool shared with Tool Admin's program; the entries
  // behind the link "out" are not read; Old's entry is unreadable but
  // installed.
  fs::create_symlink(sb_.path("~/opt/tool/run"), sb_.dir("~/.local/bin") + "/tool");
  fs::create_symlink(sb_.path("~/elsewhere"), sb_.path("~/.local/share/applications/out"));
  fs::create_symlink("gone", sb_.path("~/.local/share/flatpak/exports/share/applications") +
                                 "/org.example.Old.desktop");
  testing::fakeTool(sb_, "dpkg", testing::testData("uninstall/fake-dpkg.sh"));
  testing::fakeTool(sb_, "flatpak", testing::testData("uninstall/fake-flatpak.sh"));

  // Data of the applications and of others: each folder claimed by whose
  // name it bears, or by none ("pulse" is every program's, whatever runs as
  // "pulse"); sizes differ so that a miscounted one shows.
  sb_.layout({"~/.config/notes/x:1", "~/.config/notes.conf:17", "~/.local/share/notes/x:3",
              "~/.config/Notes Pro/x:4", "~/.cache/notes-backup/x:5", "~/.local/state/editor/x:6",
              "~/.config/foo/x:7", "~/.config/pulse/x:8", "~/.cache/pulse-tool/x:9",
              "~/.cache/org.example.Paint/x:10", "~/.var/app/org.example.Paint/x:11",
              "~/.var/app/org.example.Paint.Plugin/x:12", "~/.var/app/org.example.Chat/x:13",
              "~/snap/mail/x:14", "~/.config/org.example.Gone/x:15",
              "~/.var/app/org.example.Gone/x:16", "~/.config/org.example.Gone.Helper/x:18",
              "~/.var/app/org.example.Old/x:19", "~/.config/unknown/x:20"});
  ASSERT_TRUE(scan().finished);

  // Each application with what a clean leaves of it (its package) and what
  // removes that, and the records it claims.
  const std::vector<CategoryPtr> apps =
      feature_->categoryInfo[0]->childrenCateogry.value_or(std::vector<CategoryPtr>{});
  std::string listing;
  std::map<std::string, std::string> ownerOf;
  for (const CategoryPtr& app : apps) {
    const auto& program = std::any_cast<const DesktopApplication&>(app->attachInfomation);
    listing += app->title + " [" + program.package + " | " + program.removeCommand +
               "]: " + testing::joined(sb_, childPaths(app)) + "\n";
    int64_t sum = 0;
    for (const FilePtr& f : app->childrens) {
      ownerOf[f->url.path()] += app->title;
      EXPECT_EQ(f->size, testing::filesSize(f->url.path())) << f->url.path();
      sum += f->size;
    }
    EXPECT_EQ(app->size, sum) << app->title;
  }
  EXPECT_EQ(
      listing,
      "Bar [ | ]: ~/.local/share/applications/bar.desktop, ~/Apps/bar\n"
      "Chat [ | sudo flatpak uninstall --system org.example.Chat]: ~/.var/app/org.example.Chat\n"
      "Editor [editor-pkg | sudo apt remove editor-pkg]: ~/.local/state/editor\n"
      "Foo [ | ]: ~/.local/share/applications/foo.desktop, ~/Apps/Foo-1.2-x86_64.AppImage, "
      "~/.config/foo\n"
      "Mail [mail | sudo snap remove mail]: ~/snap/mail\n"
      "Notes [notes | sudo apt remove notes]: ~/.local/share/applications/notes.desktop, "
      "~/.config/notes, ~/.config/notes.conf, ~/.local/share/notes\n"
      "Paint [ | ]: ~/.local/share/flatpak/app/org.example.Paint, ~/.cache/org.example.Paint, "
      "~/.var/app/org.example.Paint\n"
      "Pulse Tool [ | ]: \n"
      "Tool Admin [ | ]: ~/.local/share/applications/kde4/tooladmin.desktop\n"
      "Tool [ | ]: ~/.local/share/applications/tool.desktop, ~/.local/bin/tool\n");
  // Leftovers: data named after an application no longer installed.
  const std::vector<CategoryPtr> groups = UninstallScanService::getLeftoverAppPath(feature_);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(testing::joined(sb_, childPaths(groups[0])),
            "~/.var/app/org.example.Gone, ~/.config/org.example.Gone");

  // Unused: what the desktop's records of use do not name.
  std::vector<std::string> unused;
  for (const CategoryPtr& app : testing::unusedOf(apps)) unused.push_back(app->title);
  EXPECT_EQ(unused, (std::vector<std::string>{"Bar", "Chat", "Mail", "Paint", "Pulse Tool",
                                              "Tool Admin", "Tool"}));

  // Foo and Notes cleaned whole, Paint's installation through flatpak.
  for (const char* title : {"Foo", "Notes"})
    for (const FilePtr& f : testing::listedApp(feature_, title)->childrens) f->state = 1;
  const FilePtr paint = testing::listedApp(feature_, "Paint")->childrens.front();
  paint->state = 1;
  EXPECT_FALSE(uninstallUserFlatpak(testing::listedApp(feature_, "Foo")->childrens.front()));
  ASSERT_TRUE(uninstallUserFlatpak(paint));
  EXPECT_EQ(std::pair(paint->deleteStatus, paint->state),
            std::pair(raw(DeleteStatus::DeleteSuccess), 0));
  CleanService::setDisposal(CleanDisposal::Final);
  auto finish = std::make_shared<Finish>();
  CleanService::cleanCategorys(apps, CleanServiceType::Uninstall, finish, feature_);
  ASSERT_TRUE(finish->done.wait());
  CleanService::setDisposal(CleanDisposal::ByType);
  std::set<std::string> gone, removed = {sb_.path("~/.local/share/flatpak/app/org.example.Paint")};
  for (const auto& [path, owner] : ownerOf) {
    if (!fs::exists(fs::symlink_status(path))) gone.insert(path);
    if (owner == "Foo" || owner == "Notes") removed.insert(path);
  }
  EXPECT_EQ(gone, removed);
  EXPECT_TRUE(fs::exists(sb_.path("/usr/share/applications/notes.desktop")));
}

}  // namespace
}  // namespace orvexa
