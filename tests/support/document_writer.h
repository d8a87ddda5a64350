// Writers of small word-processing (DOCX) and PDF files for tests and
// benchmarks of the similar-document scan. Header-only so that the benchmark
// program, which is not linked with the test support, can use it too.
//
// PDFs are written by hand: one Helvetica text object per page, one line per
// "\n"-separated line of the page's text, with a correct cross-reference
// table. Only printable ASCII survives (other bytes become '?'), which is what
// the tests need and keeps the writer free of font embedding. Lines longer
// than kPdfLineWidth characters are wrapped at a blank, so that no text
// falls off the page (a reader drops what lies outside it).
#pragma once

#include <zip.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace orvexa::testing {

inline constexpr size_t kPdfLineWidth = 100;

// `line` cut at blanks into pieces of at most kPdfLineWidth characters (a
// longer word stays whole).
inline std::vector<std::string> wrappedLine(std::string_view line) {
  std::vector<std::string> out;
  while (line.size() > kPdfLineWidth) {
    size_t cut = line.rfind(' ', kPdfLineWidth);
    if (cut == std::string_view::npos || cut == 0) cut = line.find(' ');
    if (cut == std::string_view::npos) break;
    out.emplace_back(line.substr(0, cut));
    line.remove_prefix(cut + 1);
  }
  out.emplace_back(line);
  return out;
}

// The bytes of a PDF with one page per element of `pages`.
inline std::string pdfBytes(const std::vector<std::string>& pages) {
  std::string kids;
  for (size_t p = 0; p < pages.size(); ++p) kids += std::to_string(4 + 2 * p) + " 0 R ";
  // Object k + 1 is objects[k]: 1 catalog, 2 page tree, 3 font, then per
  // page: page object, content stream.
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>"};
  for (size_t p = 0; p < pages.size(); ++p) {
    std::string content = "BT /F1 10 Tf 12 TL 50 760 Td\n";
    std::istringstream lines(pages[p]);
    for (std::string line; std::getline(lines, line);) {
      for (const std::string& piece : wrappedLine(line)) {
        content += "(";
        for (char c : piece) {
          if (c == '(' || c == ')' || c == '\\') content += '\\';
          content += c >= 0x20 && c < 0x7f ? c : '?';
        }
        content += ") Tj T*\n";
      }
    }
    content += "ET\n";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents " +
                      std::to_string(5 + 2 * p) + " 0 R /Resources << /Font << /F1 3 0 R >> >> >>");
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
                      "endstream");
  }
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t k = 0; k < objects.size(); ++k) {
    offsets.push_back(out.size());
    out += std::to_string(k + 1) + " 0 obj\n" + objects[k] + "\nendobj\n";
  }
  const size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    const std::string digits = std::to_string(offset);
    out += std::string(10 - digits.size(), '0') + digits + " 00000 n \n";
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\n";
  out += "startxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

inline bool writeBytes(const std::string& path, std::string_view bytes) {
  return static_cast<bool>(std::ofstream(path, std::ios::binary) << bytes);
}

// A word-processing file holding only its main document, word/document.xml
// (deflated), with one paragraph per element of `paragraphs`: the text
// readers here (the library's and docx2txt) read nothing else of the package.
// False on any libzip failure.
inline bool writeDocx(const std::string& path, const std::vector<std::string>& paragraphs) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
      "<w:body>";
  for (const std::string& p : paragraphs) {
    xml += "<w:p><w:r><w:t xml:space=\"preserve\">";
    for (char c : p) {
      xml += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    }
    xml += "</w:t></w:r></w:p>";
  }
  xml += "</w:body></w:document>";
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
  if (archive == nullptr) return false;
  // The source does not copy: `xml` outlives zip_close below.
  zip_source_t* source = zip_source_buffer(archive, xml.data(), xml.size(), 0);
  const zip_int64_t index = source ? zip_file_add(archive, "word/document.xml", source, 0) : -1;
  if (index < 0) zip_source_free(source);  // takes nullptr
  if (index < 0 ||
      zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 6) != 0 ||
      zip_close(archive) != 0) {
    zip_discard(archive);
    return false;
  }
  return true;
}

// `text` split at "\n" into paragraphs.
inline std::vector<std::string> paragraphsOf(std::string_view text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    out.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// `text` cut into pages of `linesPerPage` lines (a final "\n" ends the last
// line, it starts none).
inline std::string pdfOfText(std::string_view text, size_t linesPerPage = 60) {
  std::vector<std::string> lines = paragraphsOf(text);
  if (text.empty() || text.back() == '\n') lines.pop_back();
  std::vector<std::string> pages(1);
  for (size_t k = 0; k < lines.size(); ++k) {
    if (k > 0 && k % linesPerPage == 0) pages.emplace_back();
    pages.back() += lines[k] + "\n";
  }
  return pdfBytes(pages);
}

}  // namespace orvexa::testing
