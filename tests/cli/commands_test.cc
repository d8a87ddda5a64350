// The command-line program's own behaviour, one row per run: argument errors
// in words with status 2, exit statuses, --json always one JSON document,
// what --select deletes (one clean per cleaning command), text output when
// nothing is a terminal, and the helper's life. What the scans, cleans and
// tasks do is the library tests' business.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orvexa/helper/privilege_helper.h"
#include "orvexa/model/module_information.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/sqlite_tool.h"
#include "support/browser_store_fixture.h"
#include "support/document_writer.h"
#include "support/helper_fixture.h"
#include "support/launchctl_fixture.h"
#include "support/picture_files.h"
#include "support/run_as.h"
#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::existsNoFollow;
using testing::Sandbox;

// Every record path in a result document ("url" members), with its size
// when `sizes`: "path:size".
std::set<std::string> recordPaths(const json& node, bool sizes = false) {
  std::set<std::string> paths;
  const json flat = node.flatten();  // a member per leaf, named by its JSON pointer
  for (const auto& [pointer, value] : flat.items()) {
    if (!pointer.ends_with("/url") || !value.is_string()) continue;
    std::string path = value.get<std::string>();
    if (path.starts_with("file://")) path = path.substr(7);
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    if (sizes) path += ":" + flat.at(pointer.substr(0, pointer.size() - 3) + "size").dump();
    paths.insert(path);
  }
  return paths;
}

// Titles (and states) of the items and their children, indented by level;
// a category without items is left out.
std::string outline(const json& items, const std::string& indent = "") {
  std::string text;
  for (const json& item : items) {
    const json children = item.value("childrens", json::array());
    if (children.empty() && !item.contains("url")) continue;
    const json state = item.value("attachInformation", json());
    text += indent + item.value("title", "") +
            (state.is_string() ? " " + state.get<std::string>() : "") + "\n" +
            outline(children, indent + "  ");
  }
  return text;
}

// The text with {root}, {home}, {tool} (the stand-in programs' folder) and
// {uid} filled in ({sp} is a blank).
std::string filled(std::string text, const Sandbox& sb) {
  for (const auto& [token, value] : {std::pair<std::string, std::string>{"{root}", sb.root()},
                                     {"{home}", sb.home()},
                                     {"{tool}", sb.path("/fake-tools")},
                                     {"{uid}", std::to_string(::geteuid())},
                                     {"{sp}", " "}}) {
    for (size_t at; (at = text.find(token)) != std::string::npos;)
      text.replace(at, token.size(), value);
  }
  return text;
}

// Lays out tests/data/cli/NAME: one entry a line, as Sandbox::layout takes it.
void layOut(const Sandbox& sb, const std::string& name) {
  std::istringstream lines(testing::testData("cli/" + name));
  for (std::string line; std::getline(lines, line);) sb.layout({filled(line, sb)});
}

// The stand-in program tests/data/cli/NAME laid in {tool} as `as`.
void script(const Sandbox& sb, const std::string& name, const std::string& as) {
  fs::permissions(sb.file("/fake-tools/" + as, testing::testData("cli/" + name)), fs::perms(0755));
}

// The home (home.txt) holds documents, caches, three applications with their
// preferences (Foo has been opened, Bar and Baz never, Baz has a second
// copy in the home) and the files of a removed application; the root holds
// extensions.
void makeHome(const Sandbox& sb) {
  layOut(sb, "home.txt");
  const std::string foo = testing::installApplication(sb, "Foo", "com.example.foo");
  testing::installApplication(sb, "Bar", "com.example.bar");
  const std::string baz = testing::installApplication(sb, "Baz", "com.example.baz");
  fs::copy(baz, sb.path("~/Applications/Baz.app"), fs::copy_options::recursive);
  // Opened: the executable was read after it was written. Baz's was read
  // by the copy: it is made unread again.
  const time_t now = ::time(nullptr);
  testing::setTimes(foo + "/Contents/MacOS/Foo", now, now - 3600);
  testing::setTimes(baz + "/Contents/MacOS/Baz", now - 3600, now - 3600);
}

// Two groups of duplicates in ~/dups, x1..x3 and y1..y2, written in the
// order x2, x3, x1, y2, y1 so that first path and oldest disagree.
void makeDuplicates(const Sandbox& sb) {
  for (const char* name : {"x2", "x3", "x1", "y2", "y1"}) {
    sb.file(std::string("~/dups/") + name, std::string(name[0] == 'x' ? 1500 : 2500, name[0]));
    std::this_thread::sleep_for(std::chrono::milliseconds(15));  // dates a clock tick apart
  }
  sb.file("~/dups/single", "only one");
}

void makeSimilar(const Sandbox& sb) {
  const std::string sea = testing::writeJpeg(sb.dir("~/pictures") + "/sea.jpg", 120, 90,
                                             testing::blocks(3, 120, 90), 90);
  testing::writeBytes(sb.path("~/pictures/sea-again.jpg"), testing::readBytes(sea));
  testing::writePng(sb.path("~/pictures/other.png"), 90, 120, testing::blocks(5, 90, 120));
  // A letter, its copy and a recipe (the texts in tests/data/cli).
  for (const auto& [name, text] :
       {std::pair{"letter", "letter"}, {"letter-copy", "letter"}, {"recipe", "recipe"}}) {
    EXPECT_TRUE(testing::writeDocx(sb.dir("~/texts") + "/" + name + ".docx",
                                   {testing::testData(std::string("cli/") + text + ".txt")}));
  }
}

// A cache item of root's in the home of nobody (for the rows run as nobody).
const std::vector<std::string> kRootsCache = {"~/Library/Caches/mine.cache:10",
                                              "~/Library/Caches/rootdir/x:20"};

void makeLaunchctl(const Sandbox& sb) {
  testing::installApplication(sb, "Example", "org.sample.app");
  testing::fakeLaunchctl(sb, testing::printDisabledListing(
                                 "\t\"org.sample.agent\" => false\n\t\"org.sample.sync\" => true\n",
                                 "\t\"org.sample.agent\" => \"org.sample.app\"\n"));
}

// Sizes on disk against apparent sizes: a sparse file of 100 GB, a file
// with a second name, a plain file.
void makeSizes(const Sandbox& sb) {
  fs::resize_file(sb.file("~/tree/sparse", ""), uintmax_t{100} << 30);
  fs::create_hard_link(sb.file("~/tree/linked", 8192), sb.path("~/other name"));
  sb.file("~/tree/plain", 10000);
  // Two names in the tree: counted once.
  fs::create_hard_link(sb.file("~/tree/twin", 5000), sb.path("~/tree/twin2"));
}

using Setup = std::function<void(const Sandbox& sb)>;
using Shape = std::function<void(const json& doc, const Sandbox& sb)>;
using Args = std::vector<std::string>;

enum Flag : unsigned {
  kNobody = 1,        // run as nobody, in nobody's sandbox home
  kFullOutput = 2,    // standard output is /dev/full
  kSharedBlocks = 4,  // an item has another name or two records: less is freed
  kLinux = 8,         // the Linux layout, in a home of the row's own making
};

// One run of the program with --root and --quiet; in arguments and texts,
// {root}, {home} and {tool} are filled in, paths are sandbox paths.
struct Command {
  Command(std::string n, std::string l) : name(std::move(n)), line(std::move(l)) {}
  std::string name;
  std::string line;  // the arguments as typed
  int exit = 0;
  std::vector<std::string> out;    // texts standard output holds
  std::string err;                 // a text standard error holds; with status 0, all of it
  std::vector<std::string> gone;   // there before the run (after `before`), not after
  std::vector<std::string> kept;   // there after the run
  std::vector<std::string> files;  // laid out in the sandbox first (as Sandbox::layout)
  Setup setup;
  std::vector<Shape> shapes;        // checks of the JSON document (or of the files)
  std::vector<std::string> before;  // runs that must succeed first ("helper install" as root)
  unsigned flags = 0;               // the Flag values above

  Command& exits(int status, std::string text = "") { return exit = status, err = text, *this; }
  Command& prints(std::vector<std::string> texts) { return out = std::move(texts), *this; }
  Command& removes(std::vector<std::string> paths) { return gone = std::move(paths), *this; }
  Command& keeps(std::vector<std::string> paths) { return kept = std::move(paths), *this; }
  Command& laid(std::vector<std::string> entries) { return files = std::move(entries), *this; }
  Command& given(Setup s) { return setup = std::move(s), *this; }
  Command& checks(Shape s) { return shapes.push_back(std::move(s)), *this; }
  Command& after(std::vector<std::string> runs) { return before = std::move(runs), *this; }
  Command& with(unsigned flag) { return flags |= flag, *this; }
  bool has(unsigned flag) const { return (flags & flag) != 0; }
};

Command run(std::string name, std::string args) { return {std::move(name), std::move(args)}; }

// A run in the Linux layout, in a home `setup` makes.
Command onLinux(std::string name, const std::string& args, Setup setup) {
  return run(std::move(name), args).with(kLinux).given(std::move(setup));
}

// A usage error: status 2, the reason on standard error.
Command usage(std::string name, const std::string& args, const std::string& err) {
  return run(std::move(name), args).exits(2, "orvexa: " + err);
}

const std::string kNeedsSelect = "--clean needs --select GLOB here: say which records to delete\n";
const std::string kLabel = "org.orvexa.cliHelper";
const std::string kHelperTool = "/Library/PrivilegedHelperTools/" + kLabel;
const std::string kCleanDuplicates = "duplicates --min-size 0 {home}/dups --clean --yes";
const std::string kLinuxHelper = "/usr/local/libexec/orvexa/" + kLabel;

void makeLink(const Sandbox& sb) {
  fs::create_symlink(sb.path("~/docs/small.txt"), sb.path("~/link"));
}

// A cache folder of another user's in root's home.
void makeTheirCache(const Sandbox& sb) {
  const std::string theirs = sb.dir("~/Library/Caches/theirs");
  sb.file("~/Library/Caches/theirs/x", 20);
  EXPECT_EQ(::chown(theirs.c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
}

// A Linux desktop for --layout linux: the package "notes" with its data,
// the user Flatpak org.example.Paint, the system Flatpak org.example.Chat
// (no files in the home).
// {tool}/dpkg answers as dpkg -S and as flatpak uninstall (dpkg_flatpak.sh).
void makeLinuxDesktop(const Sandbox& sb) {
  sb.file("/usr/share/applications/notes.desktop", "[Desktop Entry]\nName=Notes\nExec=notes\n");
  sb.file("~/.local/share/flatpak/exports/share/applications/org.example.Paint.desktop",
          "[Desktop Entry]\nName=Paint\nExec=flatpak run org.example.Paint\n");
  sb.file("/var/lib/flatpak/exports/share/applications/org.example.Chat.desktop",
          "[Desktop Entry]\nName=Chat\nExec=flatpak run org.example.Chat\n");
  sb.layout(
      {"~/.local/share/flatpak/app/org.example.Paint/files/paint:30", "~/.config/notes/n:10"});
  script(sb, "dpkg_flatpak.sh", "dpkg");
}

void expectNoHelperInstalled(const json&, const Sandbox& sb) {
  EXPECT_FALSE(existsNoFollow(sb.path("/Library/PrivilegedHelperTools")));
  EXPECT_FALSE(existsNoFollow(sb.path("/var/run")));
}

// Two files that only the whole-content digest tells apart, after a run that
// cached their digests; then the cache gives both one digest, as a collision
// (or a stale entry) would.
void makeCollidingCache(const Sandbox& sb) {
  const std::string edge(8192, 'e');
  for (const char* name : {"a.bin", "b.bin"})
    sb.file(std::string("~/files/") + name, edge + std::string(20000, name[0]) + edge);
  const Args scan = {testing::orvexaProgram(), "--root", sb.root(), "duplicates", "--min-size", "0",
                     sb.path("~/files")};
  EXPECT_EQ(testing::runProgram(scan).exitCode, 0);
  const std::string cache = sb.path("~/Library/Caches/org.orvexa.cli/DuplicateDigests.sqlite");
  SqliteTool db;
  EXPECT_TRUE(db.openDB(cache));
  EXPECT_TRUE(
      db.executionSQL("UPDATE digests SET full = ?", {std::vector<uint8_t>(16, 0xAB)}).first);
  db.closeDB(cache);
}

Shape outlines(std::string pointer, std::string expected) {
  return [pointer, expected](const json& doc, const Sandbox&) {
    EXPECT_EQ(outline(doc.at(json::json_pointer(pointer))), expected);
  };
}

// The document's members named by JSON pointers hold these values ({root}
// and {home} filled in; null: there is no such member).
Shape holds(json expected) {
  return [expected](const json& doc, const Sandbox& sb) {
    for (const auto& [pointer, value] : expected.items())
      EXPECT_EQ(doc.value(json::json_pointer(pointer), json()),
                json::parse(filled(value.dump(), sb)))
          << pointer;
  };
}

// Bytes in the blocks of the files (not folders) at or below `path`.
int64_t blocksIn(const std::string& path) {
  const std::string find = "find '" + path + "' ! -type d -printf '%b\\n'";
  return std::stoll(testing::shellOutput(find + " | awk '{s+=$1} END {print s*512}'"));
}

// A category's size is its records' sum, the total the categories' sum; a
// record's blocks are those of the files in it.
void sizesAddUp(const json& doc, const Sandbox&) {
  int64_t sum = 0;
  for (const json& category : doc.at("feature").at("categoryInfo")) {
    int64_t size = 0;
    for (const json& item : category.at("childrens")) {
      size += item.at("size").get<int64_t>();
      const std::string path = item.at("url").get<std::string>().substr(7);
      EXPECT_EQ(item.at("allocatedSize").get<int64_t>(), blocksIn(path)) << path;
    }
    EXPECT_EQ(category.at("size").get<int64_t>(), size) << category.at("title");
    sum += size;
  }
  EXPECT_EQ(doc.at("total").get<int64_t>(), sum);
  EXPECT_GT(sum, 0);
}

// Modules in finder order, every type once, the duplicates at finder 7 (as
// the scan engine knows them), the large files' nested views written too.
const json::json_pointer kViews("/featureInfo/0/categoryInfo/0/childrenCateogry");
void catalogueInFinderOrder(const json& doc, const Sandbox&) {
  std::string types;
  for (const json& module : doc.at("modules")) {
    types += module.at("finderID").dump() + " " + module.value("type", "") + " ";
    if (module.at("type") == kLargeAndOldFilesModuleType)
      types += std::to_string(module.at(kViews).size()) + " views ";
  }
  EXPECT_EQ(
      types,
      "1 SystemJunk 2 TrashBin 3 MailAttachment 4 DeviceBackup 5 PhotosJunk 6 "
      "LaregeAndOldFiles 12 views 7 Duplicate 8 SimilarImage 9 SimilarDocument 10 Uninstaller "
      "11 Privacy 12 Maintenance 13 Optimization 14 Shredder 15 DiskAnalysis ");
}

// The page names the pictures, loads nothing, and holds each thumbnail at
// the picture's own size, never enlarged: the width and height of the PNG
// header, bytes 16 to 23.
void pageOfThumbnails(const json&, const Sandbox& sb) {
  const std::string html = testing::readFile(sb.path("~/page.html"));
  EXPECT_NE(html.find(sb.path("~/pictures/sea-again.jpg")), std::string::npos);
  EXPECT_NE(html.find("120 &times; 90 JPEG"), std::string::npos);
  EXPECT_EQ(html.find("src=\"http"), std::string::npos) << "the page is self-contained";
  const std::string marker = "data:image/png;base64,";
  std::string sizes;
  for (size_t at = 0; (at = html.find(marker, at)) != std::string::npos; ++at) {
    unsigned char png[24];
    EVP_DecodeBlock(png, reinterpret_cast<const unsigned char*>(html.data()) + at + marker.size(),
                    32);
    sizes += std::to_string(png[18] * 256 + png[19]) + "x" +
             std::to_string(png[22] * 256 + png[23]) + " ";
  }
  EXPECT_EQ(sizes, "120x90 120x90 ");
}

// Sizes are apparent bytes, allocated sizes the blocks (makeSizes).
void sizesOnDisk(const json& doc, const Sandbox& sb) {
  const json& tree = doc.at("feature").at("categoryInfo").back().at("childrens").at(0);
  EXPECT_LT(tree.at("allocatedSize").get<int64_t>(), int64_t{1} << 20);
  EXPECT_EQ(tree.at("size").get<int64_t>(), (int64_t{100} << 30) + 8192 + 10000 + 5000);
  ASSERT_EQ(tree.at("childrens").size(), 5u);
  for (const json& record : tree.at("childrens")) {
    const std::string path = sb.path("~/tree/" + record.at("title").get<std::string>());
    if (path.ends_with("twin") || path.ends_with("twin2")) continue;
    EXPECT_EQ(record.at("size").get<uintmax_t>(), fs::file_size(path)) << path;
    EXPECT_EQ(record.at("allocatedSize").get<int64_t>(), blocksIn(path)) << path;
  }
}

// Files of 60, 70 and 50 MiB: the query takes those above 50.
void makeLargeFiles(const Sandbox& sb) {
  for (const auto& [name, mib] : {std::pair{"disk.iso", 60}, {"photo.jpg", 70}, {"limit.bin", 50}})
    fs::resize_file(sb.file(std::string("~/d/") + name, ""), uintmax_t(mib) << 20);
}

// A desktop home of the Linux layout: caches, logs, package archives, the
// home's trash (with an information file whose item is gone) and those of
// two other volumes.
void makeLinuxHome(const Sandbox& sb) { layOut(sb, "linux_home.txt"); }

// The records of the document's categories are exactly `expected`
// ("path:size"): sizes are the files' logical bytes, as the macOS scans count.
Shape lists(std::vector<std::string> expected) {
  return [expected](const json& doc, const Sandbox& sb) {
    std::set<std::string> wanted;
    for (const std::string& e : expected)
      wanted.insert(sb.path(filled(e.substr(0, e.rfind(':')), sb)) + e.substr(e.rfind(':')));
    EXPECT_EQ(recordPaths(doc.at("feature"), true), wanted);
  };
}

// Every file the peer cleaner would delete from the same home (its cache,
// thumbnail and trash cleaners) is a record of `junk` or `trash`, or inside
// one; an information file goes with its trash item.
void coversPeerCleaner(const json& junk, const Sandbox& sb) {
  if (testing::shellOutput("command -v bleachbit").empty()) return;  // the peer is optional
  std::set<std::string> ours = recordPaths(junk);
  ours.merge(recordPaths(
      json::parse(testing::runProgram({testing::orvexaProgram(), "--root", sb.root(), "--layout",
                                       "linux", "--quiet", "trash", "--json"})
                      .out)));
  std::istringstream preview(testing::shellOutput(
      "HOME='" + sb.home() +
      "' bleachbit --preview system.cache thumbnails.cache system.trash 2>/dev/null"));
  int files = 0;
  for (std::string line; std::getline(preview, line);) {
    if (line.rfind("Delete ", 0) != 0) continue;
    std::string path = line.substr(line.find(' ', 7) + 1);
    if (!fs::is_regular_file(fs::symlink_status(path))) continue;
    ++files;
    if (size_t at = path.find("/Trash/info/"); at != std::string::npos && ours.count(path) == 0)
      path = path.replace(at, 12, "/Trash/files/").substr(0, path.size() - 10);  // no ".trashinfo"
    while (path.size() > sb.root().size() && ours.count(path) == 0) path.resize(path.rfind('/'));
    EXPECT_GT(path.size(), sb.root().size()) << line << ": not listed";
  }
  EXPECT_GT(files, 5);
}

const char* const kSystemEntry = "[Desktop Entry]\nType=Application\nExec=sys\n";

// Autostart entries (the system's, and the user's own, hidden) and a
// systemctl with the user units a (enabled), b (disabled) and c (static),
// switched by files in /units (systemctl.sh).
void makeAutostart(const Sandbox& sb) {
  sb.file("/etc/xdg/autostart/sys.desktop", kSystemEntry);
  sb.file("~/.config/autostart/mine.desktop", "[Desktop Entry]\r\nName=Mine\r\nHidden=true\r\n");
  sb.file("~/.config/autostart/junk.desktop", "no group\n");  // never started: not listed
  script(sb, "systemctl.sh", "systemctl");
}

const std::string kLoginItems = "login-items --tool systemctl={tool}/systemctl --json ";

// The file at `path` holds `text`: all of it when `text` ends a line, else
// among the rest.
Shape reads(std::string path, std::string text) {
  return [path, text](const json&, const Sandbox& sb) {
    const std::string held = testing::readFile(sb.path(path));
    EXPECT_TRUE(text.ends_with('\n') ? held == text : held.find(text) != std::string::npos)
        << path << ": " << held;
  };
}

Shape logs(std::string expected) { return reads("/tools.log", std::move(expected)); }

// A toggle's change.
const Shape kSwitchedOff = holds({{"/before", "Start"}, {"/after", "Close"}});
const Shape kSwitchedOn = holds({{"/before", "Close"}, {"/after", "Start"}});

// Stand-ins for sync, resolvectl and systemctl (tools.sh) that append
// "NAME ARGS" to /tools.log.
void makeSystemTools(const Sandbox& sb) {
  sb.layout({"/proc/sys/vm/drop_caches", "/run/systemd/system/"});
  for (const char* name : {"sync", "resolvectl", "systemctl"}) script(sb, "tools.sh", name);
}

const std::string kTools =
    "--tool sync={tool}/sync --tool resolvectl={tool}/resolvectl --tool "
    "systemctl={tool}/systemctl ";

// clang-format off
const std::vector<Command> kCommands = {
    // Numbers out of range, and cleans that would trust resemblance alone:
    // refused in words, with --json in a document too, nothing deleted.
    usage("min_size_too_large", "--json duplicates {home} --min-size 9223372036854775807",
          "--min-size: Value 9223372036854775807 not in range 0 to 9007199254740991"),
    usage("min_size_negative", "--json duplicates {home} --min-size -1",
          "--min-size: Value -1 not in range"),
    usage("reserve_too_large", "--json optimize purgeable --reserve 8796093022208",
          "--reserve: Value 8796093022208 not in range 0 to 8796093022207"),
    usage("max_ram_zero", "--json optimize free-ram --max-ram 0",
          "--max-ram: Value 0 not in range 1 to"),
    usage("top_negative", "--json disk-usage {home} --top -1",
          "--top: Value -1 not in range 0 to 2147483647"),
    usage("depth_too_large", "--json disk-usage {home} --depth 4294967296",
          "--depth: Value 4294967296 not in range"),
    usage("top_not_an_integer", "--json large --top 1e3", "--top: Value 1e3 not in range"),
    usage("image_threshold", "--json similar-images {home} --threshold 37",
          "--threshold: Value 37 not in range 0 to 36"),
    usage("text_threshold", "--json similar-docs {home} --threshold 101",
          "--threshold: Value 101 not in range 0 to 100"),
    usage("user_too_large", "--json helper install --user 4294967295",
          "--user: Value 4294967295 not in range"),
    usage("feature_negative", "--json --feature -1 junk", "--feature: Value -1 not in range"),
    run("feature_unknown", "junk --feature 999")
        .exits(1, "orvexa: the catalogue has no feature with finderID 999\n"),
    usage("tool_without_path", "junk --tool mdfind", "--tool takes NAME=PATH, got \"mdfind\""),
    usage("large_clean_unselected", "large --clean --yes", kNeedsSelect).keeps({"~/docs/big.bin"}),
    usage("clean_asks_without_a_terminal", "junk --clean",
          "--clean asks before deleting, but standard input is not a terminal: add --yes to delete "
          "without asking\n").keeps({"~/Library/Caches/loose.cache"}),
    usage("yes_without_clean", "junk --yes", "--select and --yes go with --clean\n"),
    usage("keep_without_clean", "duplicates {home} --keep oldest",
          "--keep is only used with --clean\n"),
    usage("catalogue_takes_no_clean", "catalogue --clean",
          "The following argument was not expected: --clean"),
    usage("missing_folder", "similar-images {home}/nothing-here",
          "no such file or folder: {home}/nothing-here"),
    usage("unknown_task", "optimize defrag",
          "name one task: free-ram, purgeable, speed-up-mail, flush-dns or rebuild-spotlight\n"),
    usage("unknown_helper_action", "helper restart",
          "unknown action \"restart\": install, status, stop or uninstall\n"),
    usage("shred_asks_without_a_terminal", "shred {home}/docs/big.bin",
          "shred asks before destroying anything, but standard input is not a terminal: add --yes "
          "to shred without asking\n").keeps({"~/docs/big.bin"}),
    usage("shred_refuses_the_root", "shred --yes /", "refusing to shred the root folder\n"),

    // Exit statuses of runs that fail.
    run("toggle_unknown_extension", "extensions --toggle {root}/Library/Spotlight/No")
        .exits(1, "orvexa: no listed extension at {root}/Library/Spotlight/No (see \"orvexa "
                  "extensions\")\n"),
    run("toggle_unknown_login_item", "--tool launchctl={tool}/launchctl login-items --toggle x")
        .exits(1, "orvexa: no login item or application named \"x\"\n").given(makeLaunchctl),
    run("speed_up_mail_without_mail", "optimize speed-up-mail").exits(1)
        .prints({"Speed Up Mail: failed: Empty\n"}),
    // Output that cannot be written: a listing stops a clean before anything
    // goes; a report comes after the clean.
    run("full_output_catalogue", "catalogue --json").with(kFullOutput)
        .exits(74, "orvexa: cannot write to standard output: No space left on device"),
    run("full_output_clean_listing", kCleanDuplicates).exits(74, "No space left on device")
        .keeps({"~/dups/x2", "~/dups/x3"}).given(makeDuplicates).with(kFullOutput),
    run("full_output_clean_report", kCleanDuplicates + " --json")
        .exits(74, "No space left on device")
        .removes({"~/dups/x2", "~/dups/x3"}).given(makeDuplicates).with(kFullOutput),
    // Ctrl-C during a scan with --clean: nothing is deleted.
    run("interrupted_clean", "--tool mdfind={tool}/mdfind large --clean --yes --select *")
        .exits(130, "interrupted: nothing was deleted")
        .keeps({"~/docs/big.bin", "~/docs/small.txt"})
        .given([](const Sandbox& sb) { script(sb, "mdfind.sh", "mdfind"); }),

    // Listings: text when nothing is a terminal, the JSON document's shape.
    run("junk_json", "junk --json").checks(sizesAddUp),
    run("catalogue_json", "catalogue --json").checks(catalogueInFinderOrder),
    run("extensions_text", "extensions")
        .prints({"Spotlight Plugins (1.5 KB)\n  Start     1.5 KB  {root}/Library/Spotlight/"
                 "Mail.mdimporter\n  Close       40 B  {root}/Library/Spotlight Disabled/"
                 "Old.mdimporter\nSafari Extensions (0 B)\n  (none)\n", "Total: 1.5 KB\n"}),
    run("login_items_text", "--tool launchctl={tool}/launchctl login-items").given(makeLaunchctl)
        .prints({"Example ({root}/Applications/Example.app): Start\n  org.sample.agent  Start\n"
                 "  org.sample.sync  Close\nLogin items: 1 application, 2 services\n"}),
    // The page is written, and the groups listed as text.
    run("similar_images_page", "similar-images --html {home}/page.html {home}/pictures")
        .prints({"Group 1: ", "{home}/pictures/sea.jpg", "{home}/pictures/sea-again.jpg",
                 "1 group;"}).given(makeSimilar).checks(pageOfThumbnails),
    run("sizes_on_disk", "disk-usage {home}/tree --json").given(makeSizes).checks(sizesOnDisk),
    // A folder nobody may open is named with the reason, not counted as empty.
    run("disk_usage_unread_folder", "disk-usage {home}/data").with(kNobody)
        .laid({"~/data/rootdir/secret:5", "~/data/open:3"})
        .given([](const Sandbox& sb) {
          ::chmod(sb.path("~/data/rootdir").c_str(), 0700);
        }).prints({"1 folder could not be read", "/data/rootdir  (not read: Permission denied)"}),
    run("free_ram_json", "optimize free-ram --max-ram 8 --json")
        .checks([](const json& doc, const Sandbox&) {
      EXPECT_EQ((json{doc.at("task"), doc.at("success"), doc.at("freed").is_number_integer()}),
                (json{"free-ram", true, true}));
    }),

    // One clean per cleaning command: what --select names goes, the rest
    // stays; with --json one document holds what is left and the report.
    run("clean_large", "large --json --clean --yes --select */docs/*.bin")
        .removes({"~/docs/big.bin"}).keeps({"~/docs/small.txt", "~/docs/old/a.log"}),
    run("clean_disk_usage_folder",
        "disk-usage {home}/docs --depth 0 --json --clean --yes --select */old/*")
        .removes({"~/docs/old/a.log", "~/docs/old/b.log"})
        .keeps({"~/docs/old", "~/docs/keep/c.log", "~/docs/small.txt"}),
    run("clean_app_by_title", "apps --json --clean --yes --select Bar")
        .removes({"/Applications/Bar.app", "~/Library/Preferences/com.example.bar.plist"})
        .keeps({"/Applications/Foo.app", "~/Library/Preferences/com.example.foo.plist",
                "/Applications/Baz.app"}),
    // One of two copies by path: the data both list stays.
    run("clean_app_copy_by_path", "apps --json --clean --yes --select {home}/Applications/Baz.app")
        .removes({"~/Applications/Baz.app"})
        .keeps({"/Applications/Baz.app", "~/Library/Preferences/com.example.baz.plist"}),
    // Both copies of Baz list its preferences: less is freed than listed.
    run("clean_unused_apps", "unused-apps --json --clean --yes --select */Applications/*")
        .removes({"/Applications/Baz.app", "~/Library/Preferences/com.example.baz.plist"})
        .keeps({"/Applications/Foo.app", "~/Library/Preferences/com.example.foo.plist"})
        .with(kSharedBlocks),
    // As text: the listing says why, then the clean.
    run("clean_leftovers", "leftovers --clean --yes --select org.removed.gone")
        .prints({"why: named after org.removed.gone, which no installed application has\n"})
        .removes({"~/Library/Preferences/org.removed.gone.plist",
                  "~/Library/Logs/org.removed.gone"})
        .keeps({"~/Library/Preferences/com.example.foo.plist"}),
    // The Linux layout's uninstaller (makeLinuxDesktop).
    run("linux_clean_app_without_files", "--layout linux apps --clean --yes --select Chat")
        .given(makeLinuxDesktop)
        .prints({"Nothing to clean.\nChat: the program stays: sudo flatpak uninstall --system "
                 "org.example.Chat\n"}),
    run("linux_unused_apps_need_a_record", "--layout linux unused-apps").given(makeLinuxDesktop)
        .prints({"  (none)\n  the desktop keeps no record of which applications were used"}),
    run("linux_clean_apps",
        "--layout linux apps --json --clean --yes --select Notes --select Paint "
        "--tool dpkg={tool}/dpkg --tool flatpak={tool}/dpkg")
        .given(makeLinuxDesktop)
        .checks(holds({{"/clean/programsLeft/0/removeCommand", "sudo apt remove notes"}})),
    // The listing, then the clean's report.
    run("clean_junk_text_report", "junk --clean --yes")
        .prints({"User Cache Files (", "Total: ", "\nremoved ",
                 "  {home}/Library/Caches/loose.cache\n", "\nFreed: "})
        .removes({"~/Library/Caches/loose.cache", "/Library/Caches/shared"})
        .keeps({"~/Library/Caches"}),
    // What is freed is the blocks that removing the last name gives back.
    run("clean_freed_blocks",
        "disk-usage {home}/tree --json --clean --yes --select */sparse --select */linked")
        .removes({"~/tree/sparse", "~/tree/linked"}).keeps({"~/tree/plain", "~/other name"})
        .given(makeSizes).with(kSharedBlocks).checks(holds({{"/clean/freed", 0}})),
    run("clean_duplicates_oldest", kCleanDuplicates + " --json --keep oldest")
        .removes({"~/dups/x1", "~/dups/x3", "~/dups/y1"})
        .keeps({"~/dups/x2", "~/dups/y2", "~/dups/single"})
        .given(makeDuplicates).checks(holds({{"/groupCount", 0}})),
    // Copied folders are a group and so is every file in them: the copy goes
    // whole, and no removal fails on a file already gone with its folder.
    run("clean_copied_folder", "duplicates --min-size 0 {home}/photos --json --clean --yes")
        .laid({"~/photos/album/a.jpg:3000", "~/photos/album/b.jpg:4000",
               "~/photos/album copy/a.jpg:3000", "~/photos/album copy/b.jpg:4000",
               "~/photos/loose.jpg:3000"})
        .removes({"~/photos/album copy", "~/photos/loose.jpg"})
        .keeps({"~/photos/album/a.jpg", "~/photos/album/b.jpg"})
        .checks(holds({{"/groupCount", 0}, {"/clean/records/1/deleteStatus", 2},
                       {"/clean/records/2", nullptr}})),
    // Of a group whose members are all selected, the first stays; the group,
    // left with one picture, goes (the similar-picture rebuild).
    run("clean_similar_images", "similar-images {home}/pictures --json --clean --yes --select *")
        .removes({"~/pictures/sea.jpg"}).keeps({"~/pictures/sea-again.jpg", "~/pictures/other.png"})
        .given(makeSimilar).checks(holds({{"/feature/categoryInfo/0/childrens", json::array()}})),
    run("clean_similar_texts", "similar-docs {home}/texts --json --clean --yes --select *")
        .removes({"~/texts/letter.docx"}).keeps({"~/texts/letter-copy.docx", "~/texts/recipe.docx"})
        .given(makeSimilar),
    run("shred_reports_each_path",
        "shred --yes {home}/docs/big.bin {home}/docs/old/ {home}/link {home}/missing")
        .exits(1, "orvexa: no such file or folder: {home}/missing\n")
        .prints({"shredded  {home}/docs/old\n", "failed    {home}/link: ShredFail: a symbolic link",
                 "Shredded 2 of 3 items.\n"})
        .removes({"~/docs/big.bin", "~/docs/old"}).keeps({"~/link", "~/docs/small.txt"})
        .given(makeLink),
    // A file with another name is left, and the summary says how to shred it.
    run("shred_leaves_hard_links", "shred --yes {home}/docs/small.txt")
        .exits(1, "orvexa: 1 file with other hard links was left as it was (--hard-links "
                  "overwrites them, and with them the content of their other names)\n")
        .keeps({"~/docs/small.txt", "~/second name"}).given([](const Sandbox& sb) {
          fs::create_hard_link(sb.path("~/docs/small.txt"), sb.path("~/second name"));
        }),
    // Two files: every file reached, inside folders too.
    run("shred_json", "shred --yes --json {home}/docs/old").removes({"~/docs/old"})
        .checks(holds({{"/success", true}, {"/shredded", 1}, {"/missing", json::array()},
                       {"/results/0/path", "{home}/docs/old"}, {"/files/1/status", 0},
                       {"/files/2", nullptr}})),
    // Named as the system writes it, below the root; root moves it itself.
    run("toggle_extension_off", "extensions --json --toggle /Library/Spotlight/Mail.mdimporter/")
        .removes({"/Library/Spotlight/Mail.mdimporter"})
        .keeps({"/Library/Spotlight Disabled/Mail.mdimporter/x"})
        .checks(holds({{"/ok", true}, {"/attachInformation", "Close"},
                       {"/url", "{root}/Library/Spotlight Disabled/Mail.mdimporter"}}))
        .checks(expectNoHelperInstalled),
    run("toggle_extension_fails_in_words",
        "extensions --toggle {root}/Library/Internet{sp}Plug-Ins/Flash.plugin")
        .exits(1, "orvexa: could not switch {root}/Library/Internet Plug-Ins/Flash.plugin: {root}/"
                  "Library/Internet Plug-Ins Disabled: is a symbolic link or not a folder; the "
                  "helper does not follow links (code 6)\n")
        .keeps({"/Library/Internet Plug-Ins/Flash.plugin/x"})
        .laid({"/Library/Internet Plug-Ins Disabled:6"}),
    run("toggle_whole_application",
        "--tool launchctl={tool}/launchctl login-items --toggle Example")
        .prints({"Example: Start -> Close\n"}).given(makeLaunchctl),

    // The helper's life. As root a clean does the privileged work itself
    // and installs nothing.
    run("helper_status_not_installed", "helper status")
        .prints({"Helper " + kLabel + ": not installed\nNot running\n"}),
    run("root_cleans_without_helper", "junk --clean --yes --select */theirs")
        .removes({"~/Library/Caches/theirs"}).given(makeTheirCache).checks(expectNoHelperInstalled),
    run("helper_install", "helper install")
        .prints({"Installed " + kLabel + ": program {root}" + kHelperTool}),
    run("helper_status_running", "helper status").after({"helper install"})
        .prints({"Helper " + kLabel + ": installed at {root}" + kHelperTool +
                 "\nRunning, version 1.0.0, at {root}/var/run/" + kLabel + ".socket\n"}),
    run("helper_status_json", "helper status --json").after({"helper install"})
        .checks(holds({{"/version", "1.0.0"}})),
    run("helper_refuses_another_user", "helper stop").after({"helper install"}).with(kNobody)
        .exits(1, "orvexa: the helper did not stop: Refused: the privileged helper was installed"),
    run("helper_stop", "helper stop").after({"helper install"})
        .prints({"Stopped; no work was in progress.\n"}),
    run("helper_uninstall", "helper uninstall").after({"helper install"})
        .prints({"Uninstalled " + kLabel + ".\n"})
        .removes({kHelperTool, "/Library/LaunchDaemons/" + kLabel + ".plist",
                  "/var/log/" + kLabel + ".log"})
        .laid({"/var/log/"}),
    run("helper_uninstall_not_installed", "helper uninstall")
        .prints({"The helper is not installed.\n"}),
    run("helper_install_needs_root", "helper install").with(kNobody)
        .exits(1, "orvexa: installing the helper needs root rights: run \"sudo orvexa helper "
                  "install\"\n"),
    // A user's own items go; one of root's needs the helper, which is not
    // installed (nor installed on the way): the message says what to run.
    run("user_clean_without_helper", "junk --clean --yes --select */nobody/Library/Caches/*")
        .exits(1, "orvexa: 1 item needs root rights, but the privileged helper could not be "
                  "used: " + std::string(kHelperNotInstalledText))
        .prints({"failed   "}).removes({"~/Library/Caches/mine.cache"})
        .keeps({"~/Library/Caches/rootdir/x"})
        .laid(kRootsCache).with(kNobody).checks(expectNoHelperInstalled),
    run("user_clean_through_helper", "junk --clean --yes --select */nobody/Library/Caches/*")
        .removes({"~/Library/Caches/mine.cache", "~/Library/Caches/rootdir"})
        .laid(kRootsCache).with(kNobody).after({"helper install --user 65534"}),

    // The digest cache: a colliding (or stale) entry groups files that differ
    // (so the clean finds a group to check); --no-cache reads them again, and
    // the clean compares the bytes.
    run("duplicates_no_cache", "--json duplicates --min-size 0 {home}/files --no-cache")
        .given(makeCollidingCache).checks(holds({{"/groupCount", 0}})),
    run("duplicates_colliding_clean", "duplicates --min-size 0 {home}/files --clean --yes")
        .exits(1).keeps({"~/files/a.bin", "~/files/b.bin"}).given(makeCollidingCache),

    // Cleans that moved items to the trash are listed, taken back, purged.
    run("undo_with_nothing_left", "undo --yes --json").given(makeDuplicates)
        .after({kCleanDuplicates, "undo --yes"})
        .exits(1, "orvexa: nothing to undo: no clean has items left in the trash\n"),
    run("privacy_clean_says_what_it_moved", "privacy --clean safari:* --yes")
        .given(testing::makeSafariStores)
        .prints({"\nmoved to the trash: ",
                 " \u2014 `orvexa undo` puts it back, `orvexa history --purge` frees the space"}),
    run("history_purge_asks_first", "history --purge").given(makeDuplicates)
        .after({kCleanDuplicates})
        .exits(2, "orvexa: history --purge asks first, but standard input is not a terminal: "
                  "add --yes\n"),
    run("history_purge", "history --purge --yes --json").given(makeDuplicates)
        .after({kCleanDuplicates})
        .checks(holds({{"/cleans/0/restorable", 0}})).checks([](const json&, const Sandbox& sb) {
          for (const auto& entry : fs::recursive_directory_iterator(sb.root()))
            EXPECT_EQ(entry.path().string().find("/.Trash/"), std::string::npos);
        }),

    // The Linux layout.
    onLinux("linux_junk", "junk --json", makeLinuxHome)
        .checks(lists({"~/.cache/app1:1024", "~/.cache/loose:70", "~/.cache/thumbnails/normal:300",
                       "~/.cache/pip/http:500", "~/.cache/go-build/ab:50", "~/.npm/_cacache/i:9",
                       "/var/cache/apt/archives/p_1_amd64.deb:900",
                       "/var/cache/apt/archives/partial/q.deb:40", "/var/log/syslog.1:12",
                       "/var/log/apt/history.log.1.gz:14", "/var/crash/x.crash:15",
                       "~/.cache/.dot:6"})),
    onLinux("linux_covers_peer_cleaner", "junk --json", makeLinuxHome).checks(coversPeerCleaner),
    onLinux("linux_trash", "trash --json", makeLinuxHome)
        .checks(lists({"~/.local/share/Trash/files/f.txt:77", "~/.local/share/Trash/files/dir:3",
                       "~/.local/share/Trash/files/.dot:5",
                       "~/.local/share/Trash/info/gone.trashinfo:42",
                       "/media/USB/.Trash-{uid}/files/u:16", "/mnt/disk/.Trash/{uid}/files/m:17"})),
    onLinux("linux_clean_trash", "trash --json --clean --yes --select */files/f.txt", makeLinuxHome)
        .removes({"~/.local/share/Trash/files/f.txt", "~/.local/share/Trash/info/f.txt.trashinfo"})
        .keeps({"~/.local/share/Trash/info/dir.trashinfo"}),
    run("linux_mail_refused", "mail --json").with(kLinux)
        .exits(2, "orvexa: \"MailAttachment\" has no Linux counterpart"),
    // Only files above the query's size; a disk image is an archive.
    run("linux_large", "large --json").with(kLinux).given(makeLargeFiles)
        .checks(outlines("/feature/categoryInfo/0/childrenCateogry", "Archives\n  disk.iso\n"
                         "Pictures\n  photo.jpg\nLast Week\n  disk.iso\n  photo.jpg\n"
                         "Small\n  disk.iso\n  photo.jpg\n")),
    // Every item listed with its state; the user units' group is their folder.
    onLinux("linux_login_items", kLoginItems, makeAutostart)
        .checks(outlines("/feature/categoryInfo", "Login Item\n  Autostart Start\n    mine.desktop "
                         "Close\n    sys.desktop Start\n  systemd user units Start\n    a.service "
                         "Start\n    b.service Close\n"))
        .checks(holds({{"/feature/categoryInfo/2/childrens/1/url",
                        "file://{home}/.config/systemd/user"}})),
    // A system entry is switched off by a user copy with Hidden=true, and on
    // again by removing the copy; the user's own entry is edited in place.
    onLinux("linux_autostart_off", kLoginItems + "--toggle sys.desktop", makeAutostart)
        .checks(kSwitchedOff).checks(reads("~/.config/autostart/sys.desktop",
                         "[Desktop Entry]\nHidden=true\nType=Application\nExec=sys\n")),
    onLinux("linux_autostart_on_again", kLoginItems + "--toggle sys.desktop", makeAutostart)
        .after({kLoginItems + "--toggle sys.desktop"}).removes({"~/.config/autostart/sys.desktop"})
        .checks(kSwitchedOn).checks(reads("/etc/xdg/autostart/sys.desktop", kSystemEntry)),
    onLinux("linux_autostart_own_entry", kLoginItems + "--toggle mine.desktop", makeAutostart)
        .checks(kSwitchedOn).checks(reads("~/.config/autostart/mine.desktop",
                         "[Desktop Entry]\r\nName=Mine\r\nHidden=false\r\n")),
    onLinux("linux_user_unit", kLoginItems + "--toggle b.service", makeAutostart)
        .checks(kSwitchedOn).checks(reads("/units/log", "--user enable -- b.service")),
    onLinux("linux_free_ram", kTools + "optimize free-ram", makeSystemTools)
        .checks(reads("/proc/sys/vm/drop_caches", "3\n")).checks(logs("sync\n")),
    onLinux("linux_flush_dns", kTools + "optimize flush-dns", makeSystemTools)
        .prints({"Clean DNS Cache: done\n"}).checks(logs("resolvectl flush-caches\n")),
    run("linux_speed_up_mail", "optimize speed-up-mail").with(kLinux)
        .exits(2, "orvexa: \"speed-up-mail\" has no counterpart on Linux; the tasks there are "
                  "free-ram and flush-dns\n"),
    // What the install put in place (the program, the unit, the socket of
    // the helper the unit started) must be there before the uninstall.
    onLinux("linux_helper_uninstall", kTools + "helper uninstall", makeSystemTools)
        .after({kTools + "helper install"})
        .removes({kLinuxHelper, "/etc/systemd/system/" + kLabel + ".service",
                  "/run/" + kLabel + ".socket"})
        .checks(logs("systemctl daemon-reload\nsystemctl enable --now " + kLabel + ".service\n"
                     "systemctl disable --now " + kLabel + ".service\nsystemctl daemon-reload\n")),
};
// clang-format on

void PrintTo(const Command& c, std::ostream* out) { *out << c.name; }

class CommandsTest : public ::testing::TestWithParam<Command> {};

TEST_P(CommandsTest, Runs) {
  const Command& c = GetParam();
  std::string typed = c.line;  // every run of the row
  for (const std::string& first : c.before) typed += "\n" + first;
  const auto says = [&typed](const char* text) { return typed.find(text) != std::string::npos; };
  const bool installs = says("helper install");
  if ((says("helper") || says("extensions") || c.has(kNobody) ||
       c.name == "root_cleans_without_helper" || (c.has(kLinux) && says("optimize"))) &&
      !testing::canSwitchUser())
    GTEST_SKIP() << "needs root";
  if (installs && !fs::exists(fs::path(testing::orvexaProgram()).parent_path() / "orvexa-helper"))
    GTEST_SKIP() << "no orvexa-helper beside orvexa";
  // The paths table's layout decides where the sandbox puts the home.
  std::shared_ptr<void> layout(nullptr, [](void*) { Paths::shared().setLayout(Layout::macOS); });
  if (c.has(kLinux)) Paths::shared().setLayout(Layout::Linux);
  Sandbox sb(c.has(kNobody) ? std::string("nobody") : accountNameOf(::geteuid()));
  if (!c.has(kLinux)) makeHome(sb);
  for (const std::string& entry : c.files) sb.layout({entry});
  if (c.setup) c.setup(sb);
  // Arguments split at blanks, then filled in ("{sp}" stands for a blank inside one).
  auto argv = [&](const std::string& line) {
    Args args{testing::orvexaProgram(), "--root", sb.root()};
    if (c.has(kLinux)) args.insert(args.end(), {"--layout", "linux"});
    std::istringstream in(line);
    for (std::string word; in >> word;) args.push_back(filled(word, sb));
    return args;
  };
  std::shared_ptr<void> stopHelper(nullptr, [&](void*) {
    if (installs)
      (void)testing::runProgram(argv(c.has(kLinux) ? kTools + "helper stop" : "helper stop"));
  });
  for (const std::string& first : c.before) {
    testing::ProgramResult r = testing::runProgram(argv(first));
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  if (c.has(kNobody)) {
    for (const auto& entry : fs::recursive_directory_iterator(sb.path("/Users"))) {
      if (entry.path().string().find("rootdir") != std::string::npos) continue;
      ::lchown(entry.path().c_str(), testing::kNobodyUid, testing::kNogroupGid);
    }
    // Root's folders open to nobody, up to the sandbox root (missing ones are passed over).
    for (const char* path : {"~/Library/Caches/rootdir", "/var/run"})
      testing::openFoldersForEveryone(sb.root(), sb.path(path));
  }
  for (const std::string& path : c.gone) ASSERT_TRUE(existsNoFollow(sb.path(path))) << path;

  // Without --quiet standard error still shows no progress bar: it is no terminal.
  Args args = argv((c.name == "clean_junk_text_report" ? "" : "--quiet ") + c.line);
  if (c.has(kFullOutput))
    args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
  if (c.has(kNobody))
    args.insert(args.begin(),
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  const testing::ProgramResult r = testing::runProgram(args);

  EXPECT_EQ(r.exitCode, c.exit) << r.out << r.err;
  for (const std::string& text : c.out)
    EXPECT_NE(r.out.find(filled(text, sb)), std::string::npos) << r.out;
  const std::string err = filled(c.err, sb);
  EXPECT_TRUE(c.exit == 0 ? r.err == err : r.err.find(err) != std::string::npos) << r.err;
  json doc;
  if (c.line.find("--json") != std::string::npos && !c.has(kFullOutput)) {
    doc = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << "not one JSON document: " << r.out;
    EXPECT_TRUE(c.exit == 0 || !doc.value("success", true)) << "a failure says so: " << r.out;
  }
  if (doc.is_object() && doc.contains("clean") && doc.at("clean").is_object()) {
    const json& report = doc.at("clean");
    int64_t freed = 0;
    for (const json& record : report.at("records")) {
      EXPECT_EQ(record.at("deleteStatus").get<int>(), 2) << record;
      freed += record.at("allocatedSize").get<int64_t>();
    }
    EXPECT_TRUE(c.has(kSharedBlocks) || report.at("freed").get<int64_t>() == freed)
        << freed << " freed by the records: " << report;
    const std::set<std::string> listed = recordPaths(doc.value("feature", json()));
    for (const std::string& path : c.gone)
      EXPECT_EQ(listed.count(sb.path(path)), 0u) << path << " still listed after the clean";
  }
  for (const Shape& shape : c.shapes) shape(doc, sb);
  for (const std::string& path : c.gone) EXPECT_FALSE(existsNoFollow(sb.path(path))) << path;
  for (const std::string& path : c.kept) EXPECT_TRUE(existsNoFollow(sb.path(path))) << path;
}

INSTANTIATE_TEST_SUITE_P(Table, CommandsTest, ::testing::ValuesIn(kCommands),
                         [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace orvexa
