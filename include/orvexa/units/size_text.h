// Sizes as people read them. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace orvexa {

// Decimal units with one decimal: "999 B", "1.0 KB", "2.5 GB". Negative
// sizes (freed memory can be) keep their sign.
std::string humanSize(int64_t bytes);

}  // namespace orvexa
