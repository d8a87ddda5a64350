// XML property lists as real files hold them, made fit for the
// property-list library (libplist 2.2), which reads UTF-8 only and refuses a
// bare "&". Info.plist files written by hand or by old tools are often UTF-16
// (with a byte-order mark, either byte order), carry "&" unescaped in a
// copyright line, or have bytes after the closing </plist>. Those files are
// still read: refusing them would make an installed application look
// removed. Stateless; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvexa::detail {

// The text of an XML property list as UTF-8 the library takes: UTF-16
// (told by its byte-order mark, or by a first "<" or blank with a zero byte
// beside it) converted, with unpaired surrogates as U+FFFD and an odd last byte
// dropped; a UTF-8 byte-order mark dropped; every "&" that does not start a
// character reference ("&amp;", "&lt;", "&gt;", "&quot;", "&apos;",
// "&#NN;", "&#xHH;") escaped, outside CDATA sections; comments, processing
// instructions and declarations (the XML declaration and DOCTYPE included)
// removed, so that the parser and the nesting check cannot read them
// differently (an unterminated one removes the rest); and the text cut after
// the first closing </plist> outside them. Nothing when
// `bytes` do not begin (after blanks) with "<" once decoded: binary lists
// and other bytes are left to the parser as they are.
std::optional<std::string> tidyXmlPlist(std::string_view bytes);

}  // namespace orvexa::detail
