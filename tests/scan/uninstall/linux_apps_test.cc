// The uninstaller on a sandboxed Linux desktop: which desktop entries are
// applications, which files each claims, what is a leftover or unused, and
// what a clean of two applications and a user Flatpak removes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>

#include "orvexa/clean/clean_service.h"
#include "orvexa/scan/uninstall/linux_applications.h"
#include "uninstall_fixtures.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::childPaths;

std::string entry(const std::string& name, const std::string& exec, const std::string& more = "") {
  return "[Desktop Entry]\nType=Application\nName=" + name +
         (exec.empty() ? "" : "\nExec=" + exec) + "\n" + more;
}

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
  const std::string shared = "/usr/share/applications/";
  sb_.file(shared + "editor.desktop", entry("Editor", "/usr/bin/editor %F"));
  sb_.file(shared + "notes.desktop", entry("Notes", "env LANG=C notes %U"));
  // The user's own copy of a packaged entry: it goes, the program stays.
  sb_.file("~/.local/share/applications/notes.desktop", entry("Notes", "env LANG=C notes %U"));
  sb_.file(shared + "menu.desktop", entry("Menu", "menu", "NoDisplay=true\n"));
  sb_.file(shared + "link.desktop", "[Desktop Entry]\nType=Link\nName=Link\nURL=x\n");
  sb_.file(shared + "shadowed.desktop", entry("Shadowed", "shadowed"));
  sb_.file("~/.local/share/applications/shadowed.desktop", entry("Shadowed", "s", "Hidden=true"));
  sb_.file("/usr/local/share/applications/pulse.desktop", entry("Pulse Tool", "pulse"));
  sb_.file("~/.local/share/applications/foo.desktop",
           entry("Foo", "\"/home/tester/Apps/Foo-1.2-x86_64.AppImage\" %u"));
  sb_.file("~/Apps/Foo-1.2-x86_64.AppImage", 700);
  sb_.file("~/.local/share/applications/tool.desktop",
           entry("Tool", "/home/tester/.local/bin/tool"));
  fs::create_symlink(sb_.file("~/opt/tool/run", 5), sb_.dir("~/.local/bin") + "/tool");
  // In a sub-folder (id "kde4-tooladmin"); its program makes ~/opt/tool shared.
  sb_.file("~/.local/share/applications/kde4/tooladmin.desktop",
           entry("Tool Admin", "/home/tester/opt/tool/admin"));
  sb_.file("~/.local/share/applications/bar.desktop",
           entry("Bar", "/home/tester/Apps/bar/bin/bar"));
  sb_.file("~/Apps/bar/bin/bar", 9);
  fs::create_symlink(sb_.dir("~/elsewhere"), sb_.path("~/.local/share/applications/out"));
  sb_.file("~/elsewhere/out.desktop", entry("Out", "out"));  // behind a link: not read
  sb_.file("~/.local/share/flatpak/exports/share/applications/org.example.Paint.desktop",
           entry("Paint", "/usr/bin/flatpak run org.example.Paint", "X-Flatpak=org.example.Paint"));
  sb_.file("~/.local/share/flatpak/app/org.example.Paint/current/files/paint", 300);
  fs::create_symlink("gone", sb_.dir("~/.local/share/flatpak/exports/share/applications") +
                                 "/org.example.Old.desktop");  // unreadable: still installed
  sb_.file("/var/lib/flatpak/exports/share/applications/org.example.Chat.desktop",
           entry("Chat", "/usr/bin/flatpak run org.example.Chat"));
  sb_.file("/var/lib/snapd/desktop/applications/mail_mail.desktop",
           entry("Mail", "env BAMF_DESKTOP_FILE_HINT=x /snap/bin/mail"));
  testing::fakeTool(
      sb_, "dpkg",
      "shift; for p; do case \"$p\" in */editor.desktop) echo \"editor-pkg: $p\" ;;\n"
      "*/notes.desktop) echo \"notes:amd64, notes-extra: $p\" ;;\n"
      "*) echo \"dpkg-query: no path found matching pattern $p\" >&2 ;; esac; done; exit 1\n");
  testing::fakeTool(sb_, "flatpak",
                    "[ \"$1 $2 $3\" = 'uninstall --user --noninteractive' ] && rm -rf '" +
                        sb_.path("~/.local/share/flatpak/app/") + "'\"$4\"\n");

  const struct {
    const char* path;
    const char* owner;  // the title of the application listing it
    bool leftover;
  } cases[] = {{"~/.config/notes/", "Notes", false},
               {"~/.config/notes.conf", "Notes", false},
               {"~/.local/share/notes/", "Notes", false},
               {"~/.config/Notes Pro/", "", false},
               {"~/.cache/notes-backup/", "", false},
               {"~/.local/state/editor/", "Editor", false},
               {"~/.config/foo/", "Foo", false},
               {"~/.config/pulse/", "", false},  // every program's, whatever runs as "pulse"
               {"~/.cache/pulse-tool/", "", false},
               {"~/.cache/org.example.Paint/", "Paint", false},
               {"~/.var/app/org.example.Paint/", "Paint", false},
               {"~/.var/app/org.example.Paint.Plugin/", "", false},
               {"~/.var/app/org.example.Chat/", "Chat", false},
               {"~/snap/mail/", "Mail", false},
               {"~/.config/org.example.Gone/", "", true},
               {"~/.var/app/org.example.Gone/", "", true},
               {"~/.config/org.example.Gone.Helper/", "", false},
               {"~/.var/app/org.example.Old/", "", false},
               {"~/.config/unknown/", "", false}};
  for (const auto& c : cases) {
    const std::string_view path = c.path;
    if (path.ends_with("/"))
      sb_.file(std::string(path) + "data/x", path.size() * 10);
    else
      sb_.file(path, 17);
  }
  const FeaturePtr feature = feature_;
  ASSERT_TRUE(testing::runUninstallScan(feature, queue_).finished);

  // Ten applications, whose titles and order the check of their programs shows.
  ASSERT_EQ(feature->categoryInfo[0]->childrenCateogry.value_or(std::vector<CategoryPtr>{}).size(),
            10u);
  std::map<std::string, std::string> ownerOf;
  for (const CategoryPtr& app : *feature->categoryInfo[0]->childrenCateogry) {
    SCOPED_TRACE(app->title);
    int64_t sum = 0;
    for (const FilePtr& f : app->childrens) {
      ownerOf[f->url.path()] += app->title;
      EXPECT_EQ(f->size, testing::filesSize(f->url.path())) << f->url.path();
      sum += f->size;
    }
    EXPECT_EQ(app->size, sum);
  }
  std::set<std::string> leftovers;
  std::vector<CategoryPtr> groups = UninstallScanService::getLeftoverAppPath(feature);
  for (const CategoryPtr& g : groups)
    std::ranges::copy(childPaths(g), std::inserter(leftovers, leftovers.end()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string path = sb_.path(c.path);
    if (path.back() == '/') path.pop_back();
    EXPECT_EQ(ownerOf[path], c.owner);
    EXPECT_EQ(leftovers.count(path), c.leftover ? 1u : 0u);
  }
  EXPECT_EQ(ownerOf[sb_.path("~/.local/share/applications/notes.desktop")], "Notes");
  ASSERT_EQ(groups.size(), 1u);
  std::string claimed;
  for (const char* title : {"Foo", "Tool", "Bar", "Paint"})
    claimed += testing::joined(sb_, childPaths(testing::listedApp(feature, title))) + "\n";
  EXPECT_EQ(
      claimed,
      "~/.local/share/applications/foo.desktop, ~/Apps/Foo-1.2-x86_64.AppImage, ~/.config/foo\n"
      "~/.local/share/applications/tool.desktop, ~/.local/bin/tool\n"
      "~/.local/share/applications/bar.desktop, ~/Apps/bar\n"
      "~/.local/share/flatpak/app/org.example.Paint, ~/.cache/org.example.Paint, "
      "~/.var/app/org.example.Paint\n");

  // What a clean leaves of a system-wide application, and what removes it.
  std::string programs;
  for (const CategoryPtr& app : *feature->categoryInfo[0]->childrenCateogry) {
    const auto* program = std::any_cast<DesktopApplication>(&app->attachInfomation);
    programs += app->title +
                (program ? ": " + program->package + " | " + program->removeCommand : " -") + "\n";
  }
  EXPECT_EQ(
      programs,
      "Bar:  | \nChat:  | sudo flatpak uninstall --system org.example.Chat\n"
      "Editor: editor-pkg | sudo apt remove editor-pkg\nFoo:  | \nMail: mail | sudo snap remove "
      "mail\nNotes: notes | sudo apt remove notes\nPaint:  | \nPulse Tool:  | \n"
      "Tool Admin:  | \nTool:  | \n");

  // Unused: what the desktop's records do not name.
  sb_.file("~/.local/share/gnome-shell/application_state",
           "<application-state><context id=\"\">\n<application id=\"editor.desktop\" "
           "score=\"3\" last-seen=\"1700000000\"/>\n</context></application-state>\n");
  sb_.file("~/.local/share/recently-used.xbel",
           "<xbel><bookmark href=\"file:///a\"><info><metadata><bookmark:applications>"
           "<bookmark:application name=\"Notes\" exec=\"&apos;notes %u&apos;\"/>"
           "<bookmark:application name=\"Other\" exec=\"&apos;Foo-1.2-x86_64.AppImage %u&apos;\"/>"
           "</bookmark:applications></metadata></info></bookmark></xbel>");
  std::vector<std::string> unused;
  for (const CategoryPtr& app : testing::unusedOf(*feature->categoryInfo[0]->childrenCateogry))
    unused.push_back(app->title);
  EXPECT_EQ(unused, (std::vector<std::string>{"Bar", "Chat", "Mail", "Paint", "Pulse Tool",
                                              "Tool Admin", "Tool"}));

  // Foo and Notes cleaned whole, Paint's installation through flatpak.
  for (const char* title : {"Foo", "Notes"}) {
    for (const FilePtr& f : testing::listedApp(feature, title)->childrens) f->state = 1;
  }
  const FilePtr paint = testing::listedApp(feature, "Paint")->childrens.front();
  paint->state = 1;
  EXPECT_FALSE(uninstallUserFlatpak(testing::listedApp(feature, "Foo")->childrens.front()));
  ASSERT_TRUE(uninstallUserFlatpak(paint));
  EXPECT_EQ(paint->deleteStatus, raw(DeleteStatus::DeleteSuccess));
  EXPECT_EQ(paint->state, 0);
  CleanService::setDisposal(CleanDisposal::Final);
  auto finish = std::make_shared<Finish>();
  CleanService::cleanCategorys(*feature->categoryInfo[0]->childrenCateogry,
                               CleanServiceType::Uninstall, finish, feature);
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
