#include "orvexa/platform/xml_entities.h"

#include <cstdint>
#include <utility>

#include "orvexa/platform/utf8.h"

namespace orvexa {

std::string decodedXmlEntities(std::string_view value) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  size_t at = 0;
  while (at < value.size()) {
    const size_t semi = value[at] == '&' ? value.find(';', at) : std::string_view::npos;
    if (semi == std::string_view::npos || semi - at > 10) {
      out += value[at++];
      continue;
    }
    std::string_view name = value.substr(at + 1, semi - at - 1);
    bool known = false;
    for (const auto& [entity, c] : kNamed) {
      if (name == entity) {
        out += c;
        known = true;
      }
    }
    if (!known && name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      uint32_t code = 0;
      bool digits = name.size() > (hex ? 2u : 1u);
      for (char c : name.substr(hex ? 2 : 1)) {
        int d = c >= '0' && c <= '9'          ? c - '0'
                : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
        if (d < 0) digits = false;
        if (digits) code = code * (hex ? 16 : 10) + static_cast<uint32_t>(d);
        if (code > 0x10FFFF) digits = false;
      }
      if (digits && code > 0) {
        appendUtf8(out, code);
        known = true;
      }
    }
    if (!known) {
      out += value.substr(at, semi - at + 1);
    }
    at = semi + 1;
  }
  return out;
}

}  // namespace orvexa
