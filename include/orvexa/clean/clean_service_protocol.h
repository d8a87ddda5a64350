// CleanServiceProtocol: the host's finish object for one clean request.
//
// Ownership: the clean request holds the object (shared) until its final
// report. Thread-safety: the calls of one request come one at a time from
// that request's serial queue (a pool thread), never from the host's own
// thread; the object must not block for long.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orvexa/model/records.h"

namespace orvexa {

class CleanServiceProtocol {
 public:
  virtual ~CleanServiceProtocol() = default;

  // The final report, once per request.
  // - cleanID: the request's CleanServiceType raw value.
  // - size: the bytes removed (directly and by the helper).
  // - records: what the rebuild returned (the ticked records whose deletion
  //   failed); empty after an abnormal end.
  // - status: a HelperEventErrorID raw value (Success unless the helper part
  //   failed as a whole; DeleteError for an abnormal end).
  // - desc: the request-wide failure text ("ABNORMAL STATUS!!!" for an
  //   abnormal end), empty otherwise.
  virtual void cleanFinish(int cleanID, int64_t size, std::vector<FilePtr> records, int status,
                           std::string desc) = 0;
  // One record's outcome, for cleaners that report record by record; the
  // clean service does not call it.
  virtual void cleanFileFinish(const FilePtr& file) { (void)file; }
  // 0.25 when the removals start, 0.5 when the direct removals are done,
  // 0.75 when both parts are done and the rebuild starts.
  virtual void cleanProgress(float progress) = 0;
};

}  // namespace orvexa
