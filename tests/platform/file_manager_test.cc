#include "orvexa/platform/file_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "support/run_as.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

std::vector<std::string> treeOf(const std::string& root) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    names.push_back(entry.path().string().substr(root.size() + 1));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Gives the folder and everything below it to nobody, so that an
// unprivileged child process can work in it.
void giveToNobody(const std::string& root) {
  ASSERT_EQ(::lchown(root.c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
  }
}

TEST(FileManagerTest, ExistenceFollowsLinks) {
  TempDir dir;
  dir.writeFile("file", "x");
  dir.makeDir("folder");
  ASSERT_EQ(::symlink((dir / "folder").c_str(), (dir / "to-folder").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "missing").c_str(), (dir / "dangling").c_str()), 0);
  struct Case {
    std::string name;
    bool exists;
    bool isDirectory;
  };
  const Case cases[] = {
      {"file", true, false},      {"folder", true, true},    {"to-folder", true, true},
      {"dangling", false, false}, {"missing", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool folder = !c.isDirectory;
    EXPECT_EQ(fileExists(dir / c.name, &folder), c.exists);
    EXPECT_EQ(folder, c.isDirectory);
    EXPECT_EQ(fileExists(dir / c.name), c.exists);
    EXPECT_EQ(isDirectory(dir / c.name), c.isDirectory);
  }
  EXPECT_FALSE(fileExists(""));
}

TEST(FileManagerTest, OwnItemInWritableFolderIsDeletable) {
  TempDir dir;
  dir.writeFile("mine.txt", "x");
  dir.writeFile("folder/inner.txt", "x");
  ASSERT_EQ(::chmod((dir / "folder").c_str(), 0555), 0);  // the item's own rights do not matter
  EXPECT_TRUE(isDeletableFileAtPath(dir / "mine.txt"));
  EXPECT_TRUE(isDeletableFileAtPath(dir / "folder"));
  EXPECT_TRUE(isDeletableFileAtPath(dir / "folder/"));
  EXPECT_FALSE(isDeletableFileAtPath(dir / "missing"));
  EXPECT_FALSE(isDeletableFileAtPath("/"));
  EXPECT_FALSE(isDeletableFileAtPath(""));
  ::chmod((dir / "folder").c_str(), 0755);
}

TEST(FileManagerTest, StickyFolderProtectsOtherUsersItems) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to hand files to other users";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string sticky = dir.makeDir("sticky");
  dir.writeFile("sticky/nobodys.txt", "x");
  ASSERT_EQ(::chown(sticky.c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
  ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
  ASSERT_EQ(
      ::chown((dir / "sticky/nobodys.txt").c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
  dir.writeFile("sticky/daemons.txt", "x");
  ASSERT_EQ(::chown((dir / "sticky/daemons.txt").c_str(), 1, 1), 0);
  const std::string readOnly = dir.makeDir("read-only");
  dir.writeFile("read-only/nobodys.txt", "x");
  ASSERT_EQ(
      ::chown((dir / "read-only/nobodys.txt").c_str(), testing::kNobodyUid, testing::kNogroupGid),
      0);
  ASSERT_EQ(::chmod(readOnly.c_str(), 0755), 0);  // owned by root: not writable for others

  // Root may remove anything, sticky or not.
  EXPECT_TRUE(isDeletableFileAtPath(dir / "sticky/nobodys.txt"));

  auto answers = [&dir]() {
    std::string text;
    for (const char* name : {"sticky/nobodys.txt", "sticky/daemons.txt", "read-only/nobodys.txt"}) {
      text += std::string(name) + "=" + (isDeletableFileAtPath(dir / name) ? "yes" : "no") + "\n";
    }
    return text;
  };
  // The user "daemon" (1) owns neither the folder nor nobody's file.
  EXPECT_EQ(testing::runAsUser(1, 1, answers),
            "sticky/nobodys.txt=no\nsticky/daemons.txt=yes\nread-only/nobodys.txt=no\n");
  // nobody owns the sticky folder, so everything in it is theirs to remove.
  EXPECT_EQ(testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, answers),
            "sticky/nobodys.txt=yes\nsticky/daemons.txt=yes\nread-only/nobodys.txt=no\n");
}

TEST(FileManagerTest, OwnerAccountNameIsThatOfTheItemItself) {
  TempDir dir;
  dir.writeFile("file", "x");
  EXPECT_EQ(ownerAccountName(dir / "file"), accountNameOf(::geteuid()));
  EXPECT_EQ(ownerAccountName(dir / "missing"), "");
  if (testing::canSwitchUser()) {
    ASSERT_EQ(::symlink((dir / "file").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::lchown((dir / "link").c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
    EXPECT_EQ(ownerAccountName(dir / "link"), "nobody");
    EXPECT_EQ(ownerAccountName(dir / "file"), accountNameOf(::geteuid()));
    dir.writeFile("orphan", "x");
    ASSERT_EQ(::chown((dir / "orphan").c_str(), 54321, 54321), 0);
    EXPECT_EQ(ownerAccountName(dir / "orphan"), "");
  }
}

TEST(FileManagerTest, AttributesDescribeTheItemItself) {
  TempDir dir;
  dir.writeFile("file.txt", "hello");
  ASSERT_EQ(::chmod((dir / "file.txt").c_str(), 0640), 0);
  ASSERT_EQ(::symlink("file.txt", (dir / "link").c_str()), 0);
  dir.makeDir("folder");

  FileStatus status;
  auto file = attributesOfItem(dir / "file.txt", &status);
  ASSERT_TRUE(file) << status.message();
  EXPECT_EQ(file->size, 5);
  EXPECT_EQ(file->posixPermissions, 0640u);
  EXPECT_EQ(file->ownerAccountID, ::geteuid());
  EXPECT_LE(file->creationDate, file->modificationDate);

  auto link = attributesOfItem(dir / "link");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->type, FileType::symbolicLink);
  EXPECT_EQ(link->size, 8);  // the length of "file.txt"
  EXPECT_EQ(attributesOfItem(dir / "folder")->type, FileType::directory);

  EXPECT_FALSE(attributesOfItem(dir / "missing", &status));
  EXPECT_EQ(status.code(), ENOENT);
}

TEST(FileManagerTest, CreationDateIsNeverLaterThanModification) {
  TempDir dir;
  const std::string path = dir.writeFile("old.txt", "x");
  auto fresh = resourceValues(path);
  ASSERT_TRUE(fresh && fresh->creationDate);
  EXPECT_LT(std::chrono::abs(*fresh->creationDate - std::chrono::system_clock::now()),
            std::chrono::minutes(1));
  // Backdating the modification moves the creation date with it.
  struct timespec times[2] = {{978307200, 0}, {978307200, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  auto backdated = resourceValues(path);
  ASSERT_TRUE(backdated);
  const auto y2001 = std::chrono::system_clock::time_point(std::chrono::seconds(978307200));
  EXPECT_EQ(backdated->modificationDate, y2001);
  EXPECT_EQ(backdated->creationDate, y2001);
  EXPECT_EQ(backdated->accessDate, y2001);
}

TEST(FileManagerTest, ResourceValuesOfOneItem) {
  TempDir dir;
  dir.writeFile("Photo.JPG", "\xFF\xD8\xFF");
  dir.makeDir("Tool.app/Contents");
  ASSERT_EQ(::symlink((dir / "Tool.app").c_str(), (dir / "link").c_str()), 0);
  Identity::shared().registerImage("public.jpeg");

  auto photo = resourceValues(dir / "Photo.JPG");
  ASSERT_TRUE(photo);
  EXPECT_EQ(photo->fileSize, 3);
  EXPECT_EQ(photo->contentType, "public.jpeg");
  EXPECT_EQ(photo->localizedTypeDescription, "JPEG image");
  EXPECT_EQ(photo->effectiveIcon, Image("public.jpeg"));

  auto app = resourceValues(dir / "Tool.app/");
  ASSERT_TRUE(app);
  EXPECT_TRUE(app->isPackage);
  EXPECT_EQ(app->localizedName, "Tool");
  EXPECT_TRUE(app->effectiveIcon.empty());  // no image registered for applications

  auto link = resourceValues(dir / "link");
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->isSymbolicLink);
  EXPECT_FALSE(link->isPackage);
  EXPECT_EQ(link->localizedTypeDescription, "Alias");

  FileStatus status;
  EXPECT_FALSE(resourceValues(dir / "missing", ResourceFetch::basic, &status));
  EXPECT_EQ(status.code(), ENOENT);
}

TEST(FileManagerTest, CreatesFolders) {
  TempDir dir;
  EXPECT_TRUE(createDirectory(dir / "a/b/c", true).ok());
  EXPECT_TRUE(isDirectory(dir / "a/b/c"));
  EXPECT_TRUE(createDirectory(dir / "a/b/c/", true).ok());  // existing: fine

  FileStatus status = createDirectory(dir / "a/b/c", false);
  EXPECT_EQ(status.code(), EEXIST);
  EXPECT_EQ(status.message(), dir / "a/b/c" + ": File exists");

  status = createDirectory(dir / "x/y", false);
  EXPECT_EQ(status.code(), ENOENT);
  EXPECT_EQ(posixErrorText(123456), "Unknown error 123456");

  dir.writeFile("file", "x");
  status = createDirectory(dir / "file/sub", true);
  EXPECT_EQ(status.code(), ENOTDIR);
  EXPECT_EQ(status.message(), dir / "file" + ": Not a directory");
}

TEST(FileManagerTest, RemovesTreesWithoutFollowingLinks) {
  TempDir dir;
  dir.writeFile("victim/a.txt", "a");
  dir.writeFile("victim/.hidden", "h");
  dir.writeFile("victim/sub/deeper/b.txt", "b");
  dir.writeFile("victim/locked/c.txt", "c");
  ASSERT_EQ(::chmod((dir / "victim/locked").c_str(), 0500), 0);
  dir.writeFile("keep/precious.txt", "p");
  ASSERT_EQ(::symlink((dir / "keep").c_str(), (dir / "victim/sub/link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "keep").c_str(), (dir / "link-to-keep").c_str()), 0);

  // A link is removed as itself.
  EXPECT_TRUE(removeItem(dir / "link-to-keep").ok());
  EXPECT_TRUE(fs::exists(dir / "keep/precious.txt"));

  if (testing::canSwitchUser()) {
    EXPECT_TRUE(removeItem(dir / "victim").ok());
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "victim")));
  } else {
    ::chmod((dir / "victim/locked").c_str(), 0700);
    EXPECT_TRUE(removeItem(dir / "victim/").ok());
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "victim")));
  }
  EXPECT_EQ(treeOf(dir / "keep"), std::vector<std::string>{"precious.txt"});

  FileStatus status = removeItem(dir / "victim");
  EXPECT_EQ(status.code(), ENOENT);
  EXPECT_EQ(status.message(), dir / "victim" + ": No such file or directory");
  EXPECT_EQ(removeItem("/").code(), EPERM);
}

TEST(FileManagerTest, RemovalGoesOnPastFailuresAndReportsTheFirst) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to run as another user";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  dir.writeFile("victim/a.txt", "a");
  dir.writeFile("victim/locked/c.txt", "c");
  dir.writeFile("victim/z/d.txt", "d");
  giveToNobody(dir / "victim");
  ASSERT_EQ(::chmod((dir / "victim/locked").c_str(), 0555), 0);

  const std::string victim = dir / "victim";
  auto result = testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&victim]() {
    FileStatus status = removeItem(victim);
    return std::to_string(status.code()) + " " + status.message();
  });
  ::chmod((dir / "victim/locked").c_str(), 0755);
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, std::to_string(EACCES) + " " + victim + "/locked/c.txt: Permission denied");
  // Everything else went; what could not be removed stayed, with its folders.
  EXPECT_EQ(treeOf(victim), (std::vector<std::string>{"locked", "locked/c.txt"}));
}

TEST(FileManagerTest, CopiesItemsWithLinksAsLinks) {
  TempDir dir;
  dir.writeFile("from/a.txt", "alpha");
  dir.writeFile("from/sub/b.txt", "beta");
  ASSERT_EQ(::chmod((dir / "from/a.txt").c_str(), 0640), 0);
  ASSERT_EQ(::symlink("../a.txt", (dir / "from/sub/link").c_str()), 0);

  ASSERT_TRUE(copyItem(dir / "from", dir / "to").ok());
  EXPECT_EQ(treeOf(dir / "to"),
            (std::vector<std::string>{"a.txt", "sub", "sub/b.txt", "sub/link"}));
  EXPECT_EQ(testing::readFile(dir / "to/sub/b.txt"), "beta");
  EXPECT_EQ(fs::read_symlink(dir / "to/sub/link"), "../a.txt");
  EXPECT_EQ(fs::status(dir / "to/a.txt").permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  dir.writeFile("occupied", "mine");
  FileStatus status = copyItem(dir / "from/a.txt", dir / "occupied");
  EXPECT_EQ(status.code(), EEXIST);
  EXPECT_EQ(testing::readFile(dir / "occupied"), "mine");

  EXPECT_EQ(copyItem(dir / "missing", dir / "new").code(), ENOENT);
  EXPECT_FALSE(fs::exists(dir / "new"));
}

TEST(FileManagerTest, MovesItemsWithoutReplacing) {
  TempDir dir;
  dir.writeFile("a.txt", "alpha");
  dir.writeFile("folder/inner.txt", "inner");
  dir.writeFile("occupied", "mine");

  EXPECT_TRUE(moveItem(dir / "a.txt", dir / "b.txt").ok());
  EXPECT_EQ(testing::readFile(dir / "b.txt"), "alpha");
  EXPECT_FALSE(fs::exists(dir / "a.txt"));
  EXPECT_TRUE(moveItem(dir / "folder", dir / "moved").ok());
  EXPECT_EQ(testing::readFile(dir / "moved/inner.txt"), "inner");

  FileStatus status = moveItem(dir / "b.txt", dir / "occupied");
  EXPECT_EQ(status.code(), EEXIST);
  EXPECT_EQ(status.message(), dir / "occupied" + ": File exists");
  EXPECT_EQ(testing::readFile(dir / "occupied"), "mine");
  EXPECT_EQ(testing::readFile(dir / "b.txt"), "alpha");

  status = moveItem(dir / "missing", dir / "new");
  EXPECT_EQ(status.code(), ENOENT);
}

TEST(FileManagerTest, MovesAcrossFileSystems) {
  struct stat tmp {};
  struct stat shm {};
  TempDir dir;
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &tmp) != 0 ||
      shm.st_dev == tmp.st_dev || ::access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "no second writable file system";
  }
  dir.writeFile("tree/a.txt", "alpha");
  dir.writeFile("tree/sub/b.txt", "beta");
  const std::string target = "/dev/shm/orvexa-move-" + std::to_string(::getpid());
  ASSERT_TRUE(moveItem(dir / "tree", target).ok());
  EXPECT_FALSE(fs::exists(dir / "tree"));
  EXPECT_EQ(treeOf(target), (std::vector<std::string>{"a.txt", "sub", "sub/b.txt"}));
  EXPECT_EQ(testing::readFile(target + "/sub/b.txt"), "beta");
  EXPECT_TRUE(removeItem(target).ok());
}

TEST(FileManagerTest, ListsFolderContentsSorted) {
  TempDir dir;
  dir.writeFile("b", "");
  dir.writeFile(".hidden", "");
  dir.makeDir("A");
  dir.writeFile("a", "");
  FileStatus status;
  EXPECT_EQ(contentsOfDirectory(dir.path(), &status),
            (std::vector<std::string>{".hidden", "A", "a", "b"}));
  EXPECT_TRUE(status.ok()) << status.message();

  EXPECT_TRUE(contentsOfDirectory(dir / "b", &status).empty());
  EXPECT_EQ(status.code(), ENOTDIR);
  EXPECT_TRUE(contentsOfDirectory(dir / "missing", &status).empty());
  EXPECT_EQ(status.code(), ENOENT);
}

TEST(FileManagerTest, MountedVolumesComeFromTheVolumesFolder) {
  TempDir dir;
  Paths::shared().setRoot(dir.path());
  EXPECT_TRUE(mountedVolumeURLs().empty());
  dir.makeDir("Volumes/Data");
  dir.makeDir("Volumes/Backup Disk");
  std::vector<std::string> urls;
  for (const Url& url : mountedVolumeURLs()) urls.push_back(url.absoluteString());
  Paths::shared().reset();
  EXPECT_EQ(urls, (std::vector<std::string>{"file://" + dir.path() + "/Volumes/Backup%20Disk/",
                                            "file://" + dir.path() + "/Volumes/Data/"}));
}

}  // namespace
}  // namespace orvexa
