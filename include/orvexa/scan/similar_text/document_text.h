// Plain text of the documents that are text already: plain-text files
// (".txt", ".md", ".csv") and Rich Text files (".rtf").
//
// Plain text: the file's bytes, read through the regular-file reader with a
// cap of kMaxPlainTextFile bytes (a larger file gives no text: a log of that
// size is not a document anyone compares). Bytes that are not valid UTF-8
// are taken one by one as Windows-1252 characters (the usual encoding of old
// text files), so such a file still has its text; a NUL byte is dropped.
//
// Rich Text: a small reader, not a renderer. It keeps the characters of the
// body and drops every control word with its parameter ("\b", "\fs24"),
// every group of a destination that holds no body text ("{\fonttbl ...}",
// "{\*\anything ...}", pictures, style sheets, document information, field
// instructions), and turns "\par", "\line", "\row" into line breaks and
// "\tab", "\cell" into tabs. "\'hh" is a Windows-1252 byte, "\uN" a Unicode
// character followed by "\ucN" fallback characters that are skipped. It never
// recurses (groups nest on a counter), reads each byte once, and stops after
// `maxText` bytes of text.
//
// Errors: nothing throws; an unreadable file gives the empty text (logged as
// "Document skipped: <reason>"). Thread-safety: pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvexa {

inline constexpr uint64_t kMaxPlainTextFile = uint64_t{16} << 20;
inline constexpr uint64_t kMaxRichTextFile = uint64_t{128} << 20;

// `bytes` as UTF-8: valid sequences as they are, every other byte as its
// Windows-1252 character, NUL bytes dropped.
std::string textAsUtf8(std::string_view bytes);

// The body text of Rich Text `rtf`, at most `maxText` bytes (cut at a
// character boundary).
std::string richTextBody(std::string_view rtf, size_t maxText);

// The texts of the files at `path`, as above.
std::string readPlainTextFile(const std::string& path);
std::string readRichTextFile(const std::string& path, size_t maxText);

}  // namespace orvexa
