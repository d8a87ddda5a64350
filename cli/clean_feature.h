// The --clean part of the scan commands: after a scan, tick the records to
// delete, ask, clean through CleanService and report what happened.
//
// A command that supports --clean sets `acceptsClean` in its CommandSpec
// (app.cc then adds --clean, --select GLOB and --yes to it) and, once its
// scan has finished:
//
//   if (!(options.json && options.clean.enabled)) printMyListing();
//   if (options.clean.enabled) return cleanFeature(options, feature, CleanServiceType::Common);
//
// With --json and --clean the command prints nothing itself: cleanFeature
// prints the one document, {"feature": <the feature after the clean>,
// "total": <bytes left>, "clean": {...}}.
#pragma once

#include <vector>

#include "context.h"
#include "orvexa/model/records.h"

namespace orvexa::cli {

// Ticks the records whose path matches one of the --select patterns
// (fnmatch; every record when none is given; a record without a path is
// matched through its children), asks for confirmation unless --yes
// (refusing when standard input is not a terminal), cleans through the
// CleanService operation that fits `type`, and prints each cleaned
// record's outcome and the bytes freed. Records the user may not delete go
// through the privileged helper; when it cannot be had, a message says how
// to install it.
//
// `categories`: where to clean; empty means the feature's categories. The
// per-type shapes take their one category: LargeAndOldFile its all-files
// category, Duplicate and Similar the all category, AnalysisDisk the
// analysed tree's category.
//
// Returns the exit status: 0 when everything ticked was removed (or nothing
// matched), 1 when something could not be removed, 2 when refused.
struct CleanTicking {
  // Refuse --clean without --select (results where "everything" is never
  // what the user means, such as the whole tree of a disk analysis).
  bool requireSelect = false;
  // Groups (records whose children are the members, such as duplicates):
  // when every member of a group would be ticked, the first one stays.
  bool keepOneOfEachGroup = false;
};
int cleanFeature(const CommonOptions& options, const FeaturePtr& feature, CleanServiceType type,
                 std::vector<CategoryPtr> categories = {}, CleanTicking ticking = {});

}  // namespace orvexa::cli
