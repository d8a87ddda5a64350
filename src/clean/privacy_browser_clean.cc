// Cleaning the browser categories.
#include <algorithm>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <span>

#include "clean/privacy_clean_support.h"
#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/plist.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"

namespace orvexa {
namespace {

using privacy::Binding;
using privacy::Failures;
using privacy::Status;

// Positions in JSON text already known to be valid, so that entries can be
// cut out of another program's file with every other byte kept: numbers
// keep their digits, repeated keys, key order and layout stay. Iterative, so
// nesting depth costs no stack.
class JsonSpans {
 public:
  using Span = std::pair<size_t, size_t>;  // [start, end)
  struct Member {
    std::string key;  // decoded
    Span value;
  };

  explicit JsonSpans(std::string_view text) : text_(text) {}

  size_t skipBlank(size_t from) const {
    while (from < text_.size() && isBlank(text_[from])) ++from;
    return from;
  }
  char at(size_t position) const { return position < text_.size() ? text_[position] : '\0'; }
  std::string_view text(Span span) const {
    return text_.substr(span.first, span.second - span.first);
  }

  // The elements of the array whose "[" is at `open`.
  std::vector<Span> elements(size_t open) const {
    std::vector<Span> spans;
    for (size_t next = skipBlank(open + 1); at(next) != ']';) {
      spans.emplace_back(next, valueEnd(next));
      next = skipBlank(spans.back().second);
      if (at(next) != ',') break;
      next = skipBlank(next + 1);
    }
    return spans;
  }

  // The members of the object whose "{" is at `open`, in order, repeats kept.
  std::vector<Member> members(size_t open) const {
    std::vector<Member> list;
    for (size_t next = skipBlank(open + 1); at(next) == '"';) {
      const size_t keyEnd = stringEnd(next);
      std::string key = decoded(text({next, keyEnd}));
      const size_t value = skipBlank(skipBlank(keyEnd) + 1);  // past ":"
      list.push_back({std::move(key), {value, valueEnd(value)}});
      next = skipBlank(list.back().value.second);
      if (at(next) != ',') break;
      next = skipBlank(next + 1);
    }
    return list;
  }

  // The value of the last member named `key` (the one a reader keeps), if
  // `value` is an object that has one.
  std::optional<Span> lastMember(Span value, std::string_view key) const {
    if (at(value.first) != '{') return std::nullopt;
    std::optional<Span> found;
    for (const Member& member : members(value.first)) {
      if (member.key == key) found = member.value;
    }
    return found;
  }

 private:
  static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

  size_t stringEnd(size_t open) const {
    for (size_t i = open + 1; i < text_.size(); ++i) {
      if (text_[i] == '\\') {
        ++i;
      } else if (text_[i] == '"') {
        return i + 1;
      }
    }
    return text_.size();
  }

  size_t valueEnd(size_t start) const {
    const char first = at(start);
    if (first == '"') return stringEnd(start);
    size_t i = start;
    if (first != '{' && first != '[') {
      while (i < text_.size() && !isBlank(text_[i]) && std::strchr(",]}", text_[i]) == nullptr) {
        ++i;
      }
      return i;
    }
    for (size_t depth = 0; i < text_.size(); ++i) {
      const char c = text_[i];
      if (c == '"') {
        i = stringEnd(i) - 1;
      } else if (c == '{' || c == '[') {
        ++depth;
      } else if ((c == '}' || c == ']') && --depth == 0) {
        return i + 1;
      }
    }
    return i;
  }

  static std::string decoded(std::string_view quoted) {
    if (quoted.find('\\') == std::string_view::npos) {
      return std::string(quoted.substr(1, quoted.size() - 2));
    }
    nlohmann::json value = nlohmann::json::parse(quoted, nullptr, false);
    return value.is_string() ? value.get<std::string>() : std::string();
  }

  std::string_view text_;
};

// `text` without the elements at `removed` (positions in `elements`, which
// are an array's element spans), each taken out with one adjacent comma:
// the one after it, or for the last element the one before it.
std::string withoutElements(std::string_view text, const std::vector<JsonSpans::Span>& elements,
                            const std::vector<bool>& removed) {
  std::vector<JsonSpans::Span> cuts;
  std::optional<size_t> lastKept;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (!removed[i]) {
      lastKept = i;
    } else if (i + 1 < elements.size()) {
      cuts.emplace_back(elements[i].first, elements[i + 1].first);
    } else {
      cuts.emplace_back(lastKept ? elements[*lastKept].second : elements[i].first,
                        elements[i].second);
    }
  }
  // The last element's cut reaches back over any removed run before it.
  std::sort(cuts.begin(), cuts.end());
  std::string result;
  size_t from = 0;
  for (const auto& [start, end] : cuts) {
    if (start > from) result.append(text.substr(from, start - from));
    from = std::max(from, end);
  }
  result.append(text.substr(from));
  return result;
}

// A group whose ticked items are rows of a browser's database: the file
// (by its name in the profile), the statement, and the item's key: its
// integer identifier (0), or that many text parts.
struct RowDeletion {
  Status status;
  const char* store;
  const char* statement;
  size_t textParts;
};

// Deletes the ticked rows of `group` by the table's entry for `status`; a
// status the table lacks deletes nothing.
void deleteRowsOf(const FilePtr& group, Status status, std::span<const RowDeletion> table,
                  const std::function<std::string(std::string_view)>& store, Failures& failures) {
  for (const RowDeletion& entry : table) {
    if (entry.status != status) continue;
    const size_t parts = entry.textParts;
    privacy::deleteRows(
        group, store(entry.store), entry.statement,
        [parts](const FilePtr& item) {
          return parts == 0 ? privacy::integerAttachment(item) : privacy::textParts(item, parts);
        },
        failures);
    return;
  }
}

// Download locations come from the history, which any page can fill: only
// regular files in the home go. Local storage is the browser's own folder.
privacy::FileKinds fileKindsOf(Status status) {
  return status == Status::DownloadFile ? privacy::FileKinds::RegularOnly : privacy::FileKinds::Any;
}

// The format a property list was stored in, so that it is written back so.
PlistFormat formatOf(const std::string& bytes) {
  return bytes.rfind("bplist", 0) == 0 ? PlistFormat::Binary : PlistFormat::Xml;
}

// Removes from Safari's download list the entries whose identifier contains
// the item's attachment; the file is read and replaced once per item.
void cleanSafariDownloads(const FilePtr& group, const std::string& store, Failures& failures) {
  privacy::mark(group, DeleteStatus::Deleteing);
  const size_t before = failures.items.size();
  for (const FilePtr& item : group->childrens) {
    if (!privacy::isTicked(item)) continue;
    privacy::mark(item, DeleteStatus::Deleteing);
    std::optional<std::string> bytes = privacy::readFileBytes(store);
    std::optional<PlistValue> list = bytes ? readPlist(*bytes) : std::nullopt;
    if (!list || !list->isDictionary()) {
      failures.add(item, "Cannot read " + store);
      continue;
    }
    PlistValue* history = list->find("DownloadHistory");
    PlistValue::Array* entries = history != nullptr ? history->asArray() : nullptr;
    if (entries == nullptr) {
      failures.add(item, "No download history in " + store);
      continue;
    }
    const std::string* identifier = std::any_cast<std::string>(&item->attachInformation);
    if (identifier == nullptr || identifier->empty()) {
      failures.add(item, "No download identifier");
      continue;
    }
    std::erase_if(*entries, [&](const PlistValue& entry) {
      const PlistValue* id = entry.find("DownloadEntryIdentifier");
      const std::string* text = id != nullptr ? id->asString() : nullptr;
      return text != nullptr && text->find(*identifier) != std::string::npos;
    });
    const std::string updated = writePlist(*list, formatOf(*bytes));
    if (updated.empty() || !privacy::writeFileAtomically(store, updated)) {
      failures.add(item, "Cannot write " + store);
      continue;
    }
    privacy::mark(item, DeleteStatus::DeleteSuccess);
  }
  privacy::finishGroup(group, failures, before);
}

// Removes the ticked logins from Firefox's logins.json, matched by "id".
// The logins go as byte spans of the file: nothing else in it changes.
void cleanFirefoxLogins(const FilePtr& group, const std::string& store, Failures& failures) {
  privacy::mark(group, DeleteStatus::Deleteing);
  const size_t before = failures.items.size();
  if (!fileExists(store)) {
    privacy::finishGroup(group, failures, before);
    return;
  }
  std::optional<std::string> bytes = privacy::readFileBytes(store);
  const bool valid = bytes && nlohmann::json::accept(*bytes);
  std::vector<JsonSpans::Span> logins;
  std::vector<std::optional<int64_t>> ids;  // per login: its "id" when a whole number
  bool readable = false;
  if (valid) {
    JsonSpans json(*bytes);
    const size_t top = json.skipBlank(0);
    std::optional<JsonSpans::Span> list = json.lastMember({top, bytes->size()}, "logins");
    readable = list && json.at(list->first) == '[';
    if (readable) logins = json.elements(list->first);
    for (const JsonSpans::Span& login : logins) {
      std::optional<JsonSpans::Span> id = json.lastMember(login, "id");
      ids.push_back(id ? privacy::integerFromText(json.text(*id)) : std::nullopt);
    }
  }

  std::vector<bool> removed(logins.size(), false);
  std::vector<FilePtr> found;  // the ticked items whose login is in the file
  for (const FilePtr& item : group->childrens) {
    if (!privacy::isTicked(item)) continue;
    privacy::mark(item, DeleteStatus::Deleteing);
    const std::string* text = std::any_cast<std::string>(&item->attachInformation);
    std::optional<int64_t> id = text != nullptr ? privacy::integerFromText(*text) : std::nullopt;
    if (!id) continue;
    bool matches = false;
    for (size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] == id) removed[i] = matches = true;
    }
    if (matches) {
      found.push_back(item);
      privacy::mark(item, DeleteStatus::DeleteSuccess);
    }
  }
  if (!readable) {
    privacy::mark(group, DeleteStatus::DeleteError);
    return;
  }
  if (!found.empty() &&
      !privacy::writeFileAtomically(store, withoutElements(*bytes, logins, removed))) {
    // The logins are all still in the file: the items found there failed,
    // as the items of a failed database edit do, and stay in the tree.
    for (const FilePtr& item : found) failures.add(item, "Cannot write " + store);
    privacy::mark(group, DeleteStatus::DeleteError);
    return;
  }
  privacy::finishGroup(group, failures, before);
}

}  // namespace

PrivacyCleanResult PrivacyCleanService::cleanSafari(const CategoryPtr& category) {
  Failures failures;
  const std::string folder = privacy::safariFolder();
  for (const FilePtr& group : category->childrens) {
    std::optional<Status> status = privacy::statusOf(group);
    if (!status) continue;
    switch (*status) {
      case Status::Visit:
        privacy::deleteRows(group, privacy::findPath(folder, "History.db"),
                            "delete from history_visits where id = ?", privacy::integerAttachment,
                            failures);
        break;
      case Status::Download:
        cleanSafariDownloads(group, privacy::findPath(folder, "Downloads.plist"), failures);
        break;
      case Status::LastTab:
      case Status::AutoValue:
      case Status::LocalStorage:
      case Status::Cookies:
        privacy::removeFiles(group, privacy::FileKinds::Any, failures);
        break;
      default:
        break;
    }
  }
  sortCategory(category);
  return failures.result();
}

PrivacyCleanResult PrivacyCleanService::cleanChrome(const CategoryPtr& category) {
  static constexpr RowDeletion kDeletions[] = {
      {Status::Visit, "History", "delete from visits where id = ?", 0},
      {Status::Download, "History", "delete from downloads where id = ?", 0},
      {Status::Search, "History", "delete from keyword_search_terms where url_id = ?", 0},
      {Status::Cookies, "cookies", "delete from cookies where creation_utc = ?", 0},
      {Status::LoginHistory, "login Data",
       "delete from logins where origin_url = ? and signon_realm = ? and username_value = ?", 3},
      {Status::AutoValue, "Web Data", "delete from autofill where name = ? and value = ?", 2},
  };
  Failures failures;
  const std::string profile = PrivacyScanService::getChromeProfile();
  auto store = [&](std::string_view name) { return privacy::chromeStore(profile, name); };
  for (const FilePtr& group : category->childrens) {
    std::optional<Status> status = privacy::statusOf(group);
    if (!status) continue;
    if (*status == Status::DownloadFile || *status == Status::LocalStorage) {
      privacy::removeFiles(group, fileKindsOf(*status), failures);
    } else {
      deleteRowsOf(group, *status, kDeletions, store, failures);
    }
  }
  sortCategory(category);
  return failures.result();
}

PrivacyCleanResult PrivacyCleanService::cleanFirefox(const CategoryPtr& category) {
  static constexpr RowDeletion kDeletions[] = {
      {Status::Visit, "places.sqlite", "delete from moz_places where id = ?", 0},
      {Status::Download, "places.sqlite", "delete from moz_annos where id = ?", 0},
      {Status::Search, "places.sqlite", "delete from moz_keywords where id = ?", 0},
      {Status::Cookies, "cookies.sqlite", "delete from moz_cookies where id = ?", 0},
      {Status::AutoValue, "formhistory.sqlite", "delete from moz_formhistory where id = ?", 0},
  };
  Failures failures;
  std::optional<std::string> profile = PrivacyScanService::getFirefoxProfile();
  auto store = [&](std::string_view name) {
    return profile ? privacy::findPath(*profile, name) : std::string();
  };
  for (const FilePtr& group : category->childrens) {
    std::optional<Status> status = privacy::statusOf(group);
    if (!status) continue;
    if (*status == Status::LoginHistory) {
      cleanFirefoxLogins(group, store("logins.json"), failures);
    } else if (*status == Status::DownloadFile || *status == Status::LocalStorage) {
      privacy::removeFiles(group, fileKindsOf(*status), failures);
    } else {
      deleteRowsOf(group, *status, kDeletions, store, failures);
    }
  }
  sortCategory(category);
  return failures.result();
}

}  // namespace orvexa
