// HelperCleanService: the accounting of one clean request (see
// clean_service.h): the records to remove directly and through the
// privileged helper, the counters, sizes and status of the request, the
// helper request itself, the Common rebuild and the final report.
//
// Ownership: shared (std::shared_ptr) between the request's pieces of work;
// it lives until its final report has been made. Records are shared with
// the host and changed in place.
//
// Thread-safety: after construction, every field changes only on queue(),
// the request's own serial queue, so the direct removals (on the queue) and
// the helper's answer (arriving on the connection's thread and handed to
// the queue) never interleave. The host must not touch the request's
// records between the start of the clean and the final report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "orvexa/clean/clean_service_protocol.h"
#include "orvexa/clean/undo_journal.h"
#include "orvexa/helper/helper_protocol.h"
#include "orvexa/model/records.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa {

// A set of records by their equality (finderID, parentFinderID, size, url)
// that keeps the order of insertion, so a request handles its records in
// the order they were selected.
class FileInformationSet {
 public:
  // False when an equal record is already in the set.
  bool insert(const FilePtr& file);
  bool contains(const FilePtr& file) const { return members_.count(file) != 0; }
  // The member equal to `file`, or null.
  FilePtr find(const FilePtr& file) const {
    auto it = members_.find(file);
    return it != members_.end() ? *it : nullptr;
  }
  size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  std::vector<FilePtr>::const_iterator begin() const { return order_.begin(); }
  std::vector<FilePtr>::const_iterator end() const { return order_.end(); }
  const std::vector<FilePtr>& list() const { return order_; }

 private:
  std::unordered_set<FilePtr, FileInformationHash, FileInformationEqual> members_;
  std::vector<FilePtr> order_;
};

class HelperCleanService : public std::enable_shared_from_this<HelperCleanService> {
 public:
  HelperCleanService(std::shared_ptr<CleanServiceProtocol> finishService,
                     CleanServiceType cleanType, std::vector<CategoryPtr> cleanCategorys);

  std::shared_ptr<CleanServiceProtocol> finishService;
  std::vector<CategoryPtr> cleanCategorys;
  int cleanFinshCount = 0;  // finished parts: direct and helper, 2 when done
  FileInformationSet commonDelete;
  FileInformationSet commonDeleteAbnormal;
  int commonDeleteFinishCount = 0;
  int commonDeleteAbnormalCount = 0;
  FileInformationSet helperDelete;
  int helperDeleteFinishCount = 0;
  std::shared_ptr<HelperProtocol> privilegeHelper;
  // The request's HelperEventErrorID raw value: Success until the helper
  // part fails as a whole.
  int errorStatus = raw(HelperEventErrorID::Success);
  std::string errorDesc;
  CleanServiceType cleanType;
  int64_t commonDeleteSize = 0;
  int64_t helperDeleteSize = 0;
  FeaturePtr featureInformation;
  // Records that were not queued because an equal record (the second of
  // the pair) already was; they take its outcome when the request ends.
  std::vector<std::pair<FilePtr, FilePtr>> queuedTwins;
  // The scan roots of each queued record (its category's cleanRoots() as
  // paths), taken while selecting: a record is removed only below one of
  // them. `selectingRoots` are those of the category being selected.
  using Roots = std::shared_ptr<const std::vector<std::string>>;
  Roots selectingRoots;
  std::unordered_map<const FileInformation*, Roots> recordRoots;
  // Queued records refused before any removal (a duplicate group that no
  // longer holds a verified kept copy); they already carry DeleteError.
  std::unordered_set<const FileInformation*> vetoed;
  // Set when the clean moves items instead of removing them
  // (clean_service.h): the helper then moves its items into the privileged
  // quarantine, each journalled here under `undoCleanId`.
  std::shared_ptr<UndoJournal> undoJournal;
  int64_t undoCleanId = 0;

  // The roots of a queued record (none when it was queued by hand).
  std::vector<std::string> rootsOf(const FilePtr& file) const;

  const std::shared_ptr<SerialGCDService>& queue() const { return queue_; }

  // Runs `work` on queue() (directly, should the queue be unable to).
  void onQueue(std::function<void()> work);

  // The helper part of the request (on queue()): obtains the helper tool
  // for the host's bundle identifier + "Helper" and sends one Delete event
  // with the records of helperDelete (records with children replaced by
  // their leaves, numbered 0, 1, ... in visiting order; each path's value
  // also carries its scan root and listed identity, see
  // helper_protocol.h; leaves without either fail here); the answer is
  // written into the records. Without a tool every helper record ends in
  // DeleteError with the tool's error text, or "Cann't Get Helper.Unkown
  // reason." when there is none, and errorStatus / errorDesc are set
  // (errorDesc: the text, or "Install Fail!"). Counts one finished part.
  void deleteFile();

  // Called (on queue()) when one part has finished; once both have, the
  // owner's categories are rebuilt and the final report is made.
  void partFinished();
  // Ends the request at once with DeleteError and "ABNORMAL STATUS!!!".
  void abnormalFinish();

  // The Common rebuild: takes the deleted records out of cleanCategorys,
  // drops emptied categories flagged needRemoveCategory, renumbers, and
  // returns the ticked records whose deletion failed with their texts,
  // each followed by ",".
  static std::pair<std::vector<FilePtr>, std::string> sortCategory(
      HelperCleanService& helpToolCleanService);

  // The texts the helper part writes.
  static constexpr const char* kNoHelperText = "Cann't Get Helper.Unkown reason.";
  static constexpr const char* kInstallFailText = "Install Fail!";
  static constexpr const char* kAbnormalText = "ABNORMAL STATUS!!!";
  // A file record that carries no listed identity (made by hand, not by a
  // scan of the disk) is refused: its removal could not be checked.
  static constexpr const char* kNoIdentityText =
      "not removed: it was not listed from disk, so it cannot be checked";

 private:
  void allFinish();
  void settleTwins();
  void applyHelperAnswer(const std::vector<FilePtr>& numbered, int code,
                         const PlistValue& information);
  void failHelperRecords(const std::string& recordText);

  std::shared_ptr<SerialGCDService> queue_;
  bool reported_ = false;
};

}  // namespace orvexa
