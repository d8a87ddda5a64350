// CleanService: deletes the records the user ticked after a scan.
//
// Selecting: every record of the given categories with state 1 is queued
// whole; for a record with state -1 its children are visited the same way
// (ticked ones queued, mixed ones descended into, unticked ones left), so
// an unticked child of a mixed folder is never deleted. A queued record
// goes to the direct removals when `canDelete`, else to the privileged
// helper; one record (by identity) is queued once, and records equal to it
// take its outcome.
//
// Removing directly: a record without children removes its item, a record
// with children removes each child by the same rule and keeps its own item
// (a folder whose content was listed keeps its folder). Each record gets
// DeleteSuccess or DeleteError with the reason. Records for the helper go in
// one Delete event (see helper_clean_service.h).
//
// Deliberately stricter than removing by URL: an item is removed only
// through removeListedItem (verified_removal.h), from the scan root it lies
// under (the roots are its category's cleanRoots(), taken when selecting)
// and only while it is still what was listed. So a record whose item
// changed, vanished or was swapped for a link gets "changed since it was
// listed"; one that lies under none of the roots gets "outside the scanned
// folders"; a file record without a listed identity (not made by a scan of
// the disk) is refused (HelperCleanService::kNoIdentityText); a record of a
// web address gets "Not a file: " and the address.
//
// Duplicates (CleanServiceType::Duplicate) are checked again before any
// copy goes: each group (a record of the selected category whose children
// are the copies) must keep an unticked copy that is still what was listed
// (a copy inside a folder being removed does not count), and each ticked
// copy must still be byte for byte identical to it; otherwise no copy of
// the group is removed and each ticked one says why. A group whose every
// copy is ticked keeps them all. When both parts are done, the owning scanner
// rebuilds its categories (by clean type: LargeAndOldFileService,
// DuplicateScanService, SimilarScanService, UninstallScanService,
// DiskAnalysisService, or for Common the request's own rebuild) and the
// finish object gets the final report (clean_service_protocol.h).
//
// Moving instead of removing (undo_journal.h): the user's own files (clean
// types LargeAndOldFile, Duplicate, Similar, Uninstall, AnalysisDisk) are
// moved into the trash of their volume and journalled, so that a clean can
// be taken back; Common (junk, caches, trash bins) keeps removing. The
// privacy clean moves its file items the same way unless Final. A moved
// item counts as removed (DeleteSuccess, its bytes in the removed size). An
// item whose volume has no trash is not removed (kNoTrashText) unless the
// disposal is Final. Items for the helper are moved by it into the
// root-only quarantine of their volume (privileged_file_operations.h) and
// journalled as privileged; undo puts them back through it.
//
// Thread-safety: the clean operations return at once; the work runs on the
// global pool and on the request's serial queue. The records of the request
// belong to the clean until the final report.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "orvexa/clean/clean_service_protocol.h"
#include "orvexa/clean/helper_clean_service.h"
#include "orvexa/model/records.h"

namespace orvexa {

// How direct removals dispose of items: by the clean type (above), always
// for good, or always into the trash.
enum class CleanDisposal { ByType, Final, Undoable };

class CleanService {
 public:
  // Process-wide; set before cleaning (thread-safe).
  static void setDisposal(CleanDisposal disposal);
  static CleanDisposal disposal();
  static bool movesItems(CleanServiceType type);
  // The command text journalled with each clean that moves ("duplicates").
  static void setUndoLabel(std::string label);
  static std::string undoLabel();

  // Cleans the ticked records of `categorys`. `featureInfo` (may be null) is
  // the feature they belong to (the Uninstall rebuild needs it; without it,
  // the first category's feature is used).
  static void cleanCategorys(const std::vector<CategoryPtr>& categorys, CleanServiceType cleanType,
                             std::shared_ptr<CleanServiceProtocol> finishService,
                             const FeaturePtr& featureInfo);
  // The nested shapes: the all-files category of the large-and-old result,
  // the all category of the duplicate and similar results (groups with
  // their members as children), the category of a disk analysis (the tree
  // below its root). Records are selected from the category's childrens;
  // its views (childrenCateogry) hold the same records.
  static void cleanLargeAndOldCategorys(const CategoryPtr& allCategory, CleanServiceType cleanType,
                                        std::shared_ptr<CleanServiceProtocol> finishService);
  static void cleanDuplicateAndSimilarCategorys(
      const CategoryPtr& allCategory, CleanServiceType cleanType,
      std::shared_ptr<CleanServiceProtocol> finishService);
  static void cleanDiskAnalysis(const CategoryPtr& allCategory, CleanServiceType cleanType,
                                std::shared_ptr<CleanServiceProtocol> finishService,
                                const FeaturePtr& featureInfo);

  // Sets the record's deleteStatus and queues it (direct when canDelete,
  // else for the helper). Call on the request's queue.
  static void updateDeleteStatus(const FilePtr& file, DeleteStatus status,
                                 HelperCleanService& helperService);
  // Queues the ticked descendants among `childrens` of a mixed record. Call
  // on the request's queue.
  static void handleMixStatus(const std::vector<FilePtr>& childrens,
                              HelperCleanService& helperService);
  // Performs the removals of a request (direct and helper) on its queue and
  // finishes it.
  static void deleteFiles(const std::shared_ptr<HelperCleanService>& helpToolCleanService);

  CleanService() = delete;
};

}  // namespace orvexa
