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
// Removing directly (file_manager.h removeItem): a record without children
// removes the item at its URL; a record with children removes each child by
// the same rule and keeps its own item (a folder whose content was listed
// keeps its folder). Each record gets DeleteSuccess or DeleteError with the
// error's text. Records for the helper go in one Delete event (see
// helper_clean_service.h). When both parts are done, the owning scanner
// rebuilds its categories (by clean type: LargeAndOldFileService,
// DuplicateScanService, SimilarScanService, UninstallScanService,
// DiskAnalysisService, or for Common the request's own rebuild) and the
// finish object gets the final report (clean_service_protocol.h).
//
// Thread-safety: the clean operations return at once; the work runs on the
// global pool and on the request's serial queue. The records of the request
// belong to the clean until the final report.
#pragma once

#include <memory>
#include <vector>

#include "orvexa/clean/clean_service_protocol.h"
#include "orvexa/clean/helper_clean_service.h"
#include "orvexa/model/records.h"

namespace orvexa {

class CleanService {
 public:
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
