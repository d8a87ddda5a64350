#include "orvexa/platform/file_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

// Every kind of object a name can stand for, read with a 10-byte cap: only a
// regular file within the cap is read, and nothing blocks.
TEST(FileReader, ReadsOnlyRegularFilesWithinTheCap) {
  testing::TempDir dir;
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
  const std::tuple<std::string, Links, const char*> cases[] = {
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
  for (const auto& [path, links, expected] : cases) {
    std::string error;
    std::optional<std::string> bytes = readRegularFile(path, 10, &error, links);
    EXPECT_EQ(bytes.value_or(error), bytes ? expected : path + expected) << path;
  }
  ::close(sock);
}

}  // namespace
}  // namespace orvexa
