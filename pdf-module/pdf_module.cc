// The PDF reader module: poppler-cpp behind the C interface of pdf_module.h.
#include "pdf_module.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

std::atomic<OrvexaPdfLogFunction*> logFunction{nullptr};

void logPopplerMessage(const std::string& message, void* /*closure*/) {
  if (OrvexaPdfLogFunction* log = logFunction.load()) log(message.c_str());
}

// A one-page PDF with one character, laid out once before any caller's PDF.
constexpr char kWarmUpPdf[] =
    "%PDF-1.4\n"
    "1 0 obj\n"
    "<</Type/Catalog/Pages 2 0 R>>\n"
    "endobj\n"
    "2 0 obj\n"
    "<</Type/Pages/Kids[3 0 R]/Count 1>>\n"
    "endobj\n"
    "3 0 obj\n"
    "<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 50]/Resources<</Font<</F1 4 0 R>>>>/Contents 5 0 "
    "R>>\n"
    "endobj\n"
    "4 0 obj\n"
    "<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>\n"
    "endobj\n"
    "5 0 obj\n"
    "<</Length 31>>stream\n"
    "BT /F1 12 Tf 10 20 Td (x) Tj ET\n"
    "endstream\n"
    "endobj\n"
    "xref\n"
    "0 6\n"
    "0000000000 65535 f \n"
    "0000000009 00000 n \n"
    "0000000054 00000 n \n"
    "0000000105 00000 n \n"
    "0000000216 00000 n \n"
    "0000000279 00000 n \n"
    "trailer<</Size 6/Root 1 0 R>>\n"
    "startxref\n"
    "357\n"
    "%%EOF\n";

// Documents are read on many threads at once, each with its own document and
// pages; what poppler shares between them is made safe here, once, before
// the first read:
// - the error callback (process-wide) is set to one that hands messages to
//   the log function, so parse errors of damaged files never reach standard
//   error;
// - the global parameters are made when the first document opens and freed
//   when the last one closes: one small document is kept open for the life
//   of the process, so they are made once and never freed or remade while
//   another thread reads;
// - the colour profile every page's graphics state shares is made on the
//   first page laid out, unguarded: the kept document's page is laid out
//   here, so that later readers only read it.
void preparePoppler() {
  static std::once_flag once;
  std::call_once(once, [] {
    poppler::set_debug_error_function(logPopplerMessage, nullptr);
    static poppler::document* kept =
        poppler::document::load_from_raw_data(kWarmUpPdf, sizeof kWarmUpPdf - 1);
    if (kept == nullptr) return;
    std::unique_ptr<poppler::page> page(kept->create_page(0));
    if (page) (void)page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout);
  });
}

int readText(const char* path, std::string& text) {
  preparePoppler();
  std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path));
  if (!document) return ORVEXA_PDF_CANNOT_OPEN;
  if (document->is_locked()) return ORVEXA_PDF_LOCKED;
  const int pages = document->pages();
  for (int i = 0; i < pages; ++i) {
    std::unique_ptr<poppler::page> page(document->create_page(i));
    if (!page) continue;
    // Reading order, as a reader would copy the page's text.
    poppler::byte_array bytes =
        page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
    // poppler closes every page with blank lines and a form feed: the page
    // break is no text. A page's last line ends with "\n" like the others.
    while (!bytes.empty() && (bytes.back() == '\f' || bytes.back() == '\n')) bytes.pop_back();
    if (bytes.empty()) continue;
    text.append(bytes.begin(), bytes.end());
    text += '\n';
  }
  return ORVEXA_PDF_OK;
}

}  // namespace

// No exception may leave a C function: whatever poppler or the allocator
// throws becomes ORVEXA_PDF_FAILED.
extern "C" int orvexa_pdf_text(const char* path, char** text, size_t* length) {
  *text = nullptr;
  *length = 0;
  try {
    std::string all;
    const int result = readText(path, all);
    if (result != ORVEXA_PDF_OK || all.empty()) return result;
    auto* copy = static_cast<char*>(std::malloc(all.size()));
    if (copy == nullptr) return ORVEXA_PDF_FAILED;
    std::memcpy(copy, all.data(), all.size());
    *text = copy;
    *length = all.size();
    return ORVEXA_PDF_OK;
  } catch (...) {
    return ORVEXA_PDF_FAILED;
  }
}

extern "C" void orvexa_pdf_free_text(char* text) { std::free(text); }

extern "C" void orvexa_pdf_set_log(OrvexaPdfLogFunction* log) { logFunction.store(log); }
