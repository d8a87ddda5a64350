// The steps the privacy clean operations share: statuses, edits of a
// database by bound statements, removal of files. Library-internal.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/model/records.h"
#include "orvexa/units/sqlite_tool.h"
#include "scan/privacy/privacy_support.h"

namespace orvexa::privacy {

// What one clean operation has failed so far, in order.
struct Failures {
  std::vector<FilePtr> items;

  void add(const FilePtr& item, std::string why);
  PrivacyCleanResult result() const {
    return {items.empty() ? PrivacyDeleteEnum::Success : PrivacyDeleteEnum::Fail, items};
  }
};

void mark(const FilePtr& record, DeleteStatus status);
bool isTicked(const FilePtr& item);
// The browser status of a group, nothing for any other group.
std::optional<Status> statusOf(const FilePtr& group);
// DeleteError when the group's ticked items added to `failures` since
// `before` (a size of failures.items), else DeleteSuccess.
void finishGroup(const FilePtr& group, const Failures& failures, size_t before);

// How one ticked item is deleted from a database.
struct Binding {
  enum class Kind {
    Skip,  // no usable attachment: the item is left untouched
    Fail,  // the attachment does not fit the statement: the item fails
    Bind,  // run the statement with `values`
  };
  Kind kind = Kind::Skip;
  std::vector<SqlValue> values;
  std::string why;  // for Fail

  static Binding skip() { return {}; }
  static Binding fail(std::string why) { return {Kind::Fail, {}, std::move(why)}; }
  static Binding bind(std::vector<SqlValue> values) { return {Kind::Bind, std::move(values), {}}; }
};
using BindingOf = std::function<Binding(const FilePtr& item)>;

// The item's text attachment bound as a whole number (a row id or a time).
Binding integerAttachment(const FilePtr& item);
// The item's attachment as `count` texts: the parts of a PrivacyRowKey, or
// a plain text split at every "," (missing parts are empty).
Binding textParts(const FilePtr& item, size_t count);

// Deletes the group's ticked items from the database at `store`, one
// `statement` per item, in item order. A store that is missing or cannot be
// opened leaves the items untouched.
void deleteRows(const FilePtr& group, const std::string& store, const std::string& statement,
                const BindingOf& bindingOf, Failures& failures);

// Removes the files of the group's ticked items.
void removeFiles(const FilePtr& group, Failures& failures);

}  // namespace orvexa::privacy
