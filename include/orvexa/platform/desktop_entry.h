// freedesktop.org desktop entry files (*.desktop): reading a key of the
// [Desktop Entry] group and setting one while keeping every other byte.
// Keys are compared as written, locale suffix included ("Name[de]" is not
// "Name"); a later line of the same key wins, as the desktops read them.
// Pure functions on the file's text; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace orvexa {

// Whether the text has a [Desktop Entry] group: a file without one is no
// entry, and desktops neither list nor start it.
bool isDesktopEntry(std::string_view text);

// The value of `key` in the [Desktop Entry] group, blanks around it taken
// off and nothing unescaped; "" when absent.
std::string desktopValue(std::string_view text, std::string_view key);

// The desktop file `text` with `key` set to `value` in its [Desktop Entry]
// group (the existing line replaced, else a line added after the group
// header, or a group made at the top when there is none); every other byte
// is kept.
std::string withDesktopKey(std::string_view text, std::string_view key, std::string_view value);

}  // namespace orvexa
