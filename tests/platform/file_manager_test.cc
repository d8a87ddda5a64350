#include "orvexa/platform/file_manager.h"

#include <fcntl.h>
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

std::string statusText(const FileStatus& status) {
  return std::to_string(status.code()) + " " + status.message();
}

// Existence and the folder flag follow links; whether an item may be
// removed depends on its folder's rights, not its own ("folder" is 0555),
// and on the sticky bit; root may remove anything. The owner is that of the
// item itself.
TEST(FileManagerTest, ExistenceRemovabilityAndOwnerOfEachKindOfItem) {
  TempDir dir;
  dir.writeFile("file", "x");
  dir.writeFile("folder/inner.txt", "x");
  ASSERT_EQ(::chmod((dir / "folder").c_str(), 0555), 0);
  ASSERT_EQ(::symlink((dir / "folder").c_str(), (dir / "to-folder").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "missing").c_str(), (dir / "dangling").c_str()), 0);
  auto describe = [](const std::string& path) {
    bool folder = true;  // must be set either way
    std::string text = fileExists(path, &folder) ? "exists" : "";
    if (folder != isDirectory(path)) text += " (folder flags differ)";
    return text + (folder ? " folder" : "") + (isDeletableFileAtPath(path) ? " deletable" : "");
  };
  const std::pair<std::string, std::string> cases[] = {
      {dir / "file", "exists deletable"},
      {dir / "folder", "exists folder deletable"},
      {dir / "folder/", "exists folder deletable"},
      {dir / "to-folder", "exists folder deletable"},
      {dir / "dangling", " deletable"},
      {dir / "missing", ""},
      {"/", "exists folder"},
      {"", ""},
  };
  for (const auto& [path, text] : cases) EXPECT_EQ(describe(path), text) << path;
  ::chmod((dir / "folder").c_str(), 0755);
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to hand files to other users";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  dir.writeFile("sticky/nobodys.txt", "x");
  dir.writeFile("sticky/daemons.txt", "x");
  dir.writeFile("read-only/nobodys.txt", "x");  // the folder is root's: not writable for others
  own(dir / "sticky", testing::kNobodyUid);
  ASSERT_EQ(::chmod((dir / "sticky").c_str(), 01777), 0);
  own(dir / "sticky/nobodys.txt", testing::kNobodyUid);
  own(dir / "sticky/daemons.txt", 1);
  own(dir / "read-only/nobodys.txt", testing::kNobodyUid);
  EXPECT_TRUE(isDeletableFileAtPath(dir / "sticky/nobodys.txt"));
  auto answers = [&dir]() {
    std::string text;
    for (const char* name : {"sticky/nobodys.txt", "sticky/daemons.txt", "read-only/nobodys.txt"})
      text += isDeletableFileAtPath(dir / name) ? "yes " : "no ";
    return text;
  };
  // The user "daemon" (1) owns neither the folder nor nobody's file; nobody
  // owns the sticky folder, so everything in it is theirs to remove.
  EXPECT_EQ(testing::runAsUser(1, 1, answers), "no yes no ");
  EXPECT_EQ(testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, answers), "yes yes no ");
  // The owner's name is that of the item itself (a link's own), none for an
  // owner without an account.
  ASSERT_EQ(::symlink("nobodys.txt", (dir / "read-only/link").c_str()), 0);
  own(dir / "file", 54321);
  const std::pair<std::string, std::string> owners[] = {
      {"read-only/nobodys.txt", "nobody"},
      {"read-only/link", accountNameOf(::geteuid())},
      {"sticky/daemons.txt", "daemon"},
      {"file", ""},
      {"missing", ""},
  };
  for (const auto& [name, owner] : owners) EXPECT_EQ(ownerAccountName(dir / name), owner) << name;
}

// The values describe the item itself, a link as a link; the creation date
// is never later than the modification, so backdating moves it too.
TEST(FileManagerTest, AttributesAndResourceValuesDescribeTheItemItself) {
  TempDir dir;
  const std::string file = dir.writeFile("file.txt", "hello");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("file.txt", (dir / "link").c_str()), 0);
  dir.makeDir("folder");
  FileStatus status;
  auto attributes = attributesOfItem(file, &status);
  ASSERT_TRUE(attributes) << status.message();
  EXPECT_EQ(attributes->size, 5);
  EXPECT_EQ(attributes->posixPermissions, 0640u);
  EXPECT_EQ(attributes->ownerAccountID, ::geteuid());
  EXPECT_LT(std::chrono::abs(attributes->creationDate - std::chrono::system_clock::now()),
            std::chrono::minutes(1));
  EXPECT_EQ(attributesOfItem(dir / "link")->type, FileType::symbolicLink);
  EXPECT_EQ(attributesOfItem(dir / "link")->size, 8);  // the length of "file.txt"
  EXPECT_EQ(attributesOfItem(dir / "folder")->type, FileType::directory);
  EXPECT_FALSE(attributesOfItem(dir / "missing", &status));
  EXPECT_EQ(status.code(), ENOENT);

  testing::setTimes(file, 978307200, 978307200);
  auto backdated = resourceValues(file);
  ASSERT_TRUE(backdated);
  const auto y2001 = std::chrono::system_clock::time_point(std::chrono::seconds(978307200));
  EXPECT_EQ(backdated->modificationDate, y2001);
  EXPECT_EQ(backdated->creationDate, y2001);
  EXPECT_EQ(backdated->accessDate, y2001);
  EXPECT_FALSE(backdated->isHidden);

  dir.writeFile("Photo.JPG", "\xFF\xD8\xFF");
  dir.makeDir("Tool.app/Contents");
  ASSERT_EQ(::symlink("Tool.app", (dir / "app-link").c_str()), 0);
  Identity::shared().registerImage("public.jpeg");  // none for applications
  auto describe = [&dir](const std::string& name) {
    auto v = resourceValues(dir / name);
    if (!v) return std::string("none");
    return std::to_string(v->fileSize.value_or(-1)) + " " + v->contentType + " (" +
           v->localizedTypeDescription + ") " + v->localizedName +
           (v->isPackage ? " package" : "") + (v->isSymbolicLink ? " link" : "") +
           (v->effectiveIcon.empty() ? "" : " icon");
  };
  const std::pair<const char*, const char*> cases[] = {
      {"Photo.JPG", "3 public.jpeg (JPEG image) Photo.JPG icon"},
      {"Tool.app/", "-1 com.apple.application-bundle (Application) Tool package"},
      {"app-link", "8 public.symlink (Alias) app-link link"},
      {"folder", "-1 public.folder (Folder) folder"},
      {"missing", "none"},
  };
  for (const auto& [name, values] : cases) EXPECT_EQ(describe(name), values) << name;
  EXPECT_FALSE(resourceValues(dir / "missing", ResourceFetch::basic, &status));
  EXPECT_EQ(status.code(), ENOENT);
}

TEST(FileManagerTest, CreatesListsRemovesCopiesAndMovesItems) {
  TempDir dir;
  EXPECT_TRUE(createDirectory(dir / "a/b/c", true).ok());
  EXPECT_TRUE(isDirectory(dir / "a/b/c"));
  EXPECT_TRUE(createDirectory(dir / "a/b/c/", true).ok());  // existing: fine
  EXPECT_EQ(statusText(createDirectory(dir / "a/b/c", false)),
            std::to_string(EEXIST) + " " + dir / "a/b/c" + ": File exists");
  EXPECT_EQ(createDirectory(dir / "x/y", false).code(), ENOENT);
  dir.writeFile("file", "x");
  EXPECT_EQ(statusText(createDirectory(dir / "file/sub", true)),
            std::to_string(ENOTDIR) + " " + dir / "file" + ": Not a directory");
  EXPECT_EQ(posixErrorText(123456), "Unknown error 123456");

  dir.writeFile("b", "");
  dir.writeFile(".hidden", "");
  dir.makeDir("A");
  FileStatus status;
  EXPECT_EQ(contentsOfDirectory(dir.path(), &status), (Names{".hidden", "A", "a", "b", "file"}));
  EXPECT_TRUE(status.ok()) << status.message();
  EXPECT_TRUE(contentsOfDirectory(dir / "b", &status).empty());
  EXPECT_EQ(status.code(), ENOTDIR);
  EXPECT_TRUE(contentsOfDirectory(dir / "missing", &status).empty());
  EXPECT_EQ(status.code(), ENOENT);

  // Removal never follows links.
  dir.writeFile("victim/a.txt", "a");
  dir.writeFile("victim/.hidden", "h");
  dir.writeFile("victim/sub/deeper/b.txt", "b");
  dir.writeFile("victim/locked/c.txt", "c");
  ASSERT_EQ(::chmod((dir / "victim/locked").c_str(), testing::canSwitchUser() ? 0500 : 0700), 0);
  dir.writeFile("keep/precious.txt", "p");
  ASSERT_EQ(::symlink((dir / "keep").c_str(), (dir / "victim/sub/link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "keep").c_str(), (dir / "link-to-keep").c_str()), 0);
  EXPECT_TRUE(removeItem(dir / "link-to-keep").ok());  // a link is removed as itself
  EXPECT_TRUE(fs::exists(dir / "keep/precious.txt"));
  EXPECT_TRUE(removeItem(dir / "victim/").ok());
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "victim")));
  EXPECT_EQ(treeOf(dir / "keep"), Names{"precious.txt"});
  EXPECT_EQ(statusText(removeItem(dir / "victim")),
            std::to_string(ENOENT) + " " + dir / "victim" + ": No such file or directory");
  EXPECT_EQ(removeItem("/").code(), EPERM);

  // Copies keep links as links and the mode; neither copy nor move replaces.
  dir.writeFile("from/a.txt", "alpha");
  dir.writeFile("from/sub/b.txt", "beta");
  ASSERT_EQ(::chmod((dir / "from/a.txt").c_str(), 0640), 0);
  ASSERT_EQ(::symlink("../a.txt", (dir / "from/sub/link").c_str()), 0);
  ASSERT_TRUE(copyItem(dir / "from", dir / "to").ok());
  EXPECT_EQ(treeOf(dir / "to"), (Names{"a.txt", "sub", "sub/b.txt", "sub/link"}));
  EXPECT_EQ(readFile(dir / "to/sub/b.txt"), "beta");
  EXPECT_EQ(fs::read_symlink(dir / "to/sub/link"), "../a.txt");
  EXPECT_EQ(fs::status(dir / "to/a.txt").permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  dir.writeFile("occupied", "mine");
  EXPECT_EQ(copyItem(dir / "from/a.txt", dir / "occupied").code(), EEXIST);
  EXPECT_EQ(copyItem(dir / "missing", dir / "new").code(), ENOENT);
  EXPECT_FALSE(fs::exists(dir / "new"));

  EXPECT_TRUE(moveItem(dir / "to/a.txt", dir / "b.txt").ok());
  EXPECT_EQ(readFile(dir / "b.txt"), "alpha");
  EXPECT_FALSE(fs::exists(dir / "to/a.txt"));
  EXPECT_TRUE(moveItem(dir / "to", dir / "moved").ok());
  EXPECT_EQ(readFile(dir / "moved/sub/b.txt"), "beta");
  EXPECT_EQ(statusText(moveItem(dir / "b.txt", dir / "occupied")),
            std::to_string(EEXIST) + " " + dir / "occupied" + ": File exists");
  EXPECT_EQ(readFile(dir / "occupied"), "mine");
  EXPECT_EQ(readFile(dir / "b.txt"), "alpha");
  EXPECT_EQ(moveItem(dir / "missing", dir / "new").code(), ENOENT);

  // Moves across file systems, where there is a second one.
  struct stat tmp {};
  struct stat shm {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &tmp) != 0 ||
      shm.st_dev == tmp.st_dev || ::access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second writable file system";
  dir.writeFile("tree/a.txt", "alpha");
  dir.writeFile("tree/sub/b.txt", "beta");
  const std::string target = "/dev/shm/orvexa-move-" + std::to_string(::getpid());
  ASSERT_TRUE(moveItem(dir / "tree", target).ok());
  EXPECT_FALSE(fs::exists(dir / "tree"));
  EXPECT_EQ(treeOf(target), (Names{"a.txt", "sub", "sub/b.txt"}));
  EXPECT_EQ(readFile(target + "/sub/b.txt"), "beta");
  EXPECT_TRUE(removeItem(target).ok());
}

TEST(FileManagerTest, RemovalGoesOnPastFailuresAndReportsTheFirst) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to run as another user";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  dir.writeFile("victim/a.txt", "a");
  dir.writeFile("victim/locked/c.txt", "c");
  dir.writeFile("victim/z/d.txt", "d");
  const std::string victim = dir / "victim";
  own(victim, testing::kNobodyUid);
  for (const auto& entry : fs::recursive_directory_iterator(victim))
    own(entry.path(), testing::kNobodyUid);
  ASSERT_EQ(::chmod((dir / "victim/locked").c_str(), 0555), 0);
  auto result = testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid,
                                   [&victim]() { return statusText(removeItem(victim)); });
  ::chmod((dir / "victim/locked").c_str(), 0755);
  EXPECT_EQ(result, std::to_string(EACCES) + " " + victim + "/locked/c.txt: Permission denied");
  // Everything else went; what could not be removed stayed, with its folders.
  EXPECT_EQ(treeOf(victim), (Names{"locked", "locked/c.txt"}));
}

}  // namespace
}  // namespace orvexa
