// EmailScanService: attachment files the mail application keeps in the mail
// store (<home>/Library/Mail). A file is listed when it lies more than three
// levels below the folder walked and its path contains "/Attachments/";
// folders never are.
//
// Each category lists its own `urls` (when it has any) and the mail store.
// The version folders getMailAttachmentsDirectoryId returns do not narrow
// the listing: every version folder's attachments are listed.
//
// Log lines: "Email Scan Start", "Email Scan Scanning", "Email Scan Suspend",
// "Email Scan Finish". `done` runs on the main-queue thread.
#pragma once

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/scan/master/junk_callbacks.h"

namespace orvexa {

class EmailScanService : public SuperScanService {
 public:
  static void scanEmailJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                            ScanShowPercent showPercent, ScanSingleDone singleDone,
                            FeatureDone done, const std::shared_ptr<SerialGCDService>& dispatch);
  static void scanProEmailJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                               ScanShowPercent showPercent, ScanSingleDone singleDone,
                               FeatureDone done, const std::shared_ptr<SerialGCDService>& dispatch);

  // The version folder names of the mail store at `url`, read from a copy
  // of its "PersistenceInfo.plist" in the support folder; empty when the
  // file is missing or unreadable.
  static std::vector<std::string> getMailAttachmentsDirectoryId(const Url& url);

  // The mail store of the current user.
  static Url mailStore();
};

}  // namespace orvexa
