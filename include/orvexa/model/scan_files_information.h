// ScanFilesInformation: size and count summary of one scanned location.
#pragma once

#include <cstdint>

#include "orvexa/platform/url.h"

namespace orvexa {

struct ScanFilesInformation {
  ScanFilesInformation() = default;
  ScanFilesInformation(Url url_, int64_t foSize = 0, int foNumber = 0, int64_t fiSize = 0,
                       int fiNumber = 0)
      : url(std::move(url_)),
        folderSize(foSize),
        folderNumber(foNumber),
        fileSize(fiSize),
        fileNumber(fiNumber) {}

  Url url;
  int64_t folderSize = 0;
  int folderNumber = 0;
  int64_t fileSize = 0;
  int fileNumber = 0;
};

}  // namespace orvexa
