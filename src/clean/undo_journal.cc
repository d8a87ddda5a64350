#include "orvexa/clean/undo_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"

namespace orvexa {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS cleans(id INTEGER PRIMARY KEY, time INTEGER, command TEXT,"
    " count INTEGER DEFAULT 0, bytes INTEGER DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS items(id INTEGER PRIMARY KEY, clean INTEGER, moved INTEGER,"
    " original TEXT, quarantine TEXT, info TEXT, device INTEGER, inode INTEGER, size INTEGER,"
    " mtime INTEGER, atime INTEGER, bytes INTEGER, owner INTEGER, grp INTEGER, mode INTEGER);";

int64_t ns(const struct timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }
struct timespec fromNs(int64_t v) {
  return {static_cast<time_t>(v / 1000000000), static_cast<long>(v % 1000000000)};
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
  if (::lstat(item.quarantine.c_str(), &st) != 0) return std::nullopt;
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

bool makeFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// "name (N).ext" for N = 2, 3, ...
std::string numbered(const std::string& path, int n) {
  const std::filesystem::path p(path);
  const std::string stem = p.stem().string(), ext = p.extension().string();
  return (p.parent_path() / (stem + " (" + std::to_string(n) + ")" + ext)).string();
}

// Opens the folder that held `path` (re-creating missing folders) and sets
// *name to the item's name in it: from the user's home when the path lies
// below it (the home itself may be a link), else from "/", every further
// component without following a link, so that a link swapped in on the way
// cannot send a restored item elsewhere. -1 with errno on failure.
int openParent(const std::string& path, std::string* name) {
  const std::filesystem::path whole(path);
  *name = whole.filename().string();
  const std::string home = Paths::shared().userHome();
  std::string rest = whole.parent_path().string();
  std::string start = "/";
  if (rest == home || rest.rfind(home + "/", 0) == 0) {
    start = home;
    rest = rest.substr(home.size());
  }
  int fd = ::open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const auto& part : std::filesystem::path(rest)) {
    const std::string component = part.string();
    if (fd < 0 || component.empty() || component == "/") continue;
    if (component == "." || component == "..") {
      ::close(fd);
      errno = EINVAL;
      return -1;
    }
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int next = ::openat(fd, component.c_str(), kFlags);
    if (next < 0 && errno == ENOENT && ::mkdirat(fd, component.c_str(), 0755) == 0) {
      next = ::openat(fd, component.c_str(), kFlags);
    }
    const int err = errno;
    ::close(fd);
    fd = next;
    errno = err;
  }
  return fd;
}

}  // namespace

std::string UndoJournal::defaultPath() {
  std::string bundle = Identity::shared().bundleIdentifier();
  if (bundle.empty()) bundle = "org.orvexa";
  return Paths::shared().userApplicationSupport() + "/" + bundle + "/UndoJournal.sqlite";
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
    bool keep = holds(item.quarantine, item);
    if (!item.moved && keep) keep = markMoved(item.id);
    if (!keep) {
      if (!item.infoFile.empty() && !holds(item.quarantine, item)) ::unlink(item.infoFile.c_str());
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
      " atime, bytes, owner, grp, mode) VALUES(?, 0, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      {i.cleanId, i.original, i.quarantine, i.infoFile, static_cast<int64_t>(i.device),
       static_cast<int64_t>(i.inode), i.size, i.modificationNs, i.accessNs, i.bytes,
       int64_t{i.owner}, int64_t{i.group}, int64_t{i.mode}});
  if (!ok) return 0;
  const std::vector<SqlRow> rows = db_.queryDBData("SELECT last_insert_rowid() AS id");
  return rows.empty() ? 0 : num(rows.front(), "id");
}

bool UndoJournal::markMoved(int64_t itemId) {
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

std::string Quarantine::trashFor(const std::string& path, dev_t device) {
  struct stat st {};
  const std::string home = Paths::shared().userHome();
  if (::stat(home.c_str(), &st) == 0 && st.st_dev == device) {
    const std::string trash = home + "/.local/share/Trash";
    std::error_code ec;
    std::filesystem::create_directories(trash, ec);
    if (makeFolder(trash + "/files") && makeFolder(trash + "/info")) return trash;
    return {};
  }
  // The volume's top: the highest folder above the item on its device.
  std::filesystem::path top = std::filesystem::path(path).parent_path();
  while (top.has_parent_path() && top != top.parent_path()) {
    if (::stat(top.parent_path().c_str(), &st) != 0 || st.st_dev != device) break;
    top = top.parent_path();
  }
  const std::string trash = top.string() + "/.Trash-" + std::to_string(::getuid());
  if (!makeFolder(trash) || ::lstat(trash.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      st.st_dev != device || st.st_uid != ::getuid()) {
    return {};
  }
  if (makeFolder(trash + "/files") && makeFolder(trash + "/info")) return trash;
  return {};
}

FileStatus Quarantine::place(UndoJournal& journal, int64_t cleanId, const ListedItem& item,
                             int64_t bytes) {
  struct stat st {};
  if (::lstat(item.path.c_str(), &st) != 0 || !item.identity.matches(st)) {
    return FileStatus::withMessage(ESTALE, kChangedText);
  }
  const std::string trash = trashFor(item.path, st.st_dev);
  if (trash.empty()) return FileStatus::withMessage(EXDEV, kNoTrashText);
  // The .trashinfo is created exclusively first: it reserves the name.
  const std::string base = std::filesystem::path(item.path).filename().string();
  std::string name, info;
  int fd = -1;
  for (int n = 1; fd < 0 && n < 10000; ++n) {
    name = n == 1 ? base : numbered(base, n);
    info = trash + "/info/" + name + ".trashinfo";
    fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno != EEXIST) return FileStatus::fromErrno(errno, info);
  }
  if (fd < 0) return FileStatus::withMessage(EEXIST, "no free name in the trash " + trash);
  char date[32];
  const time_t now = std::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  const std::string content =
      "[Trash Info]\nPath=" + encoded(item.path) + "\nDeletionDate=" + date + "\n";
  const bool written =
      ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  ::close(fd);
  JournalItem row;
  row.cleanId = cleanId;
  row.original = item.path;
  row.quarantine = trash + "/files/" + name;
  row.infoFile = info;
  row.device = st.st_dev;
  row.inode = st.st_ino;
  row.size = st.st_size;
  row.modificationNs = ns(st.st_mtim);
  row.accessNs = ns(st.st_atim);
  row.bytes = bytes;
  row.owner = st.st_uid;
  row.group = st.st_gid;
  row.mode = st.st_mode & 07777;
  const int64_t id = written ? journal.recordIntent(row) : 0;
  if (id == 0) {
    ::unlink(info.c_str());
    return FileStatus::withMessage(EIO, "the undo journal cannot be written; not moved");
  }
  const int filesFd = ::open((trash + "/files").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FileStatus moved = filesFd < 0 ? FileStatus::fromErrno(errno, trash + "/files")
                                 : moveListedItem(item, filesFd, name);
  if (filesFd >= 0) ::close(filesFd);
  if (!moved.ok()) {
    journal.dropItem(id);
    ::unlink(info.c_str());
    return moved;
  }
  journal.markMoved(id);
  return FileStatus();
}

FileStatus Quarantine::restore(UndoJournal& journal, const JournalItem& item,
                               std::string* restoredAs) {
  if (!holds(item.quarantine, item)) {
    journal.dropItem(item.id);
    return FileStatus::withMessage(ENOENT, "no longer in the trash");
  }
  std::string name;
  const int parent = openParent(item.original, &name);
  if (parent < 0) return FileStatus::fromErrno(errno, item.original);
  const std::optional<ListedItem> listed = quarantined(item);
  std::string target = name;
  FileStatus moved = FileStatus::withMessage(ESTALE, kChangedText);
  for (int n = 2; listed && n < 10000; ++n) {
    moved = moveListedItem(*listed, parent, target);
    if (moved.ok() || moved.code() != EEXIST) break;
    target = numbered(name, n);
  }
  const std::string shown = (std::filesystem::path(item.original).parent_path() / target).string();
  if (!moved.ok()) {
    ::close(parent);
    return moved;
  }
  *restoredAs = shown;
  // Owner first: a change of owner clears the set-id bits the mode restores.
  FileStatus status;
  if (::fchownat(parent, target.c_str(), item.owner, item.group, AT_SYMLINK_NOFOLLOW) != 0 &&
      ::geteuid() == 0) {
    status = FileStatus::fromErrno(errno, shown);
  }
  struct stat st {};
  if (::fstatat(parent, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode)) {
    ::fchmodat(parent, target.c_str(), item.mode, 0);
  }
  const struct timespec times[2] = {fromNs(item.accessNs), fromNs(item.modificationNs)};
  ::utimensat(parent, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
  ::close(parent);
  if (!item.infoFile.empty()) ::unlink(item.infoFile.c_str());
  journal.dropItem(item.id);
  return status;
}

FileStatus Quarantine::purge(UndoJournal& journal, const JournalItem& item) {
  if (!holds(item.quarantine, item)) {
    journal.dropItem(item.id);
    return FileStatus();
  }
  const std::optional<ListedItem> listed = quarantined(item);
  FileStatus removed =
      listed ? removeListedItem(*listed) : FileStatus::withMessage(ESTALE, kChangedText);
  if (!removed.ok()) return removed;
  if (!item.infoFile.empty()) ::unlink(item.infoFile.c_str());
  journal.dropItem(item.id);
  return FileStatus();
}

}  // namespace orvexa
