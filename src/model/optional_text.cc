#include "orvexa/model/optional_text.h"

#include <ostream>

namespace orvexa {

const std::string& OptionalText::none() {
  static const std::string kEmpty;
  return kEmpty;
}

std::ostream& operator<<(std::ostream& out, const OptionalText& text) { return out << text.str(); }

}  // namespace orvexa
