#include "scan/similar_text/pdf_reader.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "orvexa/platform/file_reader.h"
#include "orvexa/units/log_service.h"
#include "pdf_module.h"

// Set on this source file only (src/CMakeLists.txt): the module built with
// the library, by absolute path.
#ifndef ORVEXA_PDF_MODULE_PATH
#error "ORVEXA_PDF_MODULE_PATH must name the PDF reader module"
#endif

namespace orvexa {
namespace {

struct PdfModule {
  OrvexaPdfTextFunction* text = nullptr;
  OrvexaPdfFreeTextFunction* freeText = nullptr;
};

// The PDF library's messages, into the log. Called from inside the module:
// nothing may be thrown back through it.
void logPdfMessage(const char* message) {
  try {
    LogService::shard().log(LogService::LogLevel::Info, std::string("PDF reader: ") + message);
  } catch (...) {
  }
}

// dlerror's text for the failure just seen; dlerror is per thread.
std::string loaderError() {
  const char* error = dlerror();
  return error != nullptr ? error : "unknown error";
}

PdfModule loadModule() {
  const std::string path = pdfModulePath();
  // RTLD_LOCAL: the PDF library's own symbols stay out of the process's
  // global scope. RTLD_NOW: a module that cannot be bound fails here, not on
  // its first call.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::string error;
  if (handle == nullptr) {
    error = loaderError();
  } else {
    PdfModule module;
    module.text = reinterpret_cast<OrvexaPdfTextFunction*>(dlsym(handle, ORVEXA_PDF_TEXT_SYMBOL));
    if (module.text == nullptr) error = loaderError();
    module.freeText =
        reinterpret_cast<OrvexaPdfFreeTextFunction*>(dlsym(handle, ORVEXA_PDF_FREE_TEXT_SYMBOL));
    if (module.freeText == nullptr && error.empty()) error = loaderError();
    // Never unloaded: the PDF library keeps process-wide state.
    if (error.empty()) {
      auto* setLog = reinterpret_cast<OrvexaPdfSetLogFunction*>(
          dlsym(handle, ORVEXA_PDF_SET_LOG_SYMBOL));  // optional
      if (setLog != nullptr) setLog(logPdfMessage);
      return module;
    }
    dlclose(handle);
  }
  LogService::shard().log(LogService::LogLevel::Info, "PDF reader could not be loaded: " + error);
  return {};
}

// Loaded by the first caller; a module that could not be loaded is not tried
// again (nor logged again) in this process.
const PdfModule& pdfModule() {
  static const PdfModule module = loadModule();
  return module;
}

}  // namespace

std::string pdfModulePath() {
  const char* chosen = secure_getenv(kPdfModuleVariable);
  if (chosen != nullptr && *chosen != '\0') return chosen;
  if (::access(ORVEXA_PDF_MODULE_PATH, F_OK) == 0) return ORVEXA_PDF_MODULE_PATH;
  // A build moved elsewhere: the module is in lib/ beside the program's bin/.
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    std::filesystem::path beside = program.parent_path().parent_path() / "lib" / "orvexa-pdf.so";
    if (::access(beside.c_str(), F_OK) == 0) return beside.string();
  }
  return ORVEXA_PDF_MODULE_PATH;
}

std::string readPdfText(const std::string& path) {
  const PdfModule& module = pdfModule();
  if (module.text == nullptr) return {};
  // The module opens by name: it is handed the name of this already-checked
  // open file, so a named pipe or device never reaches poppler.
  RegularFile file = RegularFile::open(path);
  if (!file.ok()) {
    LogService::shard().log(LogService::LogLevel::Info,
                            "Document skipped: " + file.status().message());
    return {};
  }
  char* bytes = nullptr;
  size_t length = 0;
  if (const int rc = module.text(file.procPath().c_str(), &bytes, &length); rc != ORVEXA_PDF_OK) {
    LogService::shard().log(LogService::LogLevel::Info,
                            "Document skipped: " + path +
                                (rc == ORVEXA_PDF_LOCKED ? ": the PDF is locked with a password"
                                                         : ": not a readable PDF"));
    return {};
  }
  const std::unique_ptr<char, OrvexaPdfFreeTextFunction*> owned(bytes, module.freeText);
  return std::string(bytes != nullptr ? bytes : "", length);
}

}  // namespace orvexa
