#include "helper/unix_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "orvexa/platform/posix_error.h"
#include "platform/unique_fd.h"

namespace orvexa::detail {
namespace {

// An address for `path`; when the path is too long, through `folderFd`
// (opened here and kept open by the caller while the address is used).
bool addressOf(const std::string& path, sockaddr_un* address, UniqueFd* folderFd, int* err) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::string usable = path;
  if (usable.size() >= sizeof address->sun_path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      *err = ENAMETOOLONG;
      return false;
    }
    const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    folderFd->reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd->valid()) {
      *err = errno;
      return false;
    }
    usable = "/proc/self/fd/" + std::to_string(folderFd->get()) + path.substr(slash);
    if (usable.size() >= sizeof address->sun_path) {
      *err = ENAMETOOLONG;
      return false;
    }
  }
  std::memcpy(address->sun_path, usable.c_str(), usable.size() + 1);
  return true;
}

}  // namespace

UniqueFd connectUnixSocket(const std::string& path, int* err) {
  sockaddr_un address{};
  UniqueFd folder;
  if (!addressOf(path, &address, &folder, err)) return {};
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *err = errno;
    return {};
  }
  for (;;) {
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      return fd;
    }
    if (errno == EINTR) continue;
    *err = errno;
    return {};
  }
}

UniqueFd listenUnixSocket(const std::string& path, mode_t mode, std::string* error) {
  sockaddr_un address{};
  UniqueFd folder;
  int err = 0;
  if (!addressOf(path, &address, &folder, &err)) {
    *error = FileStatus::fromErrno(err, path).message();
    return {};
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + ": exists and is not a socket";
      return {};
    }
    int probeErr = 0;
    UniqueFd probe = connectUnixSocket(path, &probeErr);
    if (probe.valid()) {
      *error = path + ": another helper is already serving there";
      return {};
    }
    ::unlink(path.c_str());
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *error = FileStatus::fromErrno(errno, path).message();
    return {};
  }
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = FileStatus::fromErrno(errno, path).message();
    return {};
  }
  // Who may talk to the helper is decided by the peer's credentials, not by
  // the socket's mode; the mode only lets the installing user connect.
  const size_t slash = path.rfind('/');
  const std::string folderPath = slash == std::string::npos ? std::string(".")
                                 : slash == 0               ? std::string("/")
                                                            : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  UniqueFd parent(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid() || ::fchmodat(parent.get(), name.c_str(), mode, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = FileStatus::fromErrno(errno, path).message();
    ::unlink(path.c_str());
    return {};
  }
  if (::listen(fd.get(), 16) != 0) {
    *error = FileStatus::fromErrno(errno, path).message();
    ::unlink(path.c_str());
    return {};
  }
  return fd;
}

bool peerUserId(int fd, uid_t* uid) {
  struct ucred credentials {};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return false;
  }
  *uid = credentials.uid;
  return true;
}

}  // namespace orvexa::detail
