// OptionalText: a text that is empty for almost every record (an error
// message, say), at the cost of one pointer when it is: the characters live
// on the heap only once there are any.
//
// A value type; like std::string, one instance must not be changed while
// another thread reads it.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace orvexa {

class OptionalText {
 public:
  OptionalText() = default;
  OptionalText(std::string text) { assign(std::move(text)); }          // NOLINT: a text is one
  OptionalText(const char* text) : OptionalText(std::string(text)) {}  // NOLINT
  OptionalText(const OptionalText& other) { assign(other.str()); }
  OptionalText(OptionalText&&) noexcept = default;
  OptionalText& operator=(const OptionalText& other) {
    if (this != &other) assign(other.str());
    return *this;
  }
  OptionalText& operator=(OptionalText&&) noexcept = default;
  OptionalText& operator=(std::string text) {
    assign(std::move(text));
    return *this;
  }
  OptionalText& operator=(const char* text) { return *this = std::string(text); }
  ~OptionalText() = default;

  // The text; a shared empty string when there is none.
  const std::string& str() const { return text_ ? *text_ : none(); }
  operator const std::string&() const { return str(); }  // NOLINT: reads as a string
  bool empty() const { return !text_; }
  void clear() { text_.reset(); }

  friend bool operator==(const OptionalText& a, const OptionalText& b) {
    return a.str() == b.str();
  }
  friend bool operator==(const OptionalText& a, const std::string& b) { return a.str() == b; }
  friend bool operator==(const OptionalText& a, std::string_view b) { return a.str() == b; }
  friend bool operator==(const OptionalText& a, const char* b) {
    return a.str() == std::string_view(b);
  }

 private:
  static const std::string& none();
  void assign(std::string text) {
    if (text.empty()) {
      text_.reset();
    } else if (text_) {
      *text_ = std::move(text);
    } else {
      text_ = std::make_unique<std::string>(std::move(text));
    }
  }

  std::unique_ptr<std::string> text_;
};

std::ostream& operator<<(std::ostream& out, const OptionalText& text);

}  // namespace orvexa
