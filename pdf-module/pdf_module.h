// The interface of the PDF reader module (orvexa-pdf.so): plain C, so that the
// library can look its two functions up by name with dlsym. The module holds
// the PDF library (poppler-cpp) and everything it loads; the engine library
// loads it only when it reads its first PDF (see
// src/scan/similar_text/pdf_reader.h).
//
// Thread-safety: both functions may be called from any thread, at once: each
// call reads its PDF with its own poppler objects (pdf_module.cc says how the
// state poppler shares is made safe).
#ifndef ORVEXA_PDF_MODULE_H
#define ORVEXA_PDF_MODULE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// The module is compiled with hidden visibility: these are its only exports.
#define ORVEXA_PDF_EXPORT __attribute__((visibility("default")))

// Results of orvexa_pdf_text.
enum {
  ORVEXA_PDF_OK = 0,
  // Missing, unreadable, not a PDF, or damaged beyond repair.
  ORVEXA_PDF_CANNOT_OPEN = 1,
  // Locked by a password.
  ORVEXA_PDF_LOCKED = 2,
  // The reader failed while working (out of memory).
  ORVEXA_PDF_FAILED = 3
};

// The text of the PDF at `path`, page after page in reading order: each
// page's text without the blank lines and form feed that close it, followed
// by "\n"; pages without text are left out. On ORVEXA_PDF_OK, *text is a
// malloc'd buffer of *length bytes (UTF-8, may hold NUL bytes, not
// terminated; NULL when the length is 0) that the caller releases with
// orvexa_pdf_free_text. On any other result *text is NULL and *length 0.
typedef int OrvexaPdfTextFunction(const char* path, char** text, size_t* length);
ORVEXA_PDF_EXPORT OrvexaPdfTextFunction orvexa_pdf_text;
#define ORVEXA_PDF_TEXT_SYMBOL "orvexa_pdf_text"

// Releases a text given by orvexa_pdf_text; NULL is allowed.
typedef void OrvexaPdfFreeTextFunction(char* text);
ORVEXA_PDF_EXPORT OrvexaPdfFreeTextFunction orvexa_pdf_free_text;
#define ORVEXA_PDF_FREE_TEXT_SYMBOL "orvexa_pdf_free_text"

// Where the PDF library's messages (parse errors of damaged files, and the
// like) go: `log` is called with each one (NUL-terminated), on the thread
// reading a PDF; NULL, the default, drops them. They never reach standard
// output or standard error. Optional: a module without this export drops
// its messages.
typedef void OrvexaPdfLogFunction(const char* message);
typedef void OrvexaPdfSetLogFunction(OrvexaPdfLogFunction* log);
ORVEXA_PDF_EXPORT OrvexaPdfSetLogFunction orvexa_pdf_set_log;
#define ORVEXA_PDF_SET_LOG_SYMBOL "orvexa_pdf_set_log"

#ifdef __cplusplus
}
#endif

#endif  // ORVEXA_PDF_MODULE_H
