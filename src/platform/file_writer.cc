#include "orvexa/platform/file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/unique_fd.h"

namespace orvexa {

FileStatus writeAll(int fd, std::string_view bytes, std::string_view path) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileStatus::fromErrno(errno, path);
    if (n == 0) return FileStatus::fromErrno(EIO, path);
    done += static_cast<size_t>(n);
  }
  return FileStatus();
}

namespace {

FileStatus replace(const std::string& path, std::string_view bytes, std::optional<mode_t> mode) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = (folder.empty() ? std::string() : folder) + "/." + name + ".XXXXXX";
  detail::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return FileStatus::fromErrno(errno, path);

  auto fail = [&](int err) {
    fd.reset();
    ::unlink(temp.c_str());
    return FileStatus::fromErrno(err, path);
  };
  struct stat existing {};
  const bool existed = ::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  if (!mode && existed && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())) {
    // Only root may give a file away; anyone else keeps the file as theirs.
    // (Before fchmod: a change of owner clears set-id bits.)
    (void)::fchown(fd.get(), existing.st_uid, existing.st_gid);
  }
  const mode_t bits = mode ? *mode : existed ? (existing.st_mode & 07777) : 0644;
  if (::fchmod(fd.get(), bits) != 0) return fail(errno);
  if (FileStatus written = writeAll(fd.get(), bytes, path); !written.ok()) {
    return fail(written.code());
  }
  if (::fsync(fd.get()) != 0) return fail(errno);
  if (::close(fd.release()) != 0) return fail(errno);
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
  return FileStatus();
}

}  // namespace

FileStatus writeFileAtomically(const std::string& path, std::string_view bytes) {
  return replace(path, bytes, std::nullopt);
}

FileStatus writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
  return replace(path, bytes, mode);
}

}  // namespace orvexa
