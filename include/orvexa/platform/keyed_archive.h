// Keyed archives: the object-graph property lists ("$archiver",
// "$version", "$top", "$objects") in which other programs store lists such as
// the system's shared file lists.
//
// Decoding turns the graph below "$top"/"root" into plain property-list
// values:
//   NSDictionary, NSMutableDictionary ("NS.keys"/"NS.objects")  -> dictionary
//   NSArray, NSMutableArray, NSSet, NSMutableSet, NSOrderedSet,
//   NSMutableOrderedSet ("NS.objects")                         -> array
//   strings stored inline, NSString/NSMutableString ("NS.string") -> string
//   integers, reals and booleans stored inline                  -> themselves
//   data stored inline, NSData/NSMutableData ("NS.data")         -> data
//   NSDate ("NS.time", seconds since 2001)                       -> date
//   NSUUID ("NS.uuidbytes")                      -> string, upper-case 8-4-4-4-12
//   NSURL without base ("NS.relative")                           -> string
// A class is recognised by "$classname" or, for subclasses, by the first known
// name in its "$classes". Object references are UIDs, in either of the two
// forms a reader may produce: a UID value, or a one-entry dictionary
// {"CF$UID": n} (what an XML property list reads back as). Every other class,
// a nil where a value is needed, a dictionary key that is not a string, a
// reference out of range, a reference cycle, nesting deeper than
// kMaxKeyedArchiveDepth, or a graph that expands to more than
// kMaxKeyedArchiveValues values or kMaxKeyedArchiveBytes bytes of text and
// data (an object referenced from several places is copied to each) is an
// error: decoding never crashes, recurses without bound or runs away on
// hostile input. Property lists nested deeper than a keyed archive ever is
// are refused before they are parsed.
//
// Encoding writes plain values as a binary keyed archive that decodes to the
// same values: dictionaries as NSDictionary, arrays as NSArray, dates as
// NSDate, everything else inline (equal strings share one object). A UID
// value has no meaning outside an archive, and a text that is not valid
// UTF-8 or holds NUL would not be written unchanged: neither is encoded (the
// encoding fails rather than writing an archive that reads back otherwise).
//
// Thread-safety: the functions keep no state and are safe for concurrent use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "orvexa/platform/plist.h"

namespace orvexa {

inline constexpr int kMaxKeyedArchiveDepth = 100;
inline constexpr size_t kMaxKeyedArchiveValues = 200'000;
inline constexpr size_t kMaxKeyedArchiveBytes = size_t{32} << 20;

// Decodes archive bytes (binary or XML property list). Nothing on failure;
// `error` (when given) then says why.
std::optional<PlistValue> unarchiveObjectWithData(std::string_view bytes,
                                                  std::string* error = nullptr);

// Decodes an archive that has already been read as a property list.
std::optional<PlistValue> unarchiveObject(const PlistValue& archive, std::string* error = nullptr);

// The binary keyed archive of `root`. Nothing (with `error`) when the value
// holds a UID or such a text, or nests deeper than kMaxKeyedArchiveDepth.
std::optional<std::string> archivedDataWithRootObject(const PlistValue& root,
                                                      std::string* error = nullptr);

}  // namespace orvexa
