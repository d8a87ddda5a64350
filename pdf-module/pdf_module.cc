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

// poppler reports parse errors of damaged files on standard error unless
// told otherwise; the setting is process-wide.
void quietPoppler() {
  static std::once_flag once;
  std::call_once(once, [] { poppler::set_debug_error_function(logPopplerMessage, nullptr); });
}

// Held while poppler works. Its documents are independent, but laying out a
// page touches process-wide state without a lock (the colour profile every
// page's graphics state shares is made on first use, and the global
// parameters come and go with the documents), and two PDFs read at once were
// seen to free each other's memory. Reading PDFs one at a time costs little:
// measuring the texts takes far longer than reading them.
std::mutex& popplerLock() {
  static std::mutex lock;
  return lock;
}

int readText(const char* path, std::string& text) {
  quietPoppler();
  std::lock_guard lock(popplerLock());
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
