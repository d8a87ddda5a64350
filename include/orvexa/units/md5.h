// MD5 of a text's UTF-8 bytes as 32 upper-case hexadecimal digits; the
// records' identity digests use it. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace orvexa {

std::string MD5(std::string_view string);

}  // namespace orvexa
