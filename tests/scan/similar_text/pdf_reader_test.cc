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

using testing::TempDir;

// Restores the module variable as it was when the test began.
class ModuleVariable {
 public:
  ModuleVariable() {
    const char* value = getenv(kPdfModuleVariable);
    if (value != nullptr) saved_ = value;
    wasSet_ = value != nullptr;
  }
  ~ModuleVariable() {
    if (wasSet_) {
      setenv(kPdfModuleVariable, saved_.c_str(), 1);
    } else {
      unsetenv(kPdfModuleVariable);
    }
  }
  ModuleVariable(const ModuleVariable&) = delete;
  ModuleVariable& operator=(const ModuleVariable&) = delete;

 private:
  std::string saved_;
  bool wasSet_ = false;
};

TEST(PdfModulePathTest, IsTheBuiltModuleUnlessTheVariableNamesAnother) {
  ModuleVariable restore;
  unsetenv(kPdfModuleVariable);
  const std::string built = pdfModulePath();
  EXPECT_TRUE(fs::path(built).is_absolute()) << built;
  // Whatever links the library has the module built first.
  EXPECT_TRUE(fs::is_regular_file(built)) << built;
  setenv(kPdfModuleVariable, "", 1);
  EXPECT_EQ(pdfModulePath(), built);
  setenv(kPdfModuleVariable, "/opt/reader/orvexa-pdf.so", 1);
  EXPECT_EQ(pdfModulePath(), "/opt/reader/orvexa-pdf.so");
}

// Whether the process has the file at `path` mapped.
bool isMapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.size() >= path.size() &&
        line.compare(line.size() - path.size(), path.size(), path) == 0) {
      return true;
    }
  }
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

enum class Module { Missing, NotALibrary, WithoutTheFunctions, CopyOfTheBuiltOne };

// Run in a process of its own (the module is loaded once per process): points
// the module variable at `module`, reads a PDF twice, and reports on standard
// error the texts, the log lines written meanwhile, and whether the module
// file got mapped. Ends the process with status 0.
[[noreturn]] void readTwiceWith(Module module) {
  std::string report;
  {
    TempDir dir;
    const std::string pdf = dir / "a.pdf";
    testing::writeBytes(pdf, testing::pdfBytes({"Some text"}));
    std::string path;
    switch (module) {
      case Module::Missing:
        path = dir / "missing.so";
        break;
      case Module::NotALibrary:
        path = dir / "not-a-library.so";
        testing::writeBytes(path, "plain text, no ELF header at all\n");
        break;
      case Module::WithoutTheFunctions:
        path = "libz.so.1";  // loaded already, found by name
        break;
      case Module::CopyOfTheBuiltOne:
        path = dir / "copy-of-the-module.so";
        fs::copy_file(pdfModulePath(), path);
        break;
    }
    setenv(kPdfModuleVariable, path.c_str(), 1);
    const size_t offset = testing::logSize();
    const std::string first = SimilarTextService::getPDFText(Url::fromPath(pdf, false));
    const std::string second = SimilarTextService::getPDFText(Url::fromPath(pdf, false));
    report = "texts [" + first + "] [" + second + "]\n" + testing::logSince(offset) +
             (isMapped(path) ? "mapped" : "not mapped") + "\nend\n";
  }
  removeThisRunsLogFolder();
  std::fputs(report.c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(0);
}

TEST(PdfReaderDeathTest, AModuleThatCannotBeLoadedGivesNoTextAndOneLogLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string loggedOnce =
      "texts \\[\\] \\[\\]\n<[^\n]*:Info>:PDF reader could not be loaded: ";
  EXPECT_EXIT(readTwiceWith(Module::Missing), ::testing::ExitedWithCode(0),
              loggedOnce + "[^\n]*/missing\\.so: cannot open shared object file: No such file " +
                  "or directory\nnot mapped\nend");
  EXPECT_EXIT(readTwiceWith(Module::NotALibrary), ::testing::ExitedWithCode(0),
              loggedOnce + "[^\n]*/not-a-library\\.so: (invalid ELF header|file too short)\n" +
                  "not mapped\nend");
  EXPECT_EXIT(
      readTwiceWith(Module::WithoutTheFunctions), ::testing::ExitedWithCode(0),
      loggedOnce + "[^\n]*libz\\.so\\.1: undefined symbol: orvexa_pdf_text\n(not )?mapped\nend");
}

TEST(PdfReaderDeathTest, TheVariableChoosesTheModuleFile) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(readTwiceWith(Module::CopyOfTheBuiltOne), ::testing::ExitedWithCode(0),
              "texts \\[Some text\n\\] \\[Some text\n\\]\nmapped\nend");
}

}  // namespace
}  // namespace orvexa
