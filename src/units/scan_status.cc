#include "orvexa/units/scan_status.h"

#include <mutex>
#include <unordered_map>

namespace orvexa {
namespace {

struct Table {
  std::mutex mu;
  std::unordered_map<int64_t, int> entries;
};

Table& table() {
  // Never destroyed: walks on pool threads may read it during exit.
  static Table* t = new Table;
  return *t;
}

}  // namespace

std::optional<int> ScanStatusTable::get(int64_t key) {
  Table& t = table();
  std::lock_guard lock(t.mu);
  auto it = t.entries.find(key);
  if (it == t.entries.end()) return std::nullopt;
  return it->second;
}

bool ScanStatusTable::isSuspended(int64_t key) {
  return get(key) == static_cast<int>(ScanState::suspend);
}

void ScanStatusTable::set(int64_t key, ScanState state) {
  Table& t = table();
  std::lock_guard lock(t.mu);
  t.entries[key] = static_cast<int>(state);
}

bool ScanStatusTable::tryStart(int64_t key) {
  Table& t = table();
  std::lock_guard lock(t.mu);
  auto [it, inserted] = t.entries.try_emplace(key, static_cast<int>(ScanState::start));
  if (inserted) return true;
  if (it->second == static_cast<int>(ScanState::start)) return false;
  it->second = static_cast<int>(ScanState::start);
  return true;
}

bool ScanStatusTable::suspendUnlessEnded(int64_t key) {
  Table& t = table();
  std::lock_guard lock(t.mu);
  auto it = t.entries.find(key);
  if (it != t.entries.end() && it->second == static_cast<int>(ScanState::end)) return false;
  t.entries[key] = static_cast<int>(ScanState::suspend);
  return true;
}

void ScanStatusTable::erase(int64_t key) {
  Table& t = table();
  std::lock_guard lock(t.mu);
  t.entries.erase(key);
}

void ScanStatusTable::clear() {
  Table& t = table();
  std::lock_guard lock(t.mu);
  t.entries.clear();
}

}  // namespace orvexa
