// Cleans that can be taken back: items are moved into a trash on their own
// file system instead of being removed, and a journal says where each went.
//
// The journal is an SQLite database, UndoJournal.sqlite in the host's
// application-support folder (defaultPath()). One row per clean (id, time,
// command, count, bytes) and one per item, written BEFORE the item is moved
// (the intent: original path, trash path, identity, owner, mode, times) and
// marked moved after it. A clean killed at any instant leaves each item in
// place or in the trash with its row: settle() (run on every open) looks at
// the disk for every unfinished row — the item still in place drops the
// row, the item in the trash marks it moved — and drops the rows of moved
// items that are no longer in the trash (a file manager restored or emptied
// them), so that undo no longer offers them.
//
// The trash is the one the paths table names for the item's volume, so
// file managers list the items too. Linux layout: the freedesktop.org trash,
// Paths::userTrash() (~/.local/share/Trash) for items on the home's file
// system, else the volume's top-level .Trash-UID (volumeTrashFolders);
// items go to its files/ and a .trashinfo (Path= and DeletionDate=) to its
// info/, so that a file manager can also restore them. macOS layout: the
// user's .Trash, else the volume's .Trashes/UID; items go into the folder
// itself and no information file is written (that trash keeps none): the
// journal alone knows where each came from. Trash folders are made (0700)
// when missing and reached without following links below the home (or "/"),
// as are .trashinfo files, which are removed only while they still name the
// item. Items are only ever renamed into the trash (never copied); where no
// trash can be had on the item's volume, Quarantine::place fails and the
// caller removes the item only when told to (--final).
//
// Items the user may not remove are moved by the privileged helper into the
// root-only quarantine of their volume (privileged_file_operations.h); their
// rows are marked privileged, and restore() and purge() go through the
// helper for them (waiting for its answer on the calling thread). settle()
// keeps such a row when the user cannot look into the quarantine (it is
// moved when gone from its place).
//
// Values reach SQL only as bound parameters. A missing, locked or corrupt
// journal makes open() fail with words naming the path; nothing is touched.
//
// Ownership and threading: an UndoJournal owns its connection; use one from
// one thread at a time. Errors are returned, never thrown.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvexa/platform/posix_error.h"
#include "orvexa/platform/verified_removal.h"
#include "orvexa/units/sqlite_tool.h"

namespace orvexa {

// One journalled item: where it was and what it was.
struct JournalItem {
  int64_t id = 0;
  int64_t cleanId = 0;
  bool moved = false;
  std::string original;    // absolute path it had
  std::string quarantine;  // absolute path in the trash
  std::string infoFile;    // its .trashinfo (may be empty)
  uint64_t device = 0, inode = 0;
  int64_t size = 0, modificationNs = 0, accessNs = 0, bytes = 0;
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;          // type and permissions
  bool privileged = false;  // in the privileged quarantine, moved by the helper
};

struct JournalClean {
  int64_t id = 0;
  int64_t time = 0;  // seconds since the epoch
  std::string command;
  int64_t count = 0, bytes = 0;  // items moved and their bytes
  int64_t restorable = 0;        // items still in the trash
};

class UndoJournal {
 public:
  static std::string defaultPath();

  // Opens the journal and settles unfinished rows. With `create` a missing
  // file (and its folder) is made; without, a missing file is an error.
  static std::unique_ptr<UndoJournal> open(const std::string& path, bool create,
                                           std::string* error);

  int64_t beginClean(const std::string& command);  // 0 on failure
  // Writes the intent of one move; 0 on failure (then do not move).
  int64_t recordIntent(const JournalItem& item);
  // `quarantine`, when given, is where the item really went (the helper's
  // answer), replacing the path the intent foresaw.
  bool markMoved(int64_t itemId, const std::string& quarantine = {});
  void dropItem(int64_t itemId);  // the move did not happen, or was undone
  // Recounts the clean's moved items and bytes.
  void finishClean(int64_t cleanId);

  std::vector<JournalClean> cleans();  // newest first
  std::vector<JournalItem> items(int64_t cleanId);

  const std::string& path() const { return path_; }

 private:
  friend class Quarantine;
  UndoJournal() = default;
  bool settle(std::string* error);
  std::string path_;
  SqliteTool db_;
  // The trash folders Quarantine::place has opened, by device: each is
  // looked up and opened once per journal, not once per item.
  struct OpenTrash;
  std::map<dev_t, std::shared_ptr<OpenTrash>> trashes_;
};

// Where items of one volume go, and how.
class Quarantine {
 public:
  // Moves the listed item into the trash of its volume and journals it
  // (intent before, mark after). On success *bytes gets what it takes.
  // kNoTrashText when the volume has no trash that can be used.
  static FileStatus place(UndoJournal& journal, int64_t cleanId, const ListedItem& item,
                          int64_t bytes);

  // Puts a moved item back (a place taken again gets a numbered name:
  // "name (2).ext"); *restoredAs gets where it went. Owner, mode and times
  // are set as they were.
  static FileStatus restore(UndoJournal& journal, const JournalItem& item, std::string* restoredAs);

  // Journals the intent of the helper moving the item at `path` into this
  // user's folder of its volume's privileged quarantine as `name`
  // (privileged_file_operations.h), where the row foresees it until the
  // helper's answer says where it went (markMoved);
  // the row's id, 0 when the item cannot be examined or the row written.
  // The caller marks it moved, or drops it, by the helper's answer.
  static int64_t recordPrivilegedIntent(UndoJournal& journal, int64_t cleanId,
                                        const std::string& path, const std::string& name,
                                        int64_t bytes);

  // Removes a moved item from the trash for good.
  static FileStatus purge(UndoJournal& journal, const JournalItem& item);

  // The trash for an item at `path` on `device`, created when missing:
  // `files` takes the items, `info` their .trashinfo (empty in the macOS
  // layout). Both empty when there is none the user owns on that device.
  struct Trash {
    std::string files, info;
  };
  static Trash trashFor(const std::string& path, dev_t device);
};

inline constexpr const char* kNoTrashText = "no trash on its volume; not removed without --final";

}  // namespace orvexa
