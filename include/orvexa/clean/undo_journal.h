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
// The trash is the freedesktop.org one of the item's volume, so file
// managers list and restore the items too: the home trash
// (~/.local/share/Trash, files/ and info/NAME.trashinfo with Path= and
// DeletionDate=) for items on the home's file system, else the volume's
// top-level .Trash-UID. Items are only ever renamed into it (never copied);
// where no trash can be had on the item's volume, Quarantine::place fails
// and the caller removes the item only when told to (--final).
// (Deliberately the Linux layout only for now: the macOS layout's ~/.Trash
// keeps no info files and is not used yet.)
//
// Values reach SQL only as bound parameters. A missing, locked or corrupt
// journal makes open() fail with words naming the path; nothing is touched.
//
// Ownership and threading: an UndoJournal owns its connection; use one from
// one thread at a time. Errors are returned, never thrown.
#pragma once

#include <sys/types.h>

#include <cstdint>
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
  mode_t mode = 0;
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
  bool markMoved(int64_t itemId);
  void dropItem(int64_t itemId);  // the move did not happen, or was undone
  // Recounts the clean's moved items and bytes.
  void finishClean(int64_t cleanId);

  std::vector<JournalClean> cleans();  // newest first
  std::vector<JournalItem> items(int64_t cleanId);

  const std::string& path() const { return path_; }

 private:
  UndoJournal() = default;
  bool settle(std::string* error);
  std::string path_;
  SqliteTool db_;
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

  // Removes a moved item from the trash for good.
  static FileStatus purge(UndoJournal& journal, const JournalItem& item);

  // The trash folder (holding files/ and info/) for an item on `device`,
  // created when missing; empty when there is none.
  static std::string trashFor(const std::string& path, dev_t device);
};

inline constexpr const char* kNoTrashText = "no trash on its volume; not removed without --final";

}  // namespace orvexa
