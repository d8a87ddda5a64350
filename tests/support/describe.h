// Renders outcomes as text, so that one EXPECT_EQ compares a whole outcome
// and its failure shows every difference at once. Header-only, pure.
#pragma once

#include <string>
#include <vector>

#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/model/file_information.h"

namespace orvexa::testing {

// A removal mark (DeleteStatus) by name: "-", "deleting", "deleted" or "failed".
inline std::string deleteStatusName(int status) {
  static const char* const kNames[] = {"-", "deleting", "deleted", "failed"};
  return status >= 0 && status < 4 ? kNames[status] : "status " + std::to_string(status);
}

// One line per record: "title mark", then ": error text" when there is one.
inline std::string describeRecords(const std::vector<FilePtr>& records) {
  std::string out;
  for (const FilePtr& r : records) {
    out += r->title + " " + deleteStatusName(r->deleteStatus);
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
