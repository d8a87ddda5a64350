// A URL. Mostly a file URL: an absolute path plus whether it names a folder,
// rendered as the absolute string the records' identity texts use
// ("file:///tmp/a/"). The stores of other programs also hold addresses of
// other schemes (the pages a browser visited): those are kept as written,
// with their scheme, and with the path part of the address as `path()`;
// `isFileURL()` tells the two apart. Code that touches the disk must take
// the path of file URLs only: a web address's path names no local file.
//
// A value type; an instance is not changed after it is made, so copies may
// be read from any thread. Copies share one counted text (the count is
// atomic): copying costs no allocation, and the last copy frees it.
#pragma once

#include <atomic>
#include <compare>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace orvexa {

class Url {
 public:
  // The empty path: the placeholder URL ("file://").
  Url() = default;
  Url(const Url& other) noexcept : rep_(other.rep_) {
    if (rep_ != nullptr) rep_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  Url(Url&& other) noexcept : rep_(other.rep_) { other.rep_ = nullptr; }
  Url& operator=(const Url& other) noexcept {
    Url copy(other);
    std::swap(rep_, copy.rep_);
    return *this;
  }
  Url& operator=(Url&& other) noexcept {
    if (this != &other) {
      release(rep_);
      rep_ = std::exchange(other.rep_, nullptr);
    }
    return *this;
  }
  ~Url() { release(rep_); }

  // A file URL for `path`. The folder flag is taken from the file system
  // (an existing directory gets the trailing slash), as the platform does.
  static Url fromPath(std::string_view path);
  // A file URL for `path` with the folder flag given by the caller.
  static Url fromPath(std::string_view path, bool isDirectory);
  // Parses "file://..." (percent-encoded) text. Returns an empty Url when
  // the text is not a file URL; `ok` (when given) says which.
  static Url parse(std::string_view text, bool* ok = nullptr);
  // Parses an address of any scheme: a file address gives the file URL that
  // parse() gives; any other ("https://example.com/a?b", "about:blank") is
  // kept as written. The text must start with a scheme ("https:"), hold no
  // blank or control character, and its path part no broken percent escape;
  // otherwise the result is the placeholder and `ok` (when given) is false.
  static Url fromString(std::string_view text, bool* ok = nullptr);

  // The decoded path, without a trailing slash (except for "/"). For an
  // address of another scheme, the path part of the address ("/a" for
  // "https://example.com/a/?b"; "" when it has none, as "about:blank").
  const std::string& path() const { return rep_ != nullptr ? rep_->path : emptyText(); }
  // Whether the path names a folder: the file system's answer, or for an
  // address whether its path part ends with "/".
  bool isDirectory() const { return rep_ != nullptr && rep_->directory; }
  // True for the placeholder only (the file URL of the empty path).
  bool empty() const { return isFileURL() && path().empty(); }
  bool isFileURL() const { return addressText() == nullptr; }
  // "file", or the address's scheme in lower case.
  std::string scheme() const;

  // "file://" + percent-encoded path (+ "/" for a folder); an address of
  // another scheme exactly as it was given.
  std::string absoluteString() const;
  std::string lastPathComponent() const;
  // Path operations. On an address of another scheme they change its path
  // part and keep the query and fragment ("https://h/a?q" appending "b" is
  // "https://h/a/b?q"); the folder flag is never looked up on disk for it,
  // and an address without a path ("about:blank") is returned unchanged.
  Url appending(std::string_view component) const;  // folder flag from the file system
  Url appending(std::string_view component, bool isDirectory) const;
  Url deletingLastPathComponent() const;

  // File URLs compare by path and folder flag, and come before addresses of
  // other schemes, which compare by their text.
  friend bool operator==(const Url& a, const Url& b) {
    if (a.rep_ == b.rep_) return true;
    return a.address() == b.address() && a.path() == b.path() && a.isDirectory() == b.isDirectory();
  }
  friend auto operator<=>(const Url& a, const Url& b) {
    if (auto c = a.address() <=> b.address(); c != 0) return c;
    if (auto c = a.path() <=> b.path(); c != 0) return c;
    return a.isDirectory() <=> b.isDirectory();
  }

 private:
  // Every record holds a URL, and copies of one are frequent (identity
  // snapshots, result lists): a Url is one pointer to a shared, counted
  // representation that is never changed once a Url made from it is handed
  // out. The placeholder has none. Only the factories below write `rep_`,
  // on a Url nobody else holds yet.
  struct Rep {
    std::atomic<uint32_t> refs{1};
    bool directory = false;
    std::string path;
    std::unique_ptr<std::string> address;  // another scheme's address as given; null for a file URL
  };

  static const std::string& emptyText();
  static void release(Rep* rep) noexcept {
    if (rep != nullptr && rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete rep;
  }

  // The address as given, empty for a file URL.
  std::string_view address() const {
    const std::string* text = addressText();
    return text ? std::string_view(*text) : std::string_view();
  }
  // An address of another scheme as given; null for a file URL.
  const std::string* addressText() const { return rep_ != nullptr ? rep_->address.get() : nullptr; }
  // The representation of a Url under construction (made on first use).
  Rep& own() {
    if (rep_ == nullptr) rep_ = new Rep;
    return *rep_;
  }
  void setAddress(std::string text) {
    own().address = std::make_unique<std::string>(std::move(text));
  }
  void setDirectory(bool isDirectory) { own().directory = isDirectory; }
  std::string& pathText() { return own().path; }

  Rep* rep_ = nullptr;
};

// Percent-encodes a path the way file URLs are written (RFC 3986 path
// characters stay, everything else becomes %XX).
std::string percentEncodePath(std::string_view path);
// Removes percent encoding; false when a '%' is not followed by two hex digits.
bool percentDecode(std::string_view text, std::string* out);

}  // namespace orvexa

template <>
struct std::hash<orvexa::Url> {
  size_t operator()(const orvexa::Url& u) const noexcept {
    size_t h = std::hash<std::string>()(u.path()) ^ (u.isDirectory() ? 0x9e3779b9u : 0u);
    if (!u.isFileURL()) h ^= std::hash<std::string>()(u.absoluteString()) * 31u + 1u;
    return h;
  }
};
