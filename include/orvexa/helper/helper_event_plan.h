// Reading one handleEvent request of the helper into a plan: what kind of
// event, which paths, which of them are refused and why. Planning touches
// nothing on disk, so malformed input is judged before any work starts.
//
// A request is malformed as a whole (plan.error set) when the event is
// unknown or a value has the wrong type: a Delete value that is not a
// dictionary of integers (and the "Root" text), a Shred or Clean value that is not a dictionary, a
// Move value without a "ToPath" text, a Maintenance request without an
// integer "OperationValue" naming a known operation. A single path that is
// relative, holds ".." or lies outside `scope` (helper_path_policy.h) is not
// malformed: its task carries the refusal and the other paths go ahead. So
// does a Delete path whose value lacks its scan root or listed identity: the
// helper removes only what it can check (verified_removal.h). A Restore or
// Clean path inside a user's folder of a folder named like the privileged
// quarantine (privileged_file_operations.h) is not refused for lying
// outside `scope`, but is refused without its listed identity; the server
// checks the folder, and whose it is, before acting.
//
// Thread-safety: reentrant.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/helper/helper_protocol.h"
#include "orvexa/platform/plist.h"
#include "orvexa/platform/verified_removal.h"

namespace orvexa {

struct HelperPathTask {
  std::string path;        // as the request wrote it (the key of its answer)
  std::string normalized;  // empty when refused
  std::string toPath;      // Move: the normalised destination
  std::string refusal;     // non-empty: not done, for this reason
  PlistValue entry;        // the request's value for the path
  ListedItem listed;       // Delete: the scan root and identity it carries
};

// Writes a Delete path's root and identity into its value (a dictionary).
void putListedItem(PlistValue::Dictionary* entry, const std::string& root,
                   const ListedIdentity& identity);

struct HelperEventPlan {
  std::optional<HelperHanldeEventID> event;
  std::optional<HelperMaintenanceOperation> operation;  // Maintenance only
  std::vector<HelperPathTask> tasks;
  std::string error;  // non-empty: the request is refused as a whole
};

HelperEventPlan planHelperEvent(int event, const PlistValue& dictionary,
                                const HelperPathScope& scope);

}  // namespace orvexa
