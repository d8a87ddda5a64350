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
// The per-command choices (which type, which categories, how to tick) are
// listed in CleanTicking below.
//
// With --json and --clean the command prints nothing itself: cleanFeature
// prints the one document, {"feature": <the feature after the clean>,
// "total": <bytes left>, "clean": {...}}, or hands the "clean" member to the
// command's own document.
#pragma once

#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <vector>

#include "context.h"
#include "orvexa/model/records.h"

namespace orvexa::cli {

// How the records of a clean are ticked (see cleanFeature).
struct CleanTicking {
  // Refuse --clean without --select (results where "everything" is never
  // what the user means: every file of the home, every application, the
  // whole tree of a disk analysis).
  bool requireSelect = false;
  // Groups (records whose children are the members, such as similar
  // pictures): when every member of a group would be ticked, the first one
  // stays.
  bool keepOneOfEachGroup = false;
  // --select also matches a category's title and the path of its first URL;
  // a matching category (an application with its files, a group of
  // leftovers) is ticked whole.
  bool selectCategories = false;
  // The command has already ticked what the clean may remove (state 1 on the
  // records, such as the copies of a duplicate removal plan). --select then
  // only narrows that: a record stays ticked when the command ticked it and
  // it (or a folder record above it) matches.
  bool preTicked = false;
  // A path listed by several categories (the data two copies of one
  // application share, or a file two applications' names both claim) is
  // removed only when every record of it is ticked: the categories not
  // selected keep it, as do those of `alsoListedBy` (categories of the
  // same result that are not offered for this clean; owned by the caller).
  bool sharedNeedsAll = false;
  const std::vector<CategoryPtr>* alsoListedBy = nullptr;
  // Called with the ticked records once the user agreed, before the clean
  // starts: a record it settles itself (deleteStatus set, state 0) is left
  // out of the clean and reported with the others ("freed" counts it when
  // it went).
  void (*beforeClean)(const std::vector<FilePtr>& ticked) = nullptr;
};

// Prints the one JSON document of a command run with --json and --clean,
// given its "clean" member (called once, after the clean or when nothing
// matched).
using CleanDocument = std::function<void(const nlohmann::json& clean)>;

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
// analysed tree's category. Uninstall takes the application (or leftover)
// categories themselves.
//
// With --json the command prints nothing itself: `document` prints the one
// document; without it, the document is {"feature": <the feature after the
// clean>, "total": <bytes left in its categories>, "clean": {...}}. The
// "clean" member is {"freed": N, "status": S, "error": T, "records": [{"path",
// "size", "allocatedSize", "deleteStatus", "deleteErrorDesc"}, ...]}; "freed" counts
// the blocks given back (FileInformation::freedSize).
//
// Returns the exit status: 0 when everything ticked was removed (or nothing
// matched), 1 when something could not be removed, 2 when refused.
int cleanFeature(const CommonOptions& options, const FeaturePtr& feature, CleanServiceType type,
                 std::vector<CategoryPtr> categories = {}, CleanTicking ticking = {},
                 const CleanDocument& document = nullptr);

// For a command to call before its scan: false, with the message cleanFeature
// would print, when --clean comes without the --select `ticking` requires.
bool cleanSelectionGiven(const CommonOptions& options, const CleanTicking& ticking);

// For --clean after a scan the user interrupted (the result of a stopped
// scan is never cleaned): says that nothing was deleted and returns the exit
// status, 130.
int noCleanAfterInterrupt();

}  // namespace orvexa::cli
