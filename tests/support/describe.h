// Renders outcomes as text, so that one EXPECT_EQ compares a whole outcome
// and its failure shows every difference at once. Header-only, pure.
#pragma once

#include <string>
#include <vector>

#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/model/file_information.h"

namespace orvexa::testing {

// One line per record: "title mark", then ": error text" when there is one;
// the mark (DeleteStatus) is "-", "deleting", "deleted" or "failed".
inline std::string describeRecords(const std::vector<FilePtr>& records) {
  static const char* const kMarks[] = {"-", "deleting", "deleted", "failed"};
  std::string out;
  for (const FilePtr& r : records) {
    const int mark = r->deleteStatus;
    out +=
        r->title + " " + (mark >= 0 && mark < 4 ? kMarks[mark] : "status " + std::to_string(mark));
    if (!r->deleteErrorDesc.str().empty()) out += ": " + r->deleteErrorDesc.str();
    out += "\n";
  }
  return out;
}

// A privacy clean's outcome: "Success" or "Fail", then its failed records.
inline std::string describeOutcome(const PrivacyCleanResult& result) {
  return (result.first == PrivacyDeleteEnum::Success ? "Success\n" : "Fail\n") +
         describeRecords(result.second);
}

}  // namespace orvexa::testing
