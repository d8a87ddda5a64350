#include "orvexa/platform/file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "orvexa/platform/identity.h"
#include "support/run_as.h"
#include "support/shared_checks.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::readFile;
using testing::TempDir;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;

Names treeOf(const std::string& root) {
  Names names;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    names.push_back(entry.path().string().substr(root.size() + 1));
  std::sort(names.begin(), names.end());
  return names;
}

void own(const std::string& path, uid_t uid) {
  ASSERT_EQ(::lchown(path.c_str(), uid, uid == testing::kNobodyUid ? testing::kNogroupGid : uid),
            0);
}

// Existence and the folder flag follow links; whether an item may be
// removed depends on its folder's rights, not its own ("folder" is 0555),
// and on the sticky bit; root may remove anything. The owner is that of the
// item itself.
TEST(FileManagerTest, ExistenceRemovabilityOwnerAndRemovalAsAnotherUser) {
  TempDir dir;
  dir.writeFile("file", "x");
  dir.writeFile("folder/inner.txt", "x");
  ASSERT_EQ(::chmod((dir / "folder").c_str(), 0555), 0);
  fs::create_directory_symlink(dir / "folder", dir / "to-folder");
  fs::create_symlink(dir / "missing", dir / "dangling");
  auto describe = [](const std::string& path) {
    bool folder = true;  // must be set either way
    std::string text = fileExists(path, &folder) ? "exists" : "";
    if (folder != isDirectory(path)) text += " (folder flags differ)";
    return text + (folder ? " folder" : "") + (isDeletableFileAtPath(path) ? " deletable" : "");
  };
  std::string all;
  for (const std::string& path :
       {dir / "file", dir / "folder", dir / "folder/", dir / "to-folder", dir / "dangling",
        dir / "missing", std::string("/"), std::string()})
    all += describe(path) + "|";
  EXPECT_EQ(all,
            "exists deletable|exists folder deletable|exists folder deletable|exists folder "
            "deletable| deletable||exists folder||");
  ::chmod((dir / "folder").c_str(), 0755);
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to hand files to other users";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  // "read-only" is root's: not writable for others.
  for (const char* name : {"sticky/nobodys.txt", "sticky/daemons.txt", "read-only/nobodys.txt"})
    dir.writeFile(name, "x");
  for (const char* name : {"sticky", "sticky/nobodys.txt", "read-only/nobodys.txt"})
    own(dir / name, testing::kNobodyUid);
  own(dir / "sticky/daemons.txt", 1);
  ASSERT_EQ(::chmod((dir / "sticky").c_str(), 01777), 0);
  auto answers = [&dir]() {
    std::string text;
    for (const char* name : {"sticky/nobodys.txt", "sticky/daemons.txt", "read-only/nobodys.txt"})
      text += isDeletableFileAtPath(dir / name) ? "yes " : "no ";
    return text;
  };
  EXPECT_EQ(answers(), "yes yes yes ");
  // The user "daemon" (1) owns neither the folder nor nobody's file; nobody
  // owns the sticky folder, so everything in it is theirs to remove.
  EXPECT_EQ(testing::runAsUser(1, 1, answers), "no yes no ");
  EXPECT_EQ(testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, answers), "yes yes no ");
  // The owner's name is that of the item itself (a link's own), none for an
  // owner without an account.
  fs::create_symlink("nobodys.txt", dir / "read-only/link");
  own(dir / "file", 54321);
  std::string owners;
  for (const char* name :
       {"read-only/nobodys.txt", "read-only/link", "sticky/daemons.txt", "file", "missing"})
    owners += ownerAccountName(dir / name) + ",";
  EXPECT_EQ(owners, "nobody," + accountNameOf(::geteuid()) + ",daemon,,,");

  // Removal as another user goes on past what it may not remove and reports
  // the first failure.
  for (const char* name : {"victim/a.txt", "victim/locked/c.txt", "victim/z/d.txt"})
    dir.writeFile(name, "x");
  const std::string victim = dir / "victim";
  own(victim, testing::kNobodyUid);
  for (const auto& entry : fs::recursive_directory_iterator(victim))
    own(entry.path(), testing::kNobodyUid);
  ASSERT_EQ(::chmod((dir / "victim/locked").c_str(), 0555), 0);
  auto result = testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid,
                                   [&victim]() { return removeItem(victim).message(); });
  ::chmod((dir / "victim/locked").c_str(), 0755);
  EXPECT_EQ(result, victim + "/locked/c.txt: Permission denied");
  // Everything else went; what could not be removed stayed, with its folders.
  EXPECT_EQ(treeOf(victim), (Names{"locked", "locked/c.txt"}));
}

// The values describe the item itself, a link as a link; the creation date
// is never later than the modification, so backdating moves it too.
TEST(FileManagerTest, ValuesDescribeTheItemItselfAndEachOperationsOutcome) {
  TempDir dir;
  const std::string file = dir.writeFile("file.txt", "hello");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  fs::create_symlink("file.txt", dir / "link");
  dir.makeDir("folder");
  dir.writeFile("Photo.JPG", "\xFF\xD8\xFF");
  ASSERT_EQ(::chmod((dir / "Photo.JPG").c_str(), 0644), 0);
  dir.makeDir("Tool.app/Contents");
  fs::create_symlink("Tool.app", dir / "app-link");
  testing::setTimes(file, 978307200, 978307200);
  Identity::shared().registerImage("public.jpeg");  // none for applications
  // "type size mode owner" of attributesOfItem, then resourceValues'.
  auto describe = [&dir](const std::string& name) {
    FileStatus status;
    const auto a = attributesOfItem(dir / name, &status);
    const auto v = resourceValues(dir / name, ResourceFetch::withType, &status);
    if (!a || !v) return status.message().substr(dir.path().size());
    return std::to_string(static_cast<int>(a->type)) + " " +
           (a->type == FileType::directory ? "-" : std::to_string(a->size)) + " " +
           std::to_string(a->posixPermissions) + (a->ownerAccountID == ::geteuid() ? " me" : "") +
           " | " + std::to_string(v->fileSize.value_or(-1)) + " " + v->contentType + " (" +
           v->localizedTypeDescription + ") " + v->localizedName +
           (v->isPackage ? " package" : "") + (v->isSymbolicLink ? " link" : "") +
           (v->effectiveIcon.empty() ? "" : " icon");
  };
  const std::pair<const char*, const char*> cases[] = {
      {"file.txt", "0 5 416 me | 5 public.plain-text (Plain text document) file.txt"},
      {"link", "2 8 511 me | 8 public.symlink (Alias) link link"},  // 8: "file.txt"
      {"Photo.JPG", "0 3 420 me | 3 public.jpeg (JPEG image) Photo.JPG icon"},
      {"folder", "1 - 493 me | -1 public.folder (Folder) folder"},
      {"Tool.app/", "1 - 493 me | -1 com.apple.application-bundle (Application) Tool package"},
      {"app-link", "2 8 511 me | 8 public.symlink (Alias) app-link link"},
      {"missing", "/missing: No such file or directory"},
  };
  for (const auto& [name, values] : cases) EXPECT_EQ(describe(name), values) << name;
  const auto backdated = resourceValues(file);
  const auto y2001 = std::chrono::system_clock::time_point(std::chrono::seconds(978307200));
  EXPECT_TRUE(backdated->modificationDate == y2001 && backdated->creationDate == y2001 &&
              backdated->accessDate == y2001 && !backdated->isHidden);

  // Each step's outcome, the temporary folder's path left out.
  auto outcome = [&dir](const FileStatus& status) {
    if (status.ok()) return std::string("ok");
    const std::string& text = status.message();
    return std::to_string(status.code()) + " " +
           (text.rfind(dir.path(), 0) == 0 ? text.substr(dir.path().size()) : text);
  };
  dir.writeFile("file", "x");
  // Removal never follows links.
  for (const char* name : {"a.txt", ".hidden", "sub/deeper/b.txt", "locked/c.txt"})
    dir.writeFile(std::string("victim/") + name, "x");
  ASSERT_EQ(::chmod((dir / "victim/locked").c_str(), testing::canSwitchUser() ? 0500 : 0700), 0);
  dir.writeFile("keep/precious.txt", "p");
  fs::create_directory_symlink(dir / "keep", dir / "victim/sub/link");
  fs::create_directory_symlink(dir / "keep", dir / "link-to-keep");
  // Copies keep links as links and the mode; neither copy nor move replaces.
  dir.writeFile("from/a.txt", "alpha");
  dir.writeFile("from/sub/b.txt", "beta");
  ASSERT_EQ(::chmod((dir / "from/a.txt").c_str(), 0640), 0);
  fs::create_symlink("../a.txt", dir / "from/sub/link");
  dir.writeFile("occupied", "mine");
  const std::pair<std::string, std::string> steps[] = {
      {outcome(createDirectory(dir / "a/b/c", true)), "ok"},
      {outcome(createDirectory(dir / "a/b/c/", true)), "ok"},  // existing: fine
      {outcome(createDirectory(dir / "a/b/c", false)), "17 /a/b/c: File exists"},
      {outcome(createDirectory(dir / "x/y", false)), "2 /x/y: No such file or directory"},
      {outcome(createDirectory(dir / "file/sub", true)), "20 /file: Not a directory"},
      {outcome(removeItem(dir / "link-to-keep")), "ok"},  // a link is removed as itself
      {outcome(removeItem(dir / "victim/")), "ok"},
      {outcome(removeItem(dir / "victim")), "2 /victim: No such file or directory"},
      {std::to_string(removeItem("/").code()), std::to_string(EPERM)},
      {outcome(copyItem(dir / "from", dir / "to")), "ok"},
      {outcome(copyItem(dir / "from/a.txt", dir / "occupied")), "17 /occupied: File exists"},
      {outcome(copyItem(dir / "missing", dir / "new")), "2 /missing: No such file or directory"},
      {outcome(moveItem(dir / "to/a.txt", dir / "b.txt")), "ok"},
      {outcome(moveItem(dir / "b.txt", dir / "occupied")), "17 /occupied: File exists"},
      {outcome(moveItem(dir / "missing", dir / "new")), "2 /missing: No such file or directory"},
  };
  for (const auto& [got, want] : steps) EXPECT_EQ(got, want);
  EXPECT_EQ(treeOf(dir / "keep"), Names{"precious.txt"});

  dir.writeFile("list/.hidden", "");
  dir.writeFile("list/a", "");
  dir.makeDir("list/A");
  FileStatus status;
  EXPECT_EQ(contentsOfDirectory(dir / "list", &status), (Names{".hidden", "A", "a"}));
  EXPECT_TRUE(status.ok()) << status.message();
  EXPECT_TRUE(contentsOfDirectory(dir / "file", &status).empty() && status.code() == ENOTDIR);

  EXPECT_EQ(treeOf(dir / "to"), (Names{"sub", "sub/b.txt", "sub/link"}));
  EXPECT_EQ(readFile(dir / "to/sub/b.txt") + readFile(dir / "b.txt") + readFile(dir / "occupied"),
            "betaalphamine");
  EXPECT_EQ(fs::read_symlink(dir / "to/sub/link"), "../a.txt");
  EXPECT_EQ(fs::status(dir / "b.txt").permissions() & fs::perms::mask, fs::perms(0640));
  EXPECT_FALSE(fs::exists(dir / "new"));

  // Moves across file systems, where there is a second one.
  struct stat tmp {};
  struct stat shm {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &tmp) != 0 ||
      shm.st_dev == tmp.st_dev || ::access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second writable file system";
  const std::string target = "/dev/shm/orvexa-move-" + std::to_string(::getpid());
  ASSERT_TRUE(moveItem(dir / "to", target).ok());
  EXPECT_FALSE(fs::exists(dir / "to"));
  EXPECT_EQ(treeOf(target), (Names{"sub", "sub/b.txt", "sub/link"}));
  EXPECT_EQ(readFile(target + "/sub/b.txt"), "beta");
  EXPECT_TRUE(removeItem(target).ok());
}

}  // namespace
}  // namespace orvexa
