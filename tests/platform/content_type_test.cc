#include "orvexa/platform/content_type.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "orvexa/platform/file_reader.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;
using Tree = std::vector<std::string>;

TEST(ContentTypeTest, TypesByNameAndContentAndTheReaderTakesOnlyRegularFilesWithinTheCap) {
  const std::tuple<std::string, bool, std::string> byName[] = {
      {"clip.MOV", false, "com.apple.quicktime-movie"},
      {"archive.tar.gz", false, "org.gnu.gnu-zip-archive"},
      {"Kit.Framework", true, "com.apple.package"},
      {"trailing.", false, "public.data"},
      {"folder.jpg", true, "public.folder"},  // folders are never typed by extension
      {"Safari.app", false, "public.data"},   // nor files by a bundle extension
  };
  for (const auto& [name, isDirectory, type] : byName)
    EXPECT_EQ(contentTypeForName(name, isDirectory, false), type) << name << isDirectory;
  EXPECT_EQ(contentTypeForName("link.jpg", false, true), "public.symlink");

  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"jpeg", std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10), "public.jpeg"},
      {"text", "just some words", "public.data"},
      {"short", "\xFF", "public.data"},
  };
  TempDir dir;
  for (const auto& [name, bytes, type] : cases) {
    EXPECT_EQ(contentTypeOfBytes(bytes), type == "public.data" ? "" : type) << name;
    EXPECT_EQ(contentTypeOf(dir.writeFile(name, bytes)), type);
  }
  // An extension wins over the content; a missing item is typed by its name.
  // Folders and bundles on disk: file_manager_test's resource values.
  EXPECT_EQ(contentTypeOf(dir.writeFile("photo.txt", "\xFF\xD8\xFF\xE0")), "public.plain-text");
  ASSERT_EQ(::symlink(dir.path().c_str(), (dir / "link.app").c_str()), 0);  // never followed
  EXPECT_EQ(contentTypeOf(dir / "missing.png") + " " + contentTypeOf(dir / "link.app"),
            "public.png public.symlink");
  EXPECT_EQ(contentTypeTreeOf(dir.path()),
            (Tree{"public.folder", "public.directory", "public.item"}));
  // Unknown types conform to data.
  EXPECT_EQ(contentTypeTree("dyn.unknown"), (Tree{"dyn.unknown", "public.data", "public.item"}));

  // Every kind of object a name can stand for, read with a 10-byte cap: only a
  // regular file within the cap is read, and nothing blocks.
  dir.writeFile("small", "0123456789");
  dir.writeFile("big", "0123456789X");
  dir.makeDir("folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink((dir / "small").c_str(), (dir / "link").c_str()), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (dir / "sock").c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // Rows: path, links, the content or the end of the reason.
  const std::tuple<std::string, Links, const char*> reads[] = {
      {dir / "small", Links::kRefuse, "0123456789"},
      {dir / "link", Links::kFollow, "0123456789"},
      {dir / "link", Links::kRefuse, ": not a regular file (a symbolic link)"},
      {dir / "big", Links::kFollow, ": too large to read (11 bytes, at most 10)"},
      {dir / "folder", Links::kFollow, ": not a regular file (a folder)"},
      {dir / "fifo", Links::kFollow, ": not a regular file (a named pipe)"},
      {dir / "sock", Links::kFollow, ": not a regular file (a socket)"},
      {"/dev/null", Links::kFollow, ": not a regular file (a character device)"},
      {dir / "missing", Links::kFollow, ": No such file or directory"},
  };
  for (const auto& [path, links, expected] : reads) {
    std::string error;
    std::optional<std::string> bytes = readRegularFile(path, 10, &error, links);
    EXPECT_EQ(bytes.value_or(error), bytes ? expected : path + expected) << path;
  }
  ::close(sock);
}

}  // namespace
}  // namespace orvexa
