// PrivacyCleanService: removes the privacy traces the user ticked (state 1)
// in a category built by PrivacyScanService, by editing the store each item
// came from (a browser database, a property list, a JSON file, a shared file
// list), deleting the item's file, or resetting a permission with the
// system's reset tool; then rebuilds the category so removed items vanish.
//
// Statuses: a group an operation handles becomes Deleteing before its
// items; each ticked item becomes Deleteing, then DeleteSuccess or
// DeleteError (failed items are returned in the order they failed); the
// group then becomes DeleteError when any of its ticked items failed, else
// DeleteSuccess. Groups whose attachment is not a browser group status, and
// group kinds an operation does not handle, are left untouched.
//
// Safety: values from the stores (row identifiers, names, form values, login
// fields) reach SQL only as bound parameters, so a value holding a quote or a
// comma deletes exactly its own row; an identifier that is not a whole
// number fails its item. Property lists, JSON files and shared file lists are
// replaced atomically (temporary file in the same folder, then rename): an
// interrupted clean leaves the old or the new file, never a part. Stores that
// are missing are never created.
//
// Files named by other programs' stores (the download locations of the
// histories) are removed only when they are regular files inside the user's
// home (the paths table's, so below the root), reached from the home one
// folder at a time without following links; anything else fails its item
// with the reason in deleteErrorDesc ("not removed: outside your home
// folder", "not removed: not a regular file", "not removed: a folder on its
// path is a link") and stays. The browsers' own files (local storage, last
// tabs, cookies, form values) must lie inside the home too, are reached the
// same way, and may be folders. This is stricter than removing whatever
// path a store names, deliberately: any web page can fill a download row.
//
// Edits of JSON files and XML property lists keep every byte outside the
// removed entries (numbers, repeated keys, key order, layout): the entries
// are cut out of the text, which is never parsed and written anew. Binary
// property lists and shared file lists (keyed archives) cannot be cut so
// and are written anew, keeping values, types and key order only. This
// departs from serialising the edited document, deliberately: a rewrite
// turned large integers into floats and dropped repeated keys.
//
// Threading: every operation runs on the caller's thread and returns when
// done; the category must not be used elsewhere meanwhile. No operation
// throws or logs.
#pragma once

#include <utility>
#include <vector>

#include "orvexa/model/records.h"

namespace orvexa {

enum class PrivacyDeleteEnum : int { Success = 0, Fail = 1 };

// Fail when at least one ticked item failed, with the items that failed.
using PrivacyCleanResult = std::pair<PrivacyDeleteEnum, std::vector<FilePtr>>;

class PrivacyCleanService {
 public:
  static PrivacyCleanResult cleanSafari(const CategoryPtr& category);
  // While a Chrome-family browser or Firefox runs on a profile (its lock
  // link names a live process), that profile's stores and files are left
  // alone and its ticked items fail with "<browser> is running: quit it and
  // clean again": the browser would write its rows back from memory.
  static PrivacyCleanResult cleanChrome(const CategoryPtr& category);
  static PrivacyCleanResult cleanFirefox(const CategoryPtr& category);
  // The Finder's recent folders and the shared file lists; afterwards the
  // Finder and the shared-file-list service are restarted (the paths table's
  // "killall") when their lists were changed.
  static PrivacyCleanResult cleanRecentItem(const CategoryPtr& recentItemCategory);
  // Resets each ticked permission with the paths table's "tccutil"
  // ("reset", the service, the application's bundle identifier).
  static PrivacyCleanResult cleanApplicationPermission(const CategoryPtr& applicationCategory);

  // Takes the items marked DeleteSuccess out of ticked groups, removes
  // emptied groups that are removable (removeCategory), and renumbers what
  // is left with every state cleared.
  static void sortCategory(const CategoryPtr& category);

  // The undo journal's clean ids under which the cleans of this process
  // moved file items to the trash since the last call (oldest first): what
  // one run moved, whatever other processes journal meanwhile. Thread-safe.
  static std::vector<int64_t> takeJournalledCleans();

  PrivacyCleanService() = delete;
};

}  // namespace orvexa
