// Pictures of records are names of images the host registers (see
// Identity::registerImage); an empty name is the empty image.
#pragma once

#include <string>

namespace orvexa {

struct Image {
  std::string name;

  bool empty() const { return name.empty(); }
  // The registered image of that name, or the empty image when none is.
  static Image named(const std::string& name);

  friend bool operator==(const Image&, const Image&) = default;
};

}  // namespace orvexa
