#include "orvexa/toolkits/shred_passes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace orvexa {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtrC = std::unique_ptr<std::FILE, FileCloser>;

unsigned char randomByte() { return static_cast<unsigned char>(std::rand() % 255); }

std::string numbered(int pattern, const char* what, int err) {
  return std::to_string(pattern) + what + std::to_string(err);
}

bool fail(std::string& errorStr, ShredReport& report, std::string text) {
  errorStr += text;
  report["FALSE"] = errorStr;
  return false;
}

// Pushes what stdio holds to the device; errno is set on failure.
bool flushToDevice(std::FILE* file) {
  return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
}

}  // namespace

ShredReport ShredFileService::shredFile() {
  ShredReport report;
  std::string errorStr;
  bool verified = false;
  struct stat st {};
  if (::stat(url_.path().c_str(), &st) != 0) {
    errorStr += "stat " + std::to_string(errno);
  } else if (st.st_size <= 0) {
    errorStr += "size error!";
  } else {
    const int64_t size = static_cast<int64_t>(st.st_size);
    const bool big = size >= kBigFileSize;
    auto pass = [&](int number, int pattern, bool random) {
      const bool written = big ? bigFileWriteData(url_, pattern, errorStr, report, size, random)
                               : writeData(url_, pattern, errorStr, report, size, random);
      if (written && passObserver_) passObserver_(number, passWrites_);
      return written;
    };
    if (pass(1, 0xFF, false) && pass(2, 0, true) && pass(3, 0x00, false)) {
      verified = verificationData(url_, 0, errorStr, report);
    }
  }
  if (report.count("TRUE") == 0 && report.count("FALSE") == 0) {
    report[verified ? "TRUE" : "FALSE"] = errorStr;
  }
  return report;
}

bool ShredFileService::writeData(const Url& url, int asciiNumber, std::string& errorStr,
                                 ShredReport& shredResult, int64_t total_size, bool writeRandom) {
  const auto size = static_cast<size_t>(total_size > 0 ? total_size : 0);
  std::vector<unsigned char> buffer(size + 1);
  for (size_t i = 0; i < size; ++i) {
    buffer[i] = writeRandom ? randomByte() : static_cast<unsigned char>(asciiNumber);
  }
  FilePtrC file(std::fopen(url.path().c_str(), "wb+"));
  if (!file) return fail(errorStr, shredResult, "fopen " + std::to_string(errno));
  if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
    return fail(errorStr, shredResult, numbered(asciiNumber, "-fessk-2 ", errno));
  }
  errno = 0;
  passWrites_ = 1;
  if (std::fwrite(buffer.data(), 1, size, file.get()) != size || !flushToDevice(file.get())) {
    return fail(errorStr, shredResult, numbered(asciiNumber, "-fwrite-1 ", errno));
  }
  return true;
}

bool ShredFileService::bigFileWriteData(const Url& url, int asciiNumber, std::string& errorStr,
                                        ShredReport& shredResult, int64_t total_size,
                                        bool writeRandom) {
  const int64_t blocks = total_size / kBlockSize;
  const int64_t rest = total_size % kBlockSize;
  unsigned char block[kBlockSize];
  for (unsigned char& byte : block) {
    byte = writeRandom ? randomByte() : static_cast<unsigned char>(asciiNumber);
  }
  const unsigned char restByte =
      writeRandom ? randomByte() : static_cast<unsigned char>(asciiNumber);

  FilePtrC file(std::fopen(url.path().c_str(), "wb+"));
  if (!file) return fail(errorStr, shredResult, "fopen " + std::to_string(errno));
  if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
    return fail(errorStr, shredResult, numbered(asciiNumber, "-fessk-1 ", errno));
  }
  passWrites_ = 0;
  for (int64_t b = 0; b < blocks; ++b) {
    if (std::fseek(file.get(), static_cast<long>(b * kBlockSize), SEEK_SET) != 0) {
      return fail(errorStr, shredResult, numbered(asciiNumber, "-fessk-2 ", errno));
    }
    errno = 0;
    ++passWrites_;
    if (std::fwrite(block, 1, sizeof block, file.get()) != sizeof block) {
      return fail(errorStr, shredResult, numbered(asciiNumber, "-fwrite-1 ", errno));
    }
  }
  int64_t offset = blocks * kBlockSize;
  for (int64_t i = 0; i < rest; ++i, ++offset) {
    if (std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) != 0) {
      return fail(errorStr, shredResult, numbered(asciiNumber, "-fessk-3 ", errno));
    }
    errno = 0;
    ++passWrites_;
    if (std::fwrite(&restByte, 1, 1, file.get()) != 1) {
      return fail(errorStr, shredResult, numbered(asciiNumber, "-fwrite-2 ", errno));
    }
  }
  errno = 0;
  if (!flushToDevice(file.get())) {
    return fail(errorStr, shredResult, numbered(asciiNumber, "-fwrite-1 ", errno));
  }
  return true;
}

bool ShredFileService::verificationData(const Url& url, int verificationAsciiNumber,
                                        std::string& errorStr, ShredReport& shredResult) {
  FilePtrC file(std::fopen(url.path().c_str(), "r"));
  if (!file) return fail(errorStr, shredResult, "fopen r " + std::to_string(errno));
  if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
    return fail(errorStr, shredResult, "verification-fessk-1 " + std::to_string(errno));
  }
  for (;;) {
    // One byte at a time, as fgetc, without taking the stream's lock for
    // each: the stream belongs to this call alone.
    int c = ::getc_unlocked(file.get());
    if (c == EOF && std::ferror(file.get()) == 0) break;
    if (c != verificationAsciiNumber) {
      return fail(errorStr, shredResult, "Verification Data Fail!");
    }
  }
  return true;
}

}  // namespace orvexa
