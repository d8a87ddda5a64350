// Pictures of records are names of images the host registers (see
// Identity::registerImage); an empty name is the empty image.
//
// A value type of one pointer: every record carries an image, and there are
// few distinct names, so each name is kept once for the life of the process
// and images point at it. Copies may be read from any thread.
#pragma once

#include <string>

namespace orvexa {

class Image {
 public:
  // The empty image.
  Image() = default;
  // An image of that name, registered or not (empty for "").
  explicit Image(const std::string& name);

  const std::string& name() const;
  bool empty() const { return name_ == nullptr; }
  // The registered image of that name, or the empty image when none is.
  static Image named(const std::string& name);

  // Names are kept once, so equal names are the same pointer.
  friend bool operator==(const Image&, const Image&) = default;

 private:
  const std::string* name_ = nullptr;
};

}  // namespace orvexa
