#include "scan/duplicate/content_matcher.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "scan/duplicate/hash_cache.h"
#include "scan/duplicate/read_plan.h"

namespace orvexa::duplicate_internal {
namespace {

// ---------------------------------------------------------------------------
// Files

// cachedFirstBlock: the first block if the page cache holds it (`missed`
// when not), read before the disk's order is known.
enum class ItemKind { cachedFirstBlock, firstBlock, lastBlock, digest, pair, sideBySide, confirm };

// One piece of reading. `set` indexes the run's sets (or, for confirm items,
// its digest groups); `a` and `b` are members (pair), the member (blocks,
// digest) or the range of others [a, b) (confirm); `together` the members
// read side by side.
struct Item {
  ItemKind kind = ItemKind::digest;
  size_t set = 0;
  size_t a = 0;
  size_t b = 0;
  int64_t size = 0;
  DiskPlace place;
  std::optional<ContentDigest> digest;
  std::optional<BlockDigest> block;
  bool missed = false;
  CompareResult compared = CompareResult::failed;
  std::vector<CompareResult> confirmed;
  std::vector<size_t> together;
  SideBySide side;
};

Item makeItem(ItemKind kind, size_t set, size_t a, size_t b, int64_t size, DiskPlace place) {
  Item item;
  item.kind = kind;
  item.set = set;
  item.a = a;
  item.b = b;
  item.size = size;
  item.place = place;
  return item;
}

struct DigestGroup {
  size_t set = 0;
  ContentDigest digest;
  std::vector<size_t> members;           // members of the set; [0] is the reference
  std::vector<CompareResult> confirmed;  // per member; [0] unused
};

// What is known of one member of a set.
struct Member {
  KnownDigests known;
  bool cachedFull = false;  // the full digest came from the cache
  bool fresh = false;       // something was read that the cache lacks
  bool unreadable = false;
  // Not known to have been in the page cache before the scan read it: its
  // pages are dropped once it is decided. A file the user had cached (its
  // first block was) keeps them.
  bool cold = true;
  DiskPlace place;
};

struct FileRun {
  std::vector<std::vector<Candidate>> sets;
  std::vector<std::vector<Member>> members;  // parallel to sets
  std::unique_ptr<HashCache> hashCache;
  DispatchQoS qos = DispatchQoS::default_;
  std::function<void(std::vector<MatchedGroup>, DigestCache)> done;

  std::vector<Item> items;                                            // the stage being read
  std::vector<std::pair<size_t, std::vector<size_t>>> digestSubsets;  // set, members
  std::vector<DigestGroup> digestGroups;
  // Files of one digest that were not compared with one another (set,
  // members, key number to start at): split by comparison at the end.
  struct Unconfirmed {
    size_t set = 0;
    std::vector<size_t> members;
    size_t firstNumber = 1;
  };
  std::vector<Unconfirmed> unconfirmed;
  std::vector<MatchedGroup> groups;
  DigestCache cache;
};

// Past this many bytes in one comparison, asking for read-ahead of all of it
// could push out more of the page cache than it saves.
constexpr int64_t kPrefetchBytes = 256LL << 20;

// Asks for read-ahead of the members that are not cached already.
void prefetchCold(const FileRun& run, size_t set, const std::vector<size_t>& members,
                  int64_t size) {
  if (size * static_cast<int64_t>(members.size()) > kPrefetchBytes) return;
  for (size_t m : members) {
    if (run.members[set][m].cold) prefetch(run.sets[set][m].path, size);
  }
}

void dropIfCold(const FileRun& run, size_t set, size_t member) {
  if (run.members[set][member].cold) dropPages(run.sets[set][member].path);
}

void runItem(FileRun& run, Item& item, ReadBuffer& buffer) {
  switch (item.kind) {
    case ItemKind::cachedFirstBlock: {
      const Candidate& c = run.sets[item.set][item.a];
      item.block = blockDigest(c.path, c.size, false, buffer, &item.missed);
      break;
    }
    case ItemKind::firstBlock:
    case ItemKind::lastBlock: {
      const Candidate& c = run.sets[item.set][item.a];
      item.block = blockDigest(c.path, c.size, item.kind == ItemKind::lastBlock, buffer);
      break;
    }
    case ItemKind::digest: {
      const Candidate& c = run.sets[item.set][item.a];
      item.digest = contentDigest(c.path, c.size, buffer);
      break;
    }
    case ItemKind::pair: {
      const std::vector<Candidate>& set = run.sets[item.set];
      prefetchCold(run, item.set, {item.a, item.b}, item.size);
      // The digest only feeds the cache: without it, hashing would be wasted.
      item.compared = compareWithReference(set[item.a].path, {set[item.b].path}, item.size, buffer,
                                           run.hashCache ? &item.digest : nullptr)
                          .front();
      dropIfCold(run, item.set, item.a);
      dropIfCold(run, item.set, item.b);
      break;
    }
    case ItemKind::sideBySide: {
      const std::vector<Candidate>& set = run.sets[item.set];
      prefetchCold(run, item.set, item.together, item.size);
      std::vector<std::string> paths;
      paths.reserve(item.together.size());
      for (size_t m : item.together) paths.push_back(set[m].path);
      item.side = readSideBySide(paths, item.size, buffer);
      for (size_t m : item.together) dropIfCold(run, item.set, m);
      break;
    }
    case ItemKind::confirm: {
      const DigestGroup& group = run.digestGroups[item.set];
      const std::vector<Candidate>& set = run.sets[group.set];
      std::vector<std::string> others;
      for (size_t i = item.a; i < item.b; ++i) others.push_back(set[group.members[i]].path);
      item.confirmed =
          compareWithReference(set[group.members.front()].path, others, item.size, buffer);
      for (size_t i = item.a; i < item.b; ++i) dropIfCold(run, group.set, group.members[i]);
      if (item.b == group.members.size()) dropIfCold(run, group.set, group.members.front());
      break;
    }
  }
}

void addPairGroup(FileRun& run, const Item& item) {
  std::vector<Member>& members = run.members[item.set];
  if (item.digest) {
    members[item.a].known.full = item.digest;
    members[item.a].fresh = true;
    if (item.compared == CompareResult::equal) {
      members[item.b].known.full = item.digest;
      members[item.b].fresh = true;
    }
  }
  if (item.compared != CompareResult::equal) return;
  const std::vector<Candidate>& set = run.sets[item.set];
  run.groups.push_back({"=" + set[item.a].path, {set[item.a], set[item.b]}});
}

// True when every file the item reads had its first block in the page cache
// before the scan (first blocks are what tells, so they never are).
bool itemInMemory(const FileRun& run, const Item& item) {
  auto cached = [&](size_t set, size_t m) { return !run.members[set][m].cold; };
  switch (item.kind) {
    case ItemKind::cachedFirstBlock:
      return true;
    case ItemKind::firstBlock:
      return false;
    case ItemKind::lastBlock:
    case ItemKind::digest:
      return cached(item.set, item.a);
    case ItemKind::pair:
      return cached(item.set, item.a) && cached(item.set, item.b);
    case ItemKind::sideBySide:
      return std::all_of(item.together.begin(), item.together.end(),
                         [&](size_t m) { return cached(item.set, m); });
    case ItemKind::confirm: {
      const DigestGroup& group = run.digestGroups[item.set];
      if (!cached(group.set, group.members.front())) return false;
      for (size_t i = item.a; i < item.b; ++i) {
        if (!cached(group.set, group.members[i])) return false;
      }
      return true;
    }
  }
  return false;
}

// Runs the stage's items in the disks' order, each device with as many
// readers as it takes (cached files as many as memory takes), then `then`
// once.
void runStage(const std::shared_ptr<FileRun>& run, std::function<void()> then) {
  std::vector<DiskPlace> places;
  std::vector<bool> inMemory;
  places.reserve(run->items.size());
  inMemory.reserve(run->items.size());
  for (const Item& item : run->items) {
    places.push_back(item.place);
    inMemory.push_back(itemInMemory(*run, item));
  }
  auto batches = std::make_shared<std::vector<DeviceBatch>>(batchesByDevice(places, inMemory));
  if (batches->empty()) {
    then();
    return;
  }
  auto left = std::make_shared<std::atomic<size_t>>(batches->size());
  auto last = std::make_shared<std::function<void()>>(std::move(then));
  for (size_t b = 0; b < batches->size(); ++b) {
    const DeviceBatch& batch = (*batches)[b];
    forEachParallel(
        batch.items.size(), run->qos,
        [run, batches, b](size_t i, ReadBuffer& buffer) {
          runItem(*run, run->items[(*batches)[b].items[i]], buffer);
        },
        [left, last] {
          if (left->fetch_sub(1, std::memory_order_acq_rel) == 1) (*last)();
        },
        batch.readers);
  }
}

// Members of one digest group (or of a set that stays together) that read
// alike, split with further comparisons, keyed `key`, `key#2`, ...
void addSplitGroups(FileRun& run, size_t setIndex, const std::vector<size_t>& members,
                    const std::string& key, size_t firstNumber, ReadBuffer& buffer) {
  const std::vector<Candidate>& set = run.sets[setIndex];
  std::vector<std::string> paths;
  for (size_t m : members) paths.push_back(set[m].path);
  size_t number = firstNumber;
  for (const std::vector<size_t>& split : splitByComparison(paths, set.front().size, buffer)) {
    MatchedGroup group;
    group.key = number == 1 ? key : key + "#" + std::to_string(number);
    ++number;
    for (size_t i : split) group.members.push_back(set[members[i]]);
    run.groups.push_back(std::move(group));
  }
}

FileKey keyOf(const Candidate& c) { return {c.device, c.inode, c.size, c.modifiedNs, c.changedNs}; }

void rememberDigests(FileRun& run) {
  if (!run.hashCache) return;
  for (size_t s = 0; s < run.sets.size(); ++s) {
    for (size_t m = 0; m < run.members[s].size(); ++m) {
      const Member& member = run.members[s][m];
      if (member.fresh && !member.unreadable) {
        run.hashCache->remember(keyOf(run.sets[s][m]), member.known);
      }
    }
  }
  run.hashCache->flush();
  run.hashCache.reset();
}

void finishFiles(const std::shared_ptr<FileRun>& run) {
  for (const Item& item : run->items) {
    if (item.kind == ItemKind::pair) addPairGroup(*run, item);
    if (item.kind != ItemKind::confirm) continue;
    DigestGroup& group = run->digestGroups[item.set];
    if (item.confirmed.size() != item.b - item.a) continue;  // not done: stays failed
    for (size_t i = item.a; i < item.b; ++i) group.confirmed[i] = item.confirmed[i - item.a];
  }
  ReadBuffer buffer;
  for (const DigestGroup& group : run->digestGroups) {
    const std::vector<Candidate>& set = run->sets[group.set];
    const std::string key = digestText(group.digest);
    MatchedGroup matched{key, {set[group.members.front()]}};
    std::vector<size_t> leftovers;
    bool anyRead = false;
    for (size_t i = 1; i < group.members.size(); ++i) {
      if (group.confirmed[i] == CompareResult::equal) {
        matched.members.push_back(set[group.members[i]]);
      } else if (group.confirmed[i] == CompareResult::different) {
        leftovers.push_back(group.members[i]);
      }
      anyRead = anyRead || group.confirmed[i] != CompareResult::failed;
    }
    size_t next = 1;
    if (matched.members.size() >= 2) {
      run->groups.push_back(std::move(matched));
      next = 2;
    }
    if (!anyRead && !readingSuspended()) {
      // The reference could not be read again; the others may still be
      // copies of one another.
      leftovers.assign(group.members.begin() + 1, group.members.end());
    }
    if (leftovers.size() >= 2) addSplitGroups(*run, group.set, leftovers, key, next, buffer);
  }
  for (const FileRun::Unconfirmed& u : run->unconfirmed) {
    const std::optional<ContentDigest>& digest = run->members[u.set][u.members.front()].known.full;
    if (digest) addSplitGroups(*run, u.set, u.members, digestText(*digest), u.firstNumber, buffer);
  }
  // Largest first, then by first path: the same input gives the same order.
  std::sort(run->groups.begin(), run->groups.end(),
            [](const MatchedGroup& x, const MatchedGroup& y) {
              if (x.members.front().size != y.members.front().size) {
                return x.members.front().size > y.members.front().size;
              }
              return x.members.front().path < y.members.front().path;
            });
  if (!readingSuspended()) rememberDigests(*run);
  auto done = std::move(run->done);
  done(std::move(run->groups), std::move(run->cache));
}

// Files read side by side: those alike with the first are a group at once;
// the others are keyed by their digests.
void addSideBySideGroups(FileRun& run, const Item& item) {
  const std::vector<Candidate>& set = run.sets[item.set];
  std::vector<Member>& members = run.members[item.set];
  MatchedGroup alike;
  std::map<ContentDigest, std::vector<size_t>> byDigest;
  for (size_t i = 0; i < item.together.size(); ++i) {
    const size_t m = item.together[i];
    const std::optional<ContentDigest>& digest = item.side.digests[i];
    if (!digest) {
      members[m].unreadable = true;
      continue;
    }
    members[m].known.full = digest;
    members[m].fresh = true;
    run.cache[set[m].path] = *digest;
    if (item.side.withFirst[i] == CompareResult::equal) {
      alike.members.push_back(set[m]);
    } else {
      byDigest[*digest].push_back(m);
    }
  }
  std::optional<ContentDigest> key = item.side.digests.front();
  if (alike.members.size() >= 2) {
    alike.key = digestText(*key);
    run.groups.push_back(std::move(alike));
  } else {
    key.reset();
  }
  for (auto& [digest, same] : byDigest) {
    if (same.size() < 2) continue;
    run.unconfirmed.push_back({item.set, std::move(same), key == digest ? 2u : 1u});
  }
}

void confirmStage(const std::shared_ptr<FileRun>& run) {
  std::vector<Item> next;
  for (const Item& item : run->items) {
    if (item.kind == ItemKind::pair) addPairGroup(*run, item);
    if (item.kind == ItemKind::sideBySide) addSideBySideGroups(*run, item);
    if (item.kind != ItemKind::digest) continue;
    Member& member = run->members[item.set][item.a];
    if (!item.digest) {
      member.unreadable = true;
      continue;
    }
    member.known.full = item.digest;
    member.fresh = true;
  }
  for (const auto& [setIndex, members] : run->digestSubsets) {
    std::map<ContentDigest, std::vector<size_t>> byDigest;
    for (size_t m : members) {
      const Member& member = run->members[setIndex][m];
      if (member.unreadable || !member.known.full) continue;
      byDigest[*member.known.full].push_back(m);
      run->cache[run->sets[setIndex][m].path] = *member.known.full;
    }
    for (auto& [digest, same] : byDigest) {
      const std::vector<Candidate>& set = run->sets[setIndex];
      if (same.size() < 2) {
        // Unique: not read again.
        if (!run->members[setIndex][same.front()].cachedFull)
          dropIfCold(*run, setIndex, same.front());
        continue;
      }
      const bool allCached = std::all_of(
          same.begin(), same.end(), [&](size_t m) { return run->members[setIndex][m].cachedFull; });
      if (allCached) {
        // Reported at once; removal compares the bytes before it acts.
        MatchedGroup group{digestText(digest), {}};
        for (size_t m : same) group.members.push_back(set[m]);
        run->groups.push_back(std::move(group));
        continue;
      }
      DigestGroup group;
      group.set = setIndex;
      group.digest = digest;
      group.members = std::move(same);
      group.confirmed.assign(group.members.size(), CompareResult::failed);
      const size_t index = run->digestGroups.size();
      const int64_t size = set.front().size;
      for (size_t begin = 1; begin < group.members.size(); begin += kMaxOpenFiles) {
        Item item;
        item.kind = ItemKind::confirm;
        item.set = index;
        item.a = begin;
        item.b = std::min(group.members.size(), begin + kMaxOpenFiles);
        item.size = size;
        item.place = run->members[setIndex][group.members.front()].place;
        next.push_back(std::move(item));
      }
      run->digestGroups.push_back(std::move(group));
    }
  }
  run->items = std::move(next);
  runStage(run, [run] { finishFiles(run); });
}

// The block digests the stage read; a file that could not be read drops out.
void applyBlocks(FileRun& run) {
  for (const Item& item : run.items) {
    const bool first = item.kind == ItemKind::firstBlock || item.kind == ItemKind::cachedFirstBlock;
    if ((!first && item.kind != ItemKind::lastBlock) || item.missed) continue;
    Member& member = run.members[item.set][item.a];
    if (!item.block) {
      member.unreadable = true;
      continue;
    }
    (first ? member.known.first : member.known.last) = item.block->digest;
    if (first) member.cold = !item.block->cached;
    member.place = item.block->place;
    member.fresh = true;
  }
}

void digestStage(const std::shared_ptr<FileRun>& run,
                 std::vector<std::pair<size_t, std::vector<size_t>>> subsets);
void lastBlockStage(const std::shared_ptr<FileRun>& run,
                    std::vector<std::pair<size_t, std::vector<size_t>>> direct);

// The first blocks the page cache did not hold, read in the disks' order.
void firstBlockStage(const std::shared_ptr<FileRun>& run,
                     std::vector<std::pair<size_t, std::vector<size_t>>> direct) {
  applyBlocks(*run);
  std::vector<Item> next;
  for (const Item& item : run->items) {
    if (item.missed) {
      next.push_back(makeItem(ItemKind::firstBlock, item.set, item.a, 0, 0, item.place));
    }
  }
  run->items = std::move(next);
  runStage(run,
           [run, direct = std::move(direct)]() mutable { lastBlockStage(run, std::move(direct)); });
}

// Only files whose first block is shared by another of their size have
// their last block read.
void lastBlockStage(const std::shared_ptr<FileRun>& run,
                    std::vector<std::pair<size_t, std::vector<size_t>>> direct) {
  applyBlocks(*run);
  std::vector<Item> next;
  for (size_t s = 0; s < run->sets.size(); ++s) {
    if (run->sets[s].size() < 2 ||
        run->sets[s].front().size <= static_cast<int64_t>(kPrefixBytes)) {
      continue;
    }
    std::map<ContentDigest, std::vector<size_t>> byFirst;
    for (size_t m = 0; m < run->members[s].size(); ++m) {
      const Member& member = run->members[s][m];
      if (!member.unreadable && member.known.first) byFirst[*member.known.first].push_back(m);
    }
    for (const auto& [first, members] : byFirst) {
      if (members.size() < 2) continue;
      for (size_t m : members) {
        const Member& member = run->members[s][m];
        if (member.known.last) continue;
        next.push_back(makeItem(ItemKind::lastBlock, s, m, 0, 0, member.place));
      }
    }
  }
  run->items = std::move(next);
  runStage(run,
           [run, direct = std::move(direct)]() mutable { digestStage(run, std::move(direct)); });
}

void digestStage(const std::shared_ptr<FileRun>& run,
                 std::vector<std::pair<size_t, std::vector<size_t>>> subsets) {
  applyBlocks(*run);
  // Split the sets whose blocks were read by their first and last bytes:
  // files that differ there cannot be copies.
  for (size_t s = 0; s < run->sets.size(); ++s) {
    if (run->sets[s].size() < 2 ||
        run->sets[s].front().size <= static_cast<int64_t>(kPrefixBytes)) {
      continue;
    }
    std::map<std::pair<ContentDigest, ContentDigest>, std::vector<size_t>> byBlocks;
    for (size_t m = 0; m < run->members[s].size(); ++m) {
      const Member& member = run->members[s][m];
      if (member.unreadable || !member.known.first || !member.known.last) continue;
      byBlocks[{*member.known.first, *member.known.last}].push_back(m);
    }
    for (auto& [blocks, members] : byBlocks) subsets.emplace_back(s, std::move(members));
  }
  std::vector<Item> next;
  for (auto& [setIndex, members] : subsets) {
    const int64_t size = run->sets[setIndex].front().size;
    if (members.size() < 2) continue;
    const std::vector<Member>& known = run->members[setIndex];
    const bool allCached =
        std::all_of(members.begin(), members.end(), [&](size_t m) { return known[m].cachedFull; });
    if (members.size() == 2 && !allCached) {
      Item item =
          makeItem(ItemKind::pair, setIndex, members[0], members[1], size, known[members[0]].place);
      next.push_back(std::move(item));
      continue;
    }
    if (!allCached && members.size() <= kMaxOpenFiles &&
        size > static_cast<int64_t>(kPrefixBytes)) {
      // Each read once, instead of a digest and then a confirming read.
      Item item = makeItem(ItemKind::sideBySide, setIndex, 0, 0, size, known[members[0]].place);
      item.together = std::move(members);
      next.push_back(std::move(item));
      continue;
    }
    for (size_t m : members) {
      if (known[m].cachedFull) continue;
      next.push_back(makeItem(ItemKind::digest, setIndex, m, 0, size, known[m].place));
    }
    run->digestSubsets.emplace_back(setIndex, std::move(members));
  }
  run->items = std::move(next);
  runStage(run, [run] { confirmStage(run); });
}
// ---------------------------------------------------------------------------
// Folders

struct FolderRun {
  std::vector<std::vector<Candidate>> sets;
  DigestCache cache;
  DispatchQoS qos = DispatchQoS::default_;
  std::function<void(std::vector<MatchedGroup>)> done;

  // Listing: one slot per (set, member).
  std::vector<std::pair<size_t, size_t>> listed;
  std::vector<std::optional<std::vector<FolderFile>>> listings;

  // Digests still to compute.
  std::vector<FolderFile> toDigest;
  std::vector<std::optional<ContentDigest>> digested;

  struct KeyGroup {
    std::string key;
    std::vector<size_t> members;  // indexes into listed/listings; [0] is the reference
    std::vector<bool> same;       // per member: every file read alike so far
    std::vector<bool> unreadable;
  };
  std::vector<KeyGroup> keyGroups;
  struct Confirm {
    size_t group = 0;
    size_t file = 0;
    std::vector<size_t> others;  // positions in the group's members
    std::vector<CompareResult> results;
  };
  std::vector<Confirm> confirms;
};

bool sameFile(const FolderFile& x, const FolderFile& y) {
  return x.device == y.device && x.inode == y.inode;
}

// True when every file of `b` was read alike with the file of `a` at the
// same position.
bool foldersEqual(const std::vector<FolderFile>& a, const std::vector<FolderFile>& b,
                  ReadBuffer& buffer, bool* failed) {
  *failed = false;
  if (a.size() != b.size()) return false;
  for (size_t j = 0; j < a.size(); ++j) {
    if (a[j].size != b[j].size) return false;
    if (sameFile(a[j], b[j])) continue;
    CompareResult r = compareWithReference(a[j].path, {b[j].path}, a[j].size, buffer).front();
    if (r == CompareResult::failed) *failed = true;
    if (r != CompareResult::equal) return false;
  }
  return true;
}

void finishFolders(const std::shared_ptr<FolderRun>& run) {
  for (const FolderRun::Confirm& c : run->confirms) {
    FolderRun::KeyGroup& group = run->keyGroups[c.group];
    for (size_t k = 0; k < c.others.size(); ++k) {
      if (k < c.results.size() && c.results[k] == CompareResult::equal) continue;
      group.same[c.others[k]] = false;
      if (k >= c.results.size() || c.results[k] == CompareResult::failed) {
        group.unreadable[c.others[k]] = true;
      }
    }
  }
  std::vector<MatchedGroup> groups;
  ReadBuffer buffer;
  auto candidateOf = [&](size_t slot) {
    auto [set, member] = run->listed[slot];
    return run->sets[set][member];
  };
  for (const FolderRun::KeyGroup& group : run->keyGroups) {
    MatchedGroup matched{group.key, {candidateOf(group.members.front())}};
    std::vector<size_t> leftovers;
    for (size_t i = 1; i < group.members.size(); ++i) {
      if (group.same[i]) {
        matched.members.push_back(candidateOf(group.members[i]));
      } else if (!group.unreadable[i]) {
        leftovers.push_back(group.members[i]);
      }
    }
    size_t number = 1;
    if (matched.members.size() >= 2) {
      groups.push_back(std::move(matched));
      number = 2;
    }
    // Equal keys over different content: group the rest among themselves.
    while (leftovers.size() >= 2 && !readingSuspended()) {
      const std::vector<FolderFile>& reference = *run->listings[leftovers.front()];
      MatchedGroup split{group.key + "#" + std::to_string(number),
                         {candidateOf(leftovers.front())}};
      std::vector<size_t> rest;
      for (size_t i = 1; i < leftovers.size(); ++i) {
        bool failed = false;
        if (foldersEqual(reference, *run->listings[leftovers[i]], buffer, &failed)) {
          split.members.push_back(candidateOf(leftovers[i]));
        } else if (!failed) {
          rest.push_back(leftovers[i]);
        }
      }
      if (split.members.size() >= 2) {
        groups.push_back(std::move(split));
        ++number;
      }
      leftovers = std::move(rest);
    }
  }
  std::sort(groups.begin(), groups.end(), [](const MatchedGroup& x, const MatchedGroup& y) {
    if (x.members.front().size != y.members.front().size) {
      return x.members.front().size > y.members.front().size;
    }
    return x.members.front().path < y.members.front().path;
  });
  auto done = std::move(run->done);
  done(std::move(groups));
}

// Drops members below another member (they are part of it, not a copy) and
// members whose files are all the reference's own inodes (hard-linked
// trees); true when at least two members are left.
bool pruneKeyGroup(FolderRun& run, FolderRun::KeyGroup& group) {
  auto pathOf = [&](size_t slot) -> const std::string& {
    auto [set, member] = run.listed[slot];
    return run.sets[set][member].path;
  };
  std::vector<size_t> kept;
  for (size_t slot : group.members) {
    bool nested = false;
    for (size_t other : group.members) {
      if (other != slot && pathOf(slot) != pathOf(other) &&
          isSameOrBelow(pathOf(slot), pathOf(other))) {
        nested = true;
        break;
      }
    }
    if (nested) continue;
    if (!kept.empty()) {
      const std::vector<FolderFile>& reference = *run.listings[kept.front()];
      const std::vector<FolderFile>& mine = *run.listings[slot];
      bool allShared = true;
      for (size_t j = 0; j < mine.size() && allShared; ++j) {
        allShared = sameFile(reference[j], mine[j]);
      }
      if (allShared) continue;
    }
    kept.push_back(slot);
  }
  group.members = std::move(kept);
  group.same.assign(group.members.size(), true);
  group.unreadable.assign(group.members.size(), false);
  return group.members.size() >= 2;
}

void confirmFolders(const std::shared_ptr<FolderRun>& run,
                    std::vector<std::vector<size_t>> subsets) {
  for (size_t i = 0; i < run->toDigest.size(); ++i) {
    if (run->digested[i]) run->cache[run->toDigest[i].path] = *run->digested[i];
  }
  for (const std::vector<size_t>& subset : subsets) {
    std::map<std::string, std::vector<size_t>> byKey;
    for (size_t slot : subset) {
      std::string key;
      bool complete = true;
      for (const FolderFile& f : *run->listings[slot]) {
        auto found = run->cache.find(f.path);
        if (found == run->cache.end()) {
          complete = false;
          break;
        }
        key += digestText(found->second);
      }
      if (complete && !key.empty()) byKey[key].push_back(slot);
    }
    for (auto& [key, members] : byKey) {
      if (members.size() < 2) continue;
      FolderRun::KeyGroup group{key, std::move(members), {}, {}};
      if (!pruneKeyGroup(*run, group)) continue;
      const size_t index = run->keyGroups.size();
      const std::vector<FolderFile>& reference = *run->listings[group.members.front()];
      for (size_t j = 0; j < reference.size(); ++j) {
        FolderRun::Confirm confirm;
        confirm.group = index;
        confirm.file = j;
        for (size_t k = 1; k < group.members.size(); ++k) {
          if (!sameFile(reference[j], (*run->listings[group.members[k]])[j])) {
            confirm.others.push_back(k);
          }
        }
        if (!confirm.others.empty()) run->confirms.push_back(std::move(confirm));
      }
      run->keyGroups.push_back(std::move(group));
    }
  }
  forEachParallel(
      run->confirms.size(), run->qos,
      [run](size_t i, ReadBuffer& buffer) {
        FolderRun::Confirm& c = run->confirms[i];
        const FolderRun::KeyGroup& group = run->keyGroups[c.group];
        const FolderFile& reference = (*run->listings[group.members.front()])[c.file];
        std::vector<std::string> others;
        for (size_t k : c.others) {
          others.push_back((*run->listings[group.members[k]])[c.file].path);
        }
        c.results = compareWithReference(reference.path, others, reference.size, buffer);
      },
      [run] { finishFolders(run); });
}

void digestFolders(const std::shared_ptr<FolderRun>& run) {
  // Split each set by the sizes of the files below its folders, in order:
  // folders with equal keys always agree on those.
  std::map<size_t, std::map<std::vector<int64_t>, std::vector<size_t>>> bySizes;
  for (size_t slot = 0; slot < run->listed.size(); ++slot) {
    const auto& listing = run->listings[slot];
    if (!listing || listing->empty()) continue;
    std::vector<int64_t> sizes;
    sizes.reserve(listing->size());
    for (const FolderFile& f : *listing) sizes.push_back(f.size);
    bySizes[run->listed[slot].first][std::move(sizes)].push_back(slot);
  }
  std::vector<std::vector<size_t>> subsets;
  std::unordered_map<std::string, size_t> pending;
  for (auto& [set, groups] : bySizes) {
    for (auto& [sizes, slots] : groups) {
      // A folder below another of the same file sizes holds the very same
      // files (a chain of folders around one file): it is no copy, and its
      // files need no reading, however large.
      auto pathOf = [&](size_t slot) -> std::string_view {
        return run->sets[set][run->listed[slot].second].path;
      };
      std::set<std::string_view> paths;
      for (size_t slot : slots) paths.insert(pathOf(slot));
      std::vector<size_t> outermost;
      for (size_t slot : slots) {
        std::string_view folder = pathOf(slot);
        bool nested = false;
        for (size_t slash = folder.rfind('/');
             slash != 0 && slash != std::string_view::npos && !nested;
             slash = folder.rfind('/', slash - 1)) {
          nested = paths.count(folder.substr(0, slash)) != 0;
        }
        if (!nested) outermost.push_back(slot);
      }
      slots = std::move(outermost);
      if (slots.size() < 2) continue;
      for (size_t slot : slots) {
        for (const FolderFile& f : *run->listings[slot]) {
          if (run->cache.count(f.path) != 0 || pending.count(f.path) != 0) continue;
          pending[f.path] = run->toDigest.size();
          run->toDigest.push_back(f);
        }
      }
      subsets.push_back(std::move(slots));
    }
  }
  run->digested.assign(run->toDigest.size(), std::nullopt);
  // Largest first, so the workers finish together.
  std::vector<size_t> order(run->toDigest.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
    return run->toDigest[x].size > run->toDigest[y].size;
  });
  forEachParallel(
      order.size(), run->qos,
      [run, order](size_t i, ReadBuffer& buffer) {
        const FolderFile& f = run->toDigest[order[i]];
        run->digested[order[i]] = contentDigest(f.path, f.size, buffer);
      },
      [run, subsets = std::move(subsets)]() mutable { confirmFolders(run, std::move(subsets)); });
}

}  // namespace

void forEachParallel(size_t count, DispatchQoS qos, std::function<void(size_t, ReadBuffer&)> work,
                     std::function<void()> then, size_t maxWorkers) {
  if (count == 0) {
    if (then) then();
    return;
  }
  struct Job {
    size_t count = 0;
    std::function<void(size_t, ReadBuffer&)> work;
    std::function<void()> then;
    std::atomic<size_t> next{0};
    std::atomic<size_t> running{0};
  };
  auto job = std::make_shared<Job>();
  job->count = count;
  job->work = std::move(work);
  job->then = std::move(then);
  const size_t limit = maxWorkers != 0 ? maxWorkers : dispatchGlobalCoreThreads();
  const size_t workers = std::min(count, std::max<size_t>(1, limit));
  job->running.store(workers);
  auto body = [job] {
    {
      ReadBuffer buffer;
      for (;;) {
        const size_t i = job->next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job->count) break;
        try {
          job->work(i, buffer);
        } catch (...) {
          // An item that could not be done (out of memory) counts as unread.
        }
      }
    }
    // The last worker out sees every other worker's writes (acq_rel chain).
    if (job->running.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::function<void()> next = std::move(job->then);
      if (next) next();
    }
  };
  for (size_t w = 0; w < workers; ++w) {
    if (!dispatchGlobal(qos, body)) body();  // no pool thread: do this share here
  }
}

std::vector<std::vector<size_t>> splitByComparison(const std::vector<std::string>& members,
                                                   int64_t size, ReadBuffer& buffer) {
  std::vector<std::vector<size_t>> groups;
  std::vector<size_t> remaining(members.size());
  for (size_t i = 0; i < remaining.size(); ++i) remaining[i] = i;
  while (remaining.size() >= 2 && !readingSuspended()) {
    std::vector<std::string> others;
    for (size_t i = 1; i < remaining.size(); ++i) others.push_back(members[remaining[i]]);
    std::vector<CompareResult> results =
        compareWithReference(members[remaining.front()], others, size, buffer);
    std::vector<size_t> group{remaining.front()};
    std::vector<size_t> rest;
    bool anyRead = false;
    for (size_t i = 0; i < results.size(); ++i) {
      if (results[i] == CompareResult::equal) group.push_back(remaining[i + 1]);
      if (results[i] == CompareResult::different) rest.push_back(remaining[i + 1]);
      anyRead = anyRead || results[i] != CompareResult::failed;
    }
    if (!anyRead) {
      // The reference itself may be what failed: go on without it.
      rest.assign(remaining.begin() + 1, remaining.end());
    }
    if (group.size() >= 2) groups.push_back(std::move(group));
    remaining = std::move(rest);
  }
  return groups;
}

void matchFiles(std::vector<std::vector<Candidate>> sets, DispatchQoS qos,
                std::function<void(std::vector<MatchedGroup>, DigestCache)> done,
                const std::string& cachePath) {
  auto run = std::make_shared<FileRun>();
  run->sets = std::move(sets);
  run->qos = qos;
  run->done = std::move(done);
  // Digests from a test's replacement function must never be kept.
  if (!cachePath.empty() && !digestFunctionReplaced()) run->hashCache = HashCache::open(cachePath);
  run->members.resize(run->sets.size());
  std::vector<std::pair<size_t, std::vector<size_t>>> direct;
  for (size_t s = 0; s < run->sets.size(); ++s) {
    const std::vector<Candidate>& set = run->sets[s];
    if (set.size() < 2) continue;
    std::vector<Member>& members = run->members[s];
    members.resize(set.size());
    for (size_t m = 0; m < set.size(); ++m) {
      // Until a read tells the physical place, inode order stands in.
      members[m].place = DiskPlace{set[m].device, false, set[m].inode};
      if (!run->hashCache) continue;
      if (std::optional<KnownDigests> known = run->hashCache->find(keyOf(set[m]))) {
        members[m].known = *known;
        members[m].cachedFull = known->full.has_value();
        if (members[m].cachedFull) run->cache[set[m].path] = *known->full;
      }
    }
    const int64_t size = set.front().size;
    if (size <= static_cast<int64_t>(kPrefixBytes)) {
      // The first block is the whole file: go straight to the digests.
      std::vector<size_t> all(set.size());
      for (size_t i = 0; i < all.size(); ++i) all[i] = i;
      direct.emplace_back(s, std::move(all));
      continue;
    }
    for (size_t m = 0; m < set.size(); ++m) {
      if (members[m].known.first) continue;
      run->items.push_back(makeItem(ItemKind::cachedFirstBlock, s, m, 0, 0, members[m].place));
    }
  }
  // What the page cache holds is read first, by as many readers as memory
  // takes; the rest then in each disk's order.
  runStage(run, [run, direct = std::move(direct)]() mutable {
    firstBlockStage(run, std::move(direct));
  });
}

void matchFolders(std::vector<std::vector<Candidate>> sets, DigestCache cache, DispatchQoS qos,
                  std::function<void(std::vector<MatchedGroup>)> done) {
  auto run = std::make_shared<FolderRun>();
  run->sets = std::move(sets);
  run->cache = std::move(cache);
  run->qos = qos;
  run->done = std::move(done);
  for (size_t s = 0; s < run->sets.size(); ++s) {
    if (run->sets[s].size() < 2) continue;
    for (size_t m = 0; m < run->sets[s].size(); ++m) run->listed.emplace_back(s, m);
  }
  run->listings.assign(run->listed.size(), std::nullopt);
  forEachParallel(
      run->listed.size(), qos,
      [run](size_t i, ReadBuffer&) {
        auto [set, member] = run->listed[i];
        run->listings[i] = listFolderFiles(run->sets[set][member].path, readingSuspended);
      },
      [run] { digestFolders(run); });
}

}  // namespace orvexa::duplicate_internal
