#include "orvexa/platform/shred_passes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace orvexa {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Non-blocking, so that a FIFO put in the file's place cannot hang the open.
constexpr int kFileFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr size_t kReadChunk = 65536;

unsigned char randomByte() { return static_cast<unsigned char>(std::rand() % 255); }

std::string numbered(int pattern, const char* what, int err) {
  return std::to_string(pattern) + what + std::to_string(err);
}

bool fail(std::string& errorStr, ShredReport& report, const std::string& text) {
  errorStr += text;
  report["FALSE"] = errorStr;
  return false;
}

std::string hardLinksText(nlink_t others) {
  return "the file has " + std::to_string(others) + " other hard link" + (others == 1 ? "" : "s") +
         ": not overwritten, so that the content they share survives";
}

// Writes all `length` bytes at `offset`, counting the calls in `writes`.
bool writeAll(int fd, const unsigned char* bytes, int64_t length, int64_t offset, int64_t& writes) {
  while (length > 0) {
    ++writes;
    const ssize_t n = ::pwrite(fd, bytes, static_cast<size_t>(length), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    length -= n;
    offset += n;
  }
  return true;
}

// Opens every folder of `path` from "/" without following links; the
// folder holding the last component goes to *parent and its name to *name.
// Returns 0 or an errno value.
int openParentWithoutFollowing(const std::string& path, int* parent, std::string* name) {
  if (path.empty() || path.front() != '/') return EINVAL;
  std::vector<std::string> parts;
  for (size_t start = 1; start < path.size();) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  if (parts.empty()) return EISDIR;
  int current = ::open("/", kFolderFlags);
  if (current < 0) return errno;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const int next = ::openat(current, parts[i].c_str(), kFolderFlags);
    const int err = errno;
    ::close(current);
    if (next < 0) return err;
    current = next;
  }
  *parent = current;
  *name = parts.back();
  return 0;
}

}  // namespace

ShredFileService::~ShredFileService() {
  if (fileFd_ >= 0) ::close(fileFd_);
  if (parentFd_ >= 0) ::close(parentFd_);
}

ShredReport ShredFileService::shredFile() {
  ShredReport report;
  int err = openParentWithoutFollowing(url_.path(), &parentFd_, &name_);
  if (err == 0) {
    fileFd_ = ::openat(parentFd_, name_.c_str(), kFileFlags);
    if (fileFd_ < 0) err = errno;
  }
  if (err == ELOOP || err == ENOTDIR) {
    report["FALSE"] = kLinkText;
  } else if (err != 0) {
    report["FALSE"] = "fopen " + std::to_string(err);
  } else {
    report = shredDescriptor(fileFd_);
    shredded_ = report.count("TRUE") != 0;
  }
  return report;
}

ShredReport ShredFileService::shredDescriptor(int fd) {
  ShredReport report;
  std::string errorStr;
  bool verified = false;
  struct stat st {};
  std::vector<Extent> extents;
  if (::fstat(fd, &st) != 0) {
    errorStr += "stat " + std::to_string(errno);
  } else if (!S_ISREG(st.st_mode)) {
    errorStr += "not a regular file";
  } else if (st.st_nlink > 1 && !overwriteHardLinks_) {
    errorStr += hardLinksText(st.st_nlink - 1);
  } else if (st.st_size == 0) {
    verified = true;  // nothing to overwrite
  } else if (!allocatedExtents(fd, st.st_size, &extents)) {
    errorStr += "seek " + std::to_string(errno);
  } else {
    const bool big = st.st_size >= kBigFileSize;
    auto pass = [&](int number, int pattern, bool random) {
      const bool written = big ? bigFileWriteData(fd, pattern, errorStr, report, extents, random)
                               : writeData(fd, pattern, errorStr, report, extents, random);
      if (written && passObserver_) passObserver_(number, passWrites_);
      return written;
    };
    if (pass(1, 0xFF, false) && pass(2, 0, true) && pass(3, 0x00, false)) {
      verified = verificationData(fd, 0, errorStr, report, extents);
    }
  }
  if (report.count("TRUE") == 0 && report.count("FALSE") == 0) {
    report[verified ? "TRUE" : "FALSE"] = errorStr;
  }
  return report;
}

bool ShredFileService::removeFile(std::string* error) {
  struct stat shredded {};
  struct stat named {};
  if (!shredded_ || ::fstat(fileFd_, &shredded) != 0) {
    *error = "the file was not shredded";
    return false;
  }
  if (::fstatat(parentFd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = errno == ENOENT ? "the file's name vanished while it was shredded"
                             : std::string(std::strerror(errno));
    return false;
  }
  if (named.st_dev != shredded.st_dev || named.st_ino != shredded.st_ino) {
    *error = "changed while it was shredded: its name now names another item, left in place";
    return false;
  }
  if (::unlinkat(parentFd_, name_.c_str(), 0) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool ShredFileService::allocatedExtents(int fd, int64_t size, std::vector<Extent>* extents) {
  extents->clear();
  for (int64_t offset = 0; offset < size;) {
    const off_t data = ::lseek(fd, offset, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole up to the end
      if (errno != EINVAL && errno != ENOTSUP) return false;
      extents->assign({Extent{0, size}});  // the file system cannot tell
      return true;
    }
    if (data >= size) break;
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0 || hole > size) hole = size;
    extents->push_back(Extent{data, hole - data});
    offset = hole;
  }
  return true;
}

bool ShredFileService::writeData(int fd, int asciiNumber, std::string& errorStr,
                                 ShredReport& shredResult, const std::vector<Extent>& extents,
                                 bool writeRandom) {
  int64_t longest = 0;
  for (const Extent& e : extents) longest = std::max(longest, e.length);
  std::vector<unsigned char> buffer(static_cast<size_t>(longest));
  for (unsigned char& byte : buffer) {
    byte = writeRandom ? randomByte() : static_cast<unsigned char>(asciiNumber);
  }
  passWrites_ = 0;
  for (const Extent& e : extents) {
    if (!writeAll(fd, buffer.data(), e.length, e.offset, passWrites_)) {
      return fail(errorStr, shredResult, numbered(asciiNumber, "-fwrite-1 ", errno));
    }
  }
  if (::fsync(fd) != 0) {
    return fail(errorStr, shredResult, numbered(asciiNumber, "-fwrite-1 ", errno));
  }
  return true;
}

bool ShredFileService::bigFileWriteData(int fd, int asciiNumber, std::string& errorStr,
                                        ShredReport& shredResult,
                                        const std::vector<Extent>& extents, bool writeRandom) {
  unsigned char block[kBlockSize];
  for (unsigned char& byte : block) {
    byte = writeRandom ? randomByte() : static_cast<unsigned char>(asciiNumber);
  }
  const unsigned char restByte =
      writeRandom ? randomByte() : static_cast<unsigned char>(asciiNumber);
  passWrites_ = 0;
  for (const Extent& e : extents) {
    const int64_t blocks = e.length / kBlockSize;
    int64_t offset = e.offset;
    for (int64_t b = 0; b < blocks; ++b, offset += kBlockSize) {
      if (!writeAll(fd, block, kBlockSize, offset, passWrites_)) {
        return fail(errorStr, shredResult, numbered(asciiNumber, "-fwrite-1 ", errno));
      }
    }
    for (; offset < e.offset + e.length; ++offset) {
      if (!writeAll(fd, &restByte, 1, offset, passWrites_)) {
        return fail(errorStr, shredResult, numbered(asciiNumber, "-fwrite-2 ", errno));
      }
    }
  }
  if (::fsync(fd) != 0) {
    return fail(errorStr, shredResult, numbered(asciiNumber, "-fwrite-1 ", errno));
  }
  return true;
}

bool ShredFileService::verificationData(int fd, int verificationAsciiNumber, std::string& errorStr,
                                        ShredReport& shredResult,
                                        const std::vector<Extent>& extents) {
  std::vector<unsigned char> buffer(kReadChunk);
  for (const Extent& e : extents) {
    for (int64_t done = 0; done < e.length;) {
      const size_t want = static_cast<size_t>(std::min<int64_t>(e.length - done, kReadChunk));
      const ssize_t n = ::pread(fd, buffer.data(), want, e.offset + done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail(errorStr, shredResult, "fopen r " + std::to_string(errno));
      if (n == 0) break;  // the file was cut short meanwhile
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[static_cast<size_t>(i)] != verificationAsciiNumber) {
          return fail(errorStr, shredResult, "Verification Data Fail!");
        }
      }
      done += n;
    }
  }
  return true;
}

}  // namespace orvexa
