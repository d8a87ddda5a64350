#include "orvexa/platform/image.h"

#include "orvexa/platform/identity.h"

namespace orvexa {

Image Image::named(const std::string& name) {
  if (name.empty() || !Identity::shared().hasImage(name)) return Image{};
  return Image{name};
}

}  // namespace orvexa
