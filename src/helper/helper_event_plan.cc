#include "orvexa/helper/helper_event_plan.h"

#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/helper/privileged_file_operations.h"

namespace orvexa {
namespace {

HelperEventPlan malformed(HelperEventPlan plan, std::string why) {
  plan.tasks.clear();
  plan.error = std::move(why);
  return plan;
}

HelperPathTask taskFor(const std::string& path, const PlistValue& value,
                       const HelperPathScope& scope) {
  HelperPathTask task;
  task.path = path;
  task.entry = value;
  task.refusal = helperPathRefusal(path, scope, &task.normalized);
  if (!task.refusal.empty()) task.normalized.clear();
  return task;
}

bool isRecordNumbers(const PlistValue& value) {
  const PlistValue::Dictionary* numbers = value.asDictionary();
  if (numbers == nullptr) return false;
  for (const auto& [key, number] : numbers->entries) {
    const bool text = key == kHelperRootKey || key == kHelperQuarantineKey;
    if (text ? number.asString() == nullptr : !number.asInteger()) return false;
  }
  return true;
}

// The root and identity a Delete value carries; false when any is missing.
bool readListedItem(const HelperPathTask& task, ListedItem* out) {
  const PlistValue* root = task.entry.find(kHelperRootKey);
  const std::string* rootText = root != nullptr ? root->asString() : nullptr;
  if (rootText == nullptr) return false;
  int64_t numbers[5];
  const std::string_view keys[5] = {kHelperDeviceKey, kHelperInodeKey, kHelperTypeKey,
                                    kHelperSizeKey, kHelperModificationKey};
  for (size_t i = 0; i < 5; ++i) {
    const PlistValue* value = task.entry.find(keys[i]);
    std::optional<int64_t> number = value != nullptr ? value->asInteger() : std::nullopt;
    if (!number) return false;
    numbers[i] = *number;
  }
  out->root = *rootText;
  out->path = task.normalized;
  out->identity.device = static_cast<uint16_t>(numbers[0]);
  out->identity.inode = static_cast<uint64_t>(numbers[1]);
  out->identity.type = static_cast<uint8_t>(numbers[2]);
  out->identity.size = numbers[3];
  out->identity.modificationNs = numbers[4];
  return out->identity.type != 0;
}

}  // namespace

void putListedItem(PlistValue::Dictionary* entry, const std::string& root,
                   const ListedIdentity& identity) {
  entry->entries.emplace_back(std::string(kHelperRootKey), root);
  entry->entries.emplace_back(std::string(kHelperDeviceKey), static_cast<int64_t>(identity.device));
  entry->entries.emplace_back(std::string(kHelperInodeKey), static_cast<int64_t>(identity.inode));
  entry->entries.emplace_back(std::string(kHelperTypeKey), static_cast<int64_t>(identity.type));
  entry->entries.emplace_back(std::string(kHelperSizeKey), identity.size);
  entry->entries.emplace_back(std::string(kHelperModificationKey), identity.modificationNs);
}

HelperEventPlan planHelperEvent(int event, const PlistValue& dictionary,
                                const HelperPathScope& scope) {
  HelperEventPlan plan;
  plan.event = makeHelperHanldeEventID(event);
  if (!plan.event) return malformed(std::move(plan), "Unknown event " + std::to_string(event));
  const PlistValue::Dictionary* entries = dictionary.asDictionary();
  if (entries == nullptr) return malformed(std::move(plan), "The event dictionary is missing");

  switch (*plan.event) {
    case HelperHanldeEventID::CloseHelper:
      return plan;
    case HelperHanldeEventID::Delete:
    case HelperHanldeEventID::Shred:
      for (const auto& [path, value] : entries->entries) {
        const bool fits = *plan.event == HelperHanldeEventID::Delete ? isRecordNumbers(value)
                                                                     : value.isDictionary();
        if (!fits) {
          return malformed(std::move(plan), "The value of \"" + path + "\" has the wrong type");
        }
        HelperPathTask task = taskFor(path, value, scope);
        if (*plan.event == HelperHanldeEventID::Delete && task.refusal.empty() &&
            !readListedItem(task, &task.listed)) {
          task.refusal = "Refused: the request gives no scan root and listed identity for it";
          task.normalized.clear();
        }
        plan.tasks.push_back(std::move(task));
      }
      return plan;
    case HelperHanldeEventID::Maintenance:
      break;
  }

  const PlistValue* operation = dictionary.find(kHelperOperationValueKey);
  std::optional<int64_t> number = operation != nullptr ? operation->asInteger() : std::nullopt;
  if (!number) {
    return malformed(std::move(plan), "\"OperationValue\" is missing or not an integer");
  }
  plan.operation = makeHelperMaintenanceOperation(*number);
  if (!plan.operation) {
    return malformed(std::move(plan), "Unknown operation " + std::to_string(*number));
  }
  if (*plan.operation == HelperMaintenanceOperation::CleanDNS ||
      *plan.operation == HelperMaintenanceOperation::RebuildSpotlight ||
      *plan.operation == HelperMaintenanceOperation::FreeMemory) {
    return plan;
  }
  for (const auto& [path, value] : entries->entries) {
    if (path == kHelperOperationValueKey) continue;
    if (!value.isDictionary()) {
      return malformed(std::move(plan), "The value of \"" + path + "\" has the wrong type");
    }
    HelperPathTask task = taskFor(path, value, scope);
    const bool restore = *plan.operation == HelperMaintenanceOperation::Restore;
    const bool quarantined = (restore || *plan.operation == HelperMaintenanceOperation::Clean) &&
                             namedLikeQuarantineEntry(path);
    if (quarantined) {
      // Outside the scope, but what the helper itself put there: the server
      // checks it is its volume's quarantine folder before acting, and that
      // the entry is still the item the asking user's journal recorded.
      task.refusal.clear();
      task.normalized = path;
    }
    if (quarantined && task.refusal.empty() && !readListedItem(task, &task.listed)) {
      task.refusal = "Refused: the request gives no listed identity for it";
      task.normalized.clear();
    }
    if (*plan.operation == HelperMaintenanceOperation::Move || restore) {
      const PlistValue* to = value.find(kHelperToPathKey);
      if (to == nullptr || to->asString() == nullptr) {
        return malformed(std::move(plan), "\"" + path + "\" has no \"ToPath\" text");
      }
      if (task.refusal.empty()) {
        task.refusal = helperPathRefusal(*to->asString(), scope, &task.toPath);
        if (!task.refusal.empty()) task.normalized.clear();
      }
    }
    plan.tasks.push_back(std::move(task));
  }
  return plan;
}

}  // namespace orvexa
