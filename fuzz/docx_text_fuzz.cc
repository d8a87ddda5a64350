// Fuzz target: text extraction from word-processing files. The input is a
// ZIP archive (written to a temporary file, as documents are read from disk);
// its "document.xml" entries are inflated within the document's budgets and
// their text runs matched. Must end without a crash, a sanitizer report, a
// hang or memory past the budgets.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "orvexa/scan/similar_text/similar_text_service.h"
#include "scan/similar_text/pdf_reader.h"

namespace orvexa {
// PDFs are not read here: the reader module is not part of this target.
std::string readPdfText(const std::string&) { return {}; }
}  // namespace orvexa

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    char name[] = "/tmp/docx_text_fuzz.XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    return std::string(name);
  }();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  const std::string text =
      orvexa::SimilarTextService::getDocxText(orvexa::Url::fromPath(path, false));
  if (text.size() > orvexa::SimilarTextService::kMaxDocumentText) std::abort();
  // The matcher alone, on the raw bytes as document XML.
  (void)orvexa::SimilarTextService::matches(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
