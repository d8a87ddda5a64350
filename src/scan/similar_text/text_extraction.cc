// Plain text of the scan's documents: word-processing files through the ZIP
// reader, plain and Rich Text through document_text.h, PDFs through the PDF
// reader module (loaded on the first PDF).
#include "orvexa/platform/utf8.h"
#include "orvexa/scan/similar_text/document_text.h"
#include "orvexa/scan/similar_text/similar_text_service.h"
#include "orvexa/scan/similar_text/zip_file.h"
#include "scan/similar_text/pdf_reader.h"

namespace orvexa {
namespace {

// The first line terminator at or after `from` (LF, VT, FF, CR, U+0085,
// U+2028, U+2029: what "." does not match), or the text's length.
size_t firstLineTerminator(std::string_view text, size_t from) {
  for (size_t k = from; k < text.size(); ++k) {
    const auto c = static_cast<unsigned char>(text[k]);
    if (c >= 0x0A && c <= 0x0D) return k;
    if (c == 0xC2 && k + 1 < text.size() && static_cast<unsigned char>(text[k + 1]) == 0x85) {
      return k;
    }
    if (c == 0xE2 && k + 2 < text.size() && static_cast<unsigned char>(text[k + 1]) == 0x80) {
      const auto last = static_cast<unsigned char>(text[k + 2]);
      if (last == 0xA8 || last == 0xA9) return k;
    }
  }
  return text.size();
}

}  // namespace

// How the expression "<w:t.*?>(.*?)<\/w:t>" matches, without a backtracking
// engine (which needs stack in proportion to the match and time in
// proportion to the square of a long line): a match starting at "<w:t" ends
// its first part at the first ">" after it, and its group at the first
// "</w:t>" after that, both before the next line terminator T. If either is
// missing, no "<w:t" between it and T can match either, so the search goes on
// at T.
std::string SimilarTextService::matches(const std::string& text) {
  static constexpr std::string_view kOpen = "<w:t";
  static constexpr std::string_view kClose = "</w:t>";
  const std::string_view all(text);
  std::string out;
  bool first = true;
  size_t pos = 0;
  size_t terminator = 0;  // first line terminator at or after `terminatorFrom`
  size_t terminatorFrom = 0;
  bool haveTerminator = false;
  while (pos < all.size()) {
    const size_t start = all.find(kOpen, pos);
    if (start == std::string_view::npos) break;
    const size_t body = start + kOpen.size();
    if (!haveTerminator || body > terminator || body < terminatorFrom) {
      terminator = firstLineTerminator(all, body);
      terminatorFrom = body;
      haveTerminator = true;
    }
    const std::string_view line = all.substr(0, terminator);
    const size_t tagEnd = line.find('>', body);
    const size_t close =
        tagEnd == std::string_view::npos ? std::string_view::npos : line.find(kClose, tagEnd + 1);
    if (close == std::string_view::npos) {
      if (terminator >= all.size()) break;
      pos = terminator;
      continue;
    }
    if (!first) out += '\n';
    first = false;
    out.append(all.substr(tagEnd + 1, close - tagEnd - 1));
    pos = close + kClose.size();
  }
  return out;
}

std::string SimilarTextService::parseDocx(const std::optional<Data>& data) {
  if (!data ||
      !isValidUtf8(std::string_view(reinterpret_cast<const char*>(data->data()), data->size())))
    return {};
  return matches(std::string(data->begin(), data->end()));
}

std::string SimilarTextService::getDocxText(const Url& url) {
  return getDocxText(url, kMaxDocumentInflated, kMaxDocumentText);
}

std::string SimilarTextService::getDocxText(const Url& url, uint64_t maxInflated, size_t maxText) {
  std::unique_ptr<ZipFile> archive = ZipFile::open(url);
  if (!archive) return {};
  std::string text;
  uint64_t inflateLeft = maxInflated;
  for (const std::string& name : archive->entryNames()) {
    if (text.size() >= maxText || inflateLeft == 0) break;
    if (name.find("document.xml") == std::string::npos) continue;
    std::optional<Data> bytes = archive->entryData(name, inflateLeft);
    if (!bytes) continue;
    inflateLeft -= bytes->size();
    text += parseDocx(bytes);
  }
  if (text.size() > maxText) {
    // Back to the start of the character the cut falls in.
    size_t cut = maxText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  return text;
}

std::string SimilarTextService::getPDFText(const Url& url) { return readPdfText(url.path()); }

std::string SimilarTextService::documentText(const Url& url) {
  const std::string name = url.lastPathComponent();
  const size_t dot = name.rfind('.');
  const std::string_view extension = dot == std::string::npos || dot == 0
                                         ? std::string_view()
                                         : std::string_view(name).substr(dot + 1);
  if (extension.find("docx") != std::string_view::npos) return getDocxText(url);
  if (extension.find("rtf") != std::string_view::npos) {
    return readRichTextFile(url.path(), kMaxDocumentText);
  }
  if (extension.find("txt") != std::string_view::npos || extension == "md" || extension == "csv") {
    std::string text = readPlainTextFile(url.path());
    return text.size() > kMaxDocumentText ? std::string() : text;
  }
  return getPDFText(url);
}

}  // namespace orvexa
