#include "orvexa/model/enums.h"

namespace orvexa {
namespace {

template <typename E>
std::optional<E> inRange(int raw, int first, int last) {
  if (raw < first || raw > last) return std::nullopt;
  return static_cast<E>(raw);
}

}  // namespace

std::optional<FilesKind> makeFilesKind(int raw) { return inRange<FilesKind>(raw, 0, 4); }
std::optional<LargeAndOldFilesKind> makeLargeAndOldFilesKind(int raw) {
  return inRange<LargeAndOldFilesKind>(raw, 0, 3);
}
std::optional<DuplicateKind> makeDuplicateKind(int raw) {
  return inRange<DuplicateKind>(raw, 0, 5);
}
std::optional<DeleteStatus> makeDeleteStatus(int raw) { return inRange<DeleteStatus>(raw, 0, 3); }
std::optional<CategoryInfomationKind> makeCategoryInfomationKind(int raw) {
  return inRange<CategoryInfomationKind>(raw, 1, 13);
}
std::optional<CleanServiceType> makeCleanServiceType(int raw) {
  return inRange<CleanServiceType>(raw, 0, 5);
}

}  // namespace orvexa
