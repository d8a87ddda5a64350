// The PDF reader of the library: the module orvexa-pdf.so (pdf-module/),
// loaded with dlopen the first time a PDF is read and kept loaded for the
// life of the process. Programs that read no PDF never load the PDF library
// and the twenty-odd libraries it needs.
//
// Thread-safety: readPdfText may be called from any thread; the first call
// loads the module while later callers wait; then PDFs are read on the
// callers' threads at once.
#pragma once

#include <string>

namespace orvexa {

// The environment variable that names the module file in place of the one
// built with the library (an absolute path, or a name dlopen searches for).
inline constexpr const char* kPdfModuleVariable = "ORVEXA_PDF_MODULE";

// The module file to load: $ORVEXA_PDF_MODULE when it is set and not empty
// (ignored in set-user-ID programs), else the module built with the library,
// or when that is gone, lib/orvexa-pdf.so beside the program's folder.
std::string pdfModulePath();

// The text of the PDF at `path` as orvexa_pdf_text gives it (pdf_module.h).
// Empty when the file cannot be read, is locked, or the module cannot be
// loaded; the last is logged once per process, with the loader's reason:
// "PDF reader could not be loaded: <reason>".
std::string readPdfText(const std::string& path);

}  // namespace orvexa
