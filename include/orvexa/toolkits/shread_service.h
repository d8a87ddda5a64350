// ShreadService: shreds a mixed list of files and folders. What the current
// user may shred directly is overwritten with ShredFileService's passes
// (shred_passes.h: in place, without following links, only the allocated
// ranges) and removed from the folder it was found in; the rest goes to the
// privileged helper in one Shred event (helper/helper_protocol.h,
// helper/privilege_helper.h). Every path given is reported once with a
// status and a text.
//
// Sorting the input (shred), by the item's own type (links not followed):
// a regular file is a file, a folder a folder; a symbolic link is refused
// (ShredFail, "a symbolic link: shred does not follow links, ...") and left
// in place with what it points to, as is anything else that exists
// (ShredFail, "neither a regular file nor a folder: left in place"); a
// missing item is dropped without a result. A departure from a shredder
// that takes whatever the path leads to: a link is never shredded through,
// and a path with a link among its folders is refused by the passes, so
// that a link planted in a listed folder cannot turn the passes on a file
// the user never chose.
//
// Files (shredFiles): a file is shredded directly when the file manager
// finds it deletable and its owner's account name is the current user's
// (Identity); otherwise it waits for the helper (Prepare). A file shredded
// directly is removed at once, by its name in the folder descriptor the
// passes reached it through, and only while that name still is the file
// shredded (otherwise DeleteFail, "changed while it was shredded: ...").
// An empty file has nothing to overwrite and is Success once removed. A
// file with other hard links is not overwritten (ShredFail, "the file has N
// other hard link(s): ...") unless setOverwriteHardLinks(true) (which the
// Shred event passes on to the helper). Once every file has its outcome,
// the waiting ones are sent to the helper, and resultProcess gets (flag,
// results): the flag is true when every result is Success. A file whose passes fail keeps its
// place and gives ShredFail with the passes' error text.
//
// The helper's answer: ok true makes every waiting path Success. Otherwise
// each path's entry decides (HelperEventErrorID Success -> Success,
// ShreadFail -> ShredFail, anything else -> DeleteFail, text "DeleteDesc").
// Choices of ours where the answer says nothing per path:
// - no helper could be obtained: every waiting path is PrivilegeFail with
//   the helper's error text;
// - the connection was lost, or the helper refused the request as a whole
//   (the answer carries "DeleteStatus" at its top): every waiting path is
//   PrivilegeFail with the answer's "DeleteDesc"; after a lost connection
//   the kept proxy is forgotten, so the next call connects again;
// - the answer has no entry for a waiting path: DeleteFail, "The helper
//   gave no answer for this path."
//
// Folders (shredFolder): every regular file below a folder (the walk
// follows no link) is shredded with shredFiles, one call per folder. When
// they all succeed, the folder is removed with everything in it and is
// reported once under its own path: Success, or DeleteFail with the
// removal's text. Choices of ours:
// - a folder whose files do not all succeed stays (with the files that did
//   not succeed; the others are gone) and is reported ShredFail with an
//   empty text; the results of those files are reported too, under their
//   own paths, so that the reason is known. Files that succeeded are never
//   reported one by one;
// - a folder below which something could not be read keeps its place too
//   (what could be found is shredded) and is reported ShredFail with the
//   first such folder and the error ("/a/b: Permission denied");
// - the flag is true only when every folder succeeded;
// - a folder given as a symbolic link is refused as shred refuses one;
//   below a folder, links are neither followed nor shredded and go with
//   the folder.
//
// shred reports once, on the main queue (units/main_queue.h), with the
// results of both halves merged and the flag of the half that reported
// last. shredFiles and shredFolder report on a thread of their own choosing
// (at once, on the caller's thread, for an empty list).
//
// Ownership: the service's state is shared with the work in flight, so the
// object may be destroyed before its calls have reported; the helper proxy
// (privilegeHelper) is obtained on first need and kept for later calls.
// Thread-safety: every member may be called from any thread; calls may
// overlap. Counters and maps of one call change only on that call's serial
// queue; file work runs in parallel on the global pool.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "orvexa/helper/helper_protocol.h"
#include "orvexa/platform/url.h"

namespace orvexa {

class ShreadService {
 public:
  enum class ShredStatus : int {
    Success = 0,
    ShredFail = 1,
    DeleteFail = 2,
    PrivilegeFail = 3,
    Prepare = 4  // waiting for the privileged helper
  };
  enum class ShredType : int { Folder = 1, File = 2 };

  // Path -> (ShredStatus raw value, text). The text is empty for Success.
  using ShredResult = std::map<std::string, std::pair<int, std::string>>;
  using Finish = std::function<void(bool success, ShredResult result)>;
  // Called once per file as soon as its own outcome is known: Success,
  // ShredFail or DeleteFail for a file shredded directly, Prepare
  // for one that waits for the helper, then the helper's outcome for it.
  // Runs on the call's serial queue (one at a time per call); for the
  // items shred refuses outright, on the caller's thread before it returns.
  using FileProgress =
      std::function<void(const std::string& path, ShredStatus status, const std::string& text)>;

  ShreadService();

  // Shreds files and folders; `finish` runs once, on the main queue.
  void shred(std::vector<Url> urls, Finish finish);
  // The two halves of shred (see the header comment).
  void shredFiles(std::vector<Url> urls, Finish resultProcess);
  void shredFolder(std::vector<Url> urls, Finish resultProcess);

  // The helper proxy in use; empty until first needed. Setting one makes
  // the service use it instead of asking PrivilegeHelper.
  std::shared_ptr<HelperProtocol> privilegeHelper() const;
  void setPrivilegeHelper(std::shared_ptr<HelperProtocol> proxy);

  void setFileProgress(FileProgress progress);
  // Overwrite files that have other hard links too (every name of such a
  // file then holds zeros); off by default. Read when a call starts.
  void setOverwriteHardLinks(bool overwrite);

  // "Success", "ShredFail", ...; "Unknown" for other values.
  static const char* statusName(int status);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace orvexa
