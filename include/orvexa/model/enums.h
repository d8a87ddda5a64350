// The small integer enumerations shared by the records and the services.
// Records store raw values; each make...() builds a case from its raw value
// and yields nothing outside its table.
#pragma once

#include <optional>

namespace orvexa {

// FileInformation::fileKind.
enum class FilesKind : int { Folder = 0, File = 1, Package = 2, Privacy = 3, Maintenance = 4 };

// Views of the large-and-old-files result.
enum class LargeAndOldFilesKind : int { All = 0, ByType = 1, ByDate = 2, BySize = 3 };

// Views of the duplicate result.
enum class DuplicateKind : int {
  All = 0,
  ByDocument = 1,
  ByFile = 2,
  ByMedia = 3,
  ByPicture = 4,
  ByOther = 5
};

// FileInformation::deleteStatus.
enum class DeleteStatus : int { None = 0, Deleteing = 1, DeleteSuccess = 2, DeleteError = 3 };

// CategoryInformation::kind; raw values start at 1.
enum class CategoryInfomationKind : int {
  Common = 1,
  SystemCache = 2,
  OtherTrashBin = 3,
  EmailAttachment = 4,
  LargeAndOldFileAllSet = 5,
  App = 6,
  Privacy = 7,
  FreeUpRAM = 8,
  FreeUpPurgeableSpace = 9,
  SpeedUpMail = 10,
  CleanDNS = 11,
  LoginItem = 12,
  AnalysisDisk = 13
};

// Selects the clean path for a set of ticked categories.
enum class CleanServiceType : int {
  Common = 0,
  LargeAndOldFile = 1,
  Duplicate = 2,
  Similar = 3,
  Uninstall = 4,
  AnalysisDisk = 5
};

std::optional<FilesKind> makeFilesKind(int raw);
std::optional<LargeAndOldFilesKind> makeLargeAndOldFilesKind(int raw);
std::optional<DuplicateKind> makeDuplicateKind(int raw);
std::optional<DeleteStatus> makeDeleteStatus(int raw);
std::optional<CategoryInfomationKind> makeCategoryInfomationKind(int raw);
std::optional<CleanServiceType> makeCleanServiceType(int raw);

// The raw value of any of the enumerations above.
template <typename E>
constexpr int raw(E e) {
  return static_cast<int>(e);
}

}  // namespace orvexa
