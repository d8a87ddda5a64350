// The steps the privacy clean operations share: statuses, edits of a
// database by bound statements, removal of files. Library-internal.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/clean/undo_journal.h"
#include "orvexa/model/records.h"
#include "orvexa/platform/posix_error.h"
#include "orvexa/scan/privacy/privacy_stores.h"
#include "orvexa/units/sqlite_tool.h"

namespace orvexa::privacy {

// What one clean operation has failed so far, in order.
struct Failures {
  std::vector<FilePtr> items;
  // The journal this clean moves its file items through (opened on the
  // first item; null with `journalError` when it cannot be).
  std::shared_ptr<UndoJournal> journal;
  int64_t cleanId = 0;
  std::string journalError;

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
// `statement` per item, in item order, all in one transaction: when one
// statement fails, the transaction is rolled back and every item of it fails
// with that statement's message. A store another program holds locked past
// the busy timeout is left unchanged and its items fail with
// runningMessage(group). A store that is missing or cannot be opened leaves
// the items untouched.
void deleteRows(const FilePtr& group, const std::string& store, const std::string& statement,
                const BindingOf& bindingOf, Failures& failures);

// "<browser> is running: quit it and clean again", the browser named as the
// scan names the group's category ("Chrome").
std::string runningMessage(const FilePtr& group);

// What a file group may remove. Either way the item must lie inside the
// user's home (the paths table's, so below the root), is reached from the
// home one folder at a time without following links (a folder on the way
// that is a link refuses the item), and a link is removed, never followed.
enum class FileKinds {
  // Paths another program's store names (a download's location): only a
  // regular file goes; a folder, link, device and the like is reported.
  RegularOnly,
  // The browser's own files, listed from its folders: folders go with
  // their content.
  Any,
};

// Removes `path` under the rules of `kinds`; the failure's message says why
// an item was refused ("not removed: outside your home folder", ...). With
// `instead`, an item that passes every rule is handed to it rather than
// removed (moved to the trash).
FileStatus removeInsideHome(const std::string& path, FileKinds kinds,
                            const std::function<FileStatus(const ListedItem&)>& instead = {});

// Removes the files of the group's ticked items.
void removeFiles(const FilePtr& group, FileKinds kinds, Failures& failures);

}  // namespace orvexa::privacy
