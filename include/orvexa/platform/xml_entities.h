// Decoding of the entities in XML text and attribute values other programs
// write: the five named ones and numeric character references. An entity
// that is not one of these, or a reference to no character, is kept as
// written, so that nothing is lost from a value read.
//
// Thread-safety: a pure function. Errors: none.
#pragma once

#include <string>
#include <string_view>

namespace orvexa {

std::string decodedXmlEntities(std::string_view value);

}  // namespace orvexa
