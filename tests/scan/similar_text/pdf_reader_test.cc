#include "scan/similar_text/pdf_reader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "orvexa/scan/similar_text/similar_text_service.h"
#include "orvexa/units/log_service.h"
#include "support/document_writer.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

// Whether the process has the file at `path` mapped.
bool isMapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);)
    if (line.ends_with(path)) return true;
  return false;
}

// The shared log of this run lives in a folder of its own (tests/support
// main.cc), which a process that ends through _Exit does not remove.
void removeThisRunsLogFolder() {
  fs::path folder = LogService::shard().logPath();
  while (folder.has_parent_path() && folder != folder.parent_path()) {
    folder = folder.parent_path();
    if (folder.filename().string().rfind("orvexa-log-", 0) == 0) {
      std::error_code ec;
      fs::remove_all(folder, ec);
      return;
    }
  }
}

enum class Module { Missing, WithoutTheFunctions, CopyOfTheBuiltOne };

// Run in a process of its own (the module is loaded once per process): points
// the module variable at `module`, reads a PDF, and reports on standard error
// the text and whether the module file got mapped. Ends the process with
// status 0.
[[noreturn]] void readWith(Module module) {
  std::string report;
  {
    testing::TempDir dir;
    const std::string pdf = dir / "a.pdf";
    testing::writeBytes(pdf, testing::pdfBytes({"Some text"}));
    // A library loaded already is found by name.
    const std::string path = module == Module::Missing ? dir / "missing.so"
                             : module == Module::WithoutTheFunctions
                                 ? "libz.so.1"
                                 : dir / "copy-of-the-module.so";
    if (module == Module::CopyOfTheBuiltOne) fs::copy_file(pdfModulePath(), path);
    setenv(kPdfModuleVariable, path.c_str(), 1);
    report = "text [" + SimilarTextService::getPDFText(Url::fromPath(pdf, false)) + "] ";
    report += isMapped(path) ? "mapped\n" : "not mapped\n";
  }
  removeThisRunsLogFolder();
  std::fputs(report.c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(0);
}

// A module that cannot be opened, or lacks the functions, reads no text.
TEST(PdfReaderDeathTest, TheVariableChoosesTheModule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(readWith(Module::Missing), ::testing::ExitedWithCode(0), "text \\[\\] not mapped");
  EXPECT_EXIT(readWith(Module::WithoutTheFunctions), ::testing::ExitedWithCode(0),
              "text \\[\\] (not )?mapped");
  EXPECT_EXIT(readWith(Module::CopyOfTheBuiltOne), ::testing::ExitedWithCode(0),
              "text \\[Some text\n\\] mapped");
}

}  // namespace
}  // namespace orvexa
