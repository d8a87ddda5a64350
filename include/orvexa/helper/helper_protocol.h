// HelperProtocol: what the privileged helper program (orvexa-helper, running
// as root) offers to the library, and the numbers and keys of its messages.
//
// Events of handleEvent and their dictionaries:
// - Delete (1): each path -> a dictionary "0", "1", ... -> the number of a
//   record of the clean request (one entry per record of that path).
// - Shred (2): each path -> a dictionary, empty or with "HardLinks" true
//   (files with other hard links are overwritten too; otherwise they are
//   left alone and fail). Files are overwritten in place with the
//   shredder's passes (platform/shred_passes.h) and removed; folders have
//   every file below them shredded and are then removed.
// - Maintenance (3): "OperationValue" -> a HelperMaintenanceOperation
//   number; for Clean one entry per path (value: an empty dictionary), for
//   Move one entry per path whose value holds "ToPath" (the destination).
//   CleanDNS runs the paths table's tool("dscacheutil") with "-flushcache"
//   and tool("killall") with "-HUP mDNSResponder"; RebuildSpotlight runs
//   tool("mdutil") with "-E /". In the Linux layout of the paths table
//   CleanDNS runs tool("resolvectl") with "flush-caches" instead.
//   FreeMemory (Linux) runs tool("sync"), then writes "3" to
//   dropCachesFile() (platform/service_paths.h), so the kernel drops clean caches.
// - Delete with "Quarantine": a Delete path whose value also holds
//   "Quarantine" (text, one name) is moved, not removed, into the root-only
//   quarantine folder of its volume under that name, in the asker's own
//   folder there (privileged_file_operations.h); its answer gives "ToPath",
//   where it went, which is where the asker finds it.
// - Maintenance Restore: each path (an entry of a quarantine folder; only
//   the asker's own, and only back to where it came from, unless the asker
//   is root) ->
//   "ToPath" (where it goes back), its listed identity as for Delete, and
//   "AccessTime" (nanoseconds; the modification time is the identity's):
//   the item is put back, beside a taken place under a numbered name, with
//   the owner and mode it kept in the quarantine (the asker cannot choose
//   them) and those times; its answer gives "ToPath", where it went. Clean
//   also takes quarantine entries, each with its listed identity as for
//   Delete (purging them while they are still that item; only the asker's
//   own, unless the asker is root).
// - CloseHelper (4): the helper stops the work in flight at its next item,
//   then answers (information: "DeleteStatus" Success and "DeleteDesc"
//   saying how far the work came) and ends.
//
// Replies (ok, code, information):
// - Delete and Maintenance: information holds "DeleteStatus" (a
//   HelperEventErrorID raw value) and "DeleteDesc" (the failure text) for
//   the request as a whole; when that is Success it also holds, under each
//   path of the request, a dictionary with "Path", "DeleteStatus",
//   "DeleteDesc" and (Delete) the request's own "0", "1", ... entries. `ok`
//   is true when every path succeeded; `code` is Success or the failure.
//   Paths outside what the helper may touch are refused, and paths a stop
//   or a lost client kept it from reaching are "Not done: ...", each with
//   its reason (helper_server.h).
// - Shred: information maps each path to a dictionary with "Path",
//   "DeleteStatus" and "DeleteDesc" (so every value is such a dictionary);
//   only a request refused as a whole carries "DeleteStatus" and
//   "DeleteDesc" at the top instead.
//
// Every call is answered exactly once. When the connection to the helper is
// lost before an answer, the proxy's error handler runs and the call is then
// answered as failed (ok false, NoCause, "DeleteDesc" saying the connection
// was lost), so that callers never wait for an answer that cannot come.
//
// Thread-safety: implementations may be called from any thread; answers
// arrive on a thread of the connection's choosing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "orvexa/model/enums.h"
#include "orvexa/platform/plist.h"

namespace orvexa {

enum class HelperHanldeEventID : int { Delete = 1, Shred = 2, Maintenance = 3, CloseHelper = 4 };

// Result codes of the helper's answers.
enum class HelperEventErrorID : int {
  Success = 1,
  OverTime = 2,
  DeleteError = 3,
  NoCause = 4,
  ShreadFail = 5,
  MoveFail = 6
};

// The operation numbers under "OperationValue" of a Maintenance event (the
// optimisation service's operation identifiers use the same numbers).
enum class HelperMaintenanceOperation : int {
  CleanDNS = 1,
  RebuildSpotlight = 2,
  Clean = 3,
  Move = 4,
  FreeMemory = 5,
  Restore = 6
};

std::optional<HelperHanldeEventID> makeHelperHanldeEventID(int64_t raw);
std::optional<HelperEventErrorID> makeHelperEventErrorID(int64_t raw);
std::optional<HelperMaintenanceOperation> makeHelperMaintenanceOperation(int64_t raw);

// Keys of the event dictionaries and answers.
inline constexpr std::string_view kHelperDeleteStatusKey = "DeleteStatus";
inline constexpr std::string_view kHelperDeleteDescKey = "DeleteDesc";
inline constexpr std::string_view kHelperPathKey = "Path";
inline constexpr std::string_view kHelperOperationValueKey = "OperationValue";
inline constexpr std::string_view kHelperToPathKey = "ToPath";
inline constexpr std::string_view kHelperHardLinksKey = "HardLinks";
// A Delete path's value holds, beside the record numbers ("0", "1", ...),
// the scan root the item was listed under (text) and its listed identity
// (integers; the inode's 64 bits as a signed integer); see
// verified_removal.h.
inline constexpr std::string_view kHelperRootKey = "Root";
inline constexpr std::string_view kHelperDeviceKey = "Device";
inline constexpr std::string_view kHelperInodeKey = "Inode";
inline constexpr std::string_view kHelperTypeKey = "Type";
inline constexpr std::string_view kHelperSizeKey = "Size";
inline constexpr std::string_view kHelperModificationKey = "ModificationTime";
// Moving into and out of the privileged quarantine (above).
inline constexpr std::string_view kHelperQuarantineKey = "Quarantine";
inline constexpr std::string_view kHelperAccessKey = "AccessTime";

// The text of an answer that could not come because the connection ended.
inline constexpr std::string_view kHelperConnectionLostText =
    "The connection to the privileged helper was lost.";

class HelperProtocol {
 public:
  using VersionReply = std::function<void(std::string version)>;
  using EventReply = std::function<void(bool ok, int code, PlistValue information)>;
  using UninstallReply = std::function<void(bool ok, std::string message)>;

  virtual ~HelperProtocol() = default;

  virtual void getHelperVersion(VersionReply reply) = 0;
  // `event` is a HelperHanldeEventID raw value; `eventDict` a dictionary.
  virtual void handleEvent(int event, PlistValue eventDict, EventReply reply) = 0;
  // Removes the installed helper (program and launch-daemon property list)
  // and ends it.
  virtual void uninstall(UninstallReply reply) = 0;
};

}  // namespace orvexa
