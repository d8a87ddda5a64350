#include "orvexa/clean/undo_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <future>
#include <optional>

#include "orvexa/helper/helper_event_plan.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/helper/privileged_file_operations.h"
#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/file_writer.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "platform/unique_fd.h"

namespace orvexa {
namespace {

using detail::UniqueFd;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS cleans(id INTEGER PRIMARY KEY, time INTEGER, command TEXT,"
    " count INTEGER DEFAULT 0, bytes INTEGER DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS items(id INTEGER PRIMARY KEY, clean INTEGER, moved INTEGER,"
    " original TEXT, quarantine TEXT, info TEXT, device INTEGER, inode INTEGER, size INTEGER,"
    " mtime INTEGER, atime INTEGER, bytes INTEGER, owner INTEGER, grp INTEGER, mode INTEGER,"
    " privileged INTEGER DEFAULT 0);";
// Journals written before items could be privileged lack the column.
constexpr const char* kAddPrivileged = "ALTER TABLE items ADD COLUMN privileged INTEGER DEFAULT 0";

int64_t ns(const struct timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

// The intent row of a move of `path`, whose status is `st`: what undo needs
// to put it back as it was.
JournalItem intentOf(int64_t cleanId, const std::string& path, const struct stat& st,
                     int64_t bytes) {
  JournalItem row;
  row.cleanId = cleanId;
  row.original = path;
  row.device = st.st_dev;
  row.inode = st.st_ino;
  row.size = st.st_size;
  row.modificationNs = ns(st.st_mtim);
  row.accessNs = ns(st.st_atim);
  row.bytes = bytes;
  row.owner = st.st_uid;
  row.group = st.st_gid;
  row.mode = st.st_mode;
  return row;
}

int64_t num(const SqlRow& row, const char* key) {
  auto it = row.find(key);
  return it == row.end() ? 0 : std::strtoll(it->second.c_str(), nullptr, 10);
}
std::string text(const SqlRow& row, const char* key) {
  auto it = row.find(key);
  return it == row.end() ? std::string() : it->second;
}

JournalItem itemOf(const SqlRow& r) {
  JournalItem i;
  i.id = num(r, "id");
  i.cleanId = num(r, "clean");
  i.moved = num(r, "moved") != 0;
  i.original = text(r, "original");
  i.quarantine = text(r, "quarantine");
  i.infoFile = text(r, "info");
  i.device = static_cast<uint64_t>(num(r, "device"));
  i.inode = static_cast<uint64_t>(num(r, "inode"));
  i.size = num(r, "size");
  i.modificationNs = num(r, "mtime");
  i.accessNs = num(r, "atime");
  i.bytes = num(r, "bytes");
  i.owner = static_cast<uid_t>(num(r, "owner"));
  i.group = static_cast<gid_t>(num(r, "grp"));
  i.mode = static_cast<mode_t>(num(r, "mode"));
  i.privileged = num(r, "privileged") != 0;
  return i;
}

// The item at `path` is the journalled one (same device and inode).
bool holds(const std::string& path, const JournalItem& item) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == item.device &&
         static_cast<uint64_t>(st.st_ino) == item.inode;
}

// The quarantined item as the journal recorded it, reached from its trash's
// files folder: restoring and purging go through the verified removal, so an
// item changed or swapped in the trash stays where it is.
std::optional<ListedItem> quarantined(const JournalItem& item) {
  struct stat st {};
  if (::lstat(item.quarantine.c_str(), &st) != 0) {
    // A root-only quarantine: the identity as journalled.
    if (!item.privileged || (item.mode & S_IFMT) == 0) return std::nullopt;
    st.st_mode = item.mode;
  }
  ListedIdentity identity = ListedIdentity::fromStat(st);
  identity.inode = item.inode;
  identity.size = item.size;
  identity.modificationNs = item.modificationNs;
  identity.device = ListedIdentity::foldDevice(item.device);
  return ListedItem{std::filesystem::path(item.quarantine).parent_path().string(), item.quarantine,
                    identity};
}

// Percent-encodes a path for a .trashinfo Path= line.
std::string encoded(const std::string& path) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// Opens the folder `path` (making missing folders with `mode` when
// `create`): from the user's home when the path lies below it (the home
// itself may be a link), else from "/", every further component without
// following a link, so that a link swapped in on the way cannot send a
// restored item, or a trash entry, elsewhere. Invalid with errno on failure.
UniqueFd openFolder(const std::string& path, bool create, mode_t mode) {
  const std::string home = Paths::shared().userHome();
  std::string rest = path;
  std::string start = "/";
  if (rest == home || rest.rfind(home + "/", 0) == 0) {
    start = home;
    rest = rest.substr(home.size());
  }
  UniqueFd fd(::open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (const auto& part : std::filesystem::path(rest)) {
    const std::string component = part.string();
    if (!fd || component.empty() || component == "/") continue;
    if (component == "." || component == "..") {
      errno = EINVAL;
      return UniqueFd();
    }
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int next = ::openat(fd.get(), component.c_str(), kFlags);
    if (next < 0 && errno == ENOENT && create &&
        ::mkdirat(fd.get(), component.c_str(), mode) == 0) {
      next = ::openat(fd.get(), component.c_str(), kFlags);
    }
    const int err = errno;
    fd.reset(next);
    errno = err;
  }
  return fd;
}

// The .trashinfo the journal names for `item`, removed relative to its
// folder (reached as above) and only while it still names the item's
// original path (or is empty): a file manager may have given the name to
// another item since.
void removeInfo(const JournalItem& item) {
  if (item.infoFile.empty()) return;
  const std::filesystem::path info(item.infoFile);
  const UniqueFd folder = openFolder(info.parent_path().string(), false, 0);
  if (!folder) return;
  const std::string name = info.filename().string();
  RegularFile file = RegularFile::openAt(folder.get(), name, 65536);
  const std::optional<std::string> read = file.ok() ? file.readAll() : std::nullopt;
  if (!read) return;
  const std::string& content = *read;
  // (Empty: a clean was killed between creating and writing it.)
  if (!content.empty() &&
      content.find("\nPath=" + encoded(item.original) + "\n") == std::string::npos) {
    return;
  }
  ::unlinkat(folder.get(), name.c_str(), 0);
}

// Asks the privileged helper (served in this program when it runs as root)
// for one Maintenance `operation` on `path` and waits for the answer;
// *toPath gets the item's new place when the answer names one.
FileStatus askHelper(HelperMaintenanceOperation operation, const std::string& path,
                     PlistValue::Dictionary value, std::string* toPath) {
  const PrivilegeHelper::HelperTool tool =
      PrivilegeHelper::shard().getHelperTool(PrivilegeHelper::helperName(), kSMDomainSystemLaunchd);
  if (!tool.first) {
    return FileStatus::withMessage(EPERM, tool.second.value_or("the privileged helper is missing"));
  }
  PlistValue event = PlistValue::dictionary();
  event.set(std::string(kHelperOperationValueKey), raw(operation));
  event.set(path, PlistValue(std::move(value)));
  auto answer = std::make_shared<std::promise<PlistValue>>();
  std::future<PlistValue> answered = answer->get_future();
  tool.first->handleEvent(
      raw(HelperHanldeEventID::Maintenance), std::move(event),
      [answer](bool, int, PlistValue information) { answer->set_value(std::move(information)); });
  const PlistValue information = answered.get();
  const PlistValue* entry = information.find(path);
  const PlistValue& said = entry != nullptr ? *entry : information;
  const PlistValue* status = said.find(kHelperDeleteStatusKey);
  const PlistValue* desc = said.find(kHelperDeleteDescKey);
  const PlistValue* to = said.find(kHelperToPathKey);
  if (to != nullptr && to->asString() != nullptr) *toPath = *to->asString();
  if (entry != nullptr && status != nullptr &&
      status->asInteger() == raw(HelperEventErrorID::Success)) {
    return FileStatus();
  }
  return FileStatus::withMessage(EPERM, desc != nullptr && desc->asString() != nullptr
                                            ? *desc->asString()
                                            : "the privileged helper gave no answer");
}

}  // namespace

struct UndoJournal::OpenTrash {
  Quarantine::Trash trash;
  UniqueFd files, info;  // info invalid when the trash keeps no .trashinfo
};

std::string UndoJournal::defaultPath() {
  std::string bundle = Identity::shared().bundleIdentifier();
  if (bundle.empty()) bundle = "org.orvexa";
  return Paths::shared().ownDataFolder() + "/" + bundle + "/UndoJournal.sqlite";
}

std::unique_ptr<UndoJournal> UndoJournal::open(const std::string& path, bool create,
                                               std::string* error) {
  std::unique_ptr<UndoJournal> journal(new UndoJournal());
  journal->path_ = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (!create) {
      *error = "no undo journal at " + path + ": nothing to undo";
      return nullptr;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  }
  if (!journal->db_.openDB(path)) {
    *error = "cannot open the undo journal: " + journal->db_.lastError();
    return nullptr;
  }
  // WAL with NORMAL sync: every committed row survives the process being
  // killed, without two syncs per row.
  auto [ok, why] = journal->db_.executionSQL(kSchema);
  if (ok && journal->db_
                .queryDBData("SELECT * FROM pragma_table_info('items')"
                             " WHERE name = 'privileged'")
                .empty()) {
    std::tie(ok, why) = journal->db_.executionSQL(kAddPrivileged);
  }
  if (ok) journal->db_.executionSQL("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL");
  if (ok) std::tie(ok, why) = journal->db_.executionSQL("SELECT count(*) FROM items");
  // The journal must be writable now: another writer holding it would make
  // every mark below fail silently.
  if (ok) std::tie(ok, why) = journal->db_.executionSQL("BEGIN IMMEDIATE; COMMIT");
  if (!ok) {
    *error = "the undo journal " + path + " cannot be used (" +
             (journal->db_.locked() ? std::string("locked by another program") : why) +
             "); nothing was touched";
    return nullptr;
  }
  if (!journal->settle(error)) return nullptr;
  return journal;
}

bool UndoJournal::settle(std::string* error) {
  for (const SqlRow& row : db_.queryDBData("SELECT * FROM items")) {
    const JournalItem item = itemOf(row);
    struct stat st {};
    if (item.privileged && ::lstat(item.quarantine.c_str(), &st) != 0 && errno == EACCES) {
      // In a root-only quarantine this user cannot look into: gone from
      // its place means the helper moved it.
      if (!item.moved && holds(item.original, item)) {
        dropItem(item.id);
      } else if (!item.moved) {
        markMoved(item.id);
      }
      continue;
    }
    bool keep = holds(item.quarantine, item);
    if (!item.moved && keep) keep = markMoved(item.id);
    if (!keep) {
      removeInfo(item);
      dropItem(item.id);
    }
  }
  auto [ok, why] = db_.executionSQL("SELECT 1");
  if (!ok) *error = "the undo journal " + path_ + " cannot be settled: " + why;
  return ok;
}

int64_t UndoJournal::beginClean(const std::string& command) {
  auto [ok, why] = db_.executionSQL("INSERT INTO cleans(time, command) VALUES(?, ?)",
                                    {int64_t{std::time(nullptr)}, command});
  if (!ok) return 0;
  const std::vector<SqlRow> rows = db_.queryDBData("SELECT last_insert_rowid() AS id");
  return rows.empty() ? 0 : num(rows.front(), "id");
}

int64_t UndoJournal::recordIntent(const JournalItem& i) {
  auto [ok, why] = db_.executionSQL(
      "INSERT INTO items(clean, moved, original, quarantine, info, device, inode, size, mtime,"
      " atime, bytes, owner, grp, mode, privileged)"
      " VALUES(?, 0, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      {i.cleanId, i.original, i.quarantine, i.infoFile, static_cast<int64_t>(i.device),
       static_cast<int64_t>(i.inode), i.size, i.modificationNs, i.accessNs, i.bytes,
       int64_t{i.owner}, int64_t{i.group}, int64_t{i.mode}, int64_t{i.privileged}});
  if (!ok) return 0;
  const std::vector<SqlRow> rows = db_.queryDBData("SELECT last_insert_rowid() AS id");
  return rows.empty() ? 0 : num(rows.front(), "id");
}

bool UndoJournal::markMoved(int64_t itemId, const std::string& quarantine) {
  if (!quarantine.empty()) {
    return db_
        .executionSQL("UPDATE items SET moved = 1, quarantine = ? WHERE id = ?",
                      {quarantine, itemId})
        .first;
  }
  return db_.executionSQL("UPDATE items SET moved = 1 WHERE id = ?", {itemId}).first;
}

void UndoJournal::dropItem(int64_t itemId) {
  db_.executionSQL("DELETE FROM items WHERE id = ?", {itemId});
}

void UndoJournal::finishClean(int64_t cleanId) {
  db_.executionSQL(
      "UPDATE cleans SET count = (SELECT count(*) FROM items WHERE clean = ?1 AND moved = 1),"
      " bytes = (SELECT coalesce(sum(bytes), 0) FROM items WHERE clean = ?1 AND moved = 1)"
      " WHERE id = ?1",
      {cleanId});
}

std::vector<JournalClean> UndoJournal::cleans() {
  std::vector<JournalClean> out;
  for (const SqlRow& r : db_.queryDBData(
           "SELECT c.*, (SELECT count(*) FROM items i WHERE i.clean = c.id AND i.moved = 1)"
           " AS restorable FROM cleans c ORDER BY c.id DESC")) {
    out.push_back({num(r, "id"), num(r, "time"), text(r, "command"), num(r, "count"),
                   num(r, "bytes"), num(r, "restorable")});
  }
  return out;
}

std::vector<JournalItem> UndoJournal::items(int64_t cleanId) {
  std::vector<JournalItem> out;
  for (const SqlRow& r : db_.queryDBData(
           "SELECT * FROM items WHERE clean = ? AND moved = 1 ORDER BY id", {cleanId})) {
    out.push_back(itemOf(r));
  }
  return out;
}

Quarantine::Trash Quarantine::trashFor(const std::string& path, dev_t device) {
  const Paths& paths = Paths::shared();
  const bool freedesktop = paths.layout() == Layout::Linux;
  struct stat st {};
  std::string folder;
  bool own = false;  // a volume's trash must be the user's own folder
  const std::string home = paths.userHome();
  if (::stat(home.c_str(), &st) == 0 && st.st_dev == device) {
    folder = paths.userTrash();
  } else {
    // The volume's top: the highest folder above the item on its device.
    std::filesystem::path top = std::filesystem::path(path).parent_path();
    while (top.has_parent_path() && top != top.parent_path()) {
      if (::stat(top.parent_path().c_str(), &st) != 0 || st.st_dev != device) break;
      top = top.parent_path();
    }
    const std::string volume = top == top.root_path() ? std::string() : top.string();
    folder = paths.volumeTrashFolders(volume, ::geteuid()).front();
    own = true;
  }
  const UniqueFd fd = openFolder(folder, true, 0700);
  if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_dev != device ||
      (own && st.st_uid != ::geteuid())) {
    return {};
  }
  if (!freedesktop) return {folder, {}};
  for (const char* sub : {"files", "info"}) {
    if (::mkdirat(fd.get(), sub, 0700) != 0 && errno != EEXIST) return {};
  }
  return {folder + "/files", folder + "/info"};
}

FileStatus Quarantine::place(UndoJournal& journal, int64_t cleanId, const ListedItem& item,
                             int64_t bytes) {
  struct stat st {};
  if (::lstat(item.path.c_str(), &st) != 0 || !item.identity.matches(st)) {
    return FileStatus::withMessage(ESTALE, kChangedText);
  }
  std::shared_ptr<UndoJournal::OpenTrash> open = journal.trashes_[st.st_dev];
  if (!open) {
    open = std::make_shared<UndoJournal::OpenTrash>();
    open->trash = trashFor(item.path, st.st_dev);
    if (open->trash.files.empty()) return FileStatus::withMessage(EXDEV, kNoTrashText);
    open->files = openFolder(open->trash.files, false, 0);
    if (!open->trash.info.empty()) open->info = openFolder(open->trash.info, false, 0);
    if (!open->files || (!open->trash.info.empty() && !open->info)) {
      return FileStatus::fromErrno(errno, open->files ? open->trash.info : open->trash.files);
    }
    journal.trashes_[st.st_dev] = open;
  }
  const Trash& trash = open->trash;
  const UniqueFd& files = open->files;
  const UniqueFd& info = open->info;
  char date[32];
  const time_t now = std::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  const std::string content =
      "[Trash Info]\nPath=" + encoded(item.path) + "\nDeletionDate=" + date + "\n";
  JournalItem row = intentOf(cleanId, item.path, st, bytes);
  // The intent comes first, then the .trashinfo (created exclusively: it
  // reserves the name), then the move: a clean killed anywhere leaves a
  // row that settle() can finish or drop, never an entry it does not know.
  const std::string base = std::filesystem::path(item.path).filename().string();
  // A trash folder removed while the clean runs (emptied by hand) leaves
  // its descriptor open on nothing: every later step would fail, and the
  // item look changed, for that reason.
  auto gone = [&]() -> std::optional<FileStatus> {
    for (const auto& [fd, path] :
         {std::pair{&files, &trash.files}, std::pair{&info, &trash.info}}) {
      struct stat folder {};
      if (*fd && ::fstat(fd->get(), &folder) == 0 && folder.st_nlink == 0) {
        return FileStatus::withMessage(ENOENT, "the trash folder " + *path + " is gone; not moved");
      }
    }
    return std::nullopt;
  };
  for (int n = 1; n < 10000; ++n) {
    if (std::optional<FileStatus> missing = gone()) return *missing;
    const std::string name = n == 1 ? base : numberedName(base, n);
    struct stat taken {};
    if (::fstatat(files.get(), name.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) continue;
    row.quarantine = trash.files + "/" + name;
    row.infoFile = info ? trash.info + "/" + name + ".trashinfo" : std::string();
    const int64_t id = journal.recordIntent(row);
    if (id == 0)
      return FileStatus::withMessage(EIO, "the undo journal cannot be written; not moved");
    if (info) {
      const std::string infoName = name + ".trashinfo";
      const UniqueFd out(::openat(info.get(), infoName.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
      const int err = errno;
      if (!out) journal.dropItem(id);
      if (!out && err == EEXIST) continue;
      if (std::optional<FileStatus> missing = gone(); !out && missing) return *missing;
      if (!out) return FileStatus::fromErrno(err, row.infoFile);
      if (!writeAll(out.get(), content, row.infoFile).ok()) {
        ::unlinkat(info.get(), infoName.c_str(), 0);
        journal.dropItem(id);
        return FileStatus::withMessage(EIO, row.infoFile + ": cannot be written; not moved");
      }
    }
    const FileStatus moved = moveListedItem(item, files.get(), name);
    if (!moved.ok()) {
      if (info) ::unlinkat(info.get(), (name + ".trashinfo").c_str(), 0);
      journal.dropItem(id);
      if (moved.code() == EEXIST) continue;
      if (std::optional<FileStatus> missing = gone()) return *missing;
      return moved;
    }
    journal.markMoved(id);
    return FileStatus();
  }
  return FileStatus::withMessage(EEXIST, "no free name in the trash " + trash.files);
}

int64_t Quarantine::recordPrivilegedIntent(UndoJournal& journal, int64_t cleanId,
                                           const std::string& path, const std::string& name,
                                           int64_t bytes) {
  struct stat st {};
  const std::string folder = privilegedQuarantineFor(path);
  if (folder.empty() || ::lstat(path.c_str(), &st) != 0) return 0;
  JournalItem row = intentOf(cleanId, path, st, bytes);
  row.quarantine = folder + "/" + std::to_string(::geteuid()) + "/" + name;
  row.privileged = true;
  return journal.recordIntent(row);
}

FileStatus Quarantine::restore(UndoJournal& journal, const JournalItem& item,
                               std::string* restoredAs) {
  const std::optional<ListedItem> listed = quarantined(item);
  if (!listed || (!item.privileged && !holds(item.quarantine, item))) {
    journal.dropItem(item.id);
    return FileStatus::withMessage(ENOENT, "no longer in the trash");
  }
  const ItemAttributes attributes{item.owner, item.group, item.mode, item.accessNs,
                                  item.modificationNs};
  if (item.privileged) {
    PlistValue::Dictionary value;
    value.entries.emplace_back(std::string(kHelperToPathKey), item.original);
    putListedItem(&value, listed->root, listed->identity);
    value.entries.emplace_back(std::string(kHelperAccessKey), item.accessNs);
    const FileStatus status = askHelper(HelperMaintenanceOperation::Restore, item.quarantine,
                                        std::move(value), restoredAs);
    if (!restoredAs->empty()) journal.dropItem(item.id);
    return status;
  }
  const std::filesystem::path original(item.original);
  const UniqueFd parent = openFolder(original.parent_path().string(), true, 0755);
  if (!parent) return FileStatus::fromErrno(errno, item.original);
  std::string placed;
  const FileStatus status =
      putBackListedItem(*listed, parent.get(), original.filename().string(), attributes, &placed);
  if (placed.empty()) return status;
  *restoredAs = (original.parent_path() / placed).string();
  removeInfo(item);
  journal.dropItem(item.id);
  return status;
}

FileStatus Quarantine::purge(UndoJournal& journal, const JournalItem& item) {
  if (item.privileged) {
    // The helper removes the entry only while it is the item journalled.
    const std::optional<ListedItem> listed = quarantined(item);
    if (!listed) return FileStatus::withMessage(ESTALE, kChangedText);
    PlistValue::Dictionary value;
    putListedItem(&value, listed->root, listed->identity);
    std::string unused;
    const FileStatus removed =
        askHelper(HelperMaintenanceOperation::Clean, item.quarantine, std::move(value), &unused);
    if (removed.ok()) journal.dropItem(item.id);
    return removed;
  }
  if (!holds(item.quarantine, item)) {
    journal.dropItem(item.id);
    return FileStatus();
  }
  const std::optional<ListedItem> listed = quarantined(item);
  FileStatus removed =
      listed ? removeListedItem(*listed) : FileStatus::withMessage(ESTALE, kChangedText);
  if (!removed.ok()) return removed;
  journal.dropItem(item.id);  // the removal took the item's .trashinfo with it
  return FileStatus();
}

}  // namespace orvexa
