#include "scan/disk_analysis/disk_tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "model/records_blocks.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/posix_error.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/queue_or_here.h"
#include "platform/folder_chain.h"
#include "platform/resource_values_at.h"

namespace orvexa::disk_analysis {

// A folder record whose size and identifier are settled once its subtree is
// complete: its record, the folder holding it and its index there.
struct FolderNode {
  FileInformation* record;
  FileInformation* parent;
  int index;
};

// The folders one task created, in creation order (parents before their
// content).
struct TaskNodes {
  std::vector<FolderNode> nodes;
};

// One top-level folder and the tasks that walk its subtree.
struct TopLevel {
  TopLevel(FilePtr r, int i) : record(std::move(r)), index(i) {}

  // Moved out by the walker that settles the subtree: once the record is
  // handed on, nothing of the walk may keep a reference to it (the last
  // reference to a deep tree must be dropped by releaseTree, not by a
  // destructor here).
  FilePtr record;
  const int index;
  // Tasks of this subtree not yet ended. Whoever ends the last one settles it.
  std::atomic<int64_t> pending{0};
  std::mutex mu;
  // In the order the tasks were created: a task created later only holds
  // folders below folders of earlier tasks, so walking the lists backwards
  // meets every folder after everything below it.
  std::vector<std::unique_ptr<TaskNodes>> tasks;

  TaskNodes* addTask() {
    pending.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(mu);
    tasks.push_back(std::make_unique<TaskNodes>());
    return tasks.back().get();
  }
};

// A folder whose content is still to be walked.
struct Task {
  FilePtr folder;
  int index = 0;
  std::shared_ptr<TopLevel> owner;
  TaskNodes* nodes = nullptr;
};

namespace {

// Top-level items go to the host's queue in batches of at most this many, or
// sooner when the last batch left this long ago.
constexpr size_t kBatchSize = 1024;
constexpr auto kBatchInterval = std::chrono::milliseconds(50);
// How often a long folder listing looks for a stop request.
constexpr size_t kStopCheckInterval = 256;
// Tasks are opened by path: deeper folders stay with the walker that found
// them (it reaches them through descriptors).
constexpr size_t kMaxHandedOutPath = 2048;

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_UID | STATX_SIZE | STATX_BTIME |
                                STATX_MTIME | STATX_CTIME | STATX_INO | STATX_BLOCKS | STATX_NLINK;

struct EntryRef {
  uint32_t offset;
  uint32_t length;
  unsigned char type;
};

// Adds up the folder sizes of a finished subtree and gives its folders
// their identifiers (files got theirs when listed).
void settle(TopLevel& top) {
  std::lock_guard lock(top.mu);
  for (auto task = top.tasks.rbegin(); task != top.tasks.rend(); ++task) {
    std::vector<FolderNode>& nodes = (*task)->nodes;
    for (auto node = nodes.rbegin(); node != nodes.rend(); ++node) {
      node->record->setFinderID(node->index);
      node->parent->size += node->record->size;
      node->parent->setAllocatedSize(node->parent->allocatedSize() + node->record->allocatedSize());
    }
    nodes = {};
  }
  top.tasks.clear();
  top.record->setFinderID(top.index);
}

}  // namespace

// One walker: its descriptor chain and scratch space, reused across tasks.
class Walker {
 public:
  explicit Walker(TreeWalk& walk) : walk_(walk), euid_(::geteuid()) {}

  ~Walker() { flush(true); }

  // A folder on the walker's way down: its record, its index, its
  // sub-folders and the next one to visit.
  struct Level {
    FilePtr folder;
    int index = 0;
    std::vector<std::pair<FilePtr, int>> subfolders;
    size_t next = 0;
    size_t pathLength = 0;  // of the folder's path, which the records do not keep
  };

  // Lists the folder open at the top of the chain into `into`: files become
  // numbered records; folders become records that `level` remembers and
  // `nodes` (when given) settles later. Adds the files' sizes (apparent and
  // allocated) to `filesSize`. False when the walk was stopped.
  bool list(Level& level, std::vector<FilePtr>& into, std::pair<int64_t, int64_t>* filesSize,
            TaskNodes* nodes) {
    // The folder's mode and owner as the chain saw them when it opened it.
    const detail::FolderChain::Frame& self = chain_.top();
    const int fd = self.fd.get();
    const bool sticky = (self.mode & S_ISVTX) != 0;
    const uid_t owner = self.uid;
    // The folder's identity is what the chain saw when it opened it.
    ListedIdentity folderIdentity;
    folderIdentity.inode = self.ino;
    folderIdentity.device = ListedIdentity::foldDevice(self.dev);
    folderIdentity.type = static_cast<uint8_t>((self.mode & S_IFMT) >> 12);
    level.folder->setListedIdentity(folderIdentity);
    const bool writable = ::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) == 0;

    names_.clear();
    entries_.clear();
    int err = chain_.readEntries(fd, [this](const char* name, unsigned char type) {
      const size_t length = std::char_traits<char>::length(name);
      entries_.push_back(
          EntryRef{static_cast<uint32_t>(names_.size()), static_cast<uint32_t>(length), type});
      names_.append(name, length + 1);  // with its terminating NUL, for statx
    });
    // A folder that cannot be listed stays empty, with the reason (not the
    // scan's root: the host's queue owns that record).
    if (err != 0) {
      if (level.folder != walk_.root_) noteUnread(*level.folder, err);
      return true;
    }
    const std::string_view all(names_);
    std::sort(entries_.begin(), entries_.end(), [all](const EntryRef& a, const EntryRef& b) {
      return all.substr(a.offset, a.length) < all.substr(b.offset, b.length);
    });

    FileInformation& folder = *level.folder;
    into.reserve(into.size() + entries_.size());
    int64_t sum = 0;
    int64_t allocatedSum = 0;

    for (size_t i = 0; i < entries_.size(); ++i) {
      if (i % kStopCheckInterval == kStopCheckInterval - 1 && walk_.stopRequested()) return false;
      const EntryRef& entry = entries_[i];
      const std::string_view name = all.substr(entry.offset, entry.length);
      const char* cName = names_.c_str() + entry.offset;
      bool isDirectory = entry.type == DT_DIR;
      bool ownerKnown = false;
      uid_t itemOwner = 0;
      std::optional<ListedIdentity> identity;
      int64_t size = 0;
      Timestamp date{};
      // Folders need no status of their own, except under a sticky folder,
      // where who owns them decides whether they can be removed.
      if (!isDirectory || sticky) {
        struct statx stx {};
        if (::statx(fd, cName, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatxMask, &stx) == 0) {
          isDirectory = S_ISDIR(stx.stx_mode);
          size = static_cast<int64_t>(stx.stx_size);
          date = detail::creationDateOf(stx);
          itemOwner = stx.stx_uid;
          ownerKnown = true;
          identity = ListedIdentity::fromStatx(stx);
          if (identity->otherLinks &&
              !walk_.firstLinkSeen(::makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino)) {
            size = 0;
            identity->allocated = 0;
          }
        } else if (!isDirectory) {
          continue;  // neither its type nor its size can be read
        }
      }

      // The record keeps its name only: its path is its parents' names.
      FilePtr record = detail::makeBlockRecord();
      record->title.assign(name);
      record->locateByParent();
      record->setListedIdentity(identity);
      record->canDelete = writable && (!sticky || euid_ == 0 ||
                                       (ownerKnown && itemOwner == euid_) || owner == euid_);
      record->levelInt = folder.levelInt + 1;
      record->parentFileInfo = level.folder;
      record->parentFinderID = level.index;
      const int index = static_cast<int>(into.size());
      if (isDirectory) {
        record->fileKind = raw(FilesKind::Folder);
        record->date = walk_.scanTime_;
        record->setAllocatedSize(0);  // its content's, added up as it is walked
        if (nodes != nullptr) nodes->nodes.push_back(FolderNode{record.get(), &folder, index});
        level.subfolders.emplace_back(record, index);
      } else {
        record->fileKind = raw(FilesKind::File);
        record->size = size;
        record->date = date;
        record->setFinderID(index);
        sum += size;
        allocatedSum += record->allocatedSize();
      }
      into.push_back(std::move(record));
    }
    if (into.capacity() > into.size()) into.shrink_to_fit();
    filesSize->first += sum;
    filesSize->second += allocatedSum;
    return true;
  }

  // Walks the content of the task's folder, depth-first, handing sub-folders
  // out while other walkers are idle.
  void run(Task& task) {
    nodes_ = task.nodes;
    owner_ = task.owner;
    levels_.clear();
    scanFrom_ = 0;
    bool stopped = false;
    const std::string path = task.folder->fileUrl().path();
    const int err = chain_.openRoot(path, false);
    if (err != 0) noteUnread(*task.folder, err);
    if (err == 0) {
      levels_.push_back(Level{task.folder, task.index, {}, 0, path.size()});
      stopped = !listTop();
      while (!stopped && !levels_.empty()) {
        if (levels_.back().next >= levels_.back().subfolders.size()) {
          levels_.pop_back();
          chain_.pop();
          scanFrom_ = std::min(scanFrom_, levels_.size());
          continue;
        }
        if (walk_.stopRequested()) {
          stopped = true;
          break;
        }
        if (walk_.wantsWork()) handOut();
        Level& level = levels_.back();
        if (level.next >= level.subfolders.size()) continue;
        std::pair<FilePtr, int> sub = std::move(level.subfolders[level.next++]);
        const bool last = level.next >= level.subfolders.size();
        if (last) level.subfolders = {};
        // A sub-folder that cannot be opened stays an empty record.
        if (const int pushed = chain_.push(sub.first->title, last); pushed != 0) {
          noteUnread(*sub.first, pushed);
          continue;
        }
        const size_t pathLength = levels_.back().pathLength + 1 + sub.first->title.size();
        levels_.push_back(Level{std::move(sub.first), sub.second, {}, 0, pathLength});
        stopped = !listTop();
      }
    }
    levels_.clear();
    nodes_ = nullptr;
    std::shared_ptr<TopLevel> owner = std::move(owner_);
    task = Task{};
    if (owner->pending.fetch_sub(1, std::memory_order_acq_rel) == 1 && !stopped &&
        !walk_.stopRequested()) {
      settle(*owner);
      outbox_.push_back(std::move(owner->record));
      owner->record = nullptr;
      flush(false);
    }
  }

  // Lists the root of the scan; its items go to `items` instead of the
  // root's childrens, which only the host's queue changes.
  bool listRoot(std::vector<FilePtr>& items, std::vector<std::pair<FilePtr, int>>& folders) {
    if (chain_.openRoot(walk_.root_->url.path(), true) != 0) return true;
    Level level{walk_.root_, 0, {}, 0, 0};
    std::pair<int64_t, int64_t> ignored;
    bool ok = list(level, items, &ignored, nullptr);
    folders = std::move(level.subfolders);
    return ok;
  }

  void deliver(FilePtr record) {
    outbox_.push_back(std::move(record));
    flush(false);
  }

  void flush(bool force) {
    if (outbox_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && outbox_.size() < kBatchSize && now - lastFlush_ < kBatchInterval) return;
    lastFlush_ = now;
    walk_.deliver(std::move(outbox_));
    outbox_ = {};
  }

 private:
  // The folder's record is still the walker's own (not yet delivered).
  static void noteUnread(FileInformation& folder, int err) {
    folder.scanErrorDesc = "not read: " + posixErrorText(err);
  }

  bool listTop() {
    Level& level = levels_.back();
    std::pair<int64_t, int64_t> filesSize;
    bool ok = list(level, level.folder->childrens, &filesSize, nodes_);
    level.folder->size += filesSize.first;
    level.folder->setAllocatedSize(level.folder->allocatedSize() + filesSize.second);
    return ok;
  }

  // Hands the unvisited sub-folders of the shallowest level that has any
  // to the task pool, as tasks of the same top-level item.
  void handOut() {
    for (; scanFrom_ < levels_.size(); ++scanFrom_) {
      Level& level = levels_[scanFrom_];
      if (level.next >= level.subfolders.size()) continue;
      if (level.pathLength > kMaxHandedOutPath) return;
      std::vector<Task> tasks;
      tasks.reserve(level.subfolders.size() - level.next);
      for (size_t k = level.next; k < level.subfolders.size(); ++k) {
        Task task;
        task.folder = std::move(level.subfolders[k].first);
        task.index = level.subfolders[k].second;
        task.owner = owner_;
        task.nodes = owner_->addTask();
        tasks.push_back(std::move(task));
      }
      level.subfolders.resize(level.next);
      walk_.pushTasks(std::move(tasks));
      return;
    }
  }

  TreeWalk& walk_;
  const uid_t euid_;
  detail::FolderChain chain_;
  std::vector<Level> levels_;
  size_t scanFrom_ = 0;  // levels below this have nothing left to hand out
  TaskNodes* nodes_ = nullptr;
  std::shared_ptr<TopLevel> owner_;
  std::string names_;
  std::vector<EntryRef> entries_;
  std::vector<FilePtr> outbox_;
  std::chrono::steady_clock::time_point lastFlush_ = std::chrono::steady_clock::now();
};

size_t TreeWalk::walkerCount() { return std::clamp<size_t>(dispatchGlobalCoreThreads(), 2, 8); }

TreeWalk::TreeWalk(FeaturePtr feature, const std::string& path, Callbacks callbacks,
                   std::shared_ptr<SerialGCDService> queue)
    : feature_(std::move(feature)),
      scanID_(feature_->finderID),
      path_(path),
      callbacks_(std::move(callbacks)),
      queue_(std::move(queue)),
      scanTime_(std::chrono::system_clock::now()) {
  root_ = detail::makeBlockRecord();
  root_->setAllocatedSize(0);
  root_->url = Url::fromPath(path_, true);
  root_->title = root_->url.lastPathComponent();
  root_->date = scanTime_;
  root_->fileKind = raw(FilesKind::Folder);
}

TreeWalk::~TreeWalk() { releasePartialTree(); }

void TreeWalk::releasePartialTree() {
  // Drop the walk's own references first, so that the subtrees below them
  // are held by one record only and can be taken apart.
  std::vector<FilePtr> tops = std::move(topFolders_);
  topFolders_ = {};
  if (root_) DiskAnalysisService::releaseTree(std::move(root_));
  for (FilePtr& top : tops) DiskAnalysisService::releaseTree(std::move(top));
}

bool TreeWalk::stop() {
  stopped_.store(true, std::memory_order_relaxed);
  return !reported_.exchange(true);
}

bool TreeWalk::firstLinkSeen(uint64_t device, uint64_t inode) {
  std::lock_guard lock(linksMu_);
  return linksSeen_.insert({device, inode}).second;
}

bool TreeWalk::stopRequested() {
  if (stopped_.load(std::memory_order_relaxed)) return true;
  if (ScanStatusTable::isSuspended(scanID_)) {
    stopped_.store(true, std::memory_order_relaxed);
    return true;
  }
  return false;
}

void TreeWalk::onQueue(std::function<void()> work) { runOnQueueOrHere(queue_, std::move(work)); }

void TreeWalk::start() {
  auto self = shared_from_this();
  runOnPoolOrHere([self] { self->listRoot(); });
}

void TreeWalk::listRoot() {
  root_->canDelete = isDeletableFileAtPath(root_->url.path());
  std::vector<FilePtr> items;
  std::vector<std::pair<FilePtr, int>> folders;
  active_.store(1);
  Walker walker(*this);
  if (stopRequested() || !walker.listRoot(items, folders)) {
    items.clear();
    folders.clear();
  }
  topCount_ = items.size();
  topFolders_.reserve(folders.size());
  topFolderIndex_.reserve(folders.size());
  for (auto& [record, index] : folders) {
    topFolders_.push_back(std::move(record));
    topFolderIndex_.push_back(index);
  }
  for (FilePtr& item : items) {
    if (item->fileKind != raw(FilesKind::Folder)) walker.deliver(std::move(item));
  }
  items = {};
  walker.flush(true);
  if (topCount_ == 0) {
    auto self = shared_from_this();
    onQueue([self] { self->finish(); });
  }
  size_t extra = 0;
  {
    std::lock_guard lock(mu_);
    const size_t want = std::min(walkerCount(), topFolders_.size());
    if (want > 1) {
      extra = want - 1;
      active_.fetch_add(extra);
    }
    updateIdleLocked();
  }
  launch(extra);
  // This piece walks too.
  Task task;
  while (takeTask(&task)) walker.run(task);
}

void TreeWalk::launch(size_t count) {
  auto self = shared_from_this();
  for (size_t i = 0; i < count; ++i) {
    if (!dispatchGlobal(DispatchQoS::default_, [self] { self->runWalker(); })) {
      // The pieces already running take the tasks.
      std::lock_guard lock(mu_);
      active_.fetch_sub(1);
      updateIdleLocked();
    }
  }
}

void TreeWalk::runWalker() {
  Walker walker(*this);
  Task task;
  while (takeTask(&task)) walker.run(task);
}

bool TreeWalk::takeTask(Task* task) {
  std::lock_guard lock(mu_);
  if (stopRequested()) {
    waiting_.clear();
    cursor_ = topFolders_.size();
  }
  if (!waiting_.empty()) {
    *task = std::move(waiting_.back());
    waiting_.pop_back();
    updateIdleLocked();
    return true;
  }
  if (cursor_ < topFolders_.size()) {
    auto owner = std::make_shared<TopLevel>(topFolders_[cursor_], topFolderIndex_[cursor_]);
    ++cursor_;
    task->folder = owner->record;
    task->index = owner->index;
    task->nodes = owner->addTask();
    task->owner = std::move(owner);
    updateIdleLocked();
    return true;
  }
  active_.fetch_sub(1);
  updateIdleLocked();
  return false;
}

void TreeWalk::pushTasks(std::vector<Task> tasks) {
  size_t start = 0;
  {
    std::lock_guard lock(mu_);
    for (Task& task : tasks) waiting_.push_back(std::move(task));
    const size_t running = active_.load();
    if (running < walkerCount()) {
      start = std::min(walkerCount() - running, waiting_.size());
      active_.fetch_add(start);
    }
    updateIdleLocked();
  }
  launch(start);
}

void TreeWalk::updateIdleLocked() {
  idleCapacity_.store(
      active_.load() < walkerCount() && waiting_.empty() && cursor_ >= topFolders_.size(),
      std::memory_order_relaxed);
}

bool TreeWalk::wantsWork() const { return idleCapacity_.load(std::memory_order_relaxed); }

namespace {

// Top-level records on their way to the host's queue. Should the queue drop
// them (it is gone), they are taken apart here, before the walk itself can
// go: a record must never lose its last reference in a plain destructor.
struct PendingBatch {
  std::shared_ptr<TreeWalk> walk;
  std::vector<FilePtr> records;

  ~PendingBatch() {
    for (FilePtr& record : records) DiskAnalysisService::releaseTree(std::move(record));
  }
};

}  // namespace

void TreeWalk::deliver(std::vector<FilePtr> batch) {
  auto pending = std::make_shared<PendingBatch>();
  pending->walk = shared_from_this();
  pending->records = std::move(batch);
  onQueue([pending] { pending->walk->merge(pending->records); });
}

void TreeWalk::merge(std::vector<FilePtr>& batch) {
  if (!root_) return;  // reported already; cannot happen while items are missing
  // A stopped walk still gathers its items under the root: that is where
  // its end takes the partial tree apart.
  const bool report = !stopRequested();
  for (FilePtr& record : batch) {
    const int64_t size = record->size;
    const int position = record->finderID();
    root_->size += size;
    root_->setAllocatedSize(root_->allocatedSize() + record->allocatedSize());
    if (report && callbacks_.progress) callbacks_.progress(record->fileUrl().path(), size);
    root_->childrens.push_back(std::move(record));
    ++merged_;
    if (report && callbacks_.singleDone) callbacks_.singleDone(position, size);
  }
  batch.clear();
  if (!report) return;
  if (callbacks_.showPercent && topCount_ > 0) {
    callbacks_.showPercent(static_cast<float>(merged_) / static_cast<float>(topCount_));
  }
  if (merged_ == topCount_) finish();
}

void TreeWalk::finish() {
  if (stopRequested() || reported_.exchange(true)) return;
  // From here on the tree belongs to the feature: the walk lets go of every
  // record before the host hears of it, so that the host's references are
  // the only ones (and releaseTree can take the tree apart).
  {
    std::lock_guard lock(mu_);
    topFolders_ = {};
    topFolderIndex_ = {};
    cursor_ = 0;
    updateIdleLocked();
  }
  FilePtr root = std::move(root_);

  // Items arrived in the order they finished; their identifiers are their
  // places in the listing.
  std::sort(root->childrens.begin(), root->childrens.end(),
            [](const FilePtr& a, const FilePtr& b) { return a->finderID() < b->finderID(); });

  const int categoryID = static_cast<int>(feature_->categoryInfo.size());
  auto category = std::make_shared<CategoryInformation>(
      0, categoryID, DiskAnalysisService::kCategoryTitle, Image{}, root->size, "",
      raw(CategoryInfomationKind::AnalysisDisk), std::vector<Url>{}, std::vector<FilePtr>{root},
      feature_, std::any{}, 0, false);
  category->scanRoots = {root->url};  // the folder analysed
  root->state = 0;
  root->levelInt = 0;
  root->parentFinderID = categoryID;
  root->parentCategoryInfo = category;
  root->setFinderID(0);
  feature_->categoryInfo.push_back(category);
  const int64_t size = root->size;
  root = nullptr;
  category = nullptr;
  ScanStatusTable::set(scanID_, ScanState::end);
  if (callbacks_.done) callbacks_.done(feature_, size);
}

}  // namespace orvexa::disk_analysis
