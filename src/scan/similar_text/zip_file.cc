#include "orvexa/scan/similar_text/zip_file.h"

#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>

#include "orvexa/platform/file_reader.h"
#include "orvexa/units/log_service.h"

namespace orvexa {

// Owns the libzip handle; closing discards, since nothing is ever written.
struct ZipFile::Archive {
  explicit Archive(zip_t* h) : handle(h) {}
  ~Archive() { zip_discard(handle); }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  zip_t* handle;
};

namespace {

std::string openErrorText(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

struct EntryCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};

}  // namespace

ZipFile::ZipFile(std::unique_ptr<Archive> archive) : archive_(std::move(archive)) {}

ZipFile::~ZipFile() = default;

std::unique_ptr<ZipFile> ZipFile::open(const Url& url, std::string* error) {
  // Every refusal goes to the log as well: a document scan reports nothing
  // per file.
  auto fail = [&](std::string why) -> std::unique_ptr<ZipFile> {
    LogService::shard().log(LogService::LogLevel::Info, "Document skipped: " + why);
    if (error != nullptr) *error = std::move(why);
    return nullptr;
  };
  RegularFile file = RegularFile::open(url.path());
  if (!file.ok()) return fail(file.status().message());
  int code = 0;
  // libzip reads through the descriptor (its own duplicate) and owns it.
  const int fd = ::dup(file.fd());
  zip_t* handle = fd >= 0 ? zip_fdopen(fd, ZIP_RDONLY, &code) : nullptr;
  if (handle == nullptr) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    return fail(fd >= 0 ? openErrorText(code) : posixErrorText(err));
  }
  return std::unique_ptr<ZipFile>(new ZipFile(std::make_unique<Archive>(handle)));
}

std::vector<std::string> ZipFile::entryNames() const {
  std::vector<std::string> names;
  zip_int64_t count = zip_get_num_entries(archive_->handle, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(archive_->handle, static_cast<zip_uint64_t>(i), 0);
    if (name != nullptr) names.emplace_back(name);
  }
  return names;
}

std::optional<Data> ZipFile::entryData(const std::string& name, uint64_t maxSize) const {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat(archive_->handle, name.c_str(), 0, &stat) != 0) return std::nullopt;
  if ((stat.valid & ZIP_STAT_SIZE) == 0 || stat.size > std::min(maxSize, kMaxEntrySize)) {
    return std::nullopt;
  }

  std::unique_ptr<zip_file_t, EntryCloser> entry(zip_fopen_index(archive_->handle, stat.index, 0));
  if (!entry) return std::nullopt;
  Data bytes(static_cast<size_t>(stat.size));
  size_t filled = 0;
  while (filled < bytes.size()) {
    zip_int64_t n = zip_fread(entry.get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0) return std::nullopt;  // corrupt data or checksum mismatch
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  if (filled != bytes.size()) return std::nullopt;  // the entry ended early
  // libzip checks the checksum when the last byte has been read; a read past
  // the end reports a mismatch.
  char probe;
  if (zip_fread(entry.get(), &probe, 1) != 0) return std::nullopt;
  return bytes;
}

}  // namespace orvexa
