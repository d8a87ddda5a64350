#include "orvexa/tree/duplicate_folder_info.h"

namespace orvexa {
namespace {

int64_t asciiSum(std::string_view text) {
  int64_t sum = 0;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 128) sum += byte;
  }
  return sum;
}

}  // namespace

int64_t DuplicateFolderInfo::calculateValue(std::string_view folder1, std::string_view folder2) {
  const int64_t difference = asciiSum(folder1) - asciiSum(folder2);
  return difference < 0 ? -difference : difference;
}

}  // namespace orvexa
