#include "orvexa/platform/image.h"

#include <mutex>
#include <unordered_set>

#include "orvexa/platform/identity.h"

namespace orvexa {
namespace {

// The names images have been made with. Never shrinks: the elements of an
// unordered_set keep their addresses, so images may point at them.
const std::string* keepName(const std::string& name) {
  static std::mutex mu;
  static auto* names = new std::unordered_set<std::string>();  // never destroyed
  std::lock_guard lock(mu);
  return &*names->insert(name).first;
}

}  // namespace

Image::Image(const std::string& name) : name_(name.empty() ? nullptr : keepName(name)) {}

const std::string& Image::name() const {
  static const std::string kNone;
  return name_ != nullptr ? *name_ : kNone;
}

Image Image::named(const std::string& name) {
  if (name.empty() || !Identity::shared().hasImage(name)) return Image{};
  return Image(name);
}

}  // namespace orvexa
